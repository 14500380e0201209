// Grey pictures as the iris analysis reads them: 8-bit levels, rows top to bottom.
// Colour pictures are converted by luma with the Rec. 601 weights in integers, the
// same conversion the capture aids use, so a frame measures alike everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace okuva::iris {

// A borrowed plane: `height` rows of `width` levels, row y at pixels + y * stride.
struct GreyPlane {
  const uint8_t* pixels = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  ptrdiff_t stride = 0;

  uint8_t At(int32_t x, int32_t y) const { return pixels[y * stride + x]; }
  // True when the plane can be read: sizes positive, stride covering a row, pixels set.
  bool Valid() const { return width > 0 && height > 0 && pixels != nullptr && stride >= width; }
};

// An owned grey picture.
struct GreyImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> pixels;

  GreyPlane View() const { return {pixels.data(), width, height, width}; }
};

constexpr uint8_t Luma(uint8_t red, uint8_t green, uint8_t blue) {
  return static_cast<uint8_t>((77u * red + 150u * green + 29u * blue + 128u) >> 8);
}

// Packed RGB rows (3 bytes a pixel, red first), `stride` bytes apart.
GreyImage GreyFromRgb(const uint8_t* rgb, int32_t width, int32_t height, ptrdiff_t stride);
// 32-bit rows in blue, green, red, unused order (DIB and QImage::Format_RGB32 order).
GreyImage GreyFromBgrx(const uint8_t* bgrx, int32_t width, int32_t height, ptrdiff_t stride);

}  // namespace okuva::iris
