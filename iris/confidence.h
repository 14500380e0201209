// How far a pupil and iris pair found in a picture can be believed, from what was
// measured around its circles. Kept apart from the search so that the weights are in
// one place and a change to either boundary's search leaves them as they are.
#pragma once

#include <vector>

namespace okuva::iris {

// Measures of one pair; levels are shares of the picture's contrast C and distances
// shares of the circle's radius.
struct PairEvidence {
  double coarseScore = 0;    // the coarse search's: both steps less its penalties
  double limbusStep = 0;     // mean step of the limbus edges the iris fit kept
  double pupilShare = 0;     // share of the pupil's rays whose edge its circle kept
  double irisShare = 0;      // the same for the iris's side rays
  double pupilPaleness = 0;  // the pupil disc's median level above the picture's darkest
  double pupilScatter = 0;   // root mean square distance of the kept edges from the circle
  double irisScatter = 0;
  double irisHeightPull = 0;  // see HeightPull: how far the limbus edges disagree with the centre
};

// 0..1, rising with the evidence: the coarse score plus the weighted terms of
// PairEvidence (see confidence.cpp for the weights and why).
double PairConfidence(const PairEvidence& e);

// Root mean square of the residuals (0 for none).
double Scatter(const std::vector<double>& residuals);

// The height by which the edges would still move a fitted circle's centre: with the
// residuals (edge distance from the centre less the radius) at their angles (from the
// centre, y down), the least-squares coefficient of sin(angle) in a fit of the
// residuals to a + b cos(angle) + c sin(angle). 0 when the angles cannot say (fewer
// than three edges, or all on one line through the centre).
double HeightPull(const std::vector<double>& residuals, const std::vector<double>& angles);

}  // namespace okuva::iris
