#include "iris/circles.h"

#include "iris/circles_detail.h"
#include "iris/confidence.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <utility>

namespace okuva::iris {
namespace {

// Short side of the reduced picture the coarse search runs on (the picture is
// box-averaged by the nearest whole factor): an iris of capture size (200 pixels on
// 480 lines) is then 25 pixels in radius, enough to place it within a pixel or two,
// and the search stays within a few milliseconds.
constexpr int32_t kWorkingShortSide = 120;
// The picture's contrast C is the spread between these percentiles of its levels
// (highlights filled; the 90th, not the top, so glare too large to fill and bright
// skin do not inflate it); every step and threshold below is a share of it, so a
// dark, soft near-infrared eye and a bright daylight one are read alike.
constexpr double kLowPercentile = 0.02;
constexpr double kHighPercentile = 0.9;
constexpr double kMinContrast = 8.0;  // levels: flatter pictures show no eye
// The pupil's own level: a pupil may cover as little as 1 % of the picture.
constexpr double kDarkestPercentile = 0.005;
// A highlight is a blob at least this share of the way from the 95th percentile of
// the levels to the picture's brightest level (not to white: a short exposure keeps
// the spot well under 255), covering at most 1/kHighlightShare of the reduced picture
// (larger bright areas are sclera or skin).
constexpr double kHighlightRise = 0.5;
constexpr int32_t kHighlightShare = 80;
// Levels, as shares of C above the dark percentile, at which dark regions are taken
// for pupil candidates.
constexpr std::array<double, 3> kDarkShares = {0.06, 0.12, 0.2};
// Steps (a share of C, and at least kInnermostRiseFloor levels) by which the innermost
// dark region's level rises: fine enough that a pupil a level or two under its iris
// shows on its own.
constexpr double kInnermostRise = 0.02;
constexpr double kInnermostRiseFloor = 0.25;
// Smallest Sobel response that votes (4 times a step of this share of C per 2 pixels),
// and the share of the strongest edges that vote.
constexpr double kMinVoteStep = 0.04;
constexpr double kVotingShare = 0.12;
constexpr int kCandidates = 5;      // peaks of the vote
// Best pairs of distinct candidates refined in turn until one is an eye, of those
// scoring within kFallbackGap of the best (a share of C).
constexpr int kPairsTried = 3;
constexpr double kFallbackGap = 0.15;
constexpr int32_t kCentreSearch = 3;  // reduced pixels around each candidate
constexpr int kCircleSamples = 32;
// A boundary's step is the mean level kSpan * radius (at least a pixel) outside the
// circle minus the mean level as far inside: soft edges scale with the eye.
constexpr double kSpan = 0.1;
// Smallest coarse step of a boundary, as a share of C (a dark iris's pupil steps by
// about a tenth of it).
constexpr double kMinCoarseStep = 0.04;
// Weight of the spread of levels inside a pupil candidate against its score.
constexpr double kUnevenPupilWeight = 1.0;
// Weight of a pupil candidate's mean level above the picture's dark percentile: the
// pupil is the darkest place of an eye, a dark iris around it is not.
constexpr double kPaleness = 1.5;
// Weight of iris ring levels brighter than the level just inside its boundary (a
// boundary past the limbus holds bright sclera inside it).
constexpr double kBrightRingWeight = 1.0;
// Share of the largest side step that the innermost iris boundary must reach: a soft
// limbus often rises less than the lashes-to-skin or eye-corner step beyond it.
constexpr double kInnermostShare = 0.6;
// Smallest radii, in pixels of the picture: an iris 60 pixels across with a pupil of
// a fifth of it.
constexpr double kSmallestIris = 30.0;
constexpr double kSmallestPupil = 6.0;
// Iris radius relative to the pupil's that the search allows (ratios of 20 % to 80 %,
// as the smallest radii above): a "pupil" under a fifth of its iris is far more often
// a highlight's halo or a dark fleck, whose best ring is then the skin beyond the eye.
constexpr double kMinIrisToPupil = 1.25;
constexpr double kMaxIrisToPupil = 5.0;
// Rays of the fine search, and the smallest step (a share of C) of an edge on them.
constexpr int kPupilRays = 72;
constexpr int kIrisRaysPerSide = 25;
// The iris boundary is read on side arcs from kIrisArcUp above horizontal to
// kIrisArcDown below it: an upper lid over the top fifth of the iris reaches down to
// 37 degrees above horizontal, and the lower lid's shading reaches about as high.
constexpr double kIrisArcUp = 30.0;
constexpr double kIrisArcDown = 30.0;
constexpr double kMinFineStep = 0.04;
// A pupil ray whose expected edge (within kGlareWindow of the search's half range of
// the radius) lies under a highlight or its halo finds, if anything, the halo's rim
// or the iris beyond: the circle is fitted to the clear rays first, and such an edge
// joins it only within kGlareEdgeShare of the limit the others are held to.
constexpr double kGlareWindow = 0.5;
constexpr double kGlareEdgeShare = 0.3;
// On each iris ray the limbus is the innermost step reaching this share of the ray's
// strongest: lid margins and skin folds beyond it may rise as far again.
constexpr double kInnermostRayShare = 0.5;
// Iris and pupil centres lie within about a tenth of the iris's radius of each other:
// the side-arc fit weighs its centre's height against the pupil's with this spread (a
// share of R), since two side arcs alone say little about the height. A soft prior
// rather than a switch: clean arcs still move the centre, noisy ones barely.
constexpr double kHeightPrior = 0.1;
// The side arcs' edges are weighed down beyond kSoftLimit times their robust spread
// from the circle, and left out beyond kHardLimit times it, rather than dropped at
// the tighter limit the pupil uses: the arcs' ends meet the lids on many eyes, and
// dropping those edges on one end only would tilt the circle's centre up or down.
constexpr double kSoftLimit = 1.5;
constexpr double kHardLimit = 3.0;
// The limbus is where the iris ends. The rise from the iris to the sclera spreads wider
// than the camera's blur (the pupil's edge is mostly sharper): it is largely the
// sclera's thinning margin laid over the iris's root, so the iris ends near the rise's
// start, while its steepest point lies a few percent of the radius further out. Each
// limbus edge is therefore placed 1/2 - kRiseShare of the rise's width in from the
// rise's middle (kRiseShare of the way up a straight rise), its levels read kRiseReach
// spans either side of its steepest point: far enough to hold the rise of a soft edge,
// near enough to leave out lids and skin beyond it.
constexpr double kRiseShare = 0.3;
constexpr double kRiseReach = 1.0;
constexpr double kMinFoundShare = 0.4;  // of the rays, for a fitted circle to count
// Share of C by which the pupil's median must lie under the iris ring's, and at least
// a level (less is rounding): a floor of several levels would drop dark exposures.
constexpr double kMinPupilContrast = 0.05;
constexpr double kMinPupilStep = 1.0;

struct Reduced {
  int32_t width = 0, height = 0, factor = 1;
  std::vector<float> v;
  std::vector<uint8_t> glare;  // 1 where a highlight or its halo was filled
  float At(int32_t x, int32_t y) const { return v[static_cast<size_t>(y) * width + x]; }
  float& At(int32_t x, int32_t y) { return v[static_cast<size_t>(y) * width + x]; }
};

Reduced Reduce(const GreyPlane& p) {
  Reduced r;
  r.factor = std::max(1, static_cast<int32_t>(std::lround(std::min(p.width, p.height) /
                                                          static_cast<double>(kWorkingShortSide))));
  r.width = p.width / r.factor;
  r.height = p.height / r.factor;
  r.v.assign(static_cast<size_t>(r.width) * r.height, 0.0f);
  r.glare.assign(r.v.size(), 0);
  std::vector<uint32_t> sums(static_cast<size_t>(r.width));
  const float scale = 1.0f / static_cast<float>(r.factor * r.factor);
  for (int32_t y = 0; y < r.height; ++y) {
    std::fill(sums.begin(), sums.end(), 0u);
    for (int32_t dy = 0; dy < r.factor; ++dy) {
      const uint8_t* row = p.pixels + (static_cast<ptrdiff_t>(y) * r.factor + dy) * p.stride;
      for (int32_t x = 0; x < r.width; ++x) {
        uint32_t s = 0;
        for (int32_t dx = 0; dx < r.factor; ++dx) {
          s += row[x * r.factor + dx];
        }
        sums[static_cast<size_t>(x)] += s;
      }
    }
    for (int32_t x = 0; x < r.width; ++x) {
      r.At(x, y) = static_cast<float>(sums[static_cast<size_t>(x)]) * scale;
    }
  }
  return r;
}

// Level at the given share of the sorted levels (0..1), blocks wholly at white left out:
// clipped, they tell nothing of the scene's levels, and a lamp or a window in the frame
// would otherwise become the picture's contrast and shrink the eye's steps under it.
std::array<double, 3> Percentiles(const Reduced& r, std::array<double, 3> shares) {
  std::array<uint32_t, 256> histogram{};
  for (float v : r.v) {
    ++histogram[static_cast<size_t>(std::clamp(v, 0.0f, 255.0f))];
  }
  const double unclipped = static_cast<double>(r.v.size() - histogram[255]);
  std::array<double, 3> levels{};
  for (size_t k = 0; k < shares.size(); ++k) {
    const double target = shares[k] * unclipped;
    double seen = 0;
    size_t level = 0;
    while (level < 255 && seen + histogram[level] <= target) {
      seen += histogram[level++];
    }
    levels[k] = static_cast<double>(level);
  }
  return levels;
}

// Fills small bright blobs with the level around them, and marks them with their
// halo in r.glare. The halo (the blur and the dark ring a camera's sharpening draws
// around a bright spot) reaches as far again as the blob's own radius, so a spot on
// the pupil's edge leaves neither a bright notch nor a dark ring behind.
void FillHighlights(Reduced& r, double level) {
  const size_t n = r.v.size();
  const auto threshold = static_cast<float>(level);
  std::vector<uint8_t> seen(n, 0);
  std::vector<int32_t> blob, stack, grown;
  std::vector<double> border;
  const size_t limit = std::max<size_t>(4, n / kHighlightShare);
  for (size_t start = 0; start < n; ++start) {
    if (seen[start] || r.v[start] < threshold) {
      continue;
    }
    blob.clear();
    stack.assign(1, static_cast<int32_t>(start));
    seen[start] = 1;
    int32_t x0 = r.width, y0 = r.height, x1 = 0, y1 = 0;
    double sx = 0, sy = 0;
    while (!stack.empty()) {
      const int32_t i = stack.back();
      stack.pop_back();
      blob.push_back(i);
      const int32_t x = i % r.width, y = i / r.width;
      x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
      sx += x, sy += y;
      const int32_t nx[4] = {x - 1, x + 1, x, x}, ny[4] = {y, y, y - 1, y + 1};
      for (int k = 0; k < 4; ++k) {
        if (nx[k] < 0 || ny[k] < 0 || nx[k] >= r.width || ny[k] >= r.height) {
          continue;
        }
        const int32_t j = ny[k] * r.width + nx[k];
        if (!seen[j] && r.v[j] >= threshold) {
          seen[j] = 1;
          stack.push_back(j);
        }
      }
    }
    // A thin bright sliver (sclera cut by the picture's edge, a lid's wet margin) is
    // no spot: a disc of its length would hide the eye beside it.
    const int32_t extent = std::max(x1 - x0 + 1, y1 - y0 + 1);
    if (blob.size() > limit || blob.size() * 4 < static_cast<size_t>(extent) * extent) {
      continue;
    }
    const double count = static_cast<double>(blob.size());
    const double mx = sx / count, my = sy / count;
    // Half the blob's extent plus its own radius again, and a pixel.
    const double reach = 0.5 * extent + std::sqrt(count / std::numbers::pi) + 1.0;
    const auto span = static_cast<int32_t>(std::ceil(reach)) + 2;
    grown.clear();
    border.clear();
    for (int32_t y = std::max(0, static_cast<int32_t>(my) - span);
         y <= std::min(r.height - 1, static_cast<int32_t>(my) + span); ++y) {
      for (int32_t x = std::max(0, static_cast<int32_t>(mx) - span);
           x <= std::min(r.width - 1, static_cast<int32_t>(mx) + span); ++x) {
        const double d = std::hypot(x - mx, y - my);
        const size_t i = static_cast<size_t>(y) * r.width + x;
        if (d <= reach) {
          grown.push_back(static_cast<int32_t>(i));
        } else if (d <= reach + 1.5 && r.v[i] < threshold) {
          border.push_back(r.v[i]);
        }
      }
    }
    // The border's lower third: a spot on the pupil's edge is filled nearer the
    // pupil's level than the iris's, so the pupil keeps its round outline.
    double fill = 128.0;
    if (!border.empty()) {
      const auto at = border.begin() + static_cast<ptrdiff_t>(border.size() / 3);
      std::nth_element(border.begin(), at, border.end());
      fill = *at;
    }
    for (int32_t i : grown) {
      r.v[static_cast<size_t>(i)] = static_cast<float>(fill);
      r.glare[static_cast<size_t>(i)] = 1;
    }
  }
}

// [1 2 1] / 4 in both directions, edges clamped.
void Smooth(Reduced& r) {
  std::vector<float> tmp(r.v.size());
  for (int32_t y = 0; y < r.height; ++y) {
    for (int32_t x = 0; x < r.width; ++x) {
      const float a = r.At(std::max(0, x - 1), y), b = r.At(x, y),
                  c = r.At(std::min(r.width - 1, x + 1), y);
      tmp[static_cast<size_t>(y) * r.width + x] = (a + 2 * b + c) * 0.25f;
    }
  }
  for (int32_t y = 0; y < r.height; ++y) {
    for (int32_t x = 0; x < r.width; ++x) {
      const size_t up = static_cast<size_t>(std::max(0, y - 1)) * r.width + x;
      const size_t down = static_cast<size_t>(std::min(r.height - 1, y + 1)) * r.width + x;
      r.At(x, y) = (tmp[up] + 2 * tmp[static_cast<size_t>(y) * r.width + x] + tmp[down]) * 0.25f;
    }
  }
}

struct Point {
  int32_t x, y;
};

struct Region {
  size_t area = 0;
  double x = 0, y = 0;  // centroid
  bool compact = false;  // fills at least a third of its bounding box, which is not long
};

// The connected region of pixels under `level` that holds pixel `start`; marks them in
// `seen`.
Region GrowRegion(const Reduced& r, size_t start, float level, std::vector<uint8_t>& seen,
                  std::vector<int32_t>& stack) {
  Region region;
  stack.assign(1, static_cast<int32_t>(start));
  seen[start] = 1;
  double sx = 0, sy = 0;
  int32_t x0 = r.width, x1 = 0, y0 = r.height, y1 = 0;
  while (!stack.empty()) {
    const int32_t i = stack.back();
    stack.pop_back();
    const int32_t x = i % r.width, y = i / r.width;
    sx += x, sy += y, ++region.area;
    x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    const int32_t nx[4] = {x - 1, x + 1, x, x}, ny[4] = {y, y, y - 1, y + 1};
    for (int k = 0; k < 4; ++k) {
      if (nx[k] < 0 || ny[k] < 0 || nx[k] >= r.width || ny[k] >= r.height) {
        continue;
      }
      const int32_t j = ny[k] * r.width + nx[k];
      if (!seen[j] && r.v[j] < level) {
        seen[j] = 1;
        stack.push_back(j);
      }
    }
  }
  const int32_t bw = x1 - x0 + 1, bh = y1 - y0 + 1;
  region.compact = region.area * 3 >= static_cast<size_t>(bw) * bh && bw <= 3 * bh && bh <= 3 * bw;
  region.x = sx / static_cast<double>(region.area);
  region.y = sy / static_cast<double>(region.area);
  return region;
}

// Centre of the innermost dark region. In a very dark iris the pupil lies only a level
// or two under it, so at any share of C above that the two have merged; but raised in
// small steps from the darkest level, the darkest compact region grows smoothly over
// the pupil and then spills into the iris at once (its area jumps). Its centroid just
// before the spill is the pupil's.
std::optional<Point> InnermostCentre(const Reduced& r, double darkest, double low, double contrast,
                                     size_t smallest, size_t largest) {
  const size_t n = r.v.size();
  std::vector<uint8_t> seen(n);
  std::vector<int32_t> stack;
  const double rise = std::max(kInnermostRiseFloor, kInnermostRise * contrast);
  // Smaller regions than the smallest pupil may double at a step as they join up.
  const double pupilArea = std::numbers::pi * std::pow(kSmallestPupil / r.factor, 2);
  const double ceiling = low + kDarkShares.back() * contrast;
  // The seed: the largest compact region at the first level where one is as large as a
  // small pupil's dark core (a quarter of its disc), above specks of noise.
  auto level = static_cast<float>(darkest);
  size_t seed = n;
  Region last;
  while (seed == n && (level += static_cast<float>(rise)) < ceiling) {
    std::fill(seen.begin(), seen.end(), 0);
    for (size_t start = 0; start < n; ++start) {
      if (seen[start] || r.v[start] >= level) {
        continue;
      }
      const Region region = GrowRegion(r, start, level, seen, stack);
      if (region.compact && region.area > last.area &&
          static_cast<double>(region.area) * 4 >= pupilArea) {
        last = region;
        seed = start;
      }
    }
  }
  if (seed == n) {
    return std::nullopt;
  }
  for (level += static_cast<float>(rise); level < ceiling; level += static_cast<float>(rise)) {
    std::fill(seen.begin(), seen.end(), 0);
    const Region region = GrowRegion(r, seed, level, seen, stack);
    if (region.area > largest ||
        (static_cast<double>(last.area) >= pupilArea && region.area > 2 * last.area)) {
      break;
    }
    // A region may lose its shape for a step where noise joins a bump to it.
    if (region.compact) {
      last = region;
    }
  }
  if (last.area < smallest) {
    return std::nullopt;
  }
  return Point{static_cast<int32_t>(last.x), static_cast<int32_t>(last.y)};
}

// Centres of the dark compact regions: the pixels under a few levels between the
// picture's dark percentile and its middle, grouped into connected regions, each
// region's centroid (a pupil is a compact dark region; gradient votes may miss one
// whose edge is soft and weak): the largest compact region of each level, and the
// innermost one.
std::vector<Point> DarkCentres(const Reduced& r, double darkest, double low, double contrast) {
  std::vector<Point> chosen;
  const size_t n = r.v.size();
  std::vector<uint8_t> seen(n);
  std::vector<int32_t> stack;
  const size_t smallest = std::max<size_t>(4, n / 4000), largest = n / 6;
  for (double share : kDarkShares) {
    const auto level = static_cast<float>(low + share * contrast);
    std::fill(seen.begin(), seen.end(), 0);
    std::vector<std::pair<size_t, Point>> regions;
    for (size_t start = 0; start < n; ++start) {
      if (seen[start] || r.v[start] >= level) {
        continue;
      }
      const Region region = GrowRegion(r, start, level, seen, stack);
      if (region.area < smallest || region.area > largest || !region.compact) {
        continue;
      }
      regions.push_back(
          {region.area, {static_cast<int32_t>(region.x), static_cast<int32_t>(region.y)}});
    }
    std::sort(regions.begin(), regions.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t k = 0; k < regions.size() && k < 1; ++k) {
      bool near = false;
      for (const Point& c : chosen) {
        near |=
            std::abs(c.x - regions[k].second.x) <= 1 && std::abs(c.y - regions[k].second.y) <= 1;
      }
      if (!near) {
        chosen.push_back(regions[k].second);
      }
    }
  }
  if (const auto inner = InnermostCentre(r, darkest, low, contrast, smallest, largest)) {
    chosen.push_back(*inner);
  }
  return chosen;
}

}  // namespace

namespace detail {

float VoteThreshold(std::vector<float>& strong, size_t keep, float minVote) {
  float threshold = minVote;
  if (strong.size() > keep && keep > 0) {
    std::nth_element(strong.begin(), strong.begin() + static_cast<ptrdiff_t>(strong.size() - keep),
                     strong.end());
    threshold = std::max(threshold, strong[strong.size() - keep]);
  }
  return threshold;
}

}  // namespace detail

namespace {

// Peaks of the gradient vote: centres of dark-inside circles.
std::vector<Point> VoteCentres(const Reduced& r, int32_t maxRadius, double contrast) {
  const int32_t w = r.width, h = r.height;
  std::vector<float> gx(static_cast<size_t>(w) * h, 0), gy(gx.size(), 0), mag(gx.size(), 0);
  std::vector<float> strong;
  const auto minVote = static_cast<float>(4 * kMinVoteStep * contrast);
  for (int32_t y = 1; y + 1 < h; ++y) {
    for (int32_t x = 1; x + 1 < w; ++x) {
      const float sx = r.At(x + 1, y - 1) + 2 * r.At(x + 1, y) + r.At(x + 1, y + 1) -
                       r.At(x - 1, y - 1) - 2 * r.At(x - 1, y) - r.At(x - 1, y + 1);
      const float sy = r.At(x - 1, y + 1) + 2 * r.At(x, y + 1) + r.At(x + 1, y + 1) -
                       r.At(x - 1, y - 1) - 2 * r.At(x, y - 1) - r.At(x + 1, y - 1);
      const size_t i = static_cast<size_t>(y) * w + x;
      gx[i] = sx;
      gy[i] = sy;
      mag[i] = std::sqrt(sx * sx + sy * sy);
      if (mag[i] >= minVote) {
        strong.push_back(mag[i]);
      }
    }
  }
  if (strong.empty()) {
    return {};
  }
  const float threshold = detail::VoteThreshold(
      strong, static_cast<size_t>(static_cast<double>(w) * h * kVotingShare), minVote);
  std::vector<float> acc(gx.size(), 0);
  for (int32_t y = 1; y + 1 < h; ++y) {
    for (int32_t x = 1; x + 1 < w; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      if (mag[i] < threshold) {
        continue;
      }
      const double ux = gx[i] / mag[i], uy = gy[i] / mag[i];
      for (int32_t radius = 2; radius <= maxRadius; ++radius) {
        const double fx = x + 0.5 - radius * ux, fy = y + 0.5 - radius * uy;
        if (fx < 0 || fy < 0 || fx >= w || fy >= h) {
          break;
        }
        const auto cx = static_cast<int32_t>(fx), cy = static_cast<int32_t>(fy);
        acc[static_cast<size_t>(cy) * w + cx] += 1.0f;
      }
    }
  }
  // Box 5 x 5 so near misses of one circle add up.
  std::vector<float> box(acc.size(), 0);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      float s = 0;
      for (int32_t dy = -2; dy <= 2; ++dy) {
        for (int32_t dx = -2; dx <= 2; ++dx) {
          const int32_t xx = x + dx, yy = y + dy;
          if (xx >= 0 && yy >= 0 && xx < w && yy < h) {
            s += acc[static_cast<size_t>(yy) * w + xx];
          }
        }
      }
      box[static_cast<size_t>(y) * w + x] = s;
    }
  }
  std::vector<Point> peaks;
  const int32_t suppress = std::max(3, std::min(w, h) / 30);
  for (int k = 0; k < kCandidates; ++k) {
    const auto best = std::max_element(box.begin(), box.end());
    if (*best <= 0) {
      break;
    }
    const auto i = static_cast<int32_t>(best - box.begin());
    const Point p{i % w, i / w};
    peaks.push_back(p);
    for (int32_t y = std::max(0, p.y - suppress); y <= std::min(h - 1, p.y + suppress); ++y) {
      for (int32_t x = std::max(0, p.x - suppress); x <= std::min(w - 1, p.x + suppress); ++x) {
        box[static_cast<size_t>(y) * w + x] = 0;
      }
    }
  }
  return peaks;
}

int32_t SpanOf(size_t radius) {
  return std::max<int32_t>(1,
                           static_cast<int32_t>(std::lround(kSpan * static_cast<double>(radius))));
}

struct Coarse {
  double x = 0, y = 0, pupilRadius = 0, irisRadius = 0;
  double score = -std::numeric_limits<double>::infinity();
};

// Whether `next` is much the same pair as `tried` (its centre within 2 pixels, its
// pupil within a fifth of the tried one's radius): it would fail as that did.
bool SamePair(const Coarse& tried, const Coarse& next) {
  return std::hypot(tried.x - next.x, tried.y - next.y) <= 2 &&
         std::abs(tried.pupilRadius - next.pupilRadius) <= 0.2 * tried.pupilRadius;
}

// Integro-differential pair search around one candidate (reduced coordinates), with
// steps and penalties as shares of the picture's contrast.
void SearchPair(const Reduced& r, Point centre, int32_t maxRadius, double low, double contrast,
                double floor, std::vector<uint8_t>& searched, Coarse& best) {
  const double up = std::sin(kIrisArcUp * std::numbers::pi / 180);
  const double down = std::sin(kIrisArcDown * std::numbers::pi / 180);
  const auto n = static_cast<size_t>(maxRadius + SpanOf(static_cast<size_t>(maxRadius)) + 2);
  // Offsets of each circle's samples from the centre pixel, computed once: centres are
  // pixel centres, so floor(centre + r cos t) is the centre pixel plus a fixed step.
  struct Offset {
    int32_t dx, dy;
    bool side;
  };
  std::vector<Offset> offsets(n * kCircleSamples);
  for (size_t radius = 0; radius < n; ++radius) {
    for (int k = 0; k < kCircleSamples; ++k) {
      const double t = 2 * std::numbers::pi * (k + 0.5) / kCircleSamples;
      const double c = std::cos(t), s = std::sin(t);
      offsets[radius * kCircleSamples + static_cast<size_t>(k)] = {
          static_cast<int32_t>(std::floor(0.5 + static_cast<double>(radius) * c)),
          static_cast<int32_t>(std::floor(0.5 + static_cast<double>(radius) * s)),
          s >= -up && s <= down};
    }
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double minStep = kMinCoarseStep * contrast;
  const auto smallestPupil =
      static_cast<size_t>(std::max(2.0, std::ceil(kSmallestPupil / r.factor)));
  const auto smallestIris = static_cast<size_t>(std::max(5.0, std::ceil(kSmallestIris / r.factor)));
  std::vector<double> full(n), side(n), lowest(n), highest(n), mean(n);
  std::vector<std::pair<size_t, double>> irisSteps;
  std::vector<float> around(n * kCircleSamples), steps(kCircleSamples);
  for (int32_t cy = centre.y - kCentreSearch; cy <= centre.y + kCentreSearch; ++cy) {
    for (int32_t cx = centre.x - kCentreSearch; cx <= centre.x + kCentreSearch; ++cx) {
      if (cx < 0 || cy < 0 || cx >= r.width || cy >= r.height) {
        continue;
      }
      // Candidates' windows overlap: each centre is tried once.
      uint8_t& done = searched[static_cast<size_t>(cy) * r.width + cx];
      if (done) {
        continue;
      }
      done = 1;
      const double ox = cx + 0.5, oy = cy + 0.5;
      const auto reach = static_cast<int32_t>(n);
      const bool inside =
          cx - reach >= 0 && cy - reach >= 0 && cx + reach < r.width && cy + reach < r.height;
      for (size_t radius = 0; radius < n; ++radius) {
        float sf = 0, ss = 0;
        int nf = 0, ns = 0;
        const Offset* o = &offsets[radius * kCircleSamples];
        for (int k = 0; k < kCircleSamples; ++k) {
          const int32_t x = cx + o[k].dx, y = cy + o[k].dy;
          if (!inside && (x < 0 || y < 0 || x >= r.width || y >= r.height)) {
            around[radius * kCircleSamples + static_cast<size_t>(k)] = -1;
            continue;
          }
          const size_t at = static_cast<size_t>(y) * r.width + x;
          const float level = r.v[at];
          // A filled highlight is no evidence of the pupil's level either way: a spot on
          // its edge would otherwise push the pupil's circle off the spot's side.
          const bool hidden = r.glare[at] != 0;
          around[radius * kCircleSamples + static_cast<size_t>(k)] = hidden ? -1 : level;
          if (!hidden) {
            sf += level;
            ++nf;
          }
          if (o[k].side) {
            ss += level;
            ++ns;
          }
        }
        full[radius] = nf * 4 >= kCircleSamples * 3 ? sf / static_cast<float>(nf) : nan;
        side[radius] = ns >= 4 ? ss / static_cast<float>(ns) : nan;
      }
      // The largest side step at any radius bounds what an iris can add to a pupil.
      double largestSide = 0;
      for (size_t ir = smallestIris; ir < n; ++ir) {
        const auto hi = static_cast<size_t>(SpanOf(ir));
        if (ir + hi >= n) {
          break;
        }
        largestSide = std::max(largestSide, side[ir + hi] - side[ir - hi]);
      }
      // Circles hidden by highlights or the picture's edge take no part.
      double area = 0, weighted = 0;  // the disc's mean: circles weighted by their length
      double least = nan, most = nan;
      for (size_t k = 0; k < n; ++k) {
        if (!std::isnan(full[k])) {
          least = std::isnan(least) ? full[k] : std::min(least, full[k]);
          most = std::isnan(most) ? full[k] : std::max(most, full[k]);
          const double length = k == 0 ? 0.25 : static_cast<double>(k);
          area += length;
          weighted += length * full[k];
        }
        lowest[k] = least;
        highest[k] = most;
        mean[k] = area > 0 ? weighted / area : nan;
      }
      for (size_t pr = smallestPupil; pr < n; ++pr) {
        const auto hp = static_cast<size_t>(SpanOf(pr));
        if (pr + hp >= n) {
          break;
        }
        if (!(full[pr + hp] - full[pr - hp] >= minStep)) {
          continue;
        }
        // The pupil's step is the lower quartile of the steps at each angle: a pupil's
        // boundary rises all round, a dark iris's is hidden by the lids above and below.
        const float* in = &around[(pr - hp) * kCircleSamples];
        const float* out = &around[(pr + hp) * kCircleSamples];
        size_t m = 0;
        double stepSum = 0, stepMin = std::numeric_limits<double>::infinity();
        for (int k = 0; k < kCircleSamples; ++k) {
          if (in[k] >= 0 && out[k] >= 0) {
            const float d = out[k] - in[k];
            steps[m++] = d;
            stepSum += d;
            stepMin = std::min(stepMin, static_cast<double>(d));
          }
        }
        if (m * 4 < kCircleSamples * 3) {
          continue;
        }
        // A pupil is evenly dark inside: the spread of the mean level over the circles
        // within it counts against it (a dark iris around the true pupil would
        // otherwise pass for a larger pupil).
        const size_t within = pr > hp + 1 ? pr - hp - 1 : 0;
        const double penalty = kUnevenPupilWeight * (highest[within] - lowest[within]) +
                               kPaleness * std::max(0.0, mean[within] - low);
        // Selecting the quartile is the search's dearest part, so radii that cannot win
        // are dropped first: the m - m/4 steps from the quartile up are each at least
        // it, the rest at least the least one, which bounds the quartile by their sums.
        const size_t below = m / 4;
        const double quartileBound =
            (stepSum - static_cast<double>(below) * stepMin) / static_cast<double>(m - below);
        if (quartileBound + 1e-3 < minStep) {
          continue;
        }
        if (!((quartileBound + 1e-3 - penalty + largestSide) / contrast >
              std::max(best.score, floor))) {
          continue;
        }
        std::nth_element(steps.begin(), steps.begin() + static_cast<ptrdiff_t>(below),
                         steps.begin() + static_cast<ptrdiff_t>(m));
        const double dp = steps[below];
        if (!(dp >= minStep)) {
          continue;
        }
        const double pupilScore = (dp - penalty) / contrast;
        if (!(pupilScore + largestSide / contrast > std::max(best.score, floor))) {
          continue;
        }
        const auto from =
            std::max(smallestIris,
                     static_cast<size_t>(std::ceil(static_cast<double>(pr) * kMinIrisToPupil)));
        const auto to =
            std::min<size_t>(n - 1, static_cast<size_t>(static_cast<double>(pr) * kMaxIrisToPupil));
        // The limbus is the first strong rise outward: of the radii whose side step comes
        // within kInnermostShare of the largest, the smallest (a lid's margin, a skin
        // fold or the shading of the sclera beyond it rise too).
        double ringMax = -std::numeric_limits<double>::infinity();
        size_t scanned = pr + hp;  // side levels up to here are in ringMax
        double strongest = 0;
        irisSteps.clear();
        for (size_t ir = from; ir <= to; ++ir) {
          const auto hi = static_cast<size_t>(SpanOf(ir));
          if (ir + hi >= n) {
            break;
          }
          for (; scanned <= ir - hi; ++scanned) {
            if (side[scanned] > ringMax) {
              ringMax = side[scanned];
            }
          }
          const double di = side[ir + hi] - side[ir - hi];
          if (!(di >= minStep)) {
            continue;
          }
          const double bright = std::max(0.0, ringMax - side[ir - hi]);
          const double step = di - kBrightRingWeight * bright;
          irisSteps.push_back({ir, step});
          strongest = std::max(strongest, step);
        }
        for (size_t k = 0; k < irisSteps.size(); ++k) {
          const auto [ir, step] = irisSteps[k];
          if (step < kInnermostShare * strongest) {
            continue;
          }
          if (k + 1 < irisSteps.size() && irisSteps[k + 1].first == ir + 1 &&
              irisSteps[k + 1].second > step) {
            continue;
          }
          const double score = pupilScore + step / contrast;
          if (score > best.score) {
            best = {ox, oy, static_cast<double>(pr), static_cast<double>(ir), score};
          }
          break;
        }
      }
    }
  }
}

struct Fit {
  Circle circle;
  std::vector<double> residuals;  // of every edge kept
  std::vector<double> angles;     // of those edges, about the fitted centre
  int32_t rays = 0;
  double meanStep = 0;  // of the edges kept, levels
};

}  // namespace

namespace detail {

bool FitCircle(const std::vector<std::array<double, 2>>& pts, const std::vector<double>& weight,
               double& cx, double& cy, double& radius, double priorY, double heightWeight) {
  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, sxz = 0, syz = 0, sz = 0, count = 0;
  int32_t points = 0;
  // Centred on the first estimate for numerical range.
  for (size_t i = 0; i < pts.size(); ++i) {
    const double w = weight[i];
    if (!(w > 0)) {
      continue;
    }
    const double x = pts[i][0] - cx, y = pts[i][1] - cy, z = x * x + y * y;
    sx += w * x, sy += w * y, sxx += w * x * x, syy += w * y * y, sxy += w * x * y,
        sxz += w * x * z, syz += w * y * z, sz += w * z, count += w, ++points;
  }
  if (points < 6) {
    return false;
  }
  // Solve [sxx sxy sx; sxy syy sy; sx sy n] [D E F]' = -[sxz syz sz]'.
  // The centre's y offset is -E / 2, so the prior adds heightWeight / 4 * (E + 2 t)^2.
  const double t = priorY - cy;
  const double a[3][3] = {{sxx, sxy, sx}, {sxy, syy + heightWeight / 4, sy}, {sx, sy, count}};
  const double b[3] = {-sxz, -syz - heightWeight * t / 2, -sz};
  const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                     a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                     a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  if (!(std::abs(det) > 1e-9)) {
    return false;
  }
  auto solve = [&](int col) {
    double m[3][3];
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        m[i][j] = j == col ? b[i] : a[i][j];
      }
    }
    return (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
            m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
            m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0])) /
           det;
  };
  const double d = solve(0), e = solve(1), f = solve(2);
  const double ux = -d / 2, uy = -e / 2, r2 = ux * ux + uy * uy - f;
  if (!(r2 > 0)) {
    return false;
  }
  cx += ux;
  cy += uy;
  radius = std::sqrt(r2);
  return true;
}

}  // namespace detail

namespace {

using detail::FitCircle;

struct Glare {
  const Reduced& r;
  bool At(double x, double y) const {
    const auto ix = static_cast<int32_t>(std::floor(x / r.factor)),
               iy = static_cast<int32_t>(std::floor(y / r.factor));
    if (ix < 0 || iy < 0 || ix >= r.width || iy >= r.height) {
      return false;
    }
    return r.glare[static_cast<size_t>(iy) * r.width + ix] != 0;
  }
};

// Where the rise through sample `at` (the steepest point of a dark-to-bright edge)
// begins: 1/2 - kRiseShare of its width inside its middle. Its levels are read
// kRiseReach * `span` samples either side of `at` (as far as the profile goes), on the
// profile smoothed over a quarter span; its middle is where it crosses half way, its
// width the distance from kRiseShare to 1 - kRiseShare of the way over 1 - 2 kRiseShare,
// less the smoothing's own width (in quadrature), so a sharp step stays where it is.
// `peak` (the steepest point to a fraction of a sample) stands where the profile does
// not rise cleanly.
double RiseStart(const std::vector<double>& sums, size_t at, size_t span, double peak) {
  const size_t n = sums.size() - 1;
  const size_t h = std::max<size_t>(1, span / 4);
  const auto reach = static_cast<size_t>(kRiseReach * static_cast<double>(span));
  const size_t in = at > reach + h ? at - reach : h, out = std::min(n - 1 - h, at + reach);
  if (!(in + 2 < at && at + 2 < out)) {
    return peak;
  }
  // Mean over [j - h, j + h].
  auto smooth = [&](size_t j) {
    return (sums[j + h + 1] - sums[j - h]) / static_cast<double>(2 * h + 1);
  };
  const double lo = smooth(in), hi = smooth(out);
  if (!(hi > lo)) {
    return peak;
  }
  // The first crossing of lo + share * (hi - lo) from `at`, inward or outward.
  auto cross = [&](double share) -> std::optional<double> {
    const double target = lo + share * (hi - lo);
    auto between = [&](size_t j) {
      const double v = smooth(j), w = smooth(j + 1);
      return static_cast<double>(j) + (w > v ? (target - v) / (w - v) : 0.5);
    };
    if (smooth(at) > target) {
      for (size_t j = at; j-- > in;) {
        if (smooth(j) <= target) {
          return between(j);
        }
      }
    } else {
      for (size_t j = at; j < out; ++j) {
        if (smooth(j + 1) > target) {
          return between(j);
        }
      }
    }
    return std::nullopt;
  };
  const auto start = cross(kRiseShare), middle = cross(0.5), end = cross(1 - kRiseShare);
  if (!start || !middle || !end) {
    return peak;
  }
  const double width = (*end - *start) / (1 - 2 * kRiseShare);
  const double own = static_cast<double>(2 * h + 1);
  const double rise = std::sqrt(std::max(0.0, width * width - own * own));
  return std::min(peak, *middle - (0.5 - kRiseShare) * rise);
}

// Casts rays from (cx, cy) at the given angles and finds on each the innermost
// dark-to-bright step (a peak within `innermostShare` of the ray's strongest) within
// `halfRange` of `radius`: the mean level over `span`
// pixels outward minus the mean as far inward, so a soft edge counts whole. Samples
// on a highlight or its halo take no part. Then fits a circle to the edges, dropping
// outliers. With `limbus` (the iris's side arcs) far edges are weighed down rather
// than dropped, the centre's height is weighed against the rays' (a prior of
// kHeightPrior * R), so edges that say little about it leave it near there, and each
// edge is moved in from its steepest point to where its rise begins (RiseStart).
std::optional<Fit> Refine(const GreyPlane& p, const Glare& glare, double cx, double cy,
                          double radius, double halfRange, double span, double minStep,
                          double innermostShare, const std::vector<double>& angles, bool limbus) {
  std::vector<std::array<double, 2>> pts;
  std::vector<double> steps;
  std::vector<uint8_t> hidden;  // 1 for an edge on a ray whose edge glare hides
  const auto s = static_cast<size_t>(std::max(2L, std::lround(2 * span)));  // samples per side
  const double from = std::max(0.5, radius - halfRange - 0.5 * static_cast<double>(s));
  const double to = radius + halfRange + 0.5 * static_cast<double>(s);
  const auto samples = static_cast<size_t>((to - from) * 2) + 1;
  if (samples < 2 * s + 3) {
    return std::nullopt;
  }
  std::vector<double> g(samples), sums(samples + 1);
  std::vector<double> wide(samples, 0);
  std::vector<uint8_t> bad(samples);
  for (double t : angles) {
    const double ux = std::cos(t), uy = std::sin(t);
    for (size_t j = 0; j < samples; ++j) {
      const double rho = from + 0.5 * static_cast<double>(j);
      const double x = cx + rho * ux, y = cy + rho * uy;
      // Three taps across the ray damp texture and noise.
      g[j] = (Sample(p, x, y) + Sample(p, x - uy, y + ux) + Sample(p, x + uy, y - ux)) / 3;
      bad[j] = glare.At(x, y) ? 1 : 0;
      sums[j + 1] = sums[j] + g[j];
    }
    bool covered = false;
    for (size_t j = 0; j < samples && !limbus && !covered; ++j) {
      const double rho = from + 0.5 * static_cast<double>(j);
      covered = bad[j] != 0 && std::abs(rho - radius) <= kGlareWindow * halfRange;
    }
    auto step = [&](size_t j, size_t half) {
      return ((sums[j + half + 1] - sums[j + 1]) - (sums[j] - sums[j - half])) /
             static_cast<double>(half);
    };
    double strongest = 0;
    for (size_t j = s; j + s < samples; ++j) {
      bool hit = false;
      for (size_t k = j - s; k <= j + s && !hit; ++k) {
        hit = bad[k] != 0;
      }
      wide[j] = hit ? 0 : step(j, s);
      strongest = std::max(strongest, wide[j]);
    }
    if (strongest < minStep) {
      continue;
    }
    // The innermost peak within `innermostShare` of the strongest step: beyond the
    // limbus, a lid's margin or the skin past the lashes often rises further.
    double bestStep = 0;
    size_t at = 0;
    for (size_t j = s; j + s < samples; ++j) {
      if (wide[j] >= innermostShare * strongest && wide[j] >= minStep &&
          (j + s + 1 >= samples || wide[j] >= wide[j + 1])) {
        bestStep = wide[j];
        at = j;
        break;
      }
    }
    // The wide step finds the edge; a step half as wide places it, so a sharp edge next
    // to other structure (lashes over a pupil's top) is not pulled toward it.
    const size_t fine = std::max<size_t>(2, s / 2);
    double fineStep = step(at, fine);
    for (size_t j = at - fine / 2; j <= at + fine / 2; ++j) {
      if (j >= fine && j + fine < samples && j != at && step(j, fine) > fineStep) {
        fineStep = step(j, fine);
        at = j;
      }
    }
    double offset = 0;
    if (at > fine && at + fine + 1 < samples) {
      // Parabola through the steps either side: the edge to a fraction of a sample.
      const double dm = step(at - 1, fine), dp = step(at + 1, fine);
      const double denom = dm - 2 * fineStep + dp;
      if (denom < 0) {
        offset = std::clamp(0.5 * (dm - dp) / denom, -0.5, 0.5);
      }
    }
    double edge = static_cast<double>(at) + offset;
    if (limbus) {
      edge = RiseStart(sums, at, s, edge);
    }
    const double rho = from + 0.5 * edge;
    pts.push_back({cx + rho * ux, cy + rho * uy});
    steps.push_back(bestStep);
    hidden.push_back(covered ? 1 : 0);
  }
  const auto rays = static_cast<int32_t>(angles.size());
  if (static_cast<double>(pts.size()) < kMinFoundShare * rays || pts.size() < 8) {
    return std::nullopt;
  }
  std::vector<uint8_t> use(pts.size(), 1);
  std::vector<double> weights(pts.size(), 1.0);
  // Glare may sit across a spot's side of the pupil only: the clear rays place the
  // circle, if there are enough of them to.
  if (std::count(hidden.begin(), hidden.end(), 0) >= 8) {
    for (size_t i = 0; i < pts.size(); ++i) {
      weights[i] = hidden[i] ? 0 : 1;
    }
  }
  double fx = cx, fy = cy, fr = radius;
  double spread = 1;  // of the edges about the circle, pixels
  for (int round = 0; round < 3; ++round) {
    double nx = fx, ny = fy, nr = fr;
    // Points whose distances from the circle spread by `spread` outweigh a centre
    // height prior of kHeightPrior * R by 4 spread^2 / kHeightPrior^2 (in the units of
    // the algebraic fit): many clean edges move the centre, a few noisy ones barely.
    const double weight = limbus ? 4 * spread * spread / (kHeightPrior * kHeightPrior) : 0;
    bool ok = FitCircle(pts, weights, nx, ny, nr, cy, weight);
    if (!ok) {
      return std::nullopt;
    }
    fx = nx, fy = ny, fr = nr;
    std::vector<double> res;
    for (const auto& q : pts) {
      res.push_back(std::abs(std::hypot(q[0] - fx, q[1] - fy) - fr));
    }
    std::vector<double> sorted = res;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(sorted.size() / 2),
                     sorted.end());
    const double limit = std::max(1.0, 2.5 * sorted[sorted.size() / 2]);
    spread = std::max(1.0, 1.4826 * sorted[sorted.size() / 2]);
    for (size_t i = 0; i < pts.size(); ++i) {
      if (!limbus) {
        use[i] = res[i] <= (hidden[i] ? kGlareEdgeShare : 1.0) * limit;
        weights[i] = use[i];
      } else {
        // Those the fit weighs whole are the ones that follow the circle.
        use[i] = res[i] <= kSoftLimit * spread;
        weights[i] = res[i] > kHardLimit * spread ? 0 : std::min(1.0, kSoftLimit * spread / res[i]);
      }
    }
  }
  Fit fit;
  fit.rays = rays;
  double inliers = 0, stepSum = 0;
  for (size_t i = 0; i < pts.size(); ++i) {
    if (use[i]) {
      fit.residuals.push_back(std::hypot(pts[i][0] - fx, pts[i][1] - fy) - fr);
      fit.angles.push_back(std::atan2(pts[i][1] - fy, pts[i][0] - fx));
      inliers += 1;
      stepSum += steps[i];
    }
  }
  if (inliers < kMinFoundShare * rays) {
    return std::nullopt;
  }
  fit.meanStep = stepSum / inliers;
  fit.circle = {fx, fy, fr, inliers / rays};
  return fit;
}

}  // namespace

double Sample(const GreyPlane& p, double x, double y) {
  const double fx = std::clamp(x - 0.5, 0.0, static_cast<double>(p.width - 1));
  const double fy = std::clamp(y - 0.5, 0.0, static_cast<double>(p.height - 1));
  const auto ix = static_cast<int32_t>(fx), iy = static_cast<int32_t>(fy);
  const int32_t jx = std::min(ix + 1, p.width - 1), jy = std::min(iy + 1, p.height - 1);
  const double tx = fx - ix, ty = fy - iy;
  const double top = p.At(ix, iy) + (p.At(jx, iy) - p.At(ix, iy)) * tx;
  const double bottom = p.At(ix, jy) + (p.At(jx, jy) - p.At(ix, jy)) * tx;
  return top + (bottom - top) * ty;
}

namespace {

EyeCircles Confirm(const GreyPlane& picture, const Reduced& r, const Coarse& best, double darkest,
                   double contrast);

EyeCircles FindWithin(const GreyPlane& picture) {
  EyeCircles found;
  if (picture.width < kMinPictureSide || picture.height < kMinPictureSide) {
    return found;
  }
  Reduced r = Reduce(picture);
  const auto [under, upper, unused] = Percentiles(r, {kLowPercentile, 0.95, 0.95});
  // A highlight rises half way from the 95th percentile to the brightest level, or to
  // white when the brightest is white already; and at least half the picture's own
  // spread above that percentile, so bright sclera or noise without a spot stays.
  const double top = *std::max_element(r.v.begin(), r.v.end());
  const double toWhite = upper + kHighlightRise * (255 - upper);
  const double toTop = upper + kHighlightRise * (top - upper);
  const double standOut = upper + kHighlightRise * (upper - under);
  FillHighlights(r, std::min(toWhite, std::max(toTop, standOut)));
  const auto [low, high, darkest] =
      Percentiles(r, {kLowPercentile, kHighPercentile, kDarkestPercentile});
  const double contrast = high - low;
  if (contrast < kMinContrast) {
    return found;
  }
  Smooth(r);
  const auto maxRadius = static_cast<int32_t>(0.45 * std::min(r.width, r.height));
  std::vector<Point> candidates = VoteCentres(r, maxRadius, contrast);
  for (const Point& p : DarkCentres(r, darkest, low, contrast)) {
    candidates.push_back(p);
  }
  // The best pair about each candidate, best first: when the best is no eye after all
  // (a dark iris read as the pupil, whose refined circles fail the checks), the pupil
  // is often the next candidate's.
  std::vector<uint8_t> searched(r.v.size(), 0);
  std::vector<Coarse> pairs;
  double leading = -std::numeric_limits<double>::infinity();
  for (const Point& candidate : candidates) {
    // Pairs far below the best so far would not be tried: the search skips them.
    Coarse own;
    SearchPair(r, candidate, maxRadius, darkest, contrast, leading - kFallbackGap, searched, own);
    if (std::isfinite(own.score)) {
      pairs.push_back(own);
      leading = std::max(leading, own.score);
    }
  }
  std::sort(pairs.begin(), pairs.end(),
            [](const Coarse& a, const Coarse& b) { return a.score > b.score; });
  int tried = 0;
  for (size_t k = 0;
       k < pairs.size() && tried < kPairsTried && pairs[k].score >= pairs[0].score - kFallbackGap;
       ++k) {
    bool same = false;
    for (size_t j = 0; j < k && !same; ++j) {
      same = SamePair(pairs[j], pairs[k]);
    }
    if (same) {
      continue;
    }
    ++tried;
    found = Confirm(picture, r, pairs[k], darkest, contrast);
    if (found.pupil) {
      break;
    }
  }
  return found;
}

// Refines a coarse pair on the picture and checks that it is an eye; empty when not.
EyeCircles Confirm(const GreyPlane& picture, const Reduced& r, const Coarse& best, double darkest,
                   double contrast) {
  EyeCircles found;
  const double f = r.factor;
  const Glare glare{r};
  std::vector<double> pupilAngles, irisAngles;
  for (int k = 0; k < kPupilRays; ++k) {
    pupilAngles.push_back(2 * std::numbers::pi * k / kPupilRays);
  }
  const double up = kIrisArcUp * std::numbers::pi / 180,
               down = kIrisArcDown * std::numbers::pi / 180;
  for (int k = 0; k < kIrisRaysPerSide; ++k) {
    const double t = -up + (up + down) * k / (kIrisRaysPerSide - 1);
    irisAngles.push_back(t);
    irisAngles.push_back(std::numbers::pi - t);
  }
  const double cx = best.x * f, cy = best.y * f;
  const double pr = best.pupilRadius * f, ir = best.irisRadius * f;
  const double minStep = kMinFineStep * contrast;
  const auto pupil = Refine(picture, glare, cx, cy, pr, std::max(2 * f + 2, 0.25 * pr),
                            std::max(1.0, kSpan * pr), minStep, 1.0, pupilAngles, false);
  if (!pupil) {
    return found;
  }
  const Circle& pc = pupil->circle;
  const auto iris =
      Refine(picture, glare, pc.x, pc.y, ir, std::max(2 * f + 3, 0.15 * ir),
             std::max(1.0, kSpan * ir), minStep, kInnermostRayShare, irisAngles, true);
  if (!iris) {
    return found;
  }
  const Circle& ic = iris->circle;
  // The pupil lies within the iris, and is clearly smaller.
  if (pc.radius * kMinIrisToPupil > ic.radius ||
      std::hypot(pc.x - ic.x, pc.y - ic.y) + pc.radius > ic.radius + 2) {
    return found;
  }
  // And it is darker than the iris: half way in, the pupil's median level lies well
  // under the median half way across the ring on the side arcs, where the iris shows
  // (noise and clutter give circles whose inside and outside are alike).
  std::vector<double> inside, ring;
  const double mid = 0.5 * (pc.radius + ic.radius);
  for (int k = 0; k < 64; ++k) {
    const double t = 2 * std::numbers::pi * (k + 0.5) / 64, c = std::cos(t), s = std::sin(t);
    inside.push_back(Sample(picture, pc.x + 0.5 * pc.radius * c, pc.y + 0.5 * pc.radius * s));
  }
  std::nth_element(inside.begin(), inside.begin() + 32, inside.end());
  const double pupilLevel = inside[32],
               margin = std::max(kMinPupilStep, kMinPupilContrast * contrast);
  // On each side the iris lies between the pupil's level and the sclera's (two flat
  // levels, as in a chequer, are no eye).
  auto median = [](std::vector<double>& v) {
    const auto at = v.begin() + static_cast<ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), at, v.end());
    return *at;
  };
  for (int sideOf = 0; sideOf < 2; ++sideOf) {
    std::vector<double> beyond;
    for (size_t k = static_cast<size_t>(sideOf); k < irisAngles.size(); k += 2) {
      const double c = std::cos(irisAngles[k]), s = std::sin(irisAngles[k]);
      ring.push_back(Sample(picture, pc.x + mid * c, pc.y + mid * s));
      const double x = ic.x + 1.15 * ic.radius * c, y = ic.y + 1.15 * ic.radius * s;
      if (x >= 0 && y >= 0 && x < picture.width && y < picture.height) {
        beyond.push_back(Sample(picture, x, y));
      }
    }
    std::vector<double> own(ring.end() - static_cast<ptrdiff_t>(irisAngles.size() / 2), ring.end());
    // Each side only brighter than the pupil: an iris nearly as dark as the pupil may
    // show it on one side alone; the ring as a whole must clear the margin below.
    const double level = median(own);
    if (!(level > pupilLevel)) {
      return found;
    }
    if (beyond.size() * 2 >= irisAngles.size() / 2 && median(beyond) - level < margin) {
      return found;
    }
  }
  const double ringMedian = median(ring);
  if (ringMedian - pupilLevel < std::max(kMinPupilStep, kMinPupilContrast * contrast)) {
    return found;
  }
  // Levels of the pupil's disc within 0.8 of its radius, highlights left out.
  std::vector<double> disc;
  for (int32_t j = -8; j <= 8; ++j) {
    for (int32_t i = -8; i <= 8; ++i) {
      if (i * i + j * j > 64) {
        continue;
      }
      const double x = pc.x + 0.1 * i * pc.radius, y = pc.y + 0.1 * j * pc.radius;
      if (!glare.At(x, y)) {
        disc.push_back(Sample(picture, x, y));
      }
    }
  }
  std::sort(disc.begin(), disc.end());
  const double discMedian = disc.empty() ? ringMedian : disc[disc.size() / 2];
  PairEvidence evidence;
  evidence.coarseScore = best.score;
  evidence.limbusStep = iris->meanStep / contrast;
  evidence.pupilShare = pc.confidence;
  evidence.irisShare = ic.confidence;
  evidence.pupilPaleness = (discMedian - darkest) / contrast;
  evidence.pupilScatter = Scatter(pupil->residuals) / pc.radius;
  evidence.irisScatter = Scatter(iris->residuals) / ic.radius;
  evidence.irisHeightPull = HeightPull(iris->residuals, iris->angles) / ic.radius;
  const double confidence = PairConfidence(evidence);
  if (confidence < kMinConfidence) {
    return found;
  }
  found.pupil = pc;
  found.iris = ic;
  found.pupil->confidence = confidence;
  found.iris->confidence = confidence;
  found.pupilResiduals = pupil->residuals;
  found.pupilRays = pupil->rays;
  return found;
}

// Whether the row (or column) of `count` levels `step` apart all lie at `level`.
bool AllAt(const uint8_t* first, int32_t count, ptrdiff_t step, uint8_t level) {
  for (int32_t k = 0; k < count; ++k) {
    if (first[k * step] != level) {
      return false;
    }
  }
  return true;
}

}  // namespace

EyeCircles FindCircles(const GreyPlane& picture) {
  if (!picture.Valid()) {
    return {};
  }
  // Bands of the picture's darkest level along its edges are the padding of a shifted
  // or cut crop, not the scene: left in, their level would pass for the pupil's own.
  // Together they take at most a quarter of each side.
  uint8_t least = 255;
  for (int32_t y = 0; y < picture.height; ++y) {
    const uint8_t* row = picture.pixels + y * picture.stride;
    least = std::min(least, *std::min_element(row, row + picture.width));
  }
  GreyPlane p = picture;
  const int32_t rows = picture.height - picture.height / 4,
                columns = picture.width - picture.width / 4;
  while (p.height > rows && AllAt(p.pixels, p.width, 1, least)) {
    p.pixels += p.stride, --p.height;
  }
  while (p.height > rows && AllAt(p.pixels + (p.height - 1) * p.stride, p.width, 1, least)) {
    --p.height;
  }
  while (p.width > columns && AllAt(p.pixels, p.height, p.stride, least)) {
    ++p.pixels, --p.width;
  }
  while (p.width > columns && AllAt(p.pixels + p.width - 1, p.height, p.stride, least)) {
    --p.width;
  }
  EyeCircles found = FindWithin(p);
  const auto dx = static_cast<double>((p.pixels - picture.pixels) % picture.stride),
             dy = static_cast<double>((p.pixels - picture.pixels) / picture.stride);
  for (std::optional<Circle>* c : {&found.pupil, &found.iris}) {
    if (*c) {
      (*c)->x += dx;
      (*c)->y += dy;
    }
  }
  return found;
}

namespace detail {

namespace {

Reduced PlaneOf(const std::vector<float>& levels, int32_t width, int32_t factor) {
  Reduced r;
  r.width = width;
  r.height = width > 0 ? static_cast<int32_t>(levels.size() / static_cast<size_t>(width)) : 0;
  r.factor = factor;
  r.v.assign(levels.begin(), levels.begin() + static_cast<ptrdiff_t>(r.width) * r.height);
  r.glare.assign(r.v.size(), 0);
  return r;
}

}  // namespace

DarkRegion GrowRegion(const std::vector<float>& levels, int32_t width, size_t start, float level) {
  const Reduced r = PlaneOf(levels, width, 1);
  std::vector<uint8_t> seen(r.v.size(), 0);
  std::vector<int32_t> stack;
  const Region region = iris::GrowRegion(r, start, level, seen, stack);
  return {region.area, region.x, region.y, region.compact};
}

std::optional<std::array<int32_t, 2>> InnermostCentre(const std::vector<float>& levels,
                                                      int32_t width, int32_t factor, double darkest,
                                                      double low, double contrast, size_t smallest,
                                                      size_t largest) {
  const auto centre = iris::InnermostCentre(PlaneOf(levels, width, factor), darkest, low, contrast,
                                            smallest, largest);
  if (!centre) {
    return std::nullopt;
  }
  return std::array<int32_t, 2>{centre->x, centre->y};
}

bool SamePair(std::array<double, 3> tried, std::array<double, 3> next) {
  return iris::SamePair({tried[0], tried[1], tried[2]}, {next[0], next[1], next[2]});
}

ReducedPlane Reduce(const GreyPlane& picture) {
  Reduced r = iris::Reduce(picture);
  return {r.width, r.height, r.factor, std::move(r.v)};
}

void Smooth(std::vector<float>& levels, int32_t width) {
  Reduced r = PlaneOf(levels, width, 1);
  iris::Smooth(r);
  levels = std::move(r.v);
}

std::vector<uint8_t> FillHighlights(std::vector<float>& levels, int32_t width, double level) {
  Reduced r = PlaneOf(levels, width, 1);
  iris::FillHighlights(r, level);
  levels = std::move(r.v);
  return std::move(r.glare);
}

namespace {

std::vector<std::array<int32_t, 2>> Pairs(const std::vector<Point>& points) {
  std::vector<std::array<int32_t, 2>> out;
  for (const Point& p : points) {
    out.push_back({p.x, p.y});
  }
  return out;
}

}  // namespace

std::vector<std::array<int32_t, 2>> VoteCentres(const std::vector<float>& levels, int32_t width,
                                                int32_t maxRadius, double contrast) {
  return Pairs(iris::VoteCentres(PlaneOf(levels, width, 1), maxRadius, contrast));
}

std::vector<std::array<int32_t, 2>> DarkCentres(const std::vector<float>& levels, int32_t width,
                                                int32_t factor, double darkest, double low,
                                                double contrast) {
  return Pairs(iris::DarkCentres(PlaneOf(levels, width, factor), darkest, low, contrast));
}

std::optional<CoarsePair> SearchPair(const std::vector<float>& levels, int32_t width,
                                     int32_t factor, std::array<int32_t, 2> centre,
                                     int32_t maxRadius, double low, double contrast) {
  const Reduced r = PlaneOf(levels, width, factor);
  std::vector<uint8_t> searched(r.v.size(), 0);
  Coarse best;
  iris::SearchPair(r, {centre[0], centre[1]}, maxRadius, low, contrast,
                   -std::numeric_limits<double>::infinity(), searched, best);
  if (!std::isfinite(best.score)) {
    return std::nullopt;
  }
  return CoarsePair{best.x, best.y, best.pupilRadius, best.irisRadius, best.score};
}

}  // namespace detail

}  // namespace okuva::iris
