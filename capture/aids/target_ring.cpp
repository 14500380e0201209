#include "capture/aids/target_ring.h"

#include "platform/camera/letterbox.h"
#include "platform/runtime/error.h"

namespace okuva::aids {

TargetRing TargetRingFor(int32_t frameWidth, int32_t frameHeight, int32_t previewWidth,
                         int32_t previewHeight, int32_t irisPixels) {
  if (frameWidth <= 0 || frameHeight <= 0 || previewWidth <= 0 || previewHeight <= 0 ||
      irisPixels <= 0) {
    Raise(kErrInvalidCall, {}, "okuva.aids");
  }
  const camera::ShownRect shown =
      camera::Letterbox(frameWidth, frameHeight, previewWidth, previewHeight);
  TargetRing ring;
  ring.centreX = shown.left + shown.width / 2.0;
  ring.centreY = shown.top + shown.height / 2.0;
  ring.radius = irisPixels / 2.0 * shown.ScaleX(frameWidth);
  ring.fitsFrame = irisPixels <= frameWidth && irisPixels <= frameHeight;
  return ring;
}

}  // namespace okuva::aids
