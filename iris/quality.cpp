#include "iris/quality.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace okuva::iris {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// The capture-practice figures; sharpness and circularity are this station's own
// choices (see the constants in the header), set from blurred and elliptical
// renderings of the simulated eye and from real near-infrared close-ups. The sharpness
// mark, 50 (q = h^2), lies midway between those close-ups and copies of them blurred
// by a Gaussian of sigma 1.5, at their own exposure, darkened or brightened.
const std::array<Threshold, kMetricCount> kTable = {{
    {Metric::kIrisDiameter, "iris_diameter", "Diámetro", "px", 200, true, kNan, false},
    {Metric::kUsableIrisArea, "usable_iris_area", "Área útil", "%", 70, true, kNan, false},
    {Metric::kIrisScleraContrast, "iris_sclera_contrast", "Esclera", "", 5, false, kNan, false},
    {Metric::kIrisPupilContrast, "iris_pupil_contrast", "Pupila", "", 30, true, kNan, false},
    {Metric::kPupilIrisRatio, "pupil_iris_ratio", "Pupila/iris", "%", 20, true, 70, true},
    {Metric::kIrisPupilConcentricity, "iris_pupil_concentricity", "Concéntr.", "", 90, true, kNan,
     false},
    {Metric::kMarginAdequacy, "margin_adequacy", "Márgenes", "", 80, false, kNan, false},
    {Metric::kGreyscaleUtilisation, "greyscale_utilisation", "Grises", "bits", 6, true, kNan,
     false},
    {Metric::kSharpness, "sharpness", "Nitidez", "", 50, true, kNan, false},
    {Metric::kPupilBoundaryCircularity, "pupil_boundary_circularity", "Circular.", "", 80, true,
     kNan, false},
}};

double MedianOf(std::vector<double>& v) {
  if (v.empty()) {
    return kNan;
  }
  const auto mid = v.begin() + static_cast<ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// The eye region cut into 2 x 2 cells, with running sums of their levels, squared
// levels and glare pixels, so any box of whole cells is four reads.
class CellSums {
public:
  CellSums(const GreyPlane& region, int32_t glare)
      : columns_(region.width / 2),
        level_(Size(region)),
        square_(Size(region)),
        glare_(Size(region)) {
    const int32_t rows = region.height / 2;
    for (int32_t cy = 0; cy < rows; ++cy) {
      const uint8_t* top = region.pixels + 2 * cy * region.stride;
      const uint8_t* bottom = top + region.stride;
      int64_t level = 0, square = 0, bright = 0;
      for (int32_t cx = 0; cx < columns_; ++cx) {
        const int32_t a = top[2 * cx], b = top[2 * cx + 1], c = bottom[2 * cx],
                      d = bottom[2 * cx + 1];
        level += a + b + c + d;
        square += a * a + b * b + c * c + d * d;
        bright += (a >= glare) + (b >= glare) + (c >= glare) + (d >= glare);
        const size_t at = Index(cx + 1, cy + 1), above = Index(cx + 1, cy);
        level_[at] = level_[above] + level;
        square_[at] = square_[above] + square;
        glare_[at] = glare_[above] + bright;
      }
    }
  }
  // Boxes of `side` cells from cell (cx, cy).
  int64_t Level(int32_t cx, int32_t cy, int32_t side) const { return Box(level_, cx, cy, side); }
  int64_t Square(int32_t cx, int32_t cy, int32_t side) const { return Box(square_, cx, cy, side); }
  int64_t Glare(int32_t cx, int32_t cy, int32_t side) const { return Box(glare_, cx, cy, side); }

private:
  static size_t Size(const GreyPlane& region) {
    return static_cast<size_t>(region.width / 2 + 1) * static_cast<size_t>(region.height / 2 + 1);
  }
  size_t Index(int32_t cx, int32_t cy) const {
    return static_cast<size_t>(cy) * static_cast<size_t>(columns_ + 1) + static_cast<size_t>(cx);
  }
  int64_t Box(const std::vector<int64_t>& s, int32_t cx, int32_t cy, int32_t side) const {
    return s[Index(cx + side, cy + side)] - s[Index(cx, cy + side)] - s[Index(cx + side, cy)] +
           s[Index(cx, cy)];
  }
  int32_t columns_;
  std::vector<int64_t> level_, square_, glare_;
};

// The level at the given share of a histogram's pixels.
int32_t LevelAt(const std::array<int64_t, 256>& histogram, int64_t total, double share) {
  const auto want = static_cast<int64_t>(share * static_cast<double>(total));
  int64_t seen = 0;
  for (int32_t v = 0; v < 256; ++v) {
    seen += histogram[static_cast<size_t>(v)];
    if (seen > want) {
      return v;
    }
  }
  return 255;
}

// Variance of the region's pixel noise (sensor noise and rounding to whole levels),
// from the median magnitude of the 3 x 3 second difference [1 -2 1] x [1 -2 1], at
// every other pixel, away from glare: it passes smooth shading and edges hardly at all
// and white noise with a gain of 36; the median keeps texture and edges from counting.
double NoiseVariance(const GreyPlane& region, const CellSums& cells) {
  std::vector<uint32_t> histogram(16 * 255 + 1, 0);
  uint32_t count = 0;
  for (int32_t y = 1; y + 3 <= region.height; y += 2) {
    const uint8_t* above = region.pixels + (y - 1) * region.stride;
    const uint8_t* row = above + region.stride;
    const uint8_t* below = row + region.stride;
    for (int32_t x = 1; x + 3 <= region.width; x += 2) {
      if (cells.Glare(x / 2, y / 2, 2) != 0) {
        continue;  // the two cells square holding the 3 x 3
      }
      const int32_t top = above[x - 1] - 2 * above[x] + above[x + 1];
      const int32_t middle = row[x - 1] - 2 * row[x] + row[x + 1];
      const int32_t bottom = below[x - 1] - 2 * below[x] + below[x + 1];
      ++histogram[static_cast<size_t>(std::abs(top - 2 * middle + bottom))];
      ++count;
    }
  }
  if (count == 0) {
    return 0;
  }
  // The median with each whole |m| read as the interval it was rounded from, so it moves
  // smoothly with the noise rather than in whole steps.
  const double half = count / 2.0;
  double below = 0;
  size_t k = 0;
  while (k + 1 < histogram.size() && below + histogram[k] < half) {
    below += histogram[k++];
  }
  const double from = k == 0 ? 0 : static_cast<double>(k) - 0.5, width = k == 0 ? 0.5 : 1;
  const double median = from + width * (half - below) / std::max(1u, histogram[k]);
  // The median of |normal| is 0.6745 of its deviation.
  const double deviation = median / (0.6745 * 6);
  return deviation * deviation;
}

// Sums of every 2 x 2 block of a plane, at the block's top-left pixel.
std::vector<uint16_t> PairSums(const GreyPlane& region) {
  const auto w = static_cast<size_t>(region.width);
  std::vector<uint16_t> sums(w * static_cast<size_t>(region.height - 1));
  for (int32_t y = 0; y + 1 < region.height; ++y) {
    const uint8_t* top = region.pixels + y * region.stride;
    const uint8_t* bottom = top + region.stride;
    uint16_t* out = sums.data() + static_cast<size_t>(y) * w;
    for (size_t x = 0; x + 1 < w; ++x) {
      out[x] = static_cast<uint16_t>(top[x] + top[x + 1] + bottom[x] + bottom[x + 1]);
    }
  }
  return sums;
}

// The band-pass's power over the mean local variance (see the header). The band-pass is
// taken at every pixel: a picture enlarged from a coarser grid (as some eye cameras
// deliver) has two to three times the power at one phase of the pixel grid as at the
// next, so a sparser sampling would score it by where the grid happened to fall. The
// variance and the glare test come from the 8 x 8 window at even coordinates, which
// holds the four blocks it starts. Windows that touch glare are left out; 0 when none
// is left.
double BandRatio(const GreyPlane& region, const CellSums& cells, double noise) {
  const std::vector<uint16_t> pairs = PairSums(region);
  const auto w = static_cast<size_t>(region.width);
  // Each row's squared responses (times 144: 12 times the centre's mean less the
  // surround's is 3 centre - (block - centre)), two rows at a time.
  std::vector<int32_t> squares(2 * (w - 7));
  int64_t power = 0;
  double variance = 0;
  int64_t blocks = 0;
  for (int32_t cy = 0; 2 * cy + 8 <= region.height; ++cy) {
    const int32_t rows = 2 * cy + 9 <= region.height ? 2 : 1;
    for (int32_t i = 0; i < rows; ++i) {
      const uint16_t* row = pairs.data() + static_cast<size_t>(2 * cy + i + 2) * w;
      int32_t* out = squares.data() + static_cast<size_t>(i) * (w - 7);
      for (size_t x = 0; x + 8 <= w; ++x) {
        const int32_t response =
            4 * row[x + 1 + w] - (row[x] + row[x + 2] + row[x + 2 * w] + row[x + 2 + 2 * w]);
        out[x] = response * response;
      }
    }
    for (int32_t cx = 0; 2 * cx + 8 <= region.width; ++cx) {
      if (cells.Glare(cx, cy, 4) != 0) {
        continue;
      }
      const int32_t columns = static_cast<size_t>(2 * cx) + 9 <= w ? 2 : 1;
      for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < columns; ++j) {
          power += squares[static_cast<size_t>(i) * (w - 7) + static_cast<size_t>(2 * cx + j)];
        }
      }
      const double mean = static_cast<double>(cells.Level(cx, cy, 4)) / 64;
      variance += rows * columns *
                  std::max(0.0, static_cast<double>(cells.Square(cx, cy, 4)) / 64 - mean * mean);
      blocks += rows * columns;
    }
  }
  if (blocks == 0) {
    return 0;
  }
  const auto n = static_cast<double>(blocks);
  // White noise of variance N passes the band-pass as N / 4 + N / 12.
  const double signal = std::max(0.0, static_cast<double>(power) / (144 * n) - noise / 3);
  return signal / (variance / n + kSharpnessNoiseFloor * kSharpnessNoiseFloor);
}

double Entropy(const std::array<uint32_t, 256>& histogram) {
  double total = 0;
  for (uint32_t c : histogram) {
    total += c;
  }
  if (total <= 0) {
    return 0;
  }
  double bits = 0;
  for (uint32_t c : histogram) {
    if (c > 0) {
      const double share = c / total;
      bits -= share * std::log2(share);
    }
  }
  return bits;
}

// See kCircularityNoise. The residuals run round the pupil in the order of their rays.
double Circularity(const EyeCircles& circles, double r) {
  const std::vector<double>& e = circles.pupilResiduals;
  double shape = r;
  if (!e.empty()) {
    const auto lag = static_cast<size_t>(std::max(
        1L, std::lround(kCircularityNoiseLag / 360 * static_cast<double>(circles.pupilRays))));
    double squares = 0, differences = 0;
    for (size_t i = 0; i < e.size(); ++i) {
      squares += e[i] * e[i];
      const double d = e[(i + lag) % e.size()] - e[i];
      differences += d * d;
    }
    const auto n = static_cast<double>(e.size());
    shape = std::sqrt(std::max(0.0, squares / n - differences / (2 * n)));
  }
  return std::max(0.0, 100 * (1 - std::max(0.0, shape - kCircularityNoise) / (0.1 * r)));
}

}  // namespace

double Sharpness(const GreyPlane& p, const Circle& iris) {
  const auto x0 = static_cast<int32_t>(
      std::clamp(std::floor(iris.x - iris.radius), 0.0, static_cast<double>(p.width)));
  const auto y0 = static_cast<int32_t>(
      std::clamp(std::floor(iris.y - iris.radius), 0.0, static_cast<double>(p.height)));
  const auto x1 = static_cast<int32_t>(
      std::clamp(std::ceil(iris.x + iris.radius), 0.0, static_cast<double>(p.width)));
  const auto y1 = static_cast<int32_t>(
      std::clamp(std::ceil(iris.y + iris.radius), 0.0, static_cast<double>(p.height)));
  const int32_t w = x1 - x0, h = y1 - y0;
  if (w < 8 || h < 8) {
    return 0;
  }
  const GreyPlane region{p.pixels + y0 * p.stride + x0, w, h, p.stride};
  std::array<int64_t, 256> histogram{};
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      ++histogram[region.At(x, y)];
    }
  }
  const int64_t total = static_cast<int64_t>(w) * h;
  const int32_t p10 = LevelAt(histogram, total, 0.1), p50 = LevelAt(histogram, total, 0.5),
                p90 = LevelAt(histogram, total, 0.9);
  // The illuminator's spot: far brighter than the eye's own spread of levels, or clipped.
  const int32_t glare = std::min(kSharpnessClipped, p50 + 2 * (p90 - p10) + 1);
  const CellSums cells(region, glare);
  // Rounding to whole levels adds at least 1/12 level^2, which the second difference
  // misses where the picture is smooth and its rounding error comes in bands.
  const double ratio = BandRatio(region, cells, std::max(1.0 / 12, NoiseVariance(region, cells)));
  return 100 * ratio / (ratio + kSharpnessHalfRatio * kSharpnessHalfRatio);
}

const std::array<Threshold, kMetricCount>& Thresholds() { return kTable; }

const Threshold& ThresholdOf(Metric metric) { return kTable[static_cast<size_t>(metric)]; }

bool Passes(Metric metric, double value) {
  if (std::isnan(value)) {
    return false;
  }
  const Threshold& t = ThresholdOf(metric);
  if (!std::isnan(t.minimum) && (t.minimumIncluded ? value < t.minimum : value <= t.minimum)) {
    return false;
  }
  if (!std::isnan(t.maximum) && (t.maximumIncluded ? value > t.maximum : value >= t.maximum)) {
    return false;
  }
  return true;
}

Quality Assess(const GreyPlane& p) {
  Quality q;
  q.width = p.width;
  q.height = p.height;
  q.values.fill(kNan);
  q.circles = FindCircles(p);
  if (q.circles.pupil && q.circles.iris) {
    const Circle& pc = *q.circles.pupil;
    const Circle& ic = *q.circles.iris;
    const double r = pc.radius, R = ic.radius;
    auto set = [&](Metric m, double v) { q.values[static_cast<size_t>(m)] = v; };
    q.mask = MaskIrisRing(p, pc, ic);

    std::array<uint32_t, 256> histogram{};
    std::vector<double> ring, pupil, sclera;
    for (int32_t y = q.mask.top; y < q.mask.top + q.mask.height; ++y) {
      for (int32_t x = q.mask.left; x < q.mask.left + q.mask.width; ++x) {
        if (q.mask.At(x, y) != Occlusion::kIris) {
          continue;
        }
        ring.push_back(p.At(x, y));
        ++histogram[p.At(x, y)];
      }
    }
    const double ringArea = std::numbers::pi * (R * R - r * r);
    set(Metric::kUsableIrisArea,
        std::min(100.0, 100.0 * static_cast<double>(ring.size()) / ringArea));
    set(Metric::kGreyscaleUtilisation, Entropy(histogram));

    const double inner = 0.85 * r;
    for (int32_t y = std::max(0, static_cast<int32_t>(pc.y - inner));
         y <= std::min(p.height - 1, static_cast<int32_t>(pc.y + inner)); ++y) {
      for (int32_t x = std::max(0, static_cast<int32_t>(pc.x - inner));
           x <= std::min(p.width - 1, static_cast<int32_t>(pc.x + inner)); ++x) {
        if ((x + 0.5 - pc.x) * (x + 0.5 - pc.x) + (y + 0.5 - pc.y) * (y + 0.5 - pc.y) <
                inner * inner &&
            p.At(x, y) < 230) {
          pupil.push_back(p.At(x, y));
        }
      }
    }
    const double outer = 1.35 * R;
    for (int32_t y = std::max(0, static_cast<int32_t>(ic.y - outer));
         y <= std::min(p.height - 1, static_cast<int32_t>(ic.y + outer)); ++y) {
      for (int32_t x = std::max(0, static_cast<int32_t>(ic.x - outer));
           x <= std::min(p.width - 1, static_cast<int32_t>(ic.x + outer)); ++x) {
        const double dx = x + 0.5 - ic.x, dy = y + 0.5 - ic.y, d2 = dx * dx + dy * dy;
        if (d2 >= 1.21 * R * R && d2 < outer * outer && std::abs(dy) < 0.577 * std::abs(dx) &&
            p.At(x, y) < 230) {
          sclera.push_back(p.At(x, y));
        }
      }
    }
    const double I = MedianOf(ring), P = MedianOf(pupil), S = MedianOf(sclera);
    const double denominator = S + I - 2 * P;
    set(Metric::kIrisScleraContrast, denominator > 0 ? 100 * std::abs(S - I) / denominator
                                                     : (std::isnan(denominator) ? kNan : 0));
    if (!std::isnan(I) && !std::isnan(P)) {
      const double W = (I - P) / (20 + P);
      set(Metric::kIrisPupilContrast, W > 0 ? 100 * W / (0.75 + W) : 0);
    }
    set(Metric::kIrisDiameter, 2 * R);
    set(Metric::kPupilIrisRatio, 100 * r / R);
    set(Metric::kIrisPupilConcentricity,
        std::max(0.0, 100 * (1 - std::hypot(pc.x - ic.x, pc.y - ic.y) / R)));
    const double left = ic.x - R, right = p.width - (ic.x + R), top = ic.y - R,
                 bottom = p.height - (ic.y + R);
    set(Metric::kMarginAdequacy,
        std::max(0.0, 100 * std::min({1.0, left / (0.6 * R), right / (0.6 * R), top / (0.2 * R),
                                      bottom / (0.2 * R)})));
    set(Metric::kSharpness, Sharpness(p, ic));
    set(Metric::kPupilBoundaryCircularity, Circularity(q.circles, r));
  }
  q.pass = true;
  for (size_t i = 0; i < kMetricCount; ++i) {
    const auto m = static_cast<Metric>(i);
    q.passed[i] = Passes(m, q.values[i]);
    if (!q.passed[i]) {
      q.pass = false;
      q.failed.push_back(m);
    }
  }
  return q;
}

}  // namespace okuva::iris
