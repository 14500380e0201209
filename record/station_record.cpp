// The station's record of a still: crop, mask, circles with their uncertainty, score.
#include "record/station_record.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <optional>
#include <tuple>
#include <vector>

#include "iris/circles.h"

namespace okuva::record {
namespace {

// Margins of the crop, in iris radii: left and right, above and below.
constexpr double kSideMargin = 0.6;
constexpr double kTopMargin = 0.2;

// The limbus probe: rays within this many degrees of horizontal on either side, the
// edge looked for within this share of R of the fitted circle (at least 3 pixels).
constexpr double kProbeArcDegrees = 45;
constexpr int kProbeRaysPerSide = 24;
constexpr double kProbeReach = 0.08;
// The rise is measured across this share of R either side of a point (at least a
// pixel): a limbus blurs over more pixels the larger the eye is pictured.
constexpr double kProbeSpan = 0.03;
// A rise under this many levels, or under this share of the ray's own range of levels,
// is no edge (dark near-infrared eyes have small steps, lit ones large).
constexpr double kProbeMinStep = 3;
constexpr double kProbeMinShare = 0.25;
constexpr size_t kProbeMinEdges = 8;
// The deviation assumed where the probe finds too few edges, in iris radii.
constexpr double kFallbackDeviation = 0.05;
constexpr double kMinSpread = 0.25;

struct Deviations {
  double x, y, r;
};

std::optional<double> Median(std::vector<double> v) {
  if (v.empty()) {
    return std::nullopt;
  }
  std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Standard deviations of the iris circle's centre and radius (see the header).
Deviations LimbusDeviations(const iris::GreyPlane& p, const iris::Circle& c) {
  const Deviations fallback{kFallbackDeviation * c.radius, kFallbackDeviation * c.radius,
                            kFallbackDeviation * c.radius};
  const double span = std::max(1.0, kProbeSpan * c.radius);
  const auto h = static_cast<size_t>(std::lround(2 * span));  // in half-pixel samples
  const double reach = std::max(3.0, kProbeReach * c.radius) + span;
  const double from = std::max(1.0, c.radius - reach);
  const auto samples = static_cast<size_t>((c.radius + reach - from) * 2) + 1;
  std::vector<double> g(samples), residuals, angles;
  const double arc = kProbeArcDegrees * std::numbers::pi / 180;
  for (int side = 0; side < 2; ++side) {
    for (int k = 0; k < kProbeRaysPerSide; ++k) {
      const double t = side * std::numbers::pi - arc + 2 * arc * k / (kProbeRaysPerSide - 1);
      const double ux = std::cos(t), uy = std::sin(t);
      for (size_t j = 0; j < samples; ++j) {
        const double rho = from + 0.5 * static_cast<double>(j);
        const double x = c.x + rho * ux, y = c.y + rho * uy;
        g[j] = (iris::Sample(p, x, y) + iris::Sample(p, x - uy, y + ux) +
                iris::Sample(p, x + uy, y - ux)) /
               3;
      }
      double best = 0;
      size_t at = 0;
      for (size_t j = h; j + h < samples; ++j) {
        if (g[j + h] - g[j - h] > best) {
          best = g[j + h] - g[j - h], at = j;
        }
      }
      const auto [low, high] = std::minmax_element(g.begin(), g.end());
      if (best < std::max(kProbeMinStep, kProbeMinShare * (*high - *low))) {
        continue;
      }
      residuals.push_back(from + 0.5 * static_cast<double>(at) - c.radius);
      angles.push_back(t);
    }
  }
  if (residuals.size() < kProbeMinEdges) {
    return fallback;
  }
  const double centre = *Median(residuals);
  std::vector<double> deviations;
  for (double r : residuals) {
    deviations.push_back(std::abs(r - centre));
  }
  const double spread = std::max(kMinSpread, 1.4826 * *Median(deviations));
  // J'J over the edges within three spreads (the others are lashes, lids, highlights).
  std::array<std::array<double, 3>, 3> m{};
  size_t used = 0;
  for (size_t i = 0; i < residuals.size(); ++i) {
    if (std::abs(residuals[i] - centre) > 3 * spread) {
      continue;
    }
    const double row[3] = {std::cos(angles[i]), std::sin(angles[i]), 1};
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) {
        m[a][b] += row[a] * row[b];
      }
    }
    ++used;
  }
  if (used < kProbeMinEdges) {
    return fallback;
  }
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  if (!(det > 1e-9)) {
    return fallback;
  }
  // Diagonal of the inverse: the cofactors over the determinant.
  const double ixx = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det;
  const double iyy = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
  const double irr = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
  return {spread * std::sqrt(std::max(0.0, ixx)), spread * std::sqrt(std::max(0.0, iyy)),
          spread * std::sqrt(std::max(0.0, irr))};
}

uint16_t Clamp16(double v, double low, double high) {
  return static_cast<uint16_t>(std::clamp(v, low, high));
}

// A coordinate +- `half` as 1-based pixels of an image `size` pixels long.
std::pair<uint16_t, uint16_t> PixelRange(double at, double half, int32_t size) {
  return {Clamp16(std::floor(at - half) + 1, 1, size), Clamp16(std::floor(at + half) + 1, 1, size)};
}

}  // namespace

uint8_t QualityScore(const iris::Quality& quality) {
  double product = 1;
  for (const iris::Threshold& t : iris::Thresholds()) {
    const double v = quality.Value(t.metric);
    if (std::isnan(v)) {
      return kScoreFailed;
    }
    double q = 1;
    if (!std::isnan(t.minimum) && v < t.minimum) {
      q = t.minimum > 0 ? std::max(0.0, v) / t.minimum : 0;
    }
    if (!std::isnan(t.maximum) && v > t.maximum) {
      q = std::min(q, std::max(0.0, (100 - v) / (100 - t.maximum)));
    }
    product *= q;
  }
  return static_cast<uint8_t>(std::lround(std::clamp(100 * product, 0.0, 100.0)));
}

Crop CropAround(const iris::Circle& iris, int32_t pictureWidth, int32_t pictureHeight) {
  const double halfWidth = std::ceil((1 + kSideMargin) * iris.radius);
  const double halfHeight = std::ceil((1 + kTopMargin) * iris.radius);
  const double left = std::floor(iris.x) - halfWidth, top = std::floor(iris.y) - halfHeight;
  const double right = std::floor(iris.x) + halfWidth, bottom = std::floor(iris.y) + halfHeight;
  if (!(iris.radius > 0) || left < 0 || top < 0 || right > pictureWidth - 1 ||
      bottom > pictureHeight - 1) {
    throw RecordError(
        RecordError::Kind::kMargins,
        "the eye is too near the picture's edge: the crop needs 0.6 iris radii left and right "
        "and 0.2 above and below");
  }
  if (2 * halfWidth + 1 > 0xFFFF || 2 * halfHeight + 1 > 0xFFFF) {
    throw RecordError(RecordError::Kind::kInvalid, "the iris is too large for a record");
  }
  return {static_cast<int32_t>(left), static_cast<int32_t>(top),
          static_cast<int32_t>(2 * halfWidth + 1), static_cast<int32_t>(2 * halfHeight + 1)};
}

CaptureTime CaptureTimeOf(const timespec& utc) {
  std::tm parts{};
  if (gmtime_r(&utc.tv_sec, &parts) == nullptr || parts.tm_year + 1900 < 0 ||
      parts.tm_year + 1900 > 0xFFFE) {
    return CaptureTime{};
  }
  CaptureTime t;
  t.year = static_cast<uint16_t>(parts.tm_year + 1900);
  t.month = static_cast<uint8_t>(parts.tm_mon + 1);
  t.day = static_cast<uint8_t>(parts.tm_mday);
  t.hour = static_cast<uint8_t>(parts.tm_hour);
  t.minute = static_cast<uint8_t>(parts.tm_min);
  t.second = static_cast<uint8_t>(std::min(parts.tm_sec, 59));  // a leap second counts as :59
  t.millisecond = static_cast<uint16_t>(std::clamp<long>(utc.tv_nsec / 1000000, 0, 999));
  return t;
}

Record MakeStationRecord(const iris::GreyPlane& still, const StationOptions& options) {
  return MakeStationRecord(still, iris::Assess(still), options);
}

Record MakeStationRecord(const iris::GreyPlane& still, const iris::Quality& quality,
                         const StationOptions& options) {
  if (options.format != ImageFormat::kPng && options.format != ImageFormat::kJpeg2000) {
    throw RecordError(RecordError::Kind::kInvalid,
                      "the station writes PNG or JPEG 2000 images only");
  }
  if (!still.Valid() || !quality.circles.pupil || !quality.circles.iris) {
    throw RecordError(RecordError::Kind::kNoIris, "no pupil and iris found in the picture");
  }
  const iris::Circle& c = *quality.circles.iris;
  const Crop crop = CropAround(c, still.width, still.height);

  iris::GreyImage image;
  image.width = crop.width;
  image.height = crop.height;
  image.pixels.resize(size_t{static_cast<uint32_t>(crop.width)} *
                      static_cast<uint32_t>(crop.height));
  for (int32_t y = 0; y < crop.height; ++y) {
    for (int32_t x = 0; x < crop.width; ++x) {
      const int32_t px = crop.left + x, py = crop.top + y;
      uint8_t level = still.At(px, py);
      if (options.masked) {
        const double dx = px + 0.5 - c.x, dy = py + 0.5 - c.y;
        const iris::Occlusion o = quality.mask.At(px, py);
        if (dx * dx + dy * dy > c.radius * c.radius || o == iris::Occlusion::kUpperLid ||
            o == iris::Occlusion::kLowerLid || o == iris::Occlusion::kLash) {
          level = kMaskLevel;
        }
      }
      image.pixels[size_t{static_cast<uint32_t>(y)} * static_cast<uint32_t>(crop.width) +
                   static_cast<size_t>(x)] = level;
    }
  }

  Representation r;
  r.capture = options.capture;
  r.deviceTechnology = options.deviceTechnology;
  r.quality.push_back({QualityScore(quality), kScoreAlgorithmVendor, kScoreAlgorithmId});
  r.representationNumber = 1;
  r.eye = static_cast<uint8_t>(options.eye);
  r.imageType =
      static_cast<uint8_t>(options.masked ? ImageType::kCroppedMasked : ImageType::kCropped);
  r.imageFormat = static_cast<uint8_t>(options.format);
  r.properties =
      Representation::Properties(Orientation::kBase, Orientation::kBase, Compression::kLossless);
  r.width = static_cast<uint16_t>(crop.width);
  r.height = static_cast<uint16_t>(crop.height);
  r.bitDepth = 8;
  const Deviations d = LimbusDeviations(still, c);
  const double hx = 2 * d.x + 0.5, hy = 2 * d.y + 0.5, hr = 2 * d.r + 0.5;
  std::tie(r.centreXMin, r.centreXMax) = PixelRange(c.x - crop.left, hx, crop.width);
  std::tie(r.centreYMin, r.centreYMax) = PixelRange(c.y - crop.top, hy, crop.height);
  r.diameterMin = Clamp16(std::floor(2 * (c.radius - hr)), 1, 0xFFFF);
  r.diameterMax = Clamp16(std::ceil(2 * (c.radius + hr)), 1, 0xFFFF);
  r.image = options.format == ImageFormat::kPng ? EncodePngGrey(image.View())
                                                : EncodeJp2Grey(image.View());

  Record record;
  record.eyeCount = 1;
  record.representations.push_back(std::move(r));
  return record;
}

}  // namespace okuva::record
