// Helpers shared by the surface commands of okuva-tool (export, resample, randomise).
#pragma once

#include <cctype>
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/quote.h"

namespace okuva::tool {

// A whole number argument, or a usage error naming it.
inline int32_t ParseWhole(const std::string& text, const std::string& what) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) {
    throw UsageError{what + " must be a whole number, not " + Quoted(text)};
  }
  return value;
}

// A size argument: a whole number of at least 1.
inline int32_t ParseSize(const std::string& text, const std::string& what) {
  const int32_t value = ParseWhole(text, what);
  if (value < 1) {
    throw UsageError{what + " must be at least 1, not " + text};
  }
  return value;
}

// A bitmap encoded for the output name: PNG for a .png name (any case), else BMP.
inline std::vector<uint8_t> EncodeForOutput(gdi::HBITMAP bitmap, const std::string& path) {
  return ExtensionOf(path) == "png" ? EncodePng(bitmap) : EncodeBmp(bitmap);
}

// Writes a bitmap as a BMP at its own depth (a PNG for a .png name); an existing file is
// replaced only once the new one is complete.
inline void WriteBmp(gdi::HBITMAP bitmap, const std::string& path) {
  const std::vector<uint8_t> bytes = EncodeForOutput(bitmap, path);
  files::ReplaceFile(path, [&](int fd) { files::WriteAll(fd, bytes, path); });
}

}  // namespace okuva::tool
