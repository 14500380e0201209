// okuva-tool encode: a picture file to a JPEG through the program's own encoder cJpeg.
#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "image/image.h"
#include "jpeg/cjpeg.h"
#include "jpeg/encoder_error.h"
#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "surface/cdibsection.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/picture_input.h"
#include "tools/okuva_tool/quote.h"
#include "tools/okuva_tool/surface_common.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis =
    "encode IN OUT [--quality N] [--sampling H1xV1,H2xV2,H3xV3 | --grey] [--comment TEXT]";
constexpr int32_t kDefaultQuality = 75;

struct Sampling {
  int32_t f[6] = {2, 2, 1, 1, 1, 1};
};

// "H1xV1,H2xV2,H3xV3": three factor pairs; their range is the encoder's to judge.
Sampling ParseSampling(const std::string& text) {
  Sampling s;
  size_t pos = 0;
  for (int c = 0; c < 3; ++c) {
    const size_t comma = c < 2 ? text.find(',', pos) : text.size();
    if (comma == std::string::npos) {
      break;
    }
    const std::string pair = text.substr(pos, comma - pos);
    const size_t x = pair.find('x');
    if (x == std::string::npos) {
      throw UsageError{"--sampling must look like 2x2,1x1,1x1, not '" + text + "'"};
    }
    s.f[2 * c] = ParseWhole(pair.substr(0, x), "--sampling");
    s.f[2 * c + 1] = ParseWhole(pair.substr(x + 1), "--sampling");
    pos = comma + 1;
    if (c == 2) {
      return s;
    }
  }
  throw UsageError{"--sampling must look like 2x2,1x1,1x1, not '" + text + "'"};
}

// True when every factor divides the largest of its direction: libjpeg-based decoders
// refuse a layout where it does not, although the standard allows it.
bool WholeRatios(const Sampling& s) {
  int32_t hMax = 1, vMax = 1;
  for (int c = 0; c < 3; ++c) {
    hMax = std::max(hMax, s.f[2 * c]);
    vMax = std::max(vMax, s.f[2 * c + 1]);
  }
  for (int c = 0; c < 3; ++c) {
    if (s.f[2 * c] < 1 || s.f[2 * c + 1] < 1) {
      return true;  // refused before this matters
    }
    if (hMax % s.f[2 * c] != 0 || vMax % s.f[2 * c + 1] != 0) {
      return false;
    }
  }
  return true;
}

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  int32_t quality = kDefaultQuality;
  Sampling sampling;
  bool samplingGiven = false;
  bool grey = false;
  bool commentGiven = false;
  std::string comment;
  const auto value = [&](size_t& i, const char* what) -> const std::string& {
    if (i + 1 >= args.size()) {
      throw UsageError{std::string(what) + " needs a value"};
    }
    return args[++i];
  };
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--quality") {
      const std::string& v = value(i, "--quality");
      quality = ParseWhole(v, "--quality");
      if (quality < 1 || quality > 100) {
        throw UsageError{"--quality must be from 1 to 100, not " + v};
      }
    } else if (args[i] == "--sampling") {
      sampling = ParseSampling(value(i, "--sampling"));
      samplingGiven = true;
    } else if (args[i] == "--grey") {
      grey = true;
    } else if (args[i] == "--comment") {
      comment = value(i, "--comment");
      commentGiven = true;
    } else if (args[i] == "--") {  // the rest are names, even those starting with '-'
      positional.insert(positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        args.end());
      break;
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      throw UsageError{"unknown option " + Quoted(args[i])};
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) {
    throw UsageError{std::string("usage: okuva-tool ") + kSynopsis};
  }
  if (grey && samplingGiven) {
    throw UsageError{"--grey and --sampling exclude each other"};
  }
  if (positional[1].empty()) {
    throw UsageError{"OUT must not be empty"};
  }

  // Settings first: a refused one ends the command before any work (exit 3).
  cJpeg jpeg;
  if (grey) {
    jpeg.SetSamplingFrequencies(1, 1, 0, 0, 0, 0);
  } else {
    const int32_t* f = sampling.f;
    // All-zero chroma factors would select greyscale inside the encoder; here every
    // factor must be 1 to 4 and --grey is the way to a greyscale file.
    for (int32_t factor : sampling.f) {
      if (factor == 0) {
        jpeg::RaiseEncoderError(jpeg::EncoderFault::kInvalidSampling);
      }
    }
    jpeg.SetSamplingFrequencies(f[0], f[1], f[2], f[3], f[4], f[5]);
  }
  jpeg.Quality(quality);
  if (commentGiven) {
    try {
      jpeg.Comment(comment);
    } catch (const RuntimeError& e) {
      if (e.Number() != kErrInvalidCall) {
        throw;
      }
      throw UsageError{"--comment must be valid UTF-8 text"};
    }
  }

  // Palette pictures are sampled from an image of their own depth (the raster layer
  // converts their colours); everything else from a 24-bit surface.
  cImage image;
  cDIBSection dib;
  bool palette = false;
  int32_t width = 0;
  int32_t height = 0;
  ReadInput(positional[0], [&](const PictureHeader& header) {
    palette = header.bitsPerPixel <= 8;
    width = header.width;
    height = header.height;
    return palette ? ImageDestination(image, header, static_cast<int16_t>(header.bitsPerPixel))
                   : SurfaceDestination(dib, header);
  });
  const int32_t sampled = jpeg.SampleHDC(palette ? image.hdc() : dib.hdc(), width, height, 0, 0);
  // The size was checked as the picture was read: only the working surface can fail.
  if (sampled != 0) {
    Raise(kErrOutOfMemory);
  }

  switch (jpeg.SaveFile(positional[1])) {
    case 0:
      if (!grey && !WholeRatios(sampling)) {
        std::cerr << "okuva-tool encode: warning: the sampling ratios of " << Quoted(positional[1])
                  << " are not whole numbers; decoders built on libjpeg refuse such files\n";
      }
      return kOk;
    case 2:
      std::cerr << "okuva-tool encode: " << Quoted(positional[1])
                << " exists; it was left untouched\n";
      return kOutputExists;
    default: throw UsageError{"OUT must not be empty"};
  }
}

const Registration kRegistration{Command{
    "encode",
    kSynopsis,
    "writes a picture as a JPEG with the program's own encoder (quality 75, sampling "
    "2x2,1x1,1x1 by default); never replaces an existing OUT",
    Run,
    {{"--quality", "N", "1 to 100 (default 75; 50 gives the T.81 Annex K tables unchanged)"},
     {"--sampling", "H1xV1,H2xV2,H3xV3",
      "the sampling factors of Y, Cb and Cr, each 1 to 4 (default 2x2,1x1,1x1)"},
     {"--grey", "", "a one-component greyscale file"},
     {"--comment", "TEXT", "a comment segment (UTF-8, each character one Windows-1252 byte)"}}}};

}  // namespace
}  // namespace okuva::tool
