#include "iris/iris_code.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <vector>

namespace okuva::iris {
namespace {

// Chosen by measurement on near-infrared eyes (about 1000 pictures of 8 eyes; the equal
// error rate and the misses at 0.1 % false matches, see the README), among grids and
// filter banks of the same size.
//
// The grid spans this share of the ring, from the pupil out: the first tenth and the
// last 15 % are the boundaries' own blur (7 to 19 pixels at the limbus of a soft
// near-infrared picture) and the circles' error; 4 % to 92 % did worse.
constexpr double kInnerRadius = 0.1;
constexpr double kOuterRadius = 0.85;

// One filter of the bank: a complex Gabor along the angle with a Gaussian envelope
// across the radii. Lengths are grid cells (columns around, rows out). About 11 and 5
// cycles around the ring with short envelopes (broad bands, about an octave and a half):
// what a dim near-infrared iris shows above its noise is coarse, so 16 and 32 columns did
// worse (equal error rate 9.9 % against 8.3 % with the reflections hidden) and 32 and 64
// only traded misses for false matches. Across the radii an envelope of one row: the
// rows then keep their own texture (more independent bits, so different eyes spread
// less), where 2, 3 or 4 rows blurred it toward what every eye shares.
struct Filter {
  double wavelength;  // columns per cycle around the iris
  double sigmaAngle;  // envelope along the angle, columns
  double sigmaRadius;  // envelope across the radii, rows
};
constexpr Filter kFilters[kCodeFilters] = {
    {24, 4, 1},
    {48, 8, 1},
};
// A response is left out when more than this share of its window's weight lies on what
// hides the iris. Hidden cells carry the iris's mean level and add no edge, so a window
// mostly on them still reads the visible iris's phase (weakly: the weak-part rule
// below then decides); 0.3 and 0.5 threw away more good bits than bad.
constexpr double kMaxHiddenShare = 0.7;
// A real or imaginary part smaller than this share of the median magnitude of its kind
// (this filter, this picture) is too weak to keep its sign under noise. These fragile
// bits are many on dim eyes: leaving out those under 0.8 of the median (about 40 % of
// the bits) did better than 0.25 or 0.6 (misses at 0.1 % false matches 28 %, 31 %, 29 %).
constexpr double kWeakShare = 0.8;
// The sector about straight up, degrees either side, left out of every template: the
// upper lid and its lashes reach into it in most pictures and the occlusion mask does
// not catch all of their shadow (60 degrees lost more iris than it saved).
constexpr double kUpperSector = 45;
// Likewise the sector about straight down: the lower lid's margin, its lashes and the
// illuminator's glints on the tear film sit there, and a pair of one eye disagrees there
// about half again as often as on the sides while different eyes do not (10 to 30
// degrees all helped, a little; 20 keeps most of the ring on eyes with the lid clear).
constexpr double kLowerSector = 20;

// A cell brighter than the usable band's median by this many robust spreads (1.4826
// median absolute deviations) is a reflection; the cells within kReflectionRows rows and
// kReflectionColumns columns of it are its halo. Measured on near-infrared eyes: 2.5 or a
// margin of 5 rows hid too much iris, no such rule left the equal error rate 2 points higher.
constexpr double kReflectionSpreads = 3;
constexpr int32_t kReflectionRows = 3;
constexpr int32_t kReflectionColumns = 6;

// The unwrapped ring: levels and whether each cell shows usable iris.
struct Polar {
  std::vector<double> level;  // kCodeRadii rows of kCodeAngles
  std::vector<double> hidden;  // 1 where the cell is not usable iris, else 0
};

// Hides the reflections the occlusion mask leaves: cells brighter than the band's median
// by kReflectionSpreads robust spreads, with a margin for their halo. The illuminator's
// spot on a dark near-infrared iris peaks far under the mask's fixed highlight floor,
// and it sits at a different place on the iris in every frame.
void HideReflections(Polar& polar) {
  constexpr int32_t n = kCodeAngles;
  std::vector<double> levels;
  levels.reserve(polar.level.size());
  for (size_t c = 0; c < polar.level.size(); ++c) {
    if (polar.hidden[c] == 0) {
      levels.push_back(polar.level[c]);
    }
  }
  if (levels.empty()) {
    return;
  }
  const auto middle = levels.begin() + static_cast<ptrdiff_t>(levels.size() / 2);
  std::nth_element(levels.begin(), middle, levels.end());
  const double median = *middle;
  for (double& v : levels) {
    v = std::abs(v - median);
  }
  std::nth_element(levels.begin(), middle, levels.end());
  const double ceiling = median + kReflectionSpreads * std::max(1.0, 1.4826 * *middle);
  std::vector<double> hidden = polar.hidden;
  for (int32_t i = 0; i < kCodeRadii; ++i) {
    for (int32_t j = 0; j < n; ++j) {
      const size_t cell = static_cast<size_t>(i) * n + j;
      if (polar.hidden[cell] != 0 || polar.level[cell] <= ceiling) {
        continue;
      }
      for (int32_t row = std::max(0, i - kReflectionRows);
           row <= std::min(kCodeRadii - 1, i + kReflectionRows); ++row) {
        for (int32_t d = -kReflectionColumns; d <= kReflectionColumns; ++d) {
          hidden[static_cast<size_t>(row) * n + static_cast<size_t>((j + d + n) % n)] = 1;
        }
      }
    }
  }
  polar.hidden = std::move(hidden);
}

Polar Unwrap(const GreyPlane& picture, const Circle& pupil, const Circle& iris,
             const OcclusionMask& mask) {
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
      for (int32_t k : {4 * j + 1, 4 * j + 3}) {
        for (double r : {rho - step / 4, rho + step / 4}) {
          const double px = pupil.x + pupil.radius * cosines[k],
                       py = pupil.y + pupil.radius * sines[k];
          const double ix = iris.x + iris.radius * cosines[k], iy = iris.y + iris.radius * sines[k];
          value += Sample(picture, px + r * (ix - px), py + r * (iy - py));
        }
      }
      const size_t cell = static_cast<size_t>(i) * n + j;
      polar.level[cell] = value / 4;
      const size_t k = static_cast<size_t>(4 * j + 2);
      const double px = pupil.x + pupil.radius * cosines[k], py = pupil.y + pupil.radius * sines[k];
      const double ix = iris.x + iris.radius * cosines[k], iy = iris.y + iris.radius * sines[k];
      const double x = px + rho * (ix - px), y = py + rho * (iy - py);
      const double angle = 2 * std::numbers::pi * (j + 0.5) / n;
      const double up = std::abs(angle - 1.5 * std::numbers::pi) * 180 / std::numbers::pi;
      const double down = std::abs(angle - 0.5 * std::numbers::pi) * 180 / std::numbers::pi;
      if (up >= kUpperSector && down >= kLowerSector && x >= 0 && y >= 0 && x < picture.width &&
          y < picture.height &&
          mask.At(static_cast<int32_t>(x), static_cast<int32_t>(y)) == Occlusion::kIris) {
        polar.hidden[cell] = 0;
      }
    }
  }
  HideReflections(polar);
  for (size_t c = 0; c < polar.level.size(); ++c) {
    if (polar.hidden[c] == 0) {
      sum += polar.level[c];
      ++usable;
    }
  }
  // Hidden cells take the usable iris's mean level, so a lid's bright edge does not ring
  // through the filters into the usable cells beside it.
  const double mean = usable > 0 ? sum / usable : 0;
  for (size_t c = 0; c < polar.level.size(); ++c) {
    if (polar.hidden[c] != 0) {
      polar.level[c] = mean;
    }
  }
  return polar;
}

std::vector<double> Gaussian(double sigma, int32_t limit) {
  const int32_t half = std::min(limit, static_cast<int32_t>(std::ceil(3 * sigma)));
  std::vector<double> w(static_cast<size_t>(2 * half + 1));
  for (int32_t d = -half; d <= half; ++d) {
    w[static_cast<size_t>(d + half)] = std::exp(-0.5 * d * d / (sigma * sigma));
  }
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
      if (row < 0 || row >= kCodeRadii) {
        continue;
      }
      const double weight = w[static_cast<size_t>(d + half)];
      total += weight;
      for (int32_t j = 0; j < n; ++j) {
        out[static_cast<size_t>(i) * n + j] += weight * grid[static_cast<size_t>(row) * n + j];
      }
    }
    for (int32_t j = 0; j < n; ++j) {
      out[static_cast<size_t>(i) * n + j] /= total;
    }
  }
  return out;
}

}  // namespace

int32_t IrisCode::UsableBits() const {
  int32_t count = 0;
  for (uint64_t m : mask) {
    count += std::popcount(m);
  }
  return count;
}

IrisCode EncodeIris(const GreyPlane& picture, const Circle& pupil, const Circle& iris,
                    const OcclusionMask& mask) {
  IrisCode code;
  if (!picture.Valid() || mask.cells.empty() || !(iris.radius > pupil.radius) ||
      !(pupil.radius > 0)) {
    return code;
  }
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
    for (int32_t i = 0; i < kCodeRadii; ++i) {
      for (int32_t j = 0; j < n; ++j) {
        const size_t cell = static_cast<size_t>(i) * n + j;
        const int32_t bit = 2 * (f * kCodeRadii + i);
        if (re[cell] >= 0) {
          code.bits[j] |= uint64_t{1} << bit;
        }
        if (im[cell] >= 0) {
          code.bits[j] |= uint64_t{1} << (bit + 1);
        }
        if (!kept[cell]) {
          continue;
        }
        if (std::abs(re[cell]) > weak) {
          code.mask[j] |= uint64_t{1} << bit;
        }
        if (std::abs(im[cell]) > weak) {
          code.mask[j] |= uint64_t{1} << (bit + 1);
        }
      }
    }
  }
  return code;
}

std::optional<IrisCode> EncodePicture(const GreyPlane& picture) {
  const EyeCircles circles = FindCircles(picture);
  if (!circles.pupil || !circles.iris) {
    return std::nullopt;
  }
  const OcclusionMask mask = MaskIrisRing(picture, *circles.pupil, *circles.iris);
  return EncodeIris(picture, *circles.pupil, *circles.iris, mask);
}

namespace {

struct Count {
  int32_t differing = 0;
  int32_t compared = 0;
};
using Quarters = std::array<Count, kCodeSectors>;

// Differing and compared bits with b shifted by `shift` columns, split by the quarter
// of the ring each pair's midpoint column lies in (quarters centred on the right, the
// bottom, the left and the top), so that Compare(b, a) splits the same pairs alike.
// Built twice, with and without the processor's popcount instruction, and chosen at
// load time.
__attribute__((target_clones("popcnt", "default"))) Quarters CountAt(const IrisCode& a,
                                                                     const IrisCode& b,
                                                                     int32_t shift) {
  constexpr int32_t kPerSector = kCodeAngles / kCodeSectors;
  Quarters quarters{};
  for (int32_t s = 0; s < kCodeSectors; ++s) {
    // Pair j's midpoint, in half columns, is 2 j + shift; quarter s holds those from
    // 2 kPerSector s - kPerSector on, for kPerSector columns.
    const int32_t first = (2 * kPerSector * s - kPerSector - shift + 1) >> 1;
    int32_t differing = 0, compared = 0;
    for (int32_t i = 0; i < kPerSector; ++i) {
      const auto j = static_cast<size_t>((first + i) & (kCodeAngles - 1));
      const auto k = static_cast<size_t>((first + i + shift) & (kCodeAngles - 1));
      const uint64_t both = a.mask[j] & b.mask[k];
      differing += std::popcount((a.bits[j] ^ b.bits[k]) & both);
      compared += std::popcount(both);
    }
    quarters[static_cast<size_t>(s)] = {differing, compared};
  }
  return quarters;
}

// Unclamped, so the rotation search still ranks matches too close to tell apart once
// clamped at 0.
double Normalised(const Count& c) {
  if (c.compared == 0) {
    return 0.5;
  }
  const double raw = static_cast<double>(c.differing) / c.compared;
  return 0.5 - (0.5 - raw) * std::sqrt(c.compared / kReferenceBits);
}

double Raw(const Count& c) {
  return c.compared > 0 ? static_cast<double>(c.differing) / c.compared : 0.5;
}

// True when x agrees better than y: the smaller share of differing bits, then the more
// bits compared. Exact, so that the choice does not depend on the order asked.
bool Better(const Count& x, const Count& y) {
  const int64_t left = int64_t{x.differing} * y.compared, right = int64_t{y.differing} * x.compared;
  if (x.compared == 0 || y.compared == 0) {
    return x.compared > y.compared;
  }
  return left != right ? left < right : x.compared > y.compared;
}

}  // namespace

IrisComparison CompareIrisCodes(const IrisCode& a, const IrisCode& b) {
  static_assert(std::has_single_bit(static_cast<uint32_t>(kCodeAngles)), "columns wrap by a mask");
  static_assert(kCodeAngles % kCodeSectors == 0 &&
                std::has_single_bit(static_cast<uint32_t>(kCodeSectors)));
  constexpr int32_t kReach = kMaxRotationSteps + kSectorSlack;
  std::array<Quarters, 2 * kReach + 1> quarters;
  for (int32_t k = 0; k < static_cast<int32_t>(quarters.size()); ++k) {
    quarters[static_cast<size_t>(k)] = CountAt(a, b, k - kReach);
  }
  // At each turn of the whole code, each quarter may turn kSectorSlack columns more
  // either way: a circle's centre found a pixel or two off turns the texture one way on
  // one side of the ring and the other way on the other, and the pupil's own movement is
  // not a rigid turn. The quarter's best agreement counts; ties keep the smaller turn.
  std::array<Count, 2 * kMaxRotationSteps + 1> counts, rigid;
  for (int32_t k = 0; k < static_cast<int32_t>(counts.size()); ++k) {
    Count total, whole;
    for (const Count& q : quarters[static_cast<size_t>(k + kSectorSlack)]) {
      whole.differing += q.differing;
      whole.compared += q.compared;
    }
    rigid[static_cast<size_t>(k)] = whole;
    for (size_t s = 0; s < kCodeSectors; ++s) {
      Count chosen = quarters[static_cast<size_t>(k + kSectorSlack)][s];
      for (int32_t d = 1; d <= kSectorSlack; ++d) {
        const Count& before = quarters[static_cast<size_t>(k + kSectorSlack - d)][s];
        const Count& after = quarters[static_cast<size_t>(k + kSectorSlack + d)][s];
        const Count& closer = Better(before, after) ? before : after;
        if (Better(closer, chosen)) {
          chosen = closer;
        }
      }
      total.differing += chosen.differing;
      total.compared += chosen.compared;
    }
    counts[static_cast<size_t>(k)] = total;
  }
  int32_t best = -1, widest = 0;
  double bestDistance = 0;
  for (int32_t k = 0; k < static_cast<int32_t>(counts.size()); ++k) {
    const int32_t shift = k - kMaxRotationSteps;
    const Count& c = counts[static_cast<size_t>(k)];
    if (c.compared > counts[static_cast<size_t>(widest)].compared) {
      widest = k;
    }
    if (c.compared < kMinComparedBits) {
      continue;
    }
    const double distance = Normalised(c);
    // Ties (the quarters' own turns often reach one agreement from neighbouring turns of
    // the whole) go to the turn the whole code agrees best at, then to the smaller turn,
    // so that Compare(b, a) finds the mirrored shift.
    const auto rigidBetter = [&] {
      const double here = Normalised(rigid[static_cast<size_t>(k)]),
                   there = Normalised(rigid[static_cast<size_t>(best)]);
      return here != there ? here < there : std::abs(shift) < std::abs(best - kMaxRotationSteps);
    };
    if (best < 0 || distance < bestDistance || (distance == bestDistance && rigidBetter())) {
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
  // The turn to a fraction of a column: the vertex of the parabola through the whole
  // code's raw distances at the best shift and its neighbours.
  double shift = k - kMaxRotationSteps;
  if (k > 0 && k + 1 < static_cast<int32_t>(counts.size())) {
    const double before = Raw(rigid[static_cast<size_t>(k - 1)]),
                 after = Raw(rigid[static_cast<size_t>(k + 1)]);
    const double curve = before - 2 * Raw(rigid[static_cast<size_t>(k)]) + after;
    if (curve > 0) {
      shift += std::clamp(0.5 * (before - after) / curve, -0.5, 0.5);
    }
  }
  // Column j + shift of b showed what column j of a showed. Columns grow clockwise as
  // seen, so b is a turned counter-clockwise by -shift columns.
  result.rotation = shift == 0 ? 0.0 : -shift * kDegreesPerStep;
  if (!judged) {
    result.decision = MatchDecision::kTooFewBits;  // said with what the widest overlap showed
  } else {
    result.decision = result.distance <= kSameEyeThreshold ? MatchDecision::kSameEye
                                                           : MatchDecision::kDifferentEye;
  }
  return result;
}

}  // namespace okuva::iris
