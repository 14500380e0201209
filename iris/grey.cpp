#include "iris/grey.h"

namespace okuva::iris {
namespace {

template <int kBytes, int kRed, int kBlue>
GreyImage Convert(const uint8_t* source, int32_t width, int32_t height, ptrdiff_t stride) {
  GreyImage grey;
  if (source == nullptr || width <= 0 || height <= 0 || stride < ptrdiff_t{width} * kBytes) {
    return grey;
  }
  grey.width = width;
  grey.height = height;
  grey.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* in = source + y * stride;
    uint8_t* out = grey.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int32_t x = 0; x < width; ++x, in += kBytes) {
      out[x] = Luma(in[kRed], in[1], in[kBlue]);
    }
  }
  return grey;
}

}  // namespace

GreyImage GreyFromRgb(const uint8_t* rgb, int32_t width, int32_t height, ptrdiff_t stride) {
  return Convert<3, 0, 2>(rgb, width, height, stride);
}

GreyImage GreyFromBgrx(const uint8_t* bgrx, int32_t width, int32_t height, ptrdiff_t stride) {
  return Convert<4, 2, 0>(bgrx, width, height, stride);
}

}  // namespace okuva::iris
