// Pieces of the circle finder reachable by tests, which need exact values from them
// that the whole finder, drawing on pixels, cannot give. Not for other callers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "iris/grey.h"

namespace okuva::iris::detail {

// Kasa least-squares circle through points, each weighed by `weight` (0 leaves a point
// out), starting from the estimate (cx, cy) that it then replaces with radius; false
// when degenerate (fewer than six weighed points, all on a line). A positive
// `heightWeight` adds the prior that the centre lies at `priorY`: the term
// heightWeight * (centre y - priorY)^2 joins the algebraic residuals, each of which is
// about 2 R times a point's distance from the circle.
bool FitCircle(const std::vector<std::array<double, 2>>& pts, const std::vector<double>& weight,
               double& cx, double& cy, double& radius, double priorY = 0, double heightWeight = 0);

// A plain plane of reduced levels (row-major, `width` pixels a row) stands for the
// finder's working picture below.
struct DarkRegion {
  size_t area = 0;
  double x = 0, y = 0;  // centroid
  bool compact = false;
};

// The 4-connected region of levels under `level` that holds pixel `start`.
DarkRegion GrowRegion(const std::vector<float>& levels, int32_t width, size_t start, float level);

// The pupil candidate at the innermost dark region of a plane reduced by `factor`,
// with the picture's darkest level, dark percentile and contrast, and the region
// sizes (reduced pixels) a pupil may have.
std::optional<std::array<int32_t, 2>> InnermostCentre(const std::vector<float>& levels,
                                                      int32_t width, int32_t factor, double darkest,
                                                      double low, double contrast, size_t smallest,
                                                      size_t largest);

// Whether a coarse pair (centre x, y and pupil radius, reduced pixels) is much the same
// as one already refined and so is not tried again.
bool SamePair(std::array<double, 3> tried, std::array<double, 3> next);

// The picture box-averaged to the coarse search's working size.
struct ReducedPlane {
  int32_t width = 0, height = 0, factor = 1;
  std::vector<float> v;
};
ReducedPlane Reduce(const GreyPlane& picture);

// [1 2 1] / 4 smoothing in both directions, edges clamped.
void Smooth(std::vector<float>& levels, int32_t width);

// Fills the small bright blobs of levels at or above `level` with the level around
// them; the marks (1) of the filled pixels with their halo.
std::vector<uint8_t> FillHighlights(std::vector<float>& levels, int32_t width, double level);

// The least edge strength that votes: the `keep`-th strongest of `strong` (reordered),
// and no less than `minVote`.
float VoteThreshold(std::vector<float>& strong, size_t keep, float minVote);

// Peaks of the gradient vote for centres of dark-inside circles, strongest first.
std::vector<std::array<int32_t, 2>> VoteCentres(const std::vector<float>& levels, int32_t width,
                                                int32_t maxRadius, double contrast);

// Centres of the dark compact regions at a few levels above `low`, and the innermost.
std::vector<std::array<int32_t, 2>> DarkCentres(const std::vector<float>& levels, int32_t width,
                                                int32_t factor, double darkest, double low,
                                                double contrast);

// The best pupil and iris pair (reduced pixels; the centre a pixel's centre) about
// `centre`, if any.
struct CoarsePair {
  double x = 0, y = 0, pupilRadius = 0, irisRadius = 0, score = 0;
};
std::optional<CoarsePair> SearchPair(const std::vector<float>& levels, int32_t width,
                                     int32_t factor, std::array<int32_t, 2> centre,
                                     int32_t maxRadius, double low, double contrast);

}  // namespace okuva::iris::detail
