// Small image operations the cameras share.
#pragma once

#include <cstdint>

namespace okuva::camera {

// Blurs packed RGB24 pixels in place like a lens out of focus: two passes of a box
// filter of `radius` pixels (fractional radii weight the outermost taps), separably in
// x and y, with edges clamped. The blur grows continuously and monotonically with the
// radius; radius <= 0 leaves the pixels alone. Cost does not depend on the radius.
void DefocusBlur(uint8_t* rgb, int32_t width, int32_t height, double radius);

}  // namespace okuva::camera
