#include "jpeg/quantization.h"

#include <cmath>

#include "jpeg/encoder_error.h"
#include "platform/runtime/checked.h"

namespace okuva::jpeg {

const std::array<int16_t, 64> kBaseQLuminance = {
    16, 11, 12,  14,  12,  10, 16, 14,  13,  14,  18,  17,  16, 19,  24,  40,
    26, 24, 22,  22,  24,  49, 35, 37,  29,  40,  58,  51,  61, 60,  57,  51,
    56, 55, 64,  72,  92,  78, 64, 68,  87,  69,  55,  56,  80, 109, 81,  87,
    95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};

const std::array<int16_t, 64> kBaseQChrominance = {
    17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Held as these decimal values so every build derives the same multipliers.
const std::array<double, 8> kDctScale = {0.353553390593273, 0.25489778955208,  0.270598050073098,
                                         0.300672443467523, 0.353553390593273, 0.449988111568207,
                                         0.653281482438186, 1.28145772387074};

ZigZagTable BuildZigZag() {
  ZigZagTable zz{};
  int32_t x = 0;
  int32_t y = 0;
  int32_t d = 1;  // +1 walks up-right, -1 down-left
  for (int32_t k = 0; k < 64; ++k) {
    zz[static_cast<size_t>(x)][static_cast<size_t>(y)] = k;
    x += d;
    y -= d;
    // Bounce off the block's edges; the order of the tests matters at the corners.
    if (x > 7) {
      y += 2;
      x = 7;
      d = -1;
    } else if (y > 7) {
      x += 2;
      y = 7;
      d = 1;
    } else if (x < 0) {
      x = 0;
      d = 1;
    } else if (y < 0) {
      y = 0;
      d = -1;
    }
  }
  return zz;
}

int32_t QualityScaleFactor(int32_t q) {
  if (q < 50) {
    return CLng(5000.0 / q);
  }
  return 200 - 2 * q;
}

void ScaleBaseTable(const std::array<int16_t, 64>& base, int32_t S, QuantTable& table) {
  constexpr int32_t kMinQ = 1;
  constexpr int32_t kMaxQ = 255;  // 8-bit DQT entries
  for (size_t i = 0; i < 64; ++i) {
    const int32_t v = CheckedAdd(CheckedMul(base[i], S), 50);
    int32_t q = CLng(v / 100.0);
    if (q < kMinQ) {
      q = kMinQ;
    }
    if (q > kMaxQ) {
      q = kMaxQ;
    }
    table.Qk[i] = static_cast<int16_t>(q);
  }
}

void ScaleQuantTable(QuantTable& table, const ZigZagTable& zigzag) {
  for (size_t x = 0; x < 8; ++x) {
    for (size_t y = 0; y < 8; ++y) {
      const auto z = static_cast<size_t>(zigzag[x][y]);
      const int32_t Q = table.Qk[z];
      if (Q < 1 || Q > 255) {
        RaiseEncoderError(EncoderFault::kBadQuantizationTable);
      }
      table.FScale[z] = static_cast<float>(kDctScale[x] * kDctScale[y] / Q);
    }
  }
}

}  // namespace okuva::jpeg
