// Inside the picture layer: limits, a bounds-checked reader of file bytes and the
// helpers the readers and writers share. Not for callers outside platform/picture
// (tests excepted).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "platform/gdi/gdi.h"
#include "platform/picture/picture.h"

namespace okuva::picture_detail {

// Largest side and largest pixel count a file may declare. 65535 is the largest side a
// JPEG can state; 2^28 pixels (a 16384 x 16384 square, 768 MiB at 24 bits) keeps a
// hostile header from asking for more memory than the raster layer grants anyway.
constexpr int64_t kMaxSide = 65535;
constexpr int64_t kDefaultMaxPixels = int64_t{1} << 28;

// Raises PictureError unless width x height is a picture size we accept.
void CheckSize(int64_t width, int64_t height, int64_t maxPixels);

// Reads little-endian fields from file bytes; every read past the end raises a
// PictureError naming what was being read, never touching memory outside the span.
class ByteReader {
public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  size_t Size() const { return bytes_.size(); }
  // Raises PictureError("truncated <what>") unless [offset, offset + count) is inside.
  void Need(uint64_t offset, uint64_t count, const char* what) const;
  uint8_t U8(uint64_t offset, const char* what) const;
  uint16_t U16(uint64_t offset, const char* what) const;
  uint32_t U32(uint64_t offset, const char* what) const;
  int32_t I32(uint64_t offset, const char* what) const { return static_cast<int32_t>(U32(offset, what)); }
  const uint8_t* At(uint64_t offset, uint64_t count, const char* what) const {
    Need(offset, count, what);
    return bytes_.data() + offset;
  }

private:
  std::span<const uint8_t> bytes_;
};

// A memory device context of the raster layer, deleted with its scope.
class MemoryDc {
public:
  MemoryDc() : dc_(gdi::CreateCompatibleDC(0)) {}
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  ~MemoryDc() {
    if (dc_ != 0) gdi::DeleteDC(dc_);
  }
  gdi::HDC Get() const { return dc_; }

private:
  gdi::HDC dc_;
};

// Bytes per row of a DIB: padded to a multiple of 4.
inline int64_t DibStride(int64_t width, int bitsPerPixel) {
  return (width * bitsPerPixel + 31) / 32 * 4;
}

// A new bottom-up DIB section (1, 4, 8 or 24 bits) with `colours` table entries;
// raises PictureError when the raster layer refuses it. *bits receives its pixels.
StdPicture MakeDibSection(int32_t width, int32_t height, int bitsPerPixel,
                          const gdi::RGBQUAD* colours, uint32_t colourCount, uint8_t** bits);

// The readers. Each one checks the whole header before it allocates anything.
StdPicture DecodeBmp(std::span<const uint8_t> bytes, int64_t maxPixels);
StdPicture DecodePnm(std::span<const uint8_t> bytes, int64_t maxPixels);
StdPicture DecodeJpeg(std::span<const uint8_t> bytes, int64_t maxPixels);

// DecodePicture with a smaller pixel limit (the fuzz test keeps its runs short).
StdPicture DecodePictureWithin(std::span<const uint8_t> bytes, int64_t maxPixels);

}  // namespace okuva::picture_detail
