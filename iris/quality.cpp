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
// renderings of the simulated eye; the sharpness mark then from real near-infrared
// close-ups and copies of them blurred by a Gaussian of sigma 1.5 (25: nine in ten
// sharp originals pass, nearly all blurred copies fail).
const std::array<Threshold, kMetricCount> kTable = {{
    {Metric::kIrisDiameter, "iris_diameter", "Diámetro", "px", 200, true, kNan, false},
    {Metric::kUsableIrisArea, "usable_iris_area", "Área útil", "%", 70, true, kNan, false},
    {Metric::kIrisScleraContrast, "iris_sclera_contrast", "Esclera", "", 5, false, kNan, false},
    {Metric::kIrisPupilContrast, "iris_pupil_contrast", "Pupila", "", 30, true, kNan, false},
    {Metric::kPupilIrisRatio, "pupil_iris_ratio", "Pupila/iris", "%", 20, true, 70, true},
    {Metric::kIrisPupilConcentricity, "iris_pupil_concentricity", "Concéntr.", "", 90, true, kNan, false},
    {Metric::kMarginAdequacy, "margin_adequacy", "Márgenes", "", 80, false, kNan, false},
    {Metric::kGreyscaleUtilisation, "greyscale_utilisation", "Grises", "bits", 6, true, kNan, false},
    {Metric::kSharpness, "sharpness", "Nitidez", "", 25, true, kNan, false},
    {Metric::kPupilBoundaryCircularity, "pupil_boundary_circularity", "Circular.", "", 80, true, kNan, false},
}};

double MedianOf(std::vector<double>& v) {
  if (v.empty()) return kNan;
  const auto mid = v.begin() + static_cast<ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

double Sharpness(const GreyPlane& p, const Circle& iris) {
  const auto x0 = static_cast<int32_t>(std::clamp(std::floor(iris.x - iris.radius), 0.0, static_cast<double>(p.width)));
  const auto y0 = static_cast<int32_t>(std::clamp(std::floor(iris.y - iris.radius), 0.0, static_cast<double>(p.height)));
  const auto x1 = static_cast<int32_t>(std::clamp(std::ceil(iris.x + iris.radius), 0.0, static_cast<double>(p.width)));
  const auto y1 = static_cast<int32_t>(std::clamp(std::ceil(iris.y + iris.radius), 0.0, static_cast<double>(p.height)));
  const int32_t w = x1 - x0, h = y1 - y0;
  if (w < 8 || h < 8) return 0;
  // Integral image of the region: sums of any box in four reads.
  std::vector<int64_t> sums(static_cast<size_t>(w + 1) * static_cast<size_t>(h + 1), 0);
  auto at = [&](int32_t x, int32_t y) -> int64_t& { return sums[static_cast<size_t>(y) * (w + 1) + x]; };
  for (int32_t y = 0; y < h; ++y) {
    int64_t row = 0;
    for (int32_t x = 0; x < w; ++x) {
      row += p.At(x0 + x, y0 + y);
      at(x + 1, y + 1) = at(x + 1, y) + row;
    }
  }
  auto box = [&](int32_t x, int32_t y, int32_t side) {
    return at(x + side, y + side) - at(x, y + side) - at(x + side, y) + at(x, y);
  };
  double power = 0;
  int64_t count = 0;
  for (int32_t y = 0; y + 8 <= h; y += 4)
    for (int32_t x = 0; x + 8 <= w; x += 4) {
      const int64_t inner = box(x + 2, y + 2, 4), all = box(x, y, 8);
      const double response = (3.0 * static_cast<double>(inner) - static_cast<double>(all - inner)) / 48.0;
      power += response * response;
      ++count;
    }
  power /= static_cast<double>(count);
  return 100 * power / (power + kSharpnessHalfPower * kSharpnessHalfPower);
}

double Entropy(const std::array<uint32_t, 256>& histogram) {
  double total = 0;
  for (uint32_t c : histogram) total += c;
  if (total <= 0) return 0;
  double bits = 0;
  for (uint32_t c : histogram)
    if (c > 0) {
      const double share = c / total;
      bits -= share * std::log2(share);
    }
  return bits;
}

}  // namespace

const std::array<Threshold, kMetricCount>& Thresholds() { return kTable; }

const Threshold& ThresholdOf(Metric metric) { return kTable[static_cast<size_t>(metric)]; }

bool Passes(Metric metric, double value) {
  if (std::isnan(value)) return false;
  const Threshold& t = ThresholdOf(metric);
  if (!std::isnan(t.minimum) && (t.minimumIncluded ? value < t.minimum : value <= t.minimum)) return false;
  if (!std::isnan(t.maximum) && (t.maximumIncluded ? value > t.maximum : value >= t.maximum)) return false;
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
    for (int32_t y = q.mask.top; y < q.mask.top + q.mask.height; ++y)
      for (int32_t x = q.mask.left; x < q.mask.left + q.mask.width; ++x) {
        if (q.mask.At(x, y) != Occlusion::kIris) continue;
        ring.push_back(p.At(x, y));
        ++histogram[p.At(x, y)];
      }
    const double ringArea = std::numbers::pi * (R * R - r * r);
    set(Metric::kUsableIrisArea, std::min(100.0, 100.0 * static_cast<double>(ring.size()) / ringArea));
    set(Metric::kGreyscaleUtilisation, Entropy(histogram));

    const double inner = 0.85 * r;
    for (int32_t y = std::max(0, static_cast<int32_t>(pc.y - inner)); y <= std::min(p.height - 1, static_cast<int32_t>(pc.y + inner)); ++y)
      for (int32_t x = std::max(0, static_cast<int32_t>(pc.x - inner)); x <= std::min(p.width - 1, static_cast<int32_t>(pc.x + inner)); ++x)
        if ((x + 0.5 - pc.x) * (x + 0.5 - pc.x) + (y + 0.5 - pc.y) * (y + 0.5 - pc.y) < inner * inner && p.At(x, y) < 230)
          pupil.push_back(p.At(x, y));
    const double outer = 1.35 * R;
    for (int32_t y = std::max(0, static_cast<int32_t>(ic.y - outer)); y <= std::min(p.height - 1, static_cast<int32_t>(ic.y + outer)); ++y)
      for (int32_t x = std::max(0, static_cast<int32_t>(ic.x - outer)); x <= std::min(p.width - 1, static_cast<int32_t>(ic.x + outer)); ++x) {
        const double dx = x + 0.5 - ic.x, dy = y + 0.5 - ic.y, d2 = dx * dx + dy * dy;
        if (d2 >= 1.21 * R * R && d2 < outer * outer && std::abs(dy) < 0.577 * std::abs(dx) && p.At(x, y) < 230)
          sclera.push_back(p.At(x, y));
      }
    const double I = MedianOf(ring), P = MedianOf(pupil), S = MedianOf(sclera);
    const double denominator = S + I - 2 * P;
    set(Metric::kIrisScleraContrast, denominator > 0 ? 100 * std::abs(S - I) / denominator : (std::isnan(denominator) ? kNan : 0));
    if (!std::isnan(I) && !std::isnan(P)) {
      const double W = (I - P) / (20 + P);
      set(Metric::kIrisPupilContrast, W > 0 ? 100 * W / (0.75 + W) : 0);
    }
    set(Metric::kIrisDiameter, 2 * R);
    set(Metric::kPupilIrisRatio, 100 * r / R);
    set(Metric::kIrisPupilConcentricity, std::max(0.0, 100 * (1 - std::hypot(pc.x - ic.x, pc.y - ic.y) / R)));
    const double left = ic.x - R, right = p.width - (ic.x + R), top = ic.y - R, bottom = p.height - (ic.y + R);
    set(Metric::kMarginAdequacy,
        std::max(0.0, 100 * std::min({1.0, left / (0.6 * R), right / (0.6 * R), top / (0.2 * R), bottom / (0.2 * R)})));
    set(Metric::kSharpness, Sharpness(p, ic));
    double squares = 0;
    for (double e : q.circles.pupilResiduals) squares += e * e;
    const double rms = q.circles.pupilResiduals.empty()
                           ? r
                           : std::sqrt(squares / static_cast<double>(q.circles.pupilResiduals.size()));
    set(Metric::kPupilBoundaryCircularity, std::max(0.0, 100 * (1 - std::max(0.0, rms - kCircularityNoise) / (0.1 * r))));
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
