// okuva-tool image: loads a picture into a cImage, applies one transform and writes
// the result as a BMP of the result's depth with its colour table.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "image/image.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/memory_dc.h"
#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/picture_input.h"
#include "tools/okuva_tool/quote.h"
#include "tools/okuva_tool/surface_common.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis = "image IN OUT OPERATION [ARGS] [--depth 1|4|8|24]";
constexpr const char* kOperations =
    "OPERATION: greyscale | resample W H | mirror horizontal|vertical | rotate DEGREES";

int32_t ParseInt(const std::string& text, const char* what) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) {
    throw UsageError{std::string(what) + " must be a whole number, not " + Quoted(text)};
  }
  return value;
}

// A picture holding a copy of the image's surface: same header, table and bytes, so
// palette indices are kept exactly.
StdPicture SnapshotOf(const cImage& image) {
  gdi::BITMAPINFO bmi{};
  bmi.bmiHeader = gdi::DibHeader(image.Width(), image.Height(), image.BitCount());
  if (image.BitCount() != 24) {
    gdi::GetDIBColorTable(image.hdc(), 0, 256, bmi.bmiColors);
  }
  void* bits = nullptr;
  StdPicture picture(gdi::CreateDIBSection(0, &bmi, gdi::DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!picture || bits == nullptr) {
    Raise(kErrInvalidCall, "the result could not be copied for writing");
  }
  const size_t bytes =
      static_cast<size_t>(image.BytesPerScanLine()) * static_cast<size_t>(std::abs(image.Height()));
  std::memcpy(bits, image.DIBitsPtr(), bytes);
  return picture;
}

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  int16_t depth = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {  // the rest are names and arguments, even those starting with '-'
      positional.insert(positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        args.end());
      break;
    }
    if (args[i] == "--depth") {
      if (i + 1 >= args.size()) {
        throw UsageError{"--depth needs a value: 1, 4, 8 or 24"};
      }
      const int32_t d = ParseInt(args[++i], "--depth");
      if (d != 1 && d != 4 && d != 8 && d != 24) {
        throw UsageError{"--depth must be 1, 4, 8 or 24, not " + args[i]};
      }
      depth = static_cast<int16_t>(d);
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() < 3) {
    throw UsageError{std::string("usage: okuva-tool ") + kSynopsis + "; " + kOperations};
  }
  const std::string& in = positional[0];
  const std::string& out = positional[1];
  const std::string& operation = positional[2];
  const std::vector<std::string> rest(positional.begin() + 3, positional.end());
  const auto expectArgs = [&](size_t n, const char* form) {
    if (rest.size() != n) {
      throw UsageError{std::string("usage: ") + form};
    }
  };

  // Check the operation before any work is done.
  int32_t width = 0, height = 0, degrees = 0;
  bool vertical = false;
  if (operation == "greyscale") {
    expectArgs(0, "greyscale (no arguments)");
  } else if (operation == "resample") {
    expectArgs(2, "resample W H");
    width = ParseInt(rest[0], "W");
    height = ParseInt(rest[1], "H");
    if (width <= 0 || height <= 0) {
      throw UsageError{"resample: W and H must be positive"};
    }
  } else if (operation == "mirror") {
    expectArgs(1, "mirror horizontal|vertical");
    if (rest[0] != "horizontal" && rest[0] != "vertical") {
      throw UsageError{"mirror: the direction is 'horizontal' or 'vertical', not '" + rest[0] +
                       "'"};
    }
    vertical = rest[0] == "vertical";
  } else if (operation == "rotate") {
    expectArgs(1, "rotate DEGREES");
    degrees = ParseInt(rest[0], "DEGREES");
  } else {
    throw UsageError{"unknown operation " + Quoted(operation) +
                     " (greyscale, resample, mirror or rotate)"};
  }

  // One pass into the image at 24 bits or at the picture's own palette depth (16- and
  // 32-bit pictures become 24 bits); another palette depth is reached through a picture
  // object, whose colours CopyStdPicture maps onto the grey ramp.
  cImage image;
  struct OtherDepth {};
  try {
    ReadInput(in, [&](const PictureHeader& header) {
      if (depth == 0) {
        depth = static_cast<int16_t>(header.bitsPerPixel <= 8 ? header.bitsPerPixel : 24);
      }
      if (depth != 24 && depth != header.bitsPerPixel) {
        throw OtherDepth{};
      }
      return ImageDestination(image, header, depth);
    });
  } catch (const OtherDepth&) {
    const StdPicture picture = ReadingInput(in, [&] { return LoadPicture(in); });
    if (!image.CopyStdPicture(picture, depth)) {
      Raise(kErrOutOfMemory);
    }
  }

  std::unique_ptr<cImage> result;
  if (operation == "greyscale") {
    result = image.Greyscale();
  } else if (operation == "resample") {
    result = image.Resample(width, height);
  } else if (operation == "mirror") {
    result = image.Mirror(vertical);
  } else {
    result = image.Rotate(degrees);
    if (!result) {
      throw UsageError{"no image was made: rotate takes quarter turns (90, 180, 270), not " +
                       rest[0] + " degrees; nothing was written"};
    }
  }
  if (result->hdc() == 0) {
    Raise(kErrOutOfMemory);  // the result's surface found no room; nothing is written
  }

  const StdPicture snapshot = SnapshotOf(*result);
  const std::vector<uint8_t> bmp = EncodeForOutput(snapshot.Handle(), out);
  files::ReplaceFile(out, [&](int fd) { files::WriteAll(fd, bmp, out); });
  std::cout << Quoted(out) << ": " << result->Width() << " x " << result->Height() << ", "
            << result->BitCount() << " bits\n";
  return kOk;
}

const Registration registration{Command{
    "image",
    kSynopsis,
    "loads IN (at its own depth or --depth), applies greyscale | resample W H | mirror "
    "horizontal|vertical | rotate DEGREES and writes OUT as a BMP of the result's depth",
    Run,
    {{"--depth", "1|4|8|24",
      "the image's depth (default: the picture's own; 16 and 32 bits become 24)"}},
    "Operations: greyscale | resample W H | mirror horizontal|vertical | rotate DEGREES\n"
    "(quarter turns counter-clockwise: -90 = 270). OUT is a PNG for a .png name, else a BMP."}};

}  // namespace
}  // namespace okuva::tool
