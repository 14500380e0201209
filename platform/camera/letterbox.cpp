#include "platform/camera/letterbox.h"

#include <algorithm>
#include <cmath>

namespace okuva::camera {

ShownRect Letterbox(int32_t frameWidth, int32_t frameHeight, int32_t areaWidth,
                    int32_t areaHeight) {
  if (frameWidth <= 0 || frameHeight <= 0 || areaWidth <= 0 || areaHeight <= 0) {
    return {};
  }
  ShownRect r;
  // Compared in 64 bits: which side limits is exact, with no rounding of the ratios.
  if (int64_t{areaWidth} * frameHeight <= int64_t{areaHeight} * frameWidth) {
    r.width = areaWidth;
    r.height = static_cast<int32_t>(std::clamp<int64_t>(
        std::llround(static_cast<double>(areaWidth) * frameHeight / frameWidth), 1, areaHeight));
  } else {
    r.height = areaHeight;
    r.width = static_cast<int32_t>(std::clamp<int64_t>(
        std::llround(static_cast<double>(areaHeight) * frameWidth / frameHeight), 1, areaWidth));
  }
  r.left = (areaWidth - r.width) / 2;
  r.top = (areaHeight - r.height) / 2;
  return r;
}

}  // namespace okuva::camera
