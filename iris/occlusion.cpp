#include "iris/occlusion.h"

#include <algorithm>
#include <cmath>

namespace okuva::iris {
namespace {

constexpr double kHighlightFloor = 230.0;
constexpr double kHighlightSpreads = 4.0;
// Skin is brighter than the iris by at least this share of the iris's own median level
// (and at least kLidStepFloor levels): relative, so a dark near-infrared iris (25) is
// told from its lids (45 to 60) as a daylight one is.
constexpr double kLidShare = 0.45;
constexpr double kLidStepFloor = 4.0;  // levels
constexpr double kLidSpreads = 2.0;
constexpr int32_t kShortestLid = 3;  // pixels of a column's run
constexpr int32_t kLidGap = 2;       // iris-like pixels a lid's run may skip
constexpr double kLashReach = 0.85;  // of the iris radius: lashes inside the limbus only
constexpr double kSideSector = 0.577;  // tan 30 degrees: the sectors the levels are learnt from

double Median(std::vector<double>& v) {
  if (v.empty()) {
    return 0;
  }
  const auto mid = v.begin() + static_cast<ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

}  // namespace

Occlusion OcclusionMask::At(int32_t x, int32_t y) const {
  if (x < left || y < top || x >= left + width || y >= top + height) {
    return Occlusion::kOutside;
  }
  return cells[static_cast<size_t>(y - top) * static_cast<size_t>(width) +
               static_cast<size_t>(x - left)];
}

size_t OcclusionMask::Count(Occlusion kind) const {
  return static_cast<size_t>(std::count(cells.begin(), cells.end(), kind));
}

OcclusionMask MaskIrisRing(const GreyPlane& p, const Circle& pupil, const Circle& iris,
                           IrisLevels* levelsOut) {
  OcclusionMask mask;
  if (!p.Valid()) {
    return mask;
  }
  const double x0 = std::floor(iris.x - iris.radius), y0 = std::floor(iris.y - iris.radius);
  const double x1 = std::ceil(iris.x + iris.radius), y1 = std::ceil(iris.y + iris.radius);
  mask.left = static_cast<int32_t>(std::clamp(x0, 0.0, static_cast<double>(p.width)));
  mask.top = static_cast<int32_t>(std::clamp(y0, 0.0, static_cast<double>(p.height)));
  mask.width = static_cast<int32_t>(std::clamp(x1, 0.0, static_cast<double>(p.width))) - mask.left;
  mask.height = static_cast<int32_t>(std::clamp(y1, 0.0, static_cast<double>(p.height))) - mask.top;
  if (mask.width <= 0 || mask.height <= 0) {
    return {};
  }
  mask.cells.assign(static_cast<size_t>(mask.width) * static_cast<size_t>(mask.height),
                    Occlusion::kOutside);
  auto cell = [&](int32_t x, int32_t y) -> Occlusion& {
    return mask.cells[static_cast<size_t>(y - mask.top) * static_cast<size_t>(mask.width) +
                      static_cast<size_t>(x - mask.left)];
  };

  std::vector<double> side;
  const double r2 = pupil.radius * pupil.radius, R2 = iris.radius * iris.radius;
  const double nearPupil = pupil.radius + 0.7 * (iris.radius - pupil.radius);
  for (int32_t y = mask.top; y < mask.top + mask.height; ++y) {
    for (int32_t x = mask.left; x < mask.left + mask.width; ++x) {
      const double ix = x + 0.5 - iris.x, iy = y + 0.5 - iris.y;
      const double px = x + 0.5 - pupil.x, py = y + 0.5 - pupil.y;
      if (ix * ix + iy * iy >= R2 || px * px + py * py <= r2) {
        continue;
      }
      cell(x, y) = Occlusion::kIris;
      if (std::abs(py) < kSideSector * std::abs(px) && px * px + py * py < nearPupil * nearPupil) {
        side.push_back(p.At(x, y));
      }
    }
  }
  IrisLevels levels;
  if (!side.empty()) {
    levels.median = Median(side);
    for (double& v : side) {
      v = std::abs(v - levels.median);
    }
    levels.spread = std::max(4.0, 1.4826 * Median(side));
  } else {
    levels = {128, 64};
  }
  if (levelsOut != nullptr) {
    *levelsOut = levels;
  }
  const double highlight =
      std::max(kHighlightFloor, levels.median + kHighlightSpreads * levels.spread);
  const double step =
      std::max({kLidStepFloor, kLidShare * levels.median, kLidSpreads * levels.spread});
  const double bright = levels.median + step, dark = levels.median - step;

  // Level of a pixel averaged over five columns, so single bright fibres do not read as skin.
  auto smoothed = [&](int32_t x, int32_t y) {
    int32_t sum = 0, n = 0;
    for (int32_t xx = std::max(0, x - 2); xx <= std::min(p.width - 1, x + 2); ++xx, ++n) {
      sum += p.At(xx, y);
    }
    return static_cast<double>(sum) / n;
  };
  const auto centreRow = static_cast<int32_t>(std::floor(iris.y));
  for (int32_t x = mask.left; x < mask.left + mask.width; ++x) {
    for (int direction : {+1, -1}) {  // +1: the upper lid, scanning down; -1: the lower lid
      const int32_t first = direction > 0 ? mask.top : mask.top + mask.height - 1;
      int32_t y = first;
      while (y >= mask.top && y < mask.top + mask.height && cell(x, y) != Occlusion::kIris) {
        if ((direction > 0 && y >= centreRow) || (direction < 0 && y <= centreRow)) {
          break;
        }
        y += direction;
      }
      if (y < mask.top || y >= mask.top + mask.height || cell(x, y) != Occlusion::kIris) {
        continue;
      }
      const int32_t start = y;
      int32_t last = start - direction, gap = 0;
      bool skin = false;
      for (; y >= mask.top && y < mask.top + mask.height; y += direction) {
        if ((direction > 0 && y > centreRow) || (direction < 0 && y < centreRow)) {
          break;
        }
        if (cell(x, y) != Occlusion::kIris) {
          break;  // reached the pupil
        }
        const double v = smoothed(x, y);
        if (v > bright || (skin && v < dark + step / 2)) {
          skin |= v > bright;
          last = y;
          gap = 0;
        } else if (++gap > kLidGap) {
          break;
        }
      }
      if (!skin || (last - start) * direction + 1 < kShortestLid) {
        continue;
      }
      for (int32_t yy = start; yy != last + direction; yy += direction) {
        if (cell(x, yy) == Occlusion::kIris) {
          cell(x, yy) = direction > 0 ? Occlusion::kUpperLid : Occlusion::kLowerLid;
        }
      }
    }
  }
  for (int32_t y = mask.top; y < mask.top + mask.height; ++y) {
    for (int32_t x = mask.left; x < mask.left + mask.width; ++x) {
      Occlusion& c = cell(x, y);
      if (c != Occlusion::kIris) {
        continue;
      }
      const double v = p.At(x, y);
      if (v >= highlight) {
        c = Occlusion::kHighlight;
      } else if (v < dark && y + 0.5 < iris.y) {
        const double ix = x + 0.5 - iris.x, iy = y + 0.5 - iris.y, px = x + 0.5 - pupil.x,
                     py = y + 0.5 - pupil.y;
        const double reach = kLashReach * iris.radius, clear = pupil.radius + 2;
        if (ix * ix + iy * iy < reach * reach && px * px + py * py > clear * clear) {
          c = Occlusion::kLash;
        }
      }
    }
  }
  return mask;
}

}  // namespace okuva::iris
