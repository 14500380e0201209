// Forward DCT and quantization stage: the scaled AAN transform of one 8 x 8 block and
// its quantization into a zigzag-ordered store.
//
// Rounding contract (kept by every implementation, scalar or vector): each assignment
// is evaluated in double precision and rounded to float; quantization rounds the
// double product half to even.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "jpeg/quantization.h"

namespace okuva::jpeg {

// AAN rotation constants: cos(4 pi/16), cos(6 pi/16), and the two combined factors
// (shared by the scalar transform and the vector kernels).
inline constexpr double kDctC4 = 0.707106781186548;
inline constexpr double kDctC6 = 0.382683432365091;
inline constexpr double kDctK2 = 0.541196100146196;
inline constexpr double kDctK6 = 1.30656296487638;

// m_sngBlock: the working block, level-shifted samples in and DCT coefficients out.
struct Block {
  std::array<float, 64> v{};  // row-major: (x, y) at y * 8 + x
  float& at(int32_t x, int32_t y) { return v[static_cast<size_t>(y * 8 + x)]; }
  float at(int32_t x, int32_t y) const { return v[static_cast<size_t>(y * 8 + x)]; }
};

// In place; the result at (u, v) is the T.81 A.3.3 coefficient divided by
// kDctScale[u] * kDctScale[v].
void ForwardDCT(Block& block);

// Writes the 64 quantized coefficients of the block to out[0..63] in zigzag order:
// block(x, y) * multipliers[z] rounded half to even. Raises 6 if a value leaves the
// 16-bit range (impossible for 8-bit samples and quantizers of at least 1).
void QuantizeBlock(const Block& block, const ZigZagTable& zigzag,
                   const std::array<float, 64>& multipliers, int16_t* out);

}  // namespace okuva::jpeg

namespace okuva::jpeg {

// ForwardDCT then QuantizeBlock on the 64 level-shifted samples in[y * 8 + x],
// writing the zigzag-ordered result to out[0..63]. The vector kernel gives the same
// bits as the scalar one: every lane follows the rounding contract above.
using DctQuantizeKernel = void (*)(const float* in, const ZigZagTable& zigzag,
                                   const std::array<float, 64>& multipliers, int16_t* out);
void DctQuantizeScalar(const float* in, const ZigZagTable& zigzag,
                       const std::array<float, 64>& multipliers, int16_t* out);
// AVX2 (double-precision lanes); only to be called where the processor has AVX2.
void DctQuantizeAvx2(const float* in, const ZigZagTable& zigzag,
                     const std::array<float, 64>& multipliers, int16_t* out);
bool CpuHasAvx2();

// Multipliers and zigzag positions of one quantization table laid out in natural
// order (index v * 8 + u), as the four-block kernel reads them.
struct PreparedQuant {
  alignas(32) double multiplier[64];
  uint8_t zigzag[64];
  // The inverse: natural index of zigzag position z (the eight-block kernel's shuffle).
  alignas(64) uint16_t natural[64];
};
PreparedQuant PrepareQuant(const ZigZagTable& zigzag, const std::array<float, 64>& multipliers);

// Four horizontally adjacent blocks at once, one per lane: in4[(y * 8 + x) * 4 + k] is
// sample (x, y) of block k (overwritten). Block k's coefficients go to out + 64 k.
// Same bits as four DctQuantizeScalar calls.
void DctQuantize4Avx2(float* in4, const PreparedQuant& quant, int16_t* out);

// The same for eight blocks with AVX-512 lanes: in8[(y * 8 + x) * 8 + k].
void DctQuantize8Avx512(float* in8, const PreparedQuant& quant, int16_t* out);
bool CpuHasAvx512();

// The kernel chosen once at start-up: AVX2 where the processor has it, unless the
// environment variable OKUVA_JPEG_SCALAR is set (to rule the vector path out).
DctQuantizeKernel SelectedDctQuantize();
// Blocks the widest selected kernel transforms at once: 8 (AVX-512), 4 (AVX2) or 1.
// OKUVA_JPEG_SCALAR rules out both vector paths, OKUVA_JPEG_NO_AVX512 the widest.
int SelectedBlockLanes();

}  // namespace okuva::jpeg
