// Pieces of the circle finder reachable by tests, which need exact values from them
// that the whole finder, drawing on pixels, cannot give. Not for other callers.
#pragma once

#include <array>
#include <vector>

namespace okuva::iris::detail {

// Kasa least-squares circle through points, each weighed by `weight` (0 leaves a point
// out), starting from the estimate (cx, cy) that it then replaces with radius; false
// when degenerate (fewer than six weighed points, all on a line). A positive
// `heightWeight` adds the prior that the centre lies at `priorY`: the term
// heightWeight * (centre y - priorY)^2 joins the algebraic residuals, each of which is
// about 2 R times a point's distance from the circle.
bool FitCircle(const std::vector<std::array<double, 2>>& pts, const std::vector<double>& weight,
               double& cx, double& cy, double& radius, double priorY = 0, double heightWeight = 0);

}  // namespace okuva::iris::detail
