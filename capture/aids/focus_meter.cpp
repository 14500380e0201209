#include "capture/aids/focus_meter.h"

#include <algorithm>
#include <cmath>

namespace okuva::aids {
namespace {

// The Laplacian's operator norm on a grid: a checkerboard gives |L| = 8 * deviation.
constexpr double kLaplacianNorm = 8.0;
constexpr int32_t kBinArea = kFocusBin * kFocusBin;

// The central region as a grid of bins: its top-left pixel and its size in bins.
struct Grid {
  int32_t x = 0, y = 0, columns = 0, rows = 0;
  bool Usable() const { return columns >= 3 && rows >= 3; }
};

Grid CentralGrid(int32_t width, int32_t height) {
  Grid g;
  g.columns = width / kFocusRegionDivisor / kFocusBin;
  g.rows = height / kFocusRegionDivisor / kFocusBin;
  g.x = (width - g.columns * kFocusBin) / 2;
  g.y = (height - g.rows * kFocusBin) / 2;
  return g;
}

// Sums the grey levels of each bin of the grid; `level(x, y)` reads one pixel.
template <typename Level>
void FillBins(const Grid& g, std::vector<uint16_t>& bins, Level level) {
  bins.assign(static_cast<size_t>(g.columns) * static_cast<size_t>(g.rows), 0);
  for (int32_t row = 0; row < g.rows; ++row) {
    uint16_t* out = bins.data() + static_cast<size_t>(row) * g.columns;
    for (int32_t dy = 0; dy < kFocusBin; ++dy) {
      level(g.y + row * kFocusBin + dy, out);
    }
  }
}

// The score of a grid of bin sums; the outermost bins serve only as neighbours.
double ScoreBins(const uint16_t* bins, int32_t columns, int32_t rows) {
  int64_t sumLap2 = 0, sum = 0, sum2 = 0;
  for (int32_t y = 1; y + 1 < rows; ++y) {
    const uint16_t* up = bins + static_cast<ptrdiff_t>(y - 1) * columns;
    const uint16_t* row = up + columns;
    const uint16_t* down = row + columns;
    int64_t rowLap2 = 0, rowSum = 0, rowSum2 = 0;
    for (int32_t x = 1; x + 1 < columns; ++x) {
      const int32_t c = row[x];
      const int32_t lap = 4 * c - row[x - 1] - row[x + 1] - up[x] - down[x];
      rowLap2 += static_cast<int64_t>(lap) * lap;  // |lap| <= 8160
      rowSum += c;
      rowSum2 += c * c;  // <= 1020^2
    }
    sumLap2 += rowLap2;
    sum += rowSum;
    sum2 += rowSum2;
  }
  const double n = static_cast<double>(columns - 2) * static_cast<double>(rows - 2);
  const double mean = static_cast<double>(sum) / n;
  const double variance = std::max(static_cast<double>(sum2) / n - mean * mean, 0.0);
  const double rmsLap = std::sqrt(static_cast<double>(sumLap2) / n);
  const double flat = kFocusFlatDeviation * kBinArea;  // the bins hold sums
  const double deviation = std::sqrt(variance + flat * flat);
  return std::min(kFocusScoreMax * rmsLap / (kLaplacianNorm * deviation), kFocusScoreMax);
}

double ScoreView(const GreyView& grey, std::vector<uint16_t>& bins) {
  CheckView(grey);
  const Grid g = CentralGrid(grey.width, grey.height);
  if (!g.Usable()) {
    return 0.0;
  }
  FillBins(g, bins, [&](int32_t y, uint16_t* out) {
    const uint8_t* p = grey.pixels + y * grey.stride + g.x;
    for (int32_t c = 0; c < g.columns; ++c, p += kFocusBin) {
      for (int32_t dx = 0; dx < kFocusBin; ++dx) {
        out[c] = static_cast<uint16_t>(out[c] + p[dx]);
      }
    }
  });
  return ScoreBins(bins.data(), g.columns, g.rows);
}

double ScoreFrame(const camera::Frame& frame, std::vector<uint16_t>& bins) {
  CheckFrame(frame);
  const Grid g = CentralGrid(frame.width, frame.height);
  if (!g.Usable()) {
    return 0.0;
  }
  FillBins(g, bins, [&](int32_t y, uint16_t* out) {
    const uint8_t* p = frame.rgb.data() + (static_cast<size_t>(y) * frame.width + g.x) * 3;
    for (int32_t c = 0; c < g.columns; ++c, p += 3 * kFocusBin) {
      for (int32_t dx = 0; dx < kFocusBin; ++dx) {
        out[c] = static_cast<uint16_t>(out[c] + Luma(p[3 * dx], p[3 * dx + 1], p[3 * dx + 2]));
      }
    }
  });
  return ScoreBins(bins.data(), g.columns, g.rows);
}

}  // namespace

double FocusScore(const GreyView& grey) {
  std::vector<uint16_t> bins;
  return ScoreView(grey, bins);
}

double FocusScore(const camera::Frame& frame) {
  std::vector<uint16_t> bins;
  return ScoreFrame(frame, bins);
}

double FocusMeter::Measure(const camera::Frame& frame) {
  Add(ScoreFrame(frame, bins_));
  return current_;
}

double FocusMeter::Measure(const GreyView& grey) {
  Add(ScoreView(grey, bins_));
  return current_;
}

void FocusMeter::Add(double score) {
  current_ = std::isnan(score) ? 0.0 : std::clamp(score, 0.0, kFocusScoreMax);
  best_ = count_ == 0 ? current_ : std::max(best_, current_);
  ++count_;
}

void FocusMeter::Reset() {
  current_ = 0;
  best_ = 0;
  count_ = 0;
}

}  // namespace okuva::aids
