// Inside the picture layer: limits, a bounds-checked reader of file bytes and the
// helpers the readers and writers share. Not for callers outside platform/picture
// (tests excepted).
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// A picture file being read: its first bytes held for the header, the rest fetched as
// the readers ask, never more than they ask. Memory inputs serve everything in place.
class Input {
public:
  static constexpr size_t kHeadSize = 64 * 1024;

  explicit Input(std::span<const uint8_t> memory);
  // Takes an open descriptor (not owned); reads the head at once.
  explicit Input(int fd);
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // The file's first bytes: all of it, or kHeadSize bytes when it is longer.
  const ByteReader& Head() const { return head_; }
  bool HeadIsWholeFile() const { return headIsAll_; }
  // The file's length when it can be known before reading (not for pipes).
  std::optional<uint64_t> KnownSize() const { return size_; }
  // Bytes [offset, offset + count): PictureError("truncated file: <what> is missing")
  // when the file ends first. Valid until the next call. A pipe is read forward only.
  const uint8_t* Take(uint64_t offset, size_t count, const char* what);
  // Up to `count` bytes from `offset` (fewer only at the end of the file); 0 at the end.
  size_t TakeSome(uint64_t offset, uint8_t* to, size_t count);
  // `count` consecutive runs of `rowBytes` bytes from `offset` into rows[0..count), as
  // few reads of the file as it takes; false when the file ends first.
  bool TakeRows(uint64_t offset, size_t rowBytes, uint8_t* const* rows, size_t count);
  // The file from its start: all of it, or its first `limit` bytes when it is longer;
  // for formats whose decoder wants the whole stream. Valid until the next call.
  std::span<const uint8_t> Whole(uint64_t limit);
  // The first offset at or after `offset` where a file may hold bytes other than zeros,
  // past the holes of a sparse file; `offset` itself where that cannot be known.
  uint64_t DataFrom(uint64_t offset) const;

private:
  size_t ReadFd(uint64_t offset, uint8_t* to, size_t count);

  std::span<const uint8_t> memory_;
  int fd_ = -1;
  bool seekable_ = false;
  uint64_t fdPos_ = 0;  // where the next read of a pipe starts
  std::vector<uint8_t> headBytes_;
  std::vector<uint8_t> buffer_;
  ByteReader head_{{}};
  bool headIsAll_ = false;
  std::optional<uint64_t> size_;
};

// Takes the rows a reader decodes and writes them into the destination in its depth.
// Rows are numbered from the top. Every index is checked against the table.
class Sink {
public:
  Sink(const PictureHeader& header, const PicturePrepare& prepare);
  const PictureHeader& Header() const { return header_; }
  int DestinationBits() const { return dest_.bitsPerPixel; }
  int64_t Stride() const { return dest_.stride; }
  // The destination row, for readers that write it themselves.
  uint8_t* Row(int64_t top) const {
    return dest_.bits + (header_.height - 1 - top) * dest_.stride;
  }
  // One palette index per byte.
  void Indices(int64_t top, const uint8_t* indices);
  // Indices packed as a DIB row of the header's depth.
  void Packed(int64_t top, const uint8_t* packed);
  // Blue, green, red per pixel (header depth 24 or 32).
  void Bgr(int64_t top, const uint8_t* bgr);
  // 5-5-5 pixels, two bytes each (header depth 16).
  void Raw555(int64_t top, const uint8_t* pixels);

private:
  void CheckIndex(uint32_t index) const;

  PictureHeader header_;
  PictureDestination dest_;
  bool shortTable_ = false;
};

// The readers. Each one checks the whole header before it calls `prepare`.
void ReadBmp(Input& in, int64_t maxPixels, const PicturePrepare& prepare);
void ReadPnm(Input& in, int64_t maxPixels, const PicturePrepare& prepare);
void ReadJpeg(Input& in, int64_t maxPixels, const PicturePrepare& prepare);
void ReadPng(Input& in, int64_t maxPixels, const PicturePrepare& prepare);

// Picks the reader by the file's first bytes.
void ReadAnyPicture(Input& in, int64_t maxPixels, const PicturePrepare& prepare);

// DecodePicture with a smaller pixel limit (the fuzz test keeps its runs short).
StdPicture DecodePictureWithin(std::span<const uint8_t> bytes, int64_t maxPixels);

}  // namespace okuva::picture_detail
