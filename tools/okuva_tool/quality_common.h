// What `okuva-tool quality` shares between one picture and a batch: reading a picture
// for the analysis, and how numbers and ranges are written (the same in the table, the
// JSON object, the CSV rows and the overlay's band).
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

#include "iris/grey.h"
#include "iris/quality.h"
#include "tools/okuva_tool/overlay.h"

namespace okuva::tool {

// The picture at `path` (any format the picture layer reads) as 24-bit rows, in one
// pass from the file. Raises PictureError for a file that is not a readable picture,
// the file's error for one that cannot be read, error 7 when the pixels find no room.
Canvas ReadCanvas(const std::string& path);

// Its grey levels by luma, as the analysis reads them.
iris::GreyImage GreyOf(const Canvas& canvas);

// The picture at `path` as grey levels, read as every command reads its input: a file
// that cannot be read is a usage error naming it, no room for it error 7. The commands
// that find an eye (quality, record, match) share it.
iris::GreyImage ReadGreyInput(const std::string& path);

// A value with three decimals; `missing` for not-a-number (a metric not measured).
inline std::string Number(double value, const char* missing = "null") {
  if (!std::isfinite(value)) {
    return missing;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

// A threshold's recommended range, such as ">= 200" or ">= 20, <= 70".
inline std::string Range(const iris::Threshold& t) {
  auto whole = [](double v) { return std::to_string(static_cast<long long>(std::lround(v))); };
  std::string text;
  if (!std::isnan(t.minimum)) {
    text += (t.minimumIncluded ? ">= " : "> ") + whole(t.minimum);
  }
  if (!std::isnan(t.maximum)) {
    text += (text.empty() ? "" : ", ") + std::string(t.maximumIncluded ? "<= " : "< ") +
            whole(t.maximum);
  }
  return text;
}

}  // namespace okuva::tool
