#include "iris/confidence.h"

#include <cmath>
#include <cstddef>

namespace okuva::iris {
namespace {

// Weights of the evidence, chosen on real near-infrared eyes of some people and checked
// on those of others (a wrong pair, not a dim picture, is what they must tell apart):
// - each boundary's share of rays whose edge lies on its circle (a halo, a lash clump
//   or a lid read as a boundary leaves many rays without one); the pupil's counts less,
//   as lashes and the spot hide parts of a true pupil's rim too;
constexpr double kIrisShareWeight = 0.5;
constexpr double kPupilShareWeight = 0.25;
// - the limbus's own step, which the coarse score holds in part already;
constexpr double kLimbusStepWeight = 0.5;
// - the pupil's disc paler than the darkest level (a dark iris or a ring inside it read
//   as the pupil, while the true pupil is the darkest place of an eye);
constexpr double kPaleWeight = 2.0;
// - the edges' scatter about their circles beyond what true boundaries show (some 5 %
//   and 2 % of the radii: soft edges, texture, pixels);
constexpr double kScatterWeight = 1.5;
constexpr double kTypicalScatter = 0.07;
// - limbus edges that would move the iris centre up or down (a lid or a skin fold read
//   as part of the limbus, or a centre held at the pupil's height against the arcs).
constexpr double kHeightPullWeight = 1.0;
// Confidence is logistic in the evidence: one half at kEvidenceAtHalf, and each
// kEvidenceScale more multiplies the odds by e. A typical right pair on real eyes sits
// near 0.75; kMinConfidence (0.2) lies below about one right pair in 500 and above
// most of the wrong ones.
constexpr double kEvidenceAtHalf = 0.06;
constexpr double kEvidenceScale = 0.16;

double Det3(const double m[3][3]) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

}  // namespace

double PairConfidence(const PairEvidence& e) {
  const double evidence = e.coarseScore + kLimbusStepWeight * e.limbusStep +
                          kPupilShareWeight * (e.pupilShare - 1) +
                          kIrisShareWeight * (e.irisShare - 1) - kPaleWeight * e.pupilPaleness -
                          kScatterWeight * (e.pupilScatter + e.irisScatter - kTypicalScatter) -
                          kHeightPullWeight * std::abs(e.irisHeightPull);
  return 1 / (1 + std::exp((kEvidenceAtHalf - evidence) / kEvidenceScale));
}

double Scatter(const std::vector<double>& residuals) {
  double sum = 0;
  for (double d : residuals) {
    sum += d * d;
  }
  return residuals.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(residuals.size()));
}

double HeightPull(const std::vector<double>& residuals, const std::vector<double>& angles) {
  // Normal equations of residual = a + b cos + c sin; c by Cramer's rule.
  double a[3][3] = {}, b[3] = {};
  const size_t n = residuals.size() < angles.size() ? residuals.size() : angles.size();
  for (size_t i = 0; i < n; ++i) {
    const double v[3] = {1, std::cos(angles[i]), std::sin(angles[i])};
    for (int j = 0; j < 3; ++j) {
      b[j] += v[j] * residuals[i];
      for (int k = 0; k < 3; ++k) {
        a[j][k] += v[j] * v[k];
      }
    }
  }
  const double det = Det3(a);
  if (!(std::abs(det) > 1e-9 * (1 + static_cast<double>(n * n * n)))) {
    return 0.0;
  }
  double m[3][3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      m[i][j] = j == 2 ? b[i] : a[i][j];
    }
  }
  return Det3(m) / det;
}

}  // namespace okuva::iris
