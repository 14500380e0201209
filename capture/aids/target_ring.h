// Target ring: the circle on the live picture that an iris must fill to be at least
// 200 pixels across in the captured frame, with the centre where the eye belongs.
#pragma once

#include <cstdint>

namespace okuva::aids {

// Iris diameter, in captured-frame pixels, that iris recognition asks for at least.
constexpr int32_t kMinIrisPixels = 200;
// The live picture the ring is drawn on: the capture window's size.
constexpr int32_t kPreviewWidth = 320;
constexpr int32_t kPreviewHeight = 240;

// Where to draw, in preview pixels (origin at the top-left corner, x to the right,
// y down). The preview shows the frame letterboxed (camera::Letterbox), so the ring is
// a circle whatever the frame's shape, centred on the shown frame.
struct TargetRing {
  double centreX = 0;
  double centreY = 0;
  double radius = 0;  // half the target iris diameter at the preview's scale
  // False when the frame is smaller than the iris in either direction: no framing
  // reaches the size asked for, the ring then overflows the picture.
  bool fitsFrame = true;
};

// The ring for a capture format of frameWidth x frameHeight shown on a preview of
// previewWidth x previewHeight, for an iris of irisPixels across in the frame. Raises
// error 5 when any of the sizes is not positive.
TargetRing TargetRingFor(int32_t frameWidth, int32_t frameHeight,
                         int32_t previewWidth = kPreviewWidth,
                         int32_t previewHeight = kPreviewHeight,
                         int32_t irisPixels = kMinIrisPixels);

}  // namespace okuva::aids
