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
#include "tools/okuva_tool/quality_common.h"
#include "tools/okuva_tool/quote.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis = "record IN OUT [--eye left|right] [--masked] [--format png|jp2]";

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  record::StationOptions options;
  const std::string usage = std::string("usage: okuva-tool ") + kSynopsis;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) {
        throw UsageError{a + " needs a value; " + usage};
      }
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
        throw UsageError{"--eye takes left or right, not " + Quoted(eye)};
      }
    } else if (a == "--format") {
      const std::string& format = value();
      if (format == "png") {
        options.format = record::ImageFormat::kPng;
      } else if (format == "jp2") {
        options.format = record::ImageFormat::kJpeg2000;
      } else {
        throw UsageError{"--format takes png or jp2, not " + Quoted(format)};
      }
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option " + Quoted(a) + "; " + usage};
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) {
    throw UsageError{usage};
  }
  const std::string& in = positional[0];
  const std::string& out = positional[1];
  const iris::GreyImage grey = ReadGreyInput(in);
  // A file's capture time is its modification time; the camera that took it is unknown.
  struct stat st {};
  if (::stat(in.c_str(), &st) == 0) {
    options.capture = record::CaptureTimeOf(st.st_mtim);
  }
  options.deviceTechnology = 0;
  record::Record made;
  try {
    made = record::MakeStationRecord(grey.View(), options);
  } catch (const record::RecordError& e) {
    if (e.GetKind() == record::RecordError::Kind::kNoIris ||
        e.GetKind() == record::RecordError::Kind::kMargins) {
      throw UsageError{Quoted(in) + ": " + e.what() + "; nothing written"};
    }
    throw;
  }
  record::WriteRecordFile(out, made);
  return kOk;
}

const Registration kRegistration{Command{
    "record",
    kSynopsis,
    "write the ISO/IEC 19794-6:2011 iris record of a picture: the grey crop centred on the iris, lossless",
    Run,
    {{"--eye", "left|right", "the eye label (without it: undefined)"},
     {"--masked", "",
      "cropped and masked: outside the iris and the lids and lashes set to level 128"},
     {"--format", "png|jp2", "the image: 8-bit grey PNG (default) or lossless JPEG 2000"}}}};

}  // namespace
}  // namespace okuva::tool
