#include "jpeg/dct.h"

#include <cmath>

#include "platform/runtime/error.h"

namespace okuva::jpeg {

namespace {

// AAN rotation constants: cos(4 pi/16), cos(6 pi/16), and the two combined factors.
constexpr double C4 = 0.707106781186548;
constexpr double C6 = 0.382683432365091;
constexpr double K2 = 0.541196100146196;
constexpr double K6 = 1.30656296487638;

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
  a2 = F((double{a2} - a4 + a8) * C4);
  a4 = F(double{a3} + a1);
  a3 = F((double{a5} + a3) * C4);
  a5 = F((double{a4} - a7) * C6);
  a7 = F(double{a7} * K2 - a5);
  a4 = F(double{a4} * K6 - a5);
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
  for (int32_t x = 0; x < 8; ++x) Dct1D(&block.v[static_cast<size_t>(x)], 8);
  for (int32_t y = 0; y < 8; ++y) Dct1D(&block.v[static_cast<size_t>(y * 8)], 1);
}

void QuantizeBlock(const Block& block, const ZigZagTable& zigzag,
                   const std::array<float, 64>& multipliers, int16_t* out) {
  for (int32_t y = 0; y < 8; ++y) {
    for (int32_t x = 0; x < 8; ++x) {
      const auto z = static_cast<size_t>(zigzag[static_cast<size_t>(x)][static_cast<size_t>(y)]);
      // The default rounding mode is to nearest with ties to even.
      const double q = std::nearbyint(double{block.at(x, y)} * double{multipliers[z]});
      if (!(q >= -32768.0 && q <= 32767.0)) Raise(kErrOverflow);
      out[z] = static_cast<int16_t>(q);
    }
  }
}

}  // namespace okuva::jpeg

#include "jpeg/simd.h"

#include <cstdlib>

namespace okuva::jpeg {

void DctQuantizeScalar(const float* in, const ZigZagTable& zigzag,
                       const std::array<float, 64>& multipliers, int16_t* out) {
  Block block;
  for (size_t i = 0; i < 64; ++i) block.v[i] = in[i];
  ForwardDCT(block);
  QuantizeBlock(block, zigzag, multipliers, out);
}

#ifdef OKUVA_JPEG_X86

namespace {

#define OKUVA_AVX2 __attribute__((target("avx2")))

// Rounds every lane to float and back: the value an assignment to a float holds.
OKUVA_AVX2 inline __m256d R(__m256d v) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(v)); }

// The one-dimensional transform on four independent lanes; e[k] holds sample k. The
// outputs are left unrounded: the caller stores them as floats (or rounds them).
OKUVA_AVX2 inline void Dct1DLanes(__m256d* e) {
  const __m256d c4 = _mm256_set1_pd(C4);
  const __m256d c6 = _mm256_set1_pd(C6);
  const __m256d k2 = _mm256_set1_pd(K2);
  const __m256d k6 = _mm256_set1_pd(K6);
  __m256d a0 = R(_mm256_add_pd(e[7], e[0]));
  __m256d a1 = R(_mm256_sub_pd(e[0], e[7]));
  __m256d a2 = R(_mm256_add_pd(e[6], e[1]));
  __m256d a3 = R(_mm256_sub_pd(e[1], e[6]));
  __m256d a4 = R(_mm256_add_pd(e[5], e[2]));
  __m256d a5 = R(_mm256_sub_pd(e[2], e[5]));
  __m256d a6 = R(_mm256_add_pd(e[4], e[3]));
  __m256d a7 = R(_mm256_sub_pd(e[3], e[4]));

  a7 = R(_mm256_add_pd(a5, a7));
  const __m256d a8 = R(_mm256_sub_pd(a0, a6));
  a6 = R(_mm256_add_pd(a0, a6));
  a0 = R(_mm256_add_pd(a4, a2));
  a2 = R(_mm256_mul_pd(_mm256_add_pd(_mm256_sub_pd(a2, a4), a8), c4));
  a4 = R(_mm256_add_pd(a3, a1));
  a3 = R(_mm256_mul_pd(_mm256_add_pd(a5, a3), c4));
  a5 = R(_mm256_mul_pd(_mm256_sub_pd(a4, a7), c6));
  a7 = R(_mm256_sub_pd(_mm256_mul_pd(a7, k2), a5));
  a4 = R(_mm256_sub_pd(_mm256_mul_pd(a4, k6), a5));
  a5 = R(_mm256_add_pd(a3, a1));
  a1 = R(_mm256_sub_pd(a1, a3));

  e[0] = _mm256_add_pd(a6, a0);
  e[4] = _mm256_sub_pd(a6, a0);
  e[1] = _mm256_add_pd(a5, a4);
  e[7] = _mm256_sub_pd(a5, a4);
  e[2] = _mm256_add_pd(a8, a2);
  e[6] = _mm256_sub_pd(a8, a2);
  e[5] = _mm256_add_pd(a7, a1);
  e[3] = _mm256_sub_pd(a1, a7);
}

// Pass over the 8 x 8 floats src (row-major): lanes are four columns at a time, the
// transform runs down the columns, and the result is written transposed to dst.
OKUVA_AVX2 inline void ColumnPassTransposed(const float* src, float* dst) {
  for (int half = 0; half < 2; ++half) {
    __m256d e[8];
    for (int k = 0; k < 8; ++k) e[k] = _mm256_cvtps_pd(_mm_loadu_ps(src + k * 8 + 4 * half));
    Dct1DLanes(e);
    // e[k] lane j is the output k of column 4 half + j: dst[(4 half + j) * 8 + k].
    alignas(16) float lanes[8][4];
    for (int k = 0; k < 8; ++k) _mm_store_ps(lanes[k], _mm256_cvtpd_ps(e[k]));
    for (int j = 0; j < 4; ++j) {
      for (int k = 0; k < 8; ++k) dst[(4 * half + j) * 8 + k] = lanes[k][j];
    }
  }
}

}  // namespace

OKUVA_AVX2 void DctQuantizeAvx2(const float* in, const ZigZagTable& zigzag,
                                const std::array<float, 64>& multipliers, int16_t* out) {
  alignas(32) float columns[64];  // after pass 1, transposed: [x * 8 + y]
  alignas(32) float result[64];   // after pass 2: [y * 8 + x] again, (x, y) = (u, v)
  ColumnPassTransposed(in, columns);
  ColumnPassTransposed(columns, result);
  // result[v * 8 + u] is the coefficient with horizontal frequency u, vertical v.
  for (int i = 0; i < 64; i += 4) {
    const __m256d c = _mm256_cvtps_pd(_mm_load_ps(result + i));
    const int v = i / 8;
    const int u = i % 8;
    alignas(16) float m4[4];
    for (int j = 0; j < 4; ++j) {
      m4[j] = multipliers[static_cast<size_t>(zigzag[static_cast<size_t>(u + j)][static_cast<size_t>(v)])];
    }
    const __m256d q = _mm256_round_pd(_mm256_mul_pd(c, _mm256_cvtps_pd(_mm_load_ps(m4))),
                                      _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    alignas(16) int32_t qi[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(qi), _mm256_cvtpd_epi32(q));
    for (int j = 0; j < 4; ++j) {
      if (qi[j] < -32768 || qi[j] > 32767) Raise(kErrOverflow);
      out[zigzag[static_cast<size_t>(u + j)][static_cast<size_t>(v)]] = static_cast<int16_t>(qi[j]);
    }
  }
}

OKUVA_AVX2 void DctQuantize4Avx2(float* in4, const PreparedQuant& quant, int16_t* out) {
  // Pass 1: down each column x; lanes are the four blocks.
  for (int x = 0; x < 8; ++x) {
    __m256d e[8];
    for (int k = 0; k < 8; ++k) e[k] = _mm256_cvtps_pd(_mm_loadu_ps(in4 + (k * 8 + x) * 4));
    Dct1DLanes(e);
    for (int k = 0; k < 8; ++k) _mm_storeu_ps(in4 + (k * 8 + x) * 4, _mm256_cvtpd_ps(e[k]));
  }
  // Pass 2 along each row y, quantized straight from the float-rounded outputs.
  __m128i low = _mm_set1_epi32(0);
  __m128i high = _mm_set1_epi32(0);
  for (int y = 0; y < 8; ++y) {
    __m256d e[8];
    for (int k = 0; k < 8; ++k) e[k] = _mm256_cvtps_pd(_mm_loadu_ps(in4 + (y * 8 + k) * 4));
    Dct1DLanes(e);
    for (int u = 0; u < 8; ++u) {
      const int i = y * 8 + u;
      const __m256d q = _mm256_round_pd(
          _mm256_mul_pd(R(e[u]), _mm256_set1_pd(quant.multiplier[i])),
          _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
      const __m128i qi = _mm256_cvtpd_epi32(q);
      low = _mm_min_epi32(low, qi);
      high = _mm_max_epi32(high, qi);
      const int z = quant.zigzag[i];
      out[z] = static_cast<int16_t>(_mm_extract_epi32(qi, 0));
      out[64 + z] = static_cast<int16_t>(_mm_extract_epi32(qi, 1));
      out[128 + z] = static_cast<int16_t>(_mm_extract_epi32(qi, 2));
      out[192 + z] = static_cast<int16_t>(_mm_extract_epi32(qi, 3));
    }
  }
  alignas(16) int32_t lo[4];
  alignas(16) int32_t hi[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lo), low);
  _mm_store_si128(reinterpret_cast<__m128i*>(hi), high);
  for (int j = 0; j < 4; ++j) {
    if (lo[j] < -32768 || hi[j] > 32767) Raise(kErrOverflow);
  }
}

bool CpuHasAvx2() { return __builtin_cpu_supports("avx2"); }

#define OKUVA_AVX512 __attribute__((target(OKUVA_JPEG_WIDE)))

namespace {

// The masked forms with an explicit source: GCC 12 warns about the undefined source
// registers of the plain forms.
constexpr __mmask8 kAllLanes = 0xFF;
OKUVA_AVX512 inline __m256 ToFloat8(__m512d v) {
  return _mm512_mask_cvtpd_ps(_mm256_setzero_ps(), kAllLanes, v);
}
OKUVA_AVX512 inline __m512d ToDouble8(__m256 v) {
  return _mm512_mask_cvtps_pd(_mm512_setzero_pd(), kAllLanes, v);
}

// Dct1DLanes on eight lanes of floats. A sum or difference of two floats evaluated in
// double and rounded to float equals the float operation itself (double holds more
// than twice float's precision, so the double rounding is harmless); those steps run
// as float operations. Steps of several operations or with a double constant are
// evaluated in double and rounded once, as written. Outputs are rounded (float).
OKUVA_AVX512 inline void Dct1DLanes8(__m256* e) {
  const __m512d c4 = _mm512_set1_pd(C4);
  const __m512d c6 = _mm512_set1_pd(C6);
  const __m512d k2 = _mm512_set1_pd(K2);
  const __m512d k6 = _mm512_set1_pd(K6);
  __m256 a0 = _mm256_add_ps(e[7], e[0]);
  __m256 a1 = _mm256_sub_ps(e[0], e[7]);
  __m256 a2 = _mm256_add_ps(e[6], e[1]);
  __m256 a3 = _mm256_sub_ps(e[1], e[6]);
  __m256 a4 = _mm256_add_ps(e[5], e[2]);
  __m256 a5 = _mm256_sub_ps(e[2], e[5]);
  __m256 a6 = _mm256_add_ps(e[4], e[3]);
  __m256 a7 = _mm256_sub_ps(e[3], e[4]);

  a7 = _mm256_add_ps(a5, a7);
  const __m256 a8 = _mm256_sub_ps(a0, a6);
  a6 = _mm256_add_ps(a0, a6);
  a0 = _mm256_add_ps(a4, a2);
  a2 = ToFloat8(_mm512_mul_pd(
      _mm512_add_pd(_mm512_sub_pd(ToDouble8(a2), ToDouble8(a4)), ToDouble8(a8)), c4));
  a4 = _mm256_add_ps(a3, a1);
  a3 = ToFloat8(_mm512_mul_pd(_mm512_add_pd(ToDouble8(a5), ToDouble8(a3)), c4));
  a5 = ToFloat8(_mm512_mul_pd(_mm512_sub_pd(ToDouble8(a4), ToDouble8(a7)), c6));
  const __m512d a5d = ToDouble8(a5);
  a7 = ToFloat8(_mm512_sub_pd(_mm512_mul_pd(ToDouble8(a7), k2), a5d));
  a4 = ToFloat8(_mm512_sub_pd(_mm512_mul_pd(ToDouble8(a4), k6), a5d));
  a5 = _mm256_add_ps(a3, a1);
  a1 = _mm256_sub_ps(a1, a3);

  e[0] = _mm256_add_ps(a6, a0);
  e[4] = _mm256_sub_ps(a6, a0);
  e[1] = _mm256_add_ps(a5, a4);
  e[7] = _mm256_sub_ps(a5, a4);
  e[2] = _mm256_add_ps(a8, a2);
  e[6] = _mm256_sub_ps(a8, a2);
  e[5] = _mm256_add_ps(a7, a1);
  e[3] = _mm256_sub_ps(a1, a7);
}

}  // namespace

OKUVA_AVX512 void DctQuantize8Avx512(float* in8, const PreparedQuant& quant, int16_t* out) {
  for (int x = 0; x < 8; ++x) {
    __m256 e[8];
    for (int k = 0; k < 8; ++k) e[k] = _mm256_loadu_ps(in8 + (k * 8 + x) * 8);
    Dct1DLanes8(e);
    for (int k = 0; k < 8; ++k) _mm256_storeu_ps(in8 + (k * 8 + x) * 8, e[k]);
  }
  __m256i low = _mm256_setzero_si256();
  __m256i high = _mm256_setzero_si256();
  // Each block's coefficients in natural order, gathered by transposes of the row
  // results (lanes are blocks), then put in zigzag order by two word shuffles.
  alignas(64) int16_t natural[8][64];
  for (int y = 0; y < 8; ++y) {
    __m256 e[8];
    for (int k = 0; k < 8; ++k) e[k] = _mm256_loadu_ps(in8 + (y * 8 + k) * 8);
    Dct1DLanes8(e);
    __m128i n[8];  // n[u] lane k: coefficient (u, y) of block k, as 16 bits
    for (int u = 0; u < 8; ++u) {
      const int i = y * 8 + u;
      // Converted with rounding to nearest, ties to even, as the conversion's own mode:
      // the integer nearbyint gives, in one step.
      const __m256i v = _mm512_mask_cvt_roundpd_epi32(
          _mm256_setzero_si256(), kAllLanes,
          _mm512_mul_pd(ToDouble8(e[u]), _mm512_set1_pd(quant.multiplier[i])),
          _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
      low = _mm256_min_epi32(low, v);
      high = _mm256_max_epi32(high, v);
      n[u] = _mm256_cvtepi32_epi16(v);  // out of range only where the check below raises
    }
    const __m128i t0 = _mm_unpacklo_epi16(n[0], n[1]), t1 = _mm_unpackhi_epi16(n[0], n[1]);
    const __m128i t2 = _mm_unpacklo_epi16(n[2], n[3]), t3 = _mm_unpackhi_epi16(n[2], n[3]);
    const __m128i t4 = _mm_unpacklo_epi16(n[4], n[5]), t5 = _mm_unpackhi_epi16(n[4], n[5]);
    const __m128i t6 = _mm_unpacklo_epi16(n[6], n[7]), t7 = _mm_unpackhi_epi16(n[6], n[7]);
    const __m128i s0 = _mm_unpacklo_epi32(t0, t2), s1 = _mm_unpackhi_epi32(t0, t2);
    const __m128i s2 = _mm_unpacklo_epi32(t1, t3), s3 = _mm_unpackhi_epi32(t1, t3);
    const __m128i s4 = _mm_unpacklo_epi32(t4, t6), s5 = _mm_unpackhi_epi32(t4, t6);
    const __m128i s6 = _mm_unpacklo_epi32(t5, t7), s7 = _mm_unpackhi_epi32(t5, t7);
    const auto row = [&](int k) { return reinterpret_cast<__m128i*>(&natural[k][y * 8]); };
    _mm_store_si128(row(0), _mm_unpacklo_epi64(s0, s4));
    _mm_store_si128(row(1), _mm_unpackhi_epi64(s0, s4));
    _mm_store_si128(row(2), _mm_unpacklo_epi64(s1, s5));
    _mm_store_si128(row(3), _mm_unpackhi_epi64(s1, s5));
    _mm_store_si128(row(4), _mm_unpacklo_epi64(s2, s6));
    _mm_store_si128(row(5), _mm_unpackhi_epi64(s2, s6));
    _mm_store_si128(row(6), _mm_unpacklo_epi64(s3, s7));
    _mm_store_si128(row(7), _mm_unpackhi_epi64(s3, s7));
  }
  const __m512i first = _mm512_load_si512(quant.natural);
  const __m512i second = _mm512_load_si512(quant.natural + 32);
  for (int k = 0; k < 8; ++k) {
    const __m512i a = _mm512_load_si512(natural[k]);
    const __m512i b = _mm512_load_si512(natural[k] + 32);
    _mm512_storeu_si512(out + 64 * k, _mm512_permutex2var_epi16(a, first, b));
    _mm512_storeu_si512(out + 64 * k + 32, _mm512_permutex2var_epi16(a, second, b));
  }
  alignas(32) int32_t lo[8];
  alignas(32) int32_t hi[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lo), low);
  _mm256_store_si256(reinterpret_cast<__m256i*>(hi), high);
  for (int k = 0; k < 8; ++k) {
    if (lo[k] < -32768 || hi[k] > 32767) Raise(kErrOverflow);
  }
}

// Every instruction set of OKUVA_JPEG_WIDE.
bool CpuHasAvx512() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
         __builtin_cpu_supports("lzcnt") && __builtin_cpu_supports("bmi");
}

#else

void DctQuantizeAvx2(const float* in, const ZigZagTable& zigzag,
                     const std::array<float, 64>& multipliers, int16_t* out) {
  DctQuantizeScalar(in, zigzag, multipliers, out);
}
bool CpuHasAvx2() { return false; }
void DctQuantize4Avx2(float* in4, const PreparedQuant& quant, int16_t* out) {
  (void)in4;
  (void)quant;
  (void)out;
  Raise(kErrInvalidCall);  // never selected without AVX2
}
void DctQuantize8Avx512(float* in8, const PreparedQuant& quant, int16_t* out) {
  (void)in8;
  (void)quant;
  (void)out;
  Raise(kErrInvalidCall);  // never selected without AVX-512
}
bool CpuHasAvx512() { return false; }

#endif

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
    if (SelectedDctQuantize() != &DctQuantizeAvx2) return 1;
    if (std::getenv("OKUVA_JPEG_NO_AVX512") == nullptr && CpuHasAvx512()) return 8;
    return 4;
  }();
  return lanes;
}

DctQuantizeKernel SelectedDctQuantize() {
  static const DctQuantizeKernel kernel = [] {
    if (std::getenv("OKUVA_JPEG_SCALAR") != nullptr || !CpuHasAvx2()) return &DctQuantizeScalar;
    return &DctQuantizeAvx2;
  }();
  return kernel;
}

}  // namespace okuva::jpeg
