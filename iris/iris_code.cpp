#include "iris/iris_code.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <vector>

namespace okuva::iris {
namespace {

// The grid spans this share of the ring, from the pupil out: the first and last few
// per cent are the boundaries' own blur and the circles' error.
constexpr double kInnerRadius = 0.04;
constexpr double kOuterRadius = 0.92;

// One filter of the bank: a complex Gabor along the angle with a Gaussian envelope
// across the radii. Lengths are grid cells (columns around, rows out).
struct Filter {
  double wavelength;  // columns per cycle around the iris
  double sigmaAngle;  // envelope along the angle, columns
  double sigmaRadius;  // envelope across the radii, rows
};
constexpr Filter kFilters[kCodeFilters] = {
    {16, 7, 1.5},
    {32, 14, 2.5},
};
// A response is left out when more than this share of its window's weight lies on what
// hides the iris: its phase would be the lid's or the highlight's.
constexpr double kMaxHiddenShare = 0.3;
// A real or imaginary part smaller than this share of the median magnitude of its kind
// (this filter, this picture) is too weak to keep its sign under noise.
constexpr double kWeakShare = 0.25;

// Bilinear level at (x, y), centres of pixels at half-integers, edges clamped.
double Level(const GreyPlane& p, double x, double y) {
  const double fx = std::clamp(x - 0.5, 0.0, p.width - 1.0), fy = std::clamp(y - 0.5, 0.0, p.height - 1.0);
  const auto x0 = static_cast<int32_t>(fx), y0 = static_cast<int32_t>(fy);
  const int32_t x1 = std::min(x0 + 1, p.width - 1), y1 = std::min(y0 + 1, p.height - 1);
  const double tx = fx - x0, ty = fy - y0;
  const double top = p.At(x0, y0) + (p.At(x1, y0) - p.At(x0, y0)) * tx;
  const double bottom = p.At(x0, y1) + (p.At(x1, y1) - p.At(x0, y1)) * tx;
  return top + (bottom - top) * ty;
}

// The unwrapped ring: levels and whether each cell shows usable iris.
struct Polar {
  std::vector<double> level;  // kCodeRadii rows of kCodeAngles
  std::vector<double> hidden;  // 1 where the cell is not usable iris, else 0
};

Polar Unwrap(const GreyPlane& picture, const Circle& pupil, const Circle& iris, const OcclusionMask& mask) {
  constexpr int32_t n = kCodeAngles;
  Polar polar;
  polar.level.assign(static_cast<size_t>(kCodeRadii) * n, 0);
  polar.hidden.assign(static_cast<size_t>(kCodeRadii) * n, 1);
  // Cosines and sines at every half column: the cell centres and the sub-samples a
  // quarter of a cell either side, so a large iris is averaged, not aliased.
  std::array<double, 4 * kCodeAngles> cosines, sines;
  for (int32_t k = 0; k < 4 * n; ++k) {
    const double angle = 2 * std::numbers::pi * (k + 0.5) / (4 * n);
    cosines[k] = std::cos(angle);
    sines[k] = std::sin(angle);
  }
  const double step = (kOuterRadius - kInnerRadius) / kCodeRadii;
  double sum = 0;
  int32_t usable = 0;
  for (int32_t j = 0; j < n; ++j) {
    // Cell j's centre is quarter-column 4j + 2 of the table (angle 2 pi (j + 0.5) / n);
    // its sub-samples quarter-columns 4j + 1 and 4j + 3.
    for (int32_t i = 0; i < kCodeRadii; ++i) {
      const double rho = kInnerRadius + (i + 0.5) * step;
      double value = 0;
      for (int32_t k : {4 * j + 1, 4 * j + 3})
        for (double r : {rho - step / 4, rho + step / 4}) {
          const double px = pupil.x + pupil.radius * cosines[k], py = pupil.y + pupil.radius * sines[k];
          const double ix = iris.x + iris.radius * cosines[k], iy = iris.y + iris.radius * sines[k];
          value += Level(picture, px + r * (ix - px), py + r * (iy - py));
        }
      const size_t cell = static_cast<size_t>(i) * n + j;
      polar.level[cell] = value / 4;
      const size_t k = static_cast<size_t>(4 * j + 2);
      const double px = pupil.x + pupil.radius * cosines[k], py = pupil.y + pupil.radius * sines[k];
      const double ix = iris.x + iris.radius * cosines[k], iy = iris.y + iris.radius * sines[k];
      const double x = px + rho * (ix - px), y = py + rho * (iy - py);
      if (x >= 0 && y >= 0 && x < picture.width && y < picture.height &&
          mask.At(static_cast<int32_t>(x), static_cast<int32_t>(y)) == Occlusion::kIris) {
        polar.hidden[cell] = 0;
        sum += polar.level[cell];
        ++usable;
      }
    }
  }
  // Hidden cells take the usable iris's mean level, so a lid's bright edge does not ring
  // through the filters into the usable cells beside it.
  const double mean = usable > 0 ? sum / usable : 0;
  for (size_t c = 0; c < polar.level.size(); ++c)
    if (polar.hidden[c] != 0) polar.level[c] = mean;
  return polar;
}

std::vector<double> Gaussian(double sigma, int32_t limit) {
  const int32_t half = std::min(limit, static_cast<int32_t>(std::ceil(3 * sigma)));
  std::vector<double> w(static_cast<size_t>(2 * half + 1));
  for (int32_t d = -half; d <= half; ++d) w[static_cast<size_t>(d + half)] = std::exp(-0.5 * d * d / (sigma * sigma));
  return w;
}

// Rows smoothed by the radial envelope; rows beyond the grid are left out and the
// weights renormalised.
std::vector<double> AcrossRadii(const std::vector<double>& grid, const std::vector<double>& w) {
  constexpr int32_t n = kCodeAngles;
  const auto half = static_cast<int32_t>(w.size() / 2);
  std::vector<double> out(grid.size(), 0);
  for (int32_t i = 0; i < kCodeRadii; ++i) {
    double total = 0;
    for (int32_t d = -half; d <= half; ++d) {
      const int32_t row = i + d;
      if (row < 0 || row >= kCodeRadii) continue;
      const double weight = w[static_cast<size_t>(d + half)];
      total += weight;
      for (int32_t j = 0; j < n; ++j) out[static_cast<size_t>(i) * n + j] += weight * grid[static_cast<size_t>(row) * n + j];
    }
    for (int32_t j = 0; j < n; ++j) out[static_cast<size_t>(i) * n + j] /= total;
  }
  return out;
}

}  // namespace

int32_t IrisCode::UsableBits() const {
  int32_t count = 0;
  for (uint64_t m : mask) count += std::popcount(m);
  return count;
}

IrisCode EncodeIris(const GreyPlane& picture, const Circle& pupil, const Circle& iris, const OcclusionMask& mask) {
  IrisCode code;
  if (!picture.Valid() || mask.cells.empty() || !(iris.radius > pupil.radius) || !(pupil.radius > 0)) return code;
  constexpr int32_t n = kCodeAngles;
  const Polar polar = Unwrap(picture, pupil, iris, mask);

  std::vector<double> re(polar.level.size()), im(polar.level.size());
  std::vector<bool> kept(polar.level.size());
  std::vector<double> magnitudes;
  magnitudes.reserve(polar.level.size());
  for (int32_t f = 0; f < kCodeFilters; ++f) {
    const Filter& filter = kFilters[f];
    const std::vector<double> radial = Gaussian(filter.sigmaRadius, kCodeRadii - 1);
    const std::vector<double> rows = AcrossRadii(polar.level, radial);
    const std::vector<double> hiddenRows = AcrossRadii(polar.hidden, radial);
    // The angular kernel, its real part made zero-sum so the level's own brightness
    // gives no response (the imaginary part is odd, zero-sum already).
    const std::vector<double> envelope = Gaussian(filter.sigmaAngle, n / 2 - 1);
    const auto half = static_cast<int32_t>(envelope.size() / 2);
    std::vector<double> kr(envelope.size()), ki(envelope.size());
    double weight = 0, carrier = 0;
    for (int32_t d = -half; d <= half; ++d) {
      const double e = envelope[static_cast<size_t>(d + half)];
      weight += e;
      carrier += e * std::cos(2 * std::numbers::pi * d / filter.wavelength);
    }
    for (int32_t d = -half; d <= half; ++d) {
      const double e = envelope[static_cast<size_t>(d + half)];
      const double phase = 2 * std::numbers::pi * d / filter.wavelength;
      kr[static_cast<size_t>(d + half)] = e * (std::cos(phase) - carrier / weight);
      ki[static_cast<size_t>(d + half)] = e * std::sin(phase);
    }
    magnitudes.clear();
    for (int32_t i = 0; i < kCodeRadii; ++i) {
      const double* row = rows.data() + static_cast<size_t>(i) * n;
      const double* hiddenRow = hiddenRows.data() + static_cast<size_t>(i) * n;
      for (int32_t j = 0; j < n; ++j) {
        double a = 0, b = 0, h = 0;
        for (int32_t d = -half; d <= half; ++d) {
          const int32_t column = (j + d + n) % n;
          const auto t = static_cast<size_t>(d + half);
          a += kr[t] * row[column];
          b += ki[t] * row[column];
          h += envelope[t] * hiddenRow[column];
        }
        const size_t cell = static_cast<size_t>(i) * n + j;
        re[cell] = a;
        im[cell] = b;
        kept[cell] = h <= kMaxHiddenShare * weight;
        if (kept[cell]) {
          magnitudes.push_back(std::abs(a));
          magnitudes.push_back(std::abs(b));
        }
      }
    }
    double weak = 0;
    if (!magnitudes.empty()) {
      auto middle = magnitudes.begin() + static_cast<ptrdiff_t>(magnitudes.size() / 2);
      std::nth_element(magnitudes.begin(), middle, magnitudes.end());
      weak = kWeakShare * *middle;
    }
    for (int32_t i = 0; i < kCodeRadii; ++i)
      for (int32_t j = 0; j < n; ++j) {
        const size_t cell = static_cast<size_t>(i) * n + j;
        const int32_t bit = 2 * (f * kCodeRadii + i);
        if (re[cell] >= 0) code.bits[j] |= uint64_t{1} << bit;
        if (im[cell] >= 0) code.bits[j] |= uint64_t{1} << (bit + 1);
        if (!kept[cell]) continue;
        if (std::abs(re[cell]) > weak) code.mask[j] |= uint64_t{1} << bit;
        if (std::abs(im[cell]) > weak) code.mask[j] |= uint64_t{1} << (bit + 1);
      }
  }
  return code;
}

std::optional<IrisCode> EncodePicture(const GreyPlane& picture) {
  const EyeCircles circles = FindCircles(picture);
  if (!circles.pupil || !circles.iris) return std::nullopt;
  const OcclusionMask mask = MaskIrisRing(picture, *circles.pupil, *circles.iris);
  return EncodeIris(picture, *circles.pupil, *circles.iris, mask);
}

namespace {

struct Count {
  int32_t differing = 0;
  int32_t compared = 0;
};

// Differing and compared bits with b shifted by `shift` columns. Built twice, with and
// without the processor's popcount instruction, and chosen at load time.
__attribute__((target_clones("popcnt", "default"))) Count CountAt(const IrisCode& a, const IrisCode& b,
                                                                    int32_t shift) {
  int32_t differing = 0, compared = 0;
  for (int32_t j = 0; j < kCodeAngles; ++j) {
    const auto k = static_cast<size_t>((j + shift) & (kCodeAngles - 1));
    const uint64_t both = a.mask[static_cast<size_t>(j)] & b.mask[k];
    differing += std::popcount((a.bits[static_cast<size_t>(j)] ^ b.bits[k]) & both);
    compared += std::popcount(both);
  }
  return {differing, compared};
}

// Unclamped, so the rotation search still ranks matches too close to tell apart once
// clamped at 0.
double Normalised(const Count& c) {
  if (c.compared == 0) return 0.5;
  const double raw = static_cast<double>(c.differing) / c.compared;
  return 0.5 - (0.5 - raw) * std::sqrt(c.compared / kReferenceBits);
}

double Raw(const Count& c) { return c.compared > 0 ? static_cast<double>(c.differing) / c.compared : 0.5; }

}  // namespace

IrisComparison CompareIrisCodes(const IrisCode& a, const IrisCode& b) {
  static_assert(std::has_single_bit(static_cast<uint32_t>(kCodeAngles)), "columns wrap by a mask");
  std::array<Count, 2 * kMaxRotationSteps + 1> counts;
  int32_t best = -1, widest = 0;
  double bestDistance = 0;
  for (int32_t k = 0; k < static_cast<int32_t>(counts.size()); ++k) {
    const int32_t shift = k - kMaxRotationSteps;
    const Count& c = counts[static_cast<size_t>(k)] = CountAt(a, b, shift);
    if (c.compared > counts[static_cast<size_t>(widest)].compared) widest = k;
    if (c.compared < kMinComparedBits) continue;
    const double distance = Normalised(c);
    // Ties go to the smaller turn, so that Compare(b, a) finds the mirrored shift.
    if (best < 0 || distance < bestDistance ||
        (distance == bestDistance && std::abs(shift) < std::abs(best - kMaxRotationSteps))) {
      best = k;
      bestDistance = distance;
    }
  }
  IrisComparison result;
  const bool judged = best >= 0;
  const int32_t k = judged ? best : widest;
  const Count& c = counts[static_cast<size_t>(k)];
  result.distance = std::max(0.0, Normalised(c));  // more bits than the reference can pass 0
  result.rawDistance = Raw(c);
  result.bits = c.compared;
  // The turn to a fraction of a column: the vertex of the parabola through the raw
  // distances at the best shift and its neighbours.
  double shift = k - kMaxRotationSteps;
  if (k > 0 && k + 1 < static_cast<int32_t>(counts.size())) {
    const double before = Raw(counts[static_cast<size_t>(k - 1)]), after = Raw(counts[static_cast<size_t>(k + 1)]);
    const double curve = before - 2 * result.rawDistance + after;
    if (curve > 0) shift += std::clamp(0.5 * (before - after) / curve, -0.5, 0.5);
  }
  // Column j + shift of b showed what column j of a showed. Columns grow clockwise as
  // seen, so b is a turned counter-clockwise by -shift columns.
  result.rotation = shift == 0 ? 0.0 : -shift * kDegreesPerStep;
  if (!judged) {
    result.decision = MatchDecision::kTooFewBits;  // said with what the widest overlap showed
  } else {
    result.decision = result.distance <= kSameEyeThreshold ? MatchDecision::kSameEye : MatchDecision::kDifferentEye;
  }
  return result;
}

}  // namespace okuva::iris
