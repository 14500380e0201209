// okuva-tool record-info: the fields of an iris record (ISO/IEC 19794-6:2011) as a
// readable list or one JSON object, and the first representation's image as stored.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/runtime/files.h"
#include "record/iris_record.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/picture_input.h"
#include "tools/okuva_tool/quote.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis = "record-info FILE [--json] [--image OUT]";

using record::CaptureTime;
using record::Record;
using record::Representation;

// "YYYY-MM-DDTHH:MM:SS", ".mmm" added where the milliseconds are known; empty when a
// field of the date or time is unknown.
std::string CaptureText(const CaptureTime& t) {
  if (t.year == record::kUnknown16 || t.month == 0xFF || t.day == 0xFF || t.hour == 0xFF ||
      t.minute == 0xFF || t.second == 0xFF) {
    return {};
  }
  char text[48];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", unsigned{t.year},
                unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                unsigned{t.second});
  std::string s = text;
  if (t.millisecond != record::kUnknown16) {
    std::snprintf(text, sizeof text, ".%03u", unsigned{t.millisecond});
    s += text;
  }
  return s;
}

std::string JsonString(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      q += '\\';
    }
    q += c;
  }
  return q + "\"";
}

void PrintJson(const Record& record, uint64_t length) {
  std::ostringstream out;
  out << "{\"record_length\": " << length
      << ", \"certification_flag\": " << unsigned{record.certificationFlag}
      << ", \"representations\": [";
  for (size_t i = 0; i < record.representations.size(); ++i) {
    const Representation& r = record.representations[i];
    const std::string capture = CaptureText(r.capture);
    out << (i ? ", " : "") << "{\"capture\": " << (capture.empty() ? "null" : JsonString(capture))
        << ", \"device_technology\": " << unsigned{r.deviceTechnology}
        << ", \"device_vendor\": " << r.deviceVendor << ", \"device_type\": " << r.deviceType
        << ", \"quality\": [";
    for (size_t q = 0; q < r.quality.size(); ++q) {
      out << (q ? ", " : "") << "{\"score\": " << unsigned{r.quality[q].score}
          << ", \"algorithm_vendor\": " << r.quality[q].algorithmVendor
          << ", \"algorithm_id\": " << r.quality[q].algorithmId << "}";
    }
    out << "], \"representation_number\": " << r.representationNumber
        << ", \"eye\": " << JsonString(record::EyeName(r.eye))
        << ", \"image_type\": " << JsonString(record::ImageTypeName(r.imageType))
        << ", \"image_format\": " << JsonString(record::ImageFormatName(r.imageFormat))
        << ", \"horizontal_orientation\": "
        << JsonString(record::OrientationName(r.HorizontalOrientation()))
        << ", \"vertical_orientation\": "
        << JsonString(record::OrientationName(r.VerticalOrientation()))
        << ", \"compression\": " << JsonString(record::CompressionName(r.GetCompression()))
        << ", \"width\": " << r.width << ", \"height\": " << r.height
        << ", \"bit_depth\": " << unsigned{r.bitDepth} << ", \"range\": " << r.range
        << ", \"roll_angle\": " << r.rollAngle << ", \"roll_uncertainty\": " << r.rollUncertainty
        << ", \"iris_centre\": {\"x_min\": " << r.centreXMin << ", \"x_max\": " << r.centreXMax
        << ", \"y_min\": " << r.centreYMin << ", \"y_max\": " << r.centreYMax
        << "}, \"iris_diameter\": {\"min\": " << r.diameterMin << ", \"max\": " << r.diameterMax
        << "}, \"image_length\": " << r.image.size() << "}";
  }
  out << "]}\n";
  std::cout << out.str();
}

std::string Undefined16(uint16_t v) {
  return v == record::kUnknown16 ? "undefined" : std::to_string(v);
}

void PrintList(const Record& record, uint64_t length) {
  std::ostringstream out;
  auto line = [&](const std::string& name, const std::string& value) {
    char head[32];
    std::snprintf(head, sizeof head, "  %-20s", name.c_str());
    out << head << value << "\n";
  };
  out << "iris record (ISO/IEC 19794-6:2011), " << length << " bytes, certification flag "
      << unsigned{record.certificationFlag} << ", " << unsigned{record.eyeCount} << " eye(s), "
      << record.representations.size() << " representation(s)\n";
  for (size_t i = 0; i < record.representations.size(); ++i) {
    const Representation& r = record.representations[i];
    out << "representation " << i + 1 << "\n";
    const std::string capture = CaptureText(r.capture);
    line("capture (UTC)", capture.empty() ? "unknown" : capture);
    const unsigned technology = r.deviceTechnology;
    line("device", "technology " + std::to_string(technology) +
                       (technology == 0   ? " (unknown)"
                        : technology == 1 ? " (CMOS/CCD)"
                                          : "") +
                       ", vendor " + std::to_string(r.deviceVendor) + ", type " +
                       std::to_string(r.deviceType));
    if (r.quality.empty()) {
      line("quality", "none");
    }
    for (const record::QualityBlock& q : r.quality) {
      line("quality", "score " +
                          (q.score == record::kScoreFailed ? std::string("255 (failed)")
                                                           : std::to_string(q.score)) +
                          ", algorithm vendor " + std::to_string(q.algorithmVendor) +
                          ", algorithm " + std::to_string(q.algorithmId));
    }
    line("number", std::to_string(r.representationNumber));
    line("eye", record::EyeName(r.eye));
    line("image type", record::ImageTypeName(r.imageType));
    line("image format", record::ImageFormatName(r.imageFormat));
    line("orientation", "horizontal " + record::OrientationName(r.HorizontalOrientation()) +
                            ", vertical " + record::OrientationName(r.VerticalOrientation()));
    line("compression", record::CompressionName(r.GetCompression()));
    line("size", std::to_string(r.width) + " x " + std::to_string(r.height) + ", " +
                     std::to_string(r.bitDepth) + " bits");
    line("range", r.range == 0 ? std::string("0 (unassigned)") : std::to_string(r.range));
    line("roll angle",
         Undefined16(r.rollAngle) + ", uncertainty " + Undefined16(r.rollUncertainty));
    line("iris centre", "x " + std::to_string(r.centreXMin) + ".." + std::to_string(r.centreXMax) +
                            ", y " + std::to_string(r.centreYMin) + ".." +
                            std::to_string(r.centreYMax));
    line("iris diameter", std::to_string(r.diameterMin) + ".." + std::to_string(r.diameterMax));
    line("image length", std::to_string(r.image.size()) + " bytes");
  }
  std::cout << out.str();
}

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  bool json = false;
  std::string image;
  const std::string usage = std::string("usage: okuva-tool ") + kSynopsis;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--image") {
      if (i + 1 >= args.size()) {
        throw UsageError{"--image needs a file name; " + usage};
      }
      image = args[++i];
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option " + Quoted(a) + "; " + usage};
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 1) {
    throw UsageError{usage};
  }
  const std::string& path = positional[0];
  Record record;
  try {
    record = ReadingInput(path, [&] { return record::ReadRecordFile(path); });
  } catch (const record::RecordError& e) {
    throw UsageError{Quoted(path) + ": " + e.what()};
  }
  uint64_t length = record::kGeneralHeaderSize;
  for (const Representation& r : record.representations) {
    length += r.Length();
  }
  // The image first: a failure to write it is not followed by a listing.
  if (!image.empty()) {
    const std::vector<uint8_t>& bytes = record.representations.front().image;
    files::ReplaceFile(image, [&](int fd) { files::WriteAll(fd, bytes, image); });
  }
  if (json) {
    PrintJson(record, length);
  } else {
    PrintList(record, length);
  }
  return kOk;
}

const Registration kRegistration{
    Command{"record-info",
            kSynopsis,
            "show the fields of an ISO/IEC 19794-6:2011 iris record; --image writes "
            "its first image as stored",
            Run,
            {{"--json", "", "print one JSON object instead of the list"},
             {"--image", "OUT", "write the first representation's image as stored"}}}};

}  // namespace
}  // namespace okuva::tool
