// Grey levels of a frame as the aids see them: luma with the Rec. 601 weights in
// integer arithmetic, so every aid measures the same quantity the same way.
#pragma once

#include "platform/capture/camera.h"

#include <cstddef>
#include <cstdint>

namespace okuva::aids {

// A read-only plane of 8-bit grey levels: `height` rows of `width` bytes, row r at
// pixels + r * stride. The plane is borrowed; the view owns nothing.
struct GreyView {
  const uint8_t* pixels = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  ptrdiff_t stride = 0;  // bytes from one row to the next (>= width)
};

// Luma 0..255 of one RGB pixel: (77 R + 150 G + 29 B + 128) / 256, rounded; the
// weights sum to 256 so white stays 255 and grey stays itself.
constexpr uint8_t Luma(uint8_t red, uint8_t green, uint8_t blue) {
  return static_cast<uint8_t>((77u * red + 150u * green + 29u * blue + 128u) >> 8);
}

// Raises error 5 when the frame's size is negative or its pixel buffer holds fewer
// than 3 * width * height bytes; an empty frame (0 x 0) is valid.
void CheckFrame(const camera::Frame& frame);
// Raises error 5 when the view's size is negative, its stride is shorter than a row
// or it has pixels but no buffer.
void CheckView(const GreyView& grey);

}  // namespace okuva::aids
