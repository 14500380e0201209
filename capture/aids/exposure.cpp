#include "capture/aids/exposure.h"

#include <algorithm>
#include <cmath>

namespace okuva::aids {

GreyHistogram HistogramOf(const camera::Frame& frame) {
  CheckFrame(frame);
  // Four partial histograms break the store-to-load chain of runs of equal levels.
  std::array<std::array<uint32_t, 256>, 4> partial{};
  const size_t count = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
  const uint8_t* p = frame.rgb.data();
  GreyHistogram histogram{};
  size_t i = 0;
  while (i < count) {
    // Flush before a 32-bit bin could overflow.
    const size_t end = std::min(count, i + (size_t{1} << 30));
    for (; i + 4 <= end; i += 4, p += 12) {
      ++partial[0][Luma(p[0], p[1], p[2])];
      ++partial[1][Luma(p[3], p[4], p[5])];
      ++partial[2][Luma(p[6], p[7], p[8])];
      ++partial[3][Luma(p[9], p[10], p[11])];
    }
    for (; i < end; ++i, p += 3) {
      ++partial[0][Luma(p[0], p[1], p[2])];
    }
    for (auto& part : partial) {
      for (size_t level = 0; level < 256; ++level) {
        histogram[level] += part[level];
      }
      part.fill(0);
    }
  }
  return histogram;
}

GreyHistogram HistogramOf(const GreyView& grey) {
  CheckView(grey);
  GreyHistogram histogram{};
  for (int32_t y = 0; y < grey.height; ++y) {
    const uint8_t* row = grey.pixels + y * grey.stride;
    for (int32_t x = 0; x < grey.width; ++x) {
      ++histogram[row[x]];
    }
  }
  return histogram;
}

double GreyBits(const GreyHistogram& histogram) {
  uint64_t total = 0;
  for (uint64_t n : histogram) {
    total += n;
  }
  if (total == 0) {
    return 0.0;
  }
  double bits = 0;
  for (uint64_t n : histogram) {
    if (n == 0) {
      continue;
    }
    const double p = static_cast<double>(n) / static_cast<double>(total);
    bits -= p * std::log2(p);
  }
  // Rounding can leave -0 or a hair outside 0..8.
  return std::fmax(0.0, std::fmin(bits, 8.0));
}

Exposure ExposureOf(const GreyHistogram& histogram) {
  Exposure e;
  for (uint64_t n : histogram) {
    e.pixels += n;
  }
  if (e.pixels == 0) {
    return e;
  }
  const auto total = static_cast<double>(e.pixels);
  e.darkClipped = static_cast<double>(histogram[0]) / total;
  e.brightClipped = static_cast<double>(histogram[255]) / total;
  e.clipped = static_cast<double>(histogram[0] + histogram[255]) / total;
  e.bits = GreyBits(histogram);
  double sum = 0;
  for (size_t level = 0; level < 256; ++level) {
    sum += static_cast<double>(level) * static_cast<double>(histogram[level]);
  }
  e.mean = sum / total;
  e.clippedWarning = e.clipped > kClippedWarningShare;
  e.enoughBits = e.bits >= kMinGreyBits;
  return e;
}

}  // namespace okuva::aids
