// Quality of an iris picture: the metrics of ISO/IEC 29794-6:2015 by name, computed
// with the working definitions below, each judged against its recommended value, and
// an overall verdict. Qt-free; the window and okuva-tool share it.
//
// I, P, S are the median levels of the usable iris ring, of the pupil (its inner 85 %,
// highlights left out) and of the sclera next to the limbus (from 1.1 to 1.35 iris
// radii, in sectors of 30 degrees either side of horizontal); r, R the pupil and iris
// radii.
#pragma once

#include "iris/circles.h"
#include "iris/grey.h"
#include "iris/occlusion.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace okuva::iris {

enum class Metric : uint8_t {
  kIrisDiameter,            // 2R in pixels
  kUsableIrisArea,          // % of the ring's area (pi (R^2 - r^2)) seen as iris in the mask
  kIrisScleraContrast,      // 100 |S - I| / (S + I - 2P)
  kIrisPupilContrast,       // W = (I - P) / (20 + P); 100 W / (0.75 + W), 0 when W <= 0
  kPupilIrisRatio,          // 100 r / R
  kIrisPupilConcentricity,  // 100 (1 - distance between the centres / R), at least 0
  kMarginAdequacy,  // 100 min(1, left / 0.6R, right / 0.6R, top / 0.2R, bottom / 0.2R), at least 0
  kGreyscaleUtilisation,  // entropy in bits of the usable ring's 256-level histogram
  kSharpness,  // see kSharpnessHalfRatio
  kPupilBoundaryCircularity,  // see kCircularityNoise
};
constexpr size_t kMetricCount = 10;

// Sharpness, relative to the picture's own contrast so that it does not follow the
// exposure. Over the eye region (the iris circle's bounding square, clipped), at every
// pixel: the band-pass of a 4 x 4 block (its central 2 x 2 mean minus the surrounding
// 12 pixels' mean) and the variance of the 8 x 8 window about it.
// P is the mean squared response less what the picture's own pixel noise of variance N
// puts in it, N / 3 (N from the median second difference at every other pixel, so that
// texture does not count as noise, and at least the 1/12 level^2 of rounding to whole
// levels); V is the mean window variance. q = P / (V + f^2) scores 100 q / (q + h^2),
// with f = kSharpnessNoiseFloor levels, which keeps a flat region from reading sharp,
// and h = kSharpnessHalfRatio. Windows touching the illuminator's spot (levels above
// the region's median by more than twice its 10-90 % spread, or clipped) take no part:
// its rim is the sharpest thing in the picture but does not scale with the exposure.
// Defocus removes first the band this filter passes.
constexpr double kSharpnessHalfRatio = 0.125;
constexpr double kSharpnessNoiseFloor = 0.5;  // levels
constexpr int32_t kSharpnessClipped = 250;  // levels

// Pupil boundary circularity: 100 (1 - max(0, e - kCircularityNoise) / (0.1 r)), at
// least 0, where e is how far the pupil's own boundary departs from the fitted circle:
// the root-mean-square distance from it of the pupil edges the fit kept, with the edge
// finder's noise taken out. That noise is half the mean squared difference between
// edges kCircularityNoiseLag degrees apart: far enough apart that their noise is
// independent, near enough that an oval's departure barely differs between them (on a
// soft real pupil the noise is nearly all of the spread). Half a pixel beyond it is
// allowed; a departure of a tenth of the radius beyond that scores 0.
constexpr double kCircularityNoise = 0.5;
constexpr double kCircularityNoiseLag = 15;  // degrees

// A recommended range: the value passes when it is above (or at, when included) the
// minimum and below (or at) the maximum. NaN bounds are absent.
struct Threshold {
  Metric metric;
  const char* name;  // snake_case, as okuva-tool prints it
  const char* label;  // the window's short Spanish label
  const char* unit;  // "" or a short unit for display
  double minimum;
  bool minimumIncluded;
  double maximum;
  bool maximumIncluded;
};

// Every threshold, in Metric order.
const std::array<Threshold, kMetricCount>& Thresholds();
const Threshold& ThresholdOf(Metric metric);
// False for NaN (not measured).
bool Passes(Metric metric, double value);

struct Quality {
  int32_t width = 0;
  int32_t height = 0;
  EyeCircles circles;
  OcclusionMask mask;
  // NaN where a metric could not be measured (no eye found, no sclera in the picture).
  std::array<double, kMetricCount> values{};
  std::array<bool, kMetricCount> passed{};
  bool pass = false;
  std::vector<Metric> failed;

  double Value(Metric metric) const { return values[static_cast<size_t>(metric)]; }
  bool Passed(Metric metric) const { return passed[static_cast<size_t>(metric)]; }
};

// The sharpness metric of the region around `iris` (see kSharpnessHalfRatio); 0 when
// the region, clipped to the picture, is under 8 x 8 pixels.
double Sharpness(const GreyPlane& picture, const Circle& iris);

// Finds the eye and measures it. Never raises for a plane of any size; a plane that is
// not Valid() or too small has no circles and fails every metric.
Quality Assess(const GreyPlane& picture);

}  // namespace okuva::iris
