// Exposure: the grey-level histogram of the live picture, the share of clipped pixels
// and how many bits of the grey scale the picture actually uses.
#pragma once

#include "capture/aids/grey.h"
#include "platform/camera/camera.h"

#include <array>
#include <cstdint>

namespace okuva::aids {

// Pixel counts per grey level 0..255.
using GreyHistogram = std::array<uint64_t, 256>;

// Share of pixels at 0 or 255 above which the exposure is reported as clipped.
constexpr double kClippedWarningShare = 0.02;
// Grey-scale utilisation iris quality practice asks for (entropy of the histogram).
constexpr double kMinGreyBits = 6.0;

// The histogram of the luma of every pixel of a frame or plane. Raises error 5 for a
// malformed frame or view; an empty one gives an all-zero histogram.
GreyHistogram HistogramOf(const camera::Frame& frame);
GreyHistogram HistogramOf(const GreyView& grey);

// Shannon entropy of the histogram in bits, 0..8: 8 for all levels equally often,
// 1 for two levels half and half, 0 for a constant picture or an empty histogram.
double GreyBits(const GreyHistogram& histogram);

struct Exposure {
  uint64_t pixels = 0;         // pixels counted
  double darkClipped = 0;      // share 0..1 of pixels at level 0
  double brightClipped = 0;    // share 0..1 of pixels at level 255
  double clipped = 0;          // darkClipped + brightClipped
  double bits = 0;             // GreyBits of the histogram
  double mean = 0;             // mean grey level, 0..255
  bool clippedWarning = false; // clipped > kClippedWarningShare
  bool enoughBits = false;     // bits >= kMinGreyBits
};

// The exposure figures of a histogram; all zero (and no warning) when it is empty.
Exposure ExposureOf(const GreyHistogram& histogram);

}  // namespace okuva::aids
