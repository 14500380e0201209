// okuva-tool record: the iris record (ISO/IEC 19794-6:2011) of a picture: the grey crop
// centred on the iris, cropped or cropped and masked, PNG or lossless JPEG 2000.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "iris/grey.h"
#include "platform/runtime/error.h"
#include "record/iris_record.h"
#include "record/station_record.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/picture_input.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis = "record IN OUT [--eye left|right] [--masked] [--format png|jp2]";

// The picture at `path` as grey levels: colour by luma, grey kept as it is.
iris::GreyImage ReadGreyPicture(const std::string& path) {
  std::vector<uint8_t> bgr;
  int32_t width = 0, height = 0;
  ReadInput(path, [&](const PictureHeader& header) {
    width = header.width;
    height = header.height;
    const size_t row = size_t{static_cast<uint32_t>(width)} * 3;
    bgr.resize(row * static_cast<uint32_t>(height));
    PictureDestination d;
    d.bitsPerPixel = 24;
    d.stride = -static_cast<int64_t>(row);  // top-down: the bottom row is the last
    d.bits = bgr.data() + row * (static_cast<uint32_t>(height) - 1);
    return d;
  });
  iris::GreyImage grey;
  grey.width = width;
  grey.height = height;
  grey.pixels.resize(bgr.size() / 3);
  for (size_t i = 0; i < grey.pixels.size(); ++i) grey.pixels[i] = iris::Luma(bgr[3 * i + 2], bgr[3 * i + 1], bgr[3 * i]);
  return grey;
}

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  record::StationOptions options;
  const std::string usage = std::string("usage: okuva-tool ") + kSynopsis;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError{a + " needs a value; " + usage};
      return args[++i];
    };
    if (a == "--masked") {
      options.masked = true;
    } else if (a == "--eye") {
      const std::string& eye = value();
      if (eye == "left") {
        options.eye = record::Eye::kLeft;
      } else if (eye == "right") {
        options.eye = record::Eye::kRight;
      } else {
        throw UsageError{"--eye takes left or right, not '" + eye + "'"};
      }
    } else if (a == "--format") {
      const std::string& format = value();
      if (format == "png") {
        options.format = record::ImageFormat::kPng;
      } else if (format == "jp2") {
        options.format = record::ImageFormat::kJpeg2000;
      } else {
        throw UsageError{"--format takes png or jp2, not '" + format + "'"};
      }
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option " + a + "; " + usage};
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) throw UsageError{usage};
  const std::string& in = positional[0];
  const std::string& out = positional[1];
  const iris::GreyImage grey = ReadGreyPicture(in);
  // A file's capture time is its modification time; the camera that took it is unknown.
  struct stat st {};
  if (::stat(in.c_str(), &st) == 0) options.capture = record::CaptureTimeOf(st.st_mtim);
  options.deviceTechnology = 0;
  record::Record made;
  try {
    made = record::MakeStationRecord(grey.View(), options);
  } catch (const record::RecordError& e) {
    if (e.GetKind() == record::RecordError::Kind::kNoIris || e.GetKind() == record::RecordError::Kind::kMargins) {
      throw UsageError{in + ": " + e.what() + "; nothing written"};
    }
    throw;
  }
  record::WriteRecordFile(out, made);
  return kOk;
}

const Registration kRegistration{Command{
    "record", kSynopsis,
    "write the ISO/IEC 19794-6:2011 iris record of a picture: the grey crop centred on the iris, lossless", Run}};

}  // namespace
}  // namespace okuva::tool
