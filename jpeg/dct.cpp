#include "jpeg/dct.h"

#include <cmath>
#include <cstdlib>

#include "platform/runtime/error.h"

namespace okuva::jpeg {

namespace {

// Every assignment of the transform rounds to float; the right sides run in double.
inline float F(double v) { return static_cast<float>(v); }

// The one-dimensional scaled DCT on e[0], e[s], ..., e[7s], in place.
inline void Dct1D(float* e, int32_t s) {
  const double e0 = e[0], e1 = e[s], e2 = e[2 * s], e3 = e[3 * s];
  const double e4 = e[4 * s], e5 = e[5 * s], e6 = e[6 * s], e7 = e[7 * s];
  float a0 = F(e7 + e0);
  float a1 = F(e0 - e7);
  float a2 = F(e6 + e1);
  float a3 = F(e1 - e6);
  float a4 = F(e5 + e2);
  float a5 = F(e2 - e5);
  float a6 = F(e4 + e3);
  float a7 = F(e3 - e4);

  a7 = F(double{a5} + a7);
  const float a8 = F(double{a0} - a6);
  a6 = F(double{a0} + a6);
  a0 = F(double{a4} + a2);
  a2 = F((double{a2} - a4 + a8) * kDctC4);
  a4 = F(double{a3} + a1);
  a3 = F((double{a5} + a3) * kDctC4);
  a5 = F((double{a4} - a7) * kDctC6);
  a7 = F(double{a7} * kDctK2 - a5);
  a4 = F(double{a4} * kDctK6 - a5);
  a5 = F(double{a3} + a1);
  a1 = F(double{a1} - a3);

  e[0] = F(double{a6} + a0);
  e[4 * s] = F(double{a6} - a0);
  e[s] = F(double{a5} + a4);
  e[7 * s] = F(double{a5} - a4);
  e[2 * s] = F(double{a8} + a2);
  e[6 * s] = F(double{a8} - a2);
  e[5 * s] = F(double{a7} + a1);
  e[3 * s] = F(double{a1} - a7);
}

}  // namespace

void ForwardDCT(Block& block) {
  // Pass 1 down each column x, pass 2 along each row y.
  for (int32_t x = 0; x < 8; ++x) {
    Dct1D(&block.v[static_cast<size_t>(x)], 8);
  }
  for (int32_t y = 0; y < 8; ++y) {
    Dct1D(&block.v[static_cast<size_t>(y * 8)], 1);
  }
}

void QuantizeBlock(const Block& block, const ZigZagTable& zigzag,
                   const std::array<float, 64>& multipliers, int16_t* out) {
  for (int32_t y = 0; y < 8; ++y) {
    for (int32_t x = 0; x < 8; ++x) {
      const auto z = static_cast<size_t>(zigzag[static_cast<size_t>(x)][static_cast<size_t>(y)]);
      // The default rounding mode is to nearest with ties to even.
      const double q = std::nearbyint(double{block.at(x, y)} * double{multipliers[z]});
      if (!(q >= -32768.0 && q <= 32767.0)) {
        Raise(kErrOverflow);
      }
      out[z] = static_cast<int16_t>(q);
    }
  }
}

void DctQuantizeScalar(const float* in, const ZigZagTable& zigzag,
                       const std::array<float, 64>& multipliers, int16_t* out) {
  Block block;
  for (size_t i = 0; i < 64; ++i) {
    block.v[i] = in[i];
  }
  ForwardDCT(block);
  QuantizeBlock(block, zigzag, multipliers, out);
}

PreparedQuant PrepareQuant(const ZigZagTable& zigzag, const std::array<float, 64>& multipliers) {
  PreparedQuant p{};
  for (size_t v = 0; v < 8; ++v) {
    for (size_t u = 0; u < 8; ++u) {
      const auto z = static_cast<size_t>(zigzag[u][v]);
      p.multiplier[v * 8 + u] = multipliers[z];
      p.zigzag[v * 8 + u] = static_cast<uint8_t>(z);
      p.natural[z] = static_cast<uint16_t>(v * 8 + u);
    }
  }
  return p;
}

int SelectedBlockLanes() {
  static const int lanes = [] {
    if (SelectedDctQuantize() != &DctQuantizeAvx2) {
      return 1;
    }
    if (std::getenv("OKUVA_JPEG_NO_AVX512") == nullptr && CpuHasAvx512()) {
      return 8;
    }
    return 4;
  }();
  return lanes;
}

DctQuantizeKernel SelectedDctQuantize() {
  static const DctQuantizeKernel kernel = [] {
    if (std::getenv("OKUVA_JPEG_SCALAR") != nullptr || !CpuHasAvx2()) {
      return &DctQuantizeScalar;
    }
    return &DctQuantizeAvx2;
  }();
  return kernel;
}

}  // namespace okuva::jpeg
