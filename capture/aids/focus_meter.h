// Focus meter: how sharp the centre of the picture is, on a scale of 0 to 100.
//
// The picture's central region is binned 2 x 2 and the 4-neighbour Laplacian taken on
// the bins: a band-pass that keeps the iris texture of a few pixels' scale and damps
// the pixel-to-pixel sensor noise that a plain Laplacian would mostly measure. The
// score is the root-mean-square response divided by the standard deviation of the
// bins: both grow in proportion when the light or the contrast is scaled, so only the
// share of fine detail remains, and defocus removes the fine detail first. The ratio
// cannot exceed 8 (the Laplacian's largest eigenvalue, reached by a checkerboard of
// bins), which maps to 100.
#pragma once

#include "capture/aids/grey.h"
#include "platform/camera/camera.h"

#include <cstdint>
#include <vector>

namespace okuva::aids {

// The region measured: the central half of the frame in each direction (a quarter of
// its area), where the operator places the eye.
constexpr int32_t kFocusRegionDivisor = 2;
// Pixels per side of a bin.
constexpr int32_t kFocusBin = 2;
// Deviation of the bins, in grey levels, below which the picture counts as flat:
// noise on a dark or covered lens must not read as fine detail.
constexpr double kFocusFlatDeviation = 6.0;
// The score of a checkerboard of bins, the sharpest picture there is.
constexpr double kFocusScoreMax = 100.0;

// Sharpness 0..100 of the central region of a grey plane or of an RGB frame. Pictures
// whose central region holds fewer than 3 x 3 bins (under 12 x 12 pixels) score 0.
// Raises error 5 for a malformed view or frame (see CheckView, CheckFrame).
double FocusScore(const GreyView& grey);
double FocusScore(const camera::Frame& frame);

// The meter the live picture feeds: the latest score and the best one since the last
// reset (the operator rocks the camera through focus and stops at the peak). Keeps its
// working memory between frames, so measuring allocates only when the size grows.
class FocusMeter {
public:
  // Scores a frame or plane (as FocusScore), records it as current and raises the
  // best when it is higher. Returns the score.
  double Measure(const camera::Frame& frame);
  double Measure(const GreyView& grey);
  // Records a score measured elsewhere (clamped to 0..100; not-a-number counts as 0).
  void Add(double score);
  // Forgets the best value (after every "Capturar") and the current one.
  void Reset();

  // The latest score (0 before the first).
  double Current() const { return current_; }
  // The best score since the last reset (0 before the first).
  double Best() const { return best_; }
  // Scores recorded since the last reset.
  uint64_t Count() const { return count_; }

private:
  std::vector<uint16_t> bins_;
  double current_ = 0;
  double best_ = 0;
  uint64_t count_ = 0;
};

}  // namespace okuva::aids
