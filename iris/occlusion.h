// What hides the iris ring: the upper and lower eyelids, eyelashes and specular
// highlights, pixel by pixel.
//
// The iris's own levels are learnt from the ring's side sectors next to the pupil (the
// part lids and lashes least often reach): their median and robust spread. Then:
//  - highlights are pixels at or above max(230, median + 4 spread);
//  - an eyelid is a run of pixels brighter than median + max(4, 0.45 median,
//    2 spread) (skin: relative to the iris's own level, so the dim lids of a dark
//    near-infrared eye count as the bright lids of a daylight one do)
//    reached from the ring's edge, scanning each column from the top down to the
//    centre row (upper lid) and from the bottom up (lower lid); darker pixels that
//    directly follow the bright run (the lash line of the lid's margin) belong to the
//    lid too; runs shorter than 3 pixels are the limbus's blur, not a lid;
//  - eyelashes are pixels darker than median minus the same step in the ring's upper
//    half away from the limbus (lashes hang from the upper lid).
#pragma once

#include "iris/circles.h"
#include "iris/grey.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace okuva::iris {

enum class Occlusion : uint8_t {
  kOutside = 0,  // not part of the iris ring (pupil, sclera, beyond the picture)
  kIris,         // usable iris
  kUpperLid,
  kLowerLid,
  kLash,
  kHighlight,
};

// Covers the iris circle's bounding box, clipped to the picture.
struct OcclusionMask {
  int32_t left = 0, top = 0, width = 0, height = 0;
  std::vector<Occlusion> cells;  // row-major, width * height

  // The class of a picture pixel; kOutside beyond the box.
  Occlusion At(int32_t x, int32_t y) const;
  size_t Count(Occlusion kind) const;
};

// Median and robust spread (1.4826 median absolute deviation, at least 4) of the
// iris's own levels, learnt from the side sectors next to the pupil.
struct IrisLevels {
  double median = 0;
  double spread = 0;
};

// The ring between `pupil` and `iris`, classified. An empty mask when the circles lie
// wholly outside the picture or the plane is not Valid().
OcclusionMask MaskIrisRing(const GreyPlane& picture, const Circle& pupil, const Circle& iris,
                           IrisLevels* levels = nullptr);

}  // namespace okuva::iris
