// Where a frame is shown inside a display area without changing its shape: scaled by
// one factor to the largest size that fits, centred, with bars on the two free sides.
// The live picture and everything drawn over it use this one mapping, so a circle of
// the frame stays a circle on the screen at 4:3, 16:9 or any other format.
#pragma once

#include <cstdint>

namespace okuva::camera {

// The frame's shown rectangle in the area's pixels (origin top-left, x right, y down).
// Empty (all zero) when either size is not positive.
struct ShownRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;

  bool Empty() const { return width <= 0 || height <= 0; }
  // Area pixels per frame pixel along each side (equal up to the rounding of the
  // shown size to whole pixels).
  double ScaleX(int32_t frameWidth) const { return static_cast<double>(width) / frameWidth; }
  double ScaleY(int32_t frameHeight) const { return static_cast<double>(height) / frameHeight; }
};

// The frame of frameWidth x frameHeight shown in an area of areaWidth x areaHeight: the
// side that limits fills the area exactly, the other is rounded to the nearest pixel
// (at least 1) and centred (the odd pixel of the bars goes to the right or bottom).
ShownRect Letterbox(int32_t frameWidth, int32_t frameHeight, int32_t areaWidth, int32_t areaHeight);

}  // namespace okuva::camera
