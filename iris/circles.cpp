#include "iris/circles.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

namespace okuva::iris {
namespace {

// Short side of the reduced picture the coarse search runs on: an iris of capture
// size (200 pixels on 480 lines) is then 25 pixels in radius, enough to place it
// within a pixel or two, and the search stays within a millisecond or two.
constexpr int32_t kWorkingShortSide = 120;
// Levels at and above this are treated as specular light, not as eye.
constexpr float kHighlightLevel = 235.0f;
// A bright blob is filled as a highlight when it covers at most 1/kHighlightShare of
// the reduced picture (larger bright areas are sclera or skin).
constexpr int32_t kHighlightShare = 400;
// Smallest Sobel magnitude that votes (a step of 4 levels), and the share of the
// strongest edges that vote.
constexpr float kMinVoteGradient = 16.0f;
constexpr double kVotingShare = 0.12;
constexpr int kCandidates = 5;
constexpr int32_t kCentreSearch = 3;  // reduced pixels around each candidate
constexpr int kCircleSamples = 32;
// Smallest mean step, in levels, of a boundary on the reduced picture.
constexpr double kMinCoarseStep = 6.0;
// Weight of the spread of levels inside a pupil candidate against its score.
constexpr double kUnevenPupilWeight = 0.5;
// Iris radius relative to the pupil's that the search allows (ratios of 17 % to 80 %).
constexpr double kMinIrisToPupil = 1.25;
constexpr double kMaxIrisToPupil = 6.0;
// Rays of the fine search, and the smallest step (levels per 2 pixels) of an edge on them.
constexpr int kPupilRays = 72;
constexpr int kIrisRaysPerSide = 25;
constexpr double kIrisArcDegrees = 50.0;  // each side arc reaches this far from horizontal
constexpr double kMinFineStep = 5.0;
constexpr double kMinFoundShare = 0.4;  // of the rays, for a fitted circle to count
// Levels by which the pupil's median must lie under the iris ring's.
constexpr double kMinPupilContrast = 8.0;

struct Reduced {
  int32_t width = 0, height = 0, factor = 1;
  std::vector<float> v;
  float At(int32_t x, int32_t y) const { return v[static_cast<size_t>(y) * width + x]; }
  float& At(int32_t x, int32_t y) { return v[static_cast<size_t>(y) * width + x]; }
};

Reduced Reduce(const GreyPlane& p) {
  Reduced r;
  r.factor = std::max(1, std::min(p.width, p.height) / kWorkingShortSide);
  r.width = p.width / r.factor;
  r.height = p.height / r.factor;
  r.v.assign(static_cast<size_t>(r.width) * r.height, 0.0f);
  std::vector<uint32_t> sums(static_cast<size_t>(r.width));
  const float scale = 1.0f / static_cast<float>(r.factor * r.factor);
  for (int32_t y = 0; y < r.height; ++y) {
    std::fill(sums.begin(), sums.end(), 0u);
    for (int32_t dy = 0; dy < r.factor; ++dy) {
      const uint8_t* row = p.pixels + (static_cast<ptrdiff_t>(y) * r.factor + dy) * p.stride;
      for (int32_t x = 0; x < r.width; ++x) {
        uint32_t s = 0;
        for (int32_t dx = 0; dx < r.factor; ++dx) s += row[x * r.factor + dx];
        sums[static_cast<size_t>(x)] += s;
      }
    }
    for (int32_t x = 0; x < r.width; ++x) r.At(x, y) = static_cast<float>(sums[static_cast<size_t>(x)]) * scale;
  }
  return r;
}

// Calls visit(j) for the index j of pixel i and of each of its eight neighbours
// that lies inside the picture.
template <typename Visit>
void ForEachOfNine(const Reduced& r, int32_t i, Visit&& visit) {
  const int32_t x = i % r.width, y = i / r.width;
  for (int32_t yy = std::max(0, y - 1); yy <= std::min(r.height - 1, y + 1); ++yy)
    for (int32_t xx = std::max(0, x - 1); xx <= std::min(r.width - 1, x + 1); ++xx)
      visit(static_cast<size_t>(yy) * static_cast<size_t>(r.width) + static_cast<size_t>(xx));
}

// Fills small bright blobs, and the pixel around them, with the level around them.
void FillHighlights(Reduced& r) {
  const size_t n = r.v.size();
  std::vector<uint8_t> seen(n, 0);
  std::vector<int32_t> blob, stack, grown;
  std::vector<uint32_t> mark(n, 0);  // round number of the grown blob a pixel belongs to
  uint32_t round = 1;
  const size_t limit = std::max<size_t>(4, n / kHighlightShare);
  for (size_t start = 0; start < n; ++start) {
    if (seen[start] || r.v[start] < kHighlightLevel) continue;
    blob.clear();
    stack.assign(1, static_cast<int32_t>(start));
    seen[start] = 1;
    while (!stack.empty()) {
      const int32_t i = stack.back();
      stack.pop_back();
      blob.push_back(i);
      const int32_t x = i % r.width, y = i / r.width;
      const int32_t nx[4] = {x - 1, x + 1, x, x}, ny[4] = {y, y, y - 1, y + 1};
      for (int k = 0; k < 4; ++k) {
        if (nx[k] < 0 || ny[k] < 0 || nx[k] >= r.width || ny[k] >= r.height) continue;
        const int32_t j = ny[k] * r.width + nx[k];
        if (!seen[j] && r.v[j] >= kHighlightLevel) {
          seen[j] = 1;
          stack.push_back(j);
        }
      }
    }
    if (blob.size() > limit) continue;
    // The blob grown by a pixel takes the light's blurred halo too; it is filled with
    // the mean level of the pixels bordering the grown blob.
    grown.clear();
    for (int32_t i : blob) {
      ForEachOfNine(r, i, [&](size_t j) {
        if (mark[j] != round) {
          mark[j] = round;
          grown.push_back(static_cast<int32_t>(j));
        }
      });
    }
    double sum = 0;
    int count = 0;
    for (int32_t i : grown) {
      ForEachOfNine(r, i, [&](size_t j) {
        if (mark[j] == round || r.v[j] >= kHighlightLevel) return;
        sum += r.v[j];
        ++count;
      });
    }
    ++round;
    const auto fill = static_cast<float>(count > 0 ? sum / count : 128.0);
    for (int32_t i : grown) r.v[static_cast<size_t>(i)] = fill;
  }
}

// [1 2 1] / 4 in both directions, edges clamped.
void Smooth(Reduced& r) {
  std::vector<float> tmp(r.v.size());
  for (int32_t y = 0; y < r.height; ++y)
    for (int32_t x = 0; x < r.width; ++x) {
      const float a = r.At(std::max(0, x - 1), y), b = r.At(x, y), c = r.At(std::min(r.width - 1, x + 1), y);
      tmp[static_cast<size_t>(y) * r.width + x] = (a + 2 * b + c) * 0.25f;
    }
  for (int32_t y = 0; y < r.height; ++y)
    for (int32_t x = 0; x < r.width; ++x) {
      const size_t up = static_cast<size_t>(std::max(0, y - 1)) * r.width + x;
      const size_t down = static_cast<size_t>(std::min(r.height - 1, y + 1)) * r.width + x;
      r.At(x, y) = (tmp[up] + 2 * tmp[static_cast<size_t>(y) * r.width + x] + tmp[down]) * 0.25f;
    }
}

struct Point {
  int32_t x, y;
};

// Peaks of the gradient vote: centres of dark-inside circles.
std::vector<Point> VoteCentres(const Reduced& r, int32_t maxRadius) {
  const int32_t w = r.width, h = r.height;
  std::vector<float> gx(static_cast<size_t>(w) * h, 0), gy(gx.size(), 0), mag(gx.size(), 0);
  std::vector<float> strong;
  for (int32_t y = 1; y + 1 < h; ++y)
    for (int32_t x = 1; x + 1 < w; ++x) {
      const float sx = r.At(x + 1, y - 1) + 2 * r.At(x + 1, y) + r.At(x + 1, y + 1) - r.At(x - 1, y - 1) -
                       2 * r.At(x - 1, y) - r.At(x - 1, y + 1);
      const float sy = r.At(x - 1, y + 1) + 2 * r.At(x, y + 1) + r.At(x + 1, y + 1) - r.At(x - 1, y - 1) -
                       2 * r.At(x, y - 1) - r.At(x + 1, y - 1);
      const size_t i = static_cast<size_t>(y) * w + x;
      gx[i] = sx;
      gy[i] = sy;
      mag[i] = std::sqrt(sx * sx + sy * sy);
      if (mag[i] >= kMinVoteGradient) strong.push_back(mag[i]);
    }
  if (strong.empty()) return {};
  const auto keep = static_cast<size_t>(static_cast<double>(w) * h * kVotingShare);
  float threshold = kMinVoteGradient;
  if (strong.size() > keep && keep > 0) {
    std::nth_element(strong.begin(), strong.begin() + static_cast<ptrdiff_t>(strong.size() - keep), strong.end());
    threshold = std::max(threshold, strong[strong.size() - keep]);
  }
  std::vector<float> acc(gx.size(), 0);
  for (int32_t y = 1; y + 1 < h; ++y)
    for (int32_t x = 1; x + 1 < w; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      if (mag[i] < threshold) continue;
      const double ux = gx[i] / mag[i], uy = gy[i] / mag[i];
      for (int32_t radius = 2; radius <= maxRadius; ++radius) {
        const double fx = x + 0.5 - radius * ux, fy = y + 0.5 - radius * uy;
        if (fx < 0 || fy < 0 || fx >= w || fy >= h) break;
        const auto cx = static_cast<int32_t>(fx), cy = static_cast<int32_t>(fy);
        acc[static_cast<size_t>(cy) * w + cx] += 1.0f;
      }
    }
  // Box 5 x 5 so near misses of one circle add up.
  std::vector<float> box(acc.size(), 0);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      float s = 0;
      for (int32_t dy = -2; dy <= 2; ++dy)
        for (int32_t dx = -2; dx <= 2; ++dx) {
          const int32_t xx = x + dx, yy = y + dy;
          if (xx >= 0 && yy >= 0 && xx < w && yy < h) s += acc[static_cast<size_t>(yy) * w + xx];
        }
      box[static_cast<size_t>(y) * w + x] = s;
    }
  std::vector<Point> peaks;
  const int32_t suppress = std::max(3, std::min(w, h) / 30);
  for (int k = 0; k < kCandidates; ++k) {
    const auto best = std::max_element(box.begin(), box.end());
    if (*best <= 0) break;
    const auto i = static_cast<int32_t>(best - box.begin());
    const Point p{i % w, i / w};
    peaks.push_back(p);
    for (int32_t y = std::max(0, p.y - suppress); y <= std::min(h - 1, p.y + suppress); ++y)
      for (int32_t x = std::max(0, p.x - suppress); x <= std::min(w - 1, p.x + suppress); ++x)
        box[static_cast<size_t>(y) * w + x] = 0;
  }
  return peaks;
}

struct Coarse {
  double x = 0, y = 0, pupilRadius = 0, irisRadius = 0;
  double score = -1;
};

// Integro-differential pair search around one candidate (reduced coordinates).
void SearchPair(const Reduced& r, Point centre, int32_t maxRadius, Coarse& best) {
  const double lateralCos = std::cos(kIrisArcDegrees * std::numbers::pi / 180);
  const auto n = static_cast<size_t>(maxRadius + 2);
  // Offsets of each circle's samples from the centre pixel, computed once: centres are
  // pixel centres, so floor(centre + r cos t) is the centre pixel plus a fixed step.
  struct Offset {
    int32_t dx, dy;
    bool side;
  };
  std::vector<Offset> offsets(n * kCircleSamples);
  for (size_t radius = 1; radius < n; ++radius)
    for (int k = 0; k < kCircleSamples; ++k) {
      const double t = 2 * std::numbers::pi * (k + 0.5) / kCircleSamples;
      const double c = std::cos(t), s = std::sin(t);
      offsets[radius * kCircleSamples + static_cast<size_t>(k)] = {
          static_cast<int32_t>(std::floor(0.5 + static_cast<double>(radius) * c)),
          static_cast<int32_t>(std::floor(0.5 + static_cast<double>(radius) * s)), std::abs(c) >= lateralCos};
    }
  std::vector<double> full(n), side(n), dFull(n), dSide(n);
  for (int32_t cy = centre.y - kCentreSearch; cy <= centre.y + kCentreSearch; ++cy)
    for (int32_t cx = centre.x - kCentreSearch; cx <= centre.x + kCentreSearch; ++cx) {
      if (cx < 0 || cy < 0 || cx >= r.width || cy >= r.height) continue;
      const double ox = cx + 0.5, oy = cy + 0.5;
      const bool inside = cx - maxRadius - 2 >= 0 && cy - maxRadius - 2 >= 0 && cx + maxRadius + 2 < r.width &&
                          cy + maxRadius + 2 < r.height;
      for (size_t radius = 1; radius < n; ++radius) {
        float sf = 0, ss = 0;
        int nf = 0, ns = 0;
        const Offset* o = &offsets[radius * kCircleSamples];
        for (int k = 0; k < kCircleSamples; ++k) {
          const int32_t x = cx + o[k].dx, y = cy + o[k].dy;
          if (!inside && (x < 0 || y < 0 || x >= r.width || y >= r.height)) continue;
          const float level = r.v[static_cast<size_t>(y) * r.width + x];
          sf += level;
          ++nf;
          if (o[k].side) {
            ss += level;
            ++ns;
          }
        }
        const double nan = std::numeric_limits<double>::quiet_NaN();
        full[radius] = nf * 2 >= kCircleSamples ? sf / static_cast<float>(nf) : nan;
        side[radius] = ns >= 4 ? ss / static_cast<float>(ns) : nan;
      }
      for (size_t radius = 2; radius + 1 < n; ++radius) {
        dFull[radius] = full[radius + 1] - full[radius - 1];
        dSide[radius] = side[radius + 1] - side[radius - 1];
      }
      // A pupil is evenly dark inside: the spread of the mean level over the circles
      // within half its radius counts against it (a dark iris around the true pupil
      // would otherwise pass for a larger pupil).
      std::vector<double> lowest(n), highest(n);
      lowest[1] = highest[1] = full[1];
      for (size_t k = 2; k < n; ++k) {
        lowest[k] = std::min(lowest[k - 1], full[k]);
        highest[k] = std::max(highest[k - 1], full[k]);
      }
      for (size_t pr = 2; pr + 2 < n; ++pr) {
        const double dp = dFull[pr];
        if (!(dp >= kMinCoarseStep)) continue;
        const auto from = static_cast<size_t>(std::ceil(static_cast<double>(pr) * kMinIrisToPupil));
        const auto to = std::min(n - 2, static_cast<size_t>(static_cast<double>(pr) * kMaxIrisToPupil));
        if (from > to) continue;
        // Largest side step within [from, to]: scan (short ranges) for exactness.
        double di = -1;
        size_t ir = 0;
        for (size_t k = from; k <= to; ++k)
          if (dSide[k] > di) {
            di = dSide[k];
            ir = k;
          }
        if (!(di >= kMinCoarseStep)) continue;
        const size_t within = std::max<size_t>(1, static_cast<size_t>(0.5 * static_cast<double>(pr)));
        const double score = dp + di - kUnevenPupilWeight * (highest[within] - lowest[within]);
        if (score > best.score) best = {ox, oy, static_cast<double>(pr), static_cast<double>(ir), score};
      }
    }
}

struct Fit {
  Circle circle;
  std::vector<double> residuals;  // of every edge found
  int32_t rays = 0;
};

// Kasa least-squares circle through points; false when degenerate.
bool FitCircle(const std::vector<std::array<double, 2>>& pts, const std::vector<uint8_t>& use, double& cx,
               double& cy, double& radius) {
  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, sxz = 0, syz = 0, sz = 0, count = 0;
  // Centred on the first estimate for numerical range.
  for (size_t i = 0; i < pts.size(); ++i) {
    if (!use[i]) continue;
    const double x = pts[i][0] - cx, y = pts[i][1] - cy, z = x * x + y * y;
    sx += x, sy += y, sxx += x * x, syy += y * y, sxy += x * y, sxz += x * z, syz += y * z, sz += z, count += 1;
  }
  if (count < 6) return false;
  // Solve [sxx sxy sx; sxy syy sy; sx sy n] [D E F]' = -[sxz syz sz]'.
  const double a[3][3] = {{sxx, sxy, sx}, {sxy, syy, sy}, {sx, sy, count}};
  const double b[3] = {-sxz, -syz, -sz};
  const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                     a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                     a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  if (!(std::abs(det) > 1e-9)) return false;
  auto solve = [&](int col) {
    double m[3][3];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m[i][j] = j == col ? b[i] : a[i][j];
    return (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
            m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0])) /
           det;
  };
  const double d = solve(0), e = solve(1), f = solve(2);
  const double ux = -d / 2, uy = -e / 2, r2 = ux * ux + uy * uy - f;
  if (!(r2 > 0)) return false;
  cx += ux;
  cy += uy;
  radius = std::sqrt(r2);
  return true;
}

// Casts rays from (cx, cy) at the given angles, finds on each the strongest
// dark-to-bright step within `halfRange` of `radius`, and fits a circle to the edges.
std::optional<Fit> Refine(const GreyPlane& p, double cx, double cy, double radius, double halfRange,
                          const std::vector<double>& angles, bool skipHighlights) {
  std::vector<std::array<double, 2>> pts;
  std::vector<double> steps;
  const double from = std::max(1.0, radius - halfRange), to = radius + halfRange;
  const auto samples = static_cast<size_t>((to - from) * 2) + 1;
  std::vector<double> g(samples);
  for (double t : angles) {
    const double ux = std::cos(t), uy = std::sin(t);
    for (size_t j = 0; j < samples; ++j) {
      const double rho = from + 0.5 * static_cast<double>(j);
      const double x = cx + rho * ux, y = cy + rho * uy;
      // Three taps across the ray damp texture and noise.
      g[j] = (Sample(p, x, y) + Sample(p, x - uy, y + ux) + Sample(p, x + uy, y - ux)) / 3;
    }
    double bestStep = 0;
    size_t at = 0;
    bool bright = false;
    for (size_t j = 2; j + 2 < samples; ++j) {
      const double d = g[j + 2] - g[j - 2];
      if (d > bestStep) {
        bestStep = d;
        at = j;
      }
    }
    if (bestStep < kMinFineStep) continue;
    // On the pupil, an edge into light at highlight level is a highlight's, not the
    // pupil's (the sclera beyond the iris may be that bright, so the iris keeps it).
    for (size_t j = at; j <= at + 2 && skipHighlights; ++j) bright |= g[j] >= kHighlightLevel;
    if (bright) continue;
    double offset = 0;
    if (at >= 3 && at + 3 < samples) {
      // Parabola through the steps either side: the edge to a fraction of a sample.
      const double dm = g[at + 1] - g[at - 3], dp = g[at + 3] - g[at - 1];
      const double denom = dm - 2 * bestStep + dp;
      if (denom < 0) offset = std::clamp(0.5 * (dm - dp) / denom, -0.5, 0.5);
    }
    const double rho = from + 0.5 * (static_cast<double>(at) + offset);
    pts.push_back({cx + rho * ux, cy + rho * uy});
    steps.push_back(bestStep);
  }
  const auto rays = static_cast<int32_t>(angles.size());
  if (static_cast<double>(pts.size()) < kMinFoundShare * rays || pts.size() < 8) return std::nullopt;
  std::vector<uint8_t> use(pts.size(), 1);
  double fx = cx, fy = cy, fr = radius;
  for (int round = 0; round < 3; ++round) {
    double nx = fx, ny = fy, nr = fr;
    if (!FitCircle(pts, use, nx, ny, nr)) return std::nullopt;
    fx = nx, fy = ny, fr = nr;
    std::vector<double> res;
    for (const auto& q : pts) res.push_back(std::abs(std::hypot(q[0] - fx, q[1] - fy) - fr));
    std::vector<double> sorted = res;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(sorted.size() / 2), sorted.end());
    const double limit = std::max(1.0, 2.5 * sorted[sorted.size() / 2]);
    for (size_t i = 0; i < pts.size(); ++i) use[i] = res[i] <= limit;
  }
  Fit fit;
  fit.rays = rays;
  double inliers = 0, stepSum = 0;
  for (size_t i = 0; i < pts.size(); ++i) {
    if (use[i]) {
      fit.residuals.push_back(std::hypot(pts[i][0] - fx, pts[i][1] - fy) - fr);
      inliers += 1;
      stepSum += steps[i];
    }
  }
  if (inliers < kMinFoundShare * rays) return std::nullopt;
  // Strength: a mean step of 40 levels per 2 pixels or more counts as certain.
  fit.circle = {fx, fy, fr, (inliers / rays) * std::min(1.0, stepSum / inliers / 40.0)};
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

EyeCircles FindCircles(const GreyPlane& picture) {
  EyeCircles found;
  if (!picture.Valid() || picture.width < kMinPictureSide || picture.height < kMinPictureSide) return found;
  Reduced r = Reduce(picture);
  FillHighlights(r);
  Smooth(r);
  const auto maxRadius = static_cast<int32_t>(0.45 * std::min(r.width, r.height));
  Coarse best;
  for (const Point& candidate : VoteCentres(r, maxRadius)) SearchPair(r, candidate, maxRadius, best);
  if (best.score < 0) return found;

  const double f = r.factor;
  std::vector<double> pupilAngles, irisAngles;
  for (int k = 0; k < kPupilRays; ++k) pupilAngles.push_back(2 * std::numbers::pi * k / kPupilRays);
  const double arc = kIrisArcDegrees * std::numbers::pi / 180;
  for (int k = 0; k < kIrisRaysPerSide; ++k) {
    const double t = -arc + 2 * arc * k / (kIrisRaysPerSide - 1);
    irisAngles.push_back(t);
    irisAngles.push_back(std::numbers::pi + t);
  }
  const double cx = best.x * f, cy = best.y * f;
  const auto pupil = Refine(picture, cx, cy, best.pupilRadius * f, 2 * f + 2, pupilAngles, true);
  if (!pupil) return found;
  const auto iris = Refine(picture, cx, cy, best.irisRadius * f, 2 * f + 3, irisAngles, false);
  if (!iris) return found;
  const Circle& pc = pupil->circle;
  const Circle& ic = iris->circle;
  // The pupil lies within the iris, and is clearly smaller.
  if (pc.radius * kMinIrisToPupil > ic.radius || std::hypot(pc.x - ic.x, pc.y - ic.y) + pc.radius > ic.radius + 2)
    return found;
  // And it is darker than the ring around it: half way in, the pupil's median level
  // lies well under the median half way across the ring (noise and clutter give
  // circles whose inside and outside are alike).
  std::vector<double> inside, ring;
  for (int k = 0; k < 64; ++k) {
    const double t = 2 * std::numbers::pi * (k + 0.5) / 64, c = std::cos(t), s = std::sin(t);
    inside.push_back(Sample(picture, pc.x + 0.5 * pc.radius * c, pc.y + 0.5 * pc.radius * s));
    const double mid = 0.5 * (pc.radius + ic.radius);
    ring.push_back(Sample(picture, pc.x + mid * c, pc.y + mid * s));
  }
  std::nth_element(inside.begin(), inside.begin() + 32, inside.end());
  std::nth_element(ring.begin(), ring.begin() + 32, ring.end());
  if (ring[32] - inside[32] < kMinPupilContrast) return found;
  found.pupil = pc;
  found.iris = ic;
  found.pupilResiduals = pupil->residuals;
  found.pupilRays = pupil->rays;
  return found;
}

}  // namespace okuva::iris
