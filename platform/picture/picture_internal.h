// Inside the picture layer: limits, the readers and the helpers they and the writers
// share (the input source and the sink have headers of their own). Not for callers outside
// platform/picture (tests excepted).
#pragma once

#include <cstdint>
#include <span>

#include "platform/gdi/gdi.h"
#include "platform/picture/input.h"
#include "platform/picture/picture.h"
#include "platform/picture/sink.h"

namespace okuva::picture_detail {

// Largest side and largest pixel count a file may declare. 65535 is the largest side a
// JPEG can state; 2^28 pixels (a 16384 x 16384 square, 768 MiB at 24 bits) keeps a
// hostile header from asking for more memory than the raster layer grants anyway.
constexpr int64_t kMaxSide = 65535;
constexpr int64_t kDefaultMaxPixels = int64_t{1} << 28;

// Raises PictureError unless width x height is a picture size we accept.
void CheckSize(int64_t width, int64_t height, int64_t maxPixels);

// Bytes per row of a DIB: padded to a multiple of 4.
inline int64_t DibStride(int64_t width, int bitsPerPixel) {
  return (width * bitsPerPixel + 31) / 32 * 4;
}

// A new bottom-up DIB section (1, 4, 8 or 24 bits) with `colours` table entries;
// raises PictureError when the raster layer refuses it. *bits receives its pixels.
StdPicture MakeDibSection(int32_t width, int32_t height, int bitsPerPixel,
                          const gdi::RGBQUAD* colours, uint32_t colourCount, uint8_t** bits);

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
