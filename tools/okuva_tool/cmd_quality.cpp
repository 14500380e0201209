// okuva-tool quality: finds the pupil and the iris in a picture and judges it with the
// iris quality metrics, as a readable table or as one JSON object.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "iris/quality.h"
#include "platform/gdi/gdi.h"
#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "tools/okuva_tool/command.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis = "quality IN [--json]";

// The picture's pixels as grey levels (colour by luma), rows top to bottom.
iris::GreyImage ReadGrey(const std::string& path) {
  StdPicture picture;
  try {
    picture = LoadPicture(path);
  } catch (const RuntimeError& e) {
    // A file that cannot be read is bad input here, like a malformed one.
    throw UsageError{path + ": " + e.Description()};
  }
  const int32_t width = picture.Width(), height = picture.Height();
  if (!picture || width <= 0 || height <= 0) throw UsageError{path + ": not a picture"};
  std::vector<uint8_t> bgrx(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  gdi::BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(gdi::BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = gdi::BI_RGB;
  const gdi::HDC dc = gdi::CreateCompatibleDC(0);
  const int lines = dc == 0 ? 0
                            : gdi::GetDIBits(dc, picture.Handle(), 0, static_cast<uint32_t>(height), bgrx.data(),
                                             &info, gdi::DIB_RGB_COLORS);
  if (dc != 0) gdi::DeleteDC(dc);
  if (lines != height) throw UsageError{path + ": its pixels could not be read"};
  return iris::GreyFromBgrx(bgrx.data(), width, height, ptrdiff_t{width} * 4);
}

// Numbers as JSON takes them: not-a-number (not measured) becomes null.
std::string Number(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

std::string CircleJson(const std::optional<iris::Circle>& c) {
  if (!c) return "null";
  return "{\"x\": " + Number(c->x) + ", \"y\": " + Number(c->y) + ", \"radius\": " + Number(c->radius) +
         ", \"confidence\": " + Number(c->confidence) + "}";
}

void PrintJson(const iris::Quality& q) {
  std::ostringstream out;
  out << "{\"width\": " << q.width << ", \"height\": " << q.height << ", \"pupil\": " << CircleJson(q.circles.pupil)
      << ", \"iris\": " << CircleJson(q.circles.iris);
  for (const iris::Threshold& t : iris::Thresholds()) out << ", \"" << t.name << "\": " << Number(q.Value(t.metric));
  out << ", \"eye_found\": " << (q.circles.iris ? "true" : "false");
  out << ", \"verdict\": \"" << (q.pass ? "pass" : "fail") << "\", \"failed\": [";
  for (size_t i = 0; i < q.failed.size(); ++i)
    out << (i ? ", " : "") << '"' << iris::ThresholdOf(q.failed[i]).name << '"';
  out << "]}\n";
  std::cout << out.str();
}

std::string Range(const iris::Threshold& t) {
  std::string text;
  if (!std::isnan(t.minimum)) text += (t.minimumIncluded ? ">= " : "> ") + Number(t.minimum).substr(0, Number(t.minimum).find('.'));
  if (!std::isnan(t.maximum))
    text += (text.empty() ? "" : ", ") + std::string(t.maximumIncluded ? "<= " : "< ") +
            Number(t.maximum).substr(0, Number(t.maximum).find('.'));
  return text;
}

void PrintTable(const iris::Quality& q) {
  std::ostringstream out;
  char line[160];
  out << "picture  " << q.width << " x " << q.height << "\n";
  for (const auto& [name, c] : {std::pair{"pupil", q.circles.pupil}, std::pair{"iris", q.circles.iris}}) {
    if (c) {
      std::snprintf(line, sizeof line, "%-7s  centre (%.1f, %.1f)  radius %.1f  confidence %.2f\n", name, c->x, c->y,
                    c->radius, c->confidence);
      out << line;
    } else {
      out << name << std::string(7 - std::string(name).size(), ' ') << "  not found\n";
    }
  }
  out << "\n";
  std::snprintf(line, sizeof line, "%-28s %10s  %-12s %s\n", "metric", "value", "recommended", "");
  out << line;
  for (const iris::Threshold& t : iris::Thresholds()) {
    const double v = q.Value(t.metric);
    const std::string value = std::isnan(v) ? "-" : Number(v).substr(0, Number(v).size() - 1);
    std::snprintf(line, sizeof line, "%-28s %10s  %-12s %s\n", t.name, value.c_str(), Range(t).c_str(),
                  q.Passed(t.metric) ? "ok" : "FAIL");
    out << line;
  }
  out << "\nverdict  " << (q.pass ? "pass" : "fail") << (q.circles.iris ? "" : " (eye not found)") << "\n";
  std::cout << out.str();
}

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  bool json = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option " + a + "; usage: okuva-tool " + kSynopsis};
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 1) throw UsageError{std::string("usage: okuva-tool ") + kSynopsis};
  const iris::GreyImage grey = ReadGrey(positional[0]);
  const iris::Quality quality = iris::Assess(grey.View());
  if (json) {
    PrintJson(quality);
  } else {
    PrintTable(quality);
  }
  return kOk;
}

const Registration kRegistration{Command{
    "quality", kSynopsis,
    "find the pupil and the iris and judge the picture with the iris quality metrics", Run}};

}  // namespace
}  // namespace okuva::tool
