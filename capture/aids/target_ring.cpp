#include "capture/aids/target_ring.h"

#include "platform/runtime/error.h"

namespace okuva::aids {

TargetRing TargetRingFor(int32_t frameWidth, int32_t frameHeight, int32_t previewWidth, int32_t previewHeight,
                         int32_t irisPixels) {
  if (frameWidth <= 0 || frameHeight <= 0 || previewWidth <= 0 || previewHeight <= 0 || irisPixels <= 0)
    Raise(kErrInvalidCall, {}, "okuva.aids");
  TargetRing ring;
  ring.centreX = previewWidth / 2.0;
  ring.centreY = previewHeight / 2.0;
  const double radius = irisPixels / 2.0;
  ring.radiusX = radius * previewWidth / frameWidth;
  ring.radiusY = radius * previewHeight / frameHeight;
  ring.fitsFrame = irisPixels <= frameWidth && irisPixels <= frameHeight;
  return ring;
}

}  // namespace okuva::aids
