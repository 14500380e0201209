// Grey levels of a frame as the aids see them: luma with the Rec. 601 weights in
// integer arithmetic, so every aid measures the same quantity the same way.
#pragma once

#include "iris/grey.h"
#include "platform/camera/camera.h"

#include <cstddef>
#include <cstdint>

namespace okuva::aids {

// A read-only plane of 8-bit grey levels, borrowed (the iris analysis reads the same
// planes); Luma is the one conversion from colour every aid uses.
using GreyView = iris::GreyPlane;
using iris::Luma;

// Raises error 5 when the frame's size is negative or its pixel buffer holds fewer
// than 3 * width * height bytes; an empty frame (0 x 0) is valid.
void CheckFrame(const camera::Frame& frame);
// Raises error 5 when the view's size is negative, its stride is shorter than a row
// or it has pixels but no buffer.
void CheckView(const GreyView& grey);

}  // namespace okuva::aids
