// Where the picture readers put their rows: the caller's destination, in its depth.
#pragma once

#include <cstdint>

#include "platform/picture/picture.h"

namespace okuva::picture_detail {

// Takes the rows a reader decodes and writes them into the destination in its depth.
// Rows are numbered from the top. Every index is checked against the table.
class Sink {
public:
  Sink(const PictureHeader& header, const PicturePrepare& prepare);
  const PictureHeader& Header() const { return header_; }
  int DestinationBits() const { return dest_.bitsPerPixel; }
  int64_t Stride() const { return dest_.stride; }
  // The destination row, for readers that write it themselves.
  uint8_t* Row(int64_t top) const { return dest_.bits + (header_.height - 1 - top) * dest_.stride; }
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

}  // namespace okuva::picture_detail
