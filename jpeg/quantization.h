// Settings stage: the zigzag order, the base quantizer tables and the quality scaling
// that turns one number into the two quantization tables with their multipliers.
#pragma once

#include <array>
#include <cstdint>

namespace okuva::jpeg {

// m_lZigZag: zigzag position (0..63) of the coefficient with horizontal frequency x
// and vertical frequency y, indexed [x][y].
using ZigZagTable = std::array<std::array<int32_t, 8>, 8>;

// The anti-diagonal walk of T.81 Figure A.6.
ZigZagTable BuildZigZag();

// T.81 Tables K.1 (luminance) and K.2 (chrominance), listed in zigzag order.
extern const std::array<int16_t, 64> kBaseQLuminance;
extern const std::array<int16_t, 64> kBaseQChrominance;

// Per-frequency output scale of the forward DCT: 1/(2 sqrt 2) for 0, 1/(4 cos(k pi/16))
// otherwise.
extern const std::array<double, 8> kDctScale;

// A quantization table: quantizers in zigzag order and, per zigzag index, the multiplier
// that folds the DCT's output scale and the division by the quantizer together.
struct QuantTable {
  std::array<int16_t, 64> Qk{};
  std::array<float, 64> FScale{};
};

// Scale factor S for quality q in 1..100: 5000/q rounded half to even below 50,
// else 200 - 2q.
int32_t QualityScaleFactor(int32_t q);

// Qk(i) = (base(i) * S + 50) / 100 rounded half to even and clamped to 1..255.
void ScaleBaseTable(const std::array<int16_t, 64>& base, int32_t S, QuantTable& table);

// Validates Qk and fills FScale. Raises the encoder error "Bad Quantization Table" for a
// quantizer outside 1..255; entries visited before it keep their new multipliers.
void ScaleQuantTable(QuantTable& table, const ZigZagTable& zigzag);

}  // namespace okuva::jpeg
