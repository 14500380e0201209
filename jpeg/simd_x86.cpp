// The encoder's x86 vector kernels: the colour conversion groups and the halving of the
// sampling stage, the DCT and quantization kernels. Each is compiled for its own
// instruction set (target attributes) and only called where the selectors of dct.h
// chose it; the scalar references stay beside their callers. Elsewhere this file gives
// the stand-ins the selectors never pick.
#include "jpeg/simd.h"

#include <cstddef>
#include <cstdint>

#include "jpeg/dct.h"
#include "jpeg/sampling.h"
#include "platform/runtime/error.h"

namespace okuva::jpeg {

#ifdef OKUVA_JPEG_X86

namespace {

// Colour conversion of `lanes` adjacent blocks at once into group[(y * 8 + x) * lanes
// + k], lane k = block k. Each block row of 8 pixels (24 bytes, read as two 16-byte
// loads that end exactly at its last byte) is split into blue, green and red words;
// bytes convert exactly to double and the products and sums run in the order of the
// scalar expression, so the floats are the same. A transpose turns the rows of the
// blocks into the lanes.
__attribute__((target("avx2"))) inline void SplitRow(const uint8_t* px, __m128i* b, __m128i* g,
                                                     __m128i* r) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + 8));
  constexpr char Z = static_cast<char>(0x80);  // shuffle index giving a zero byte
  const __m128i bLo = _mm_setr_epi8(0, Z, Z, Z, 3, Z, Z, Z, 6, Z, Z, Z, 9, Z, Z, Z);
  const __m128i gLo = _mm_setr_epi8(1, Z, Z, Z, 4, Z, Z, Z, 7, Z, Z, Z, 10, Z, Z, Z);
  const __m128i rLo = _mm_setr_epi8(2, Z, Z, Z, 5, Z, Z, Z, 8, Z, Z, Z, 11, Z, Z, Z);
  const __m128i bHi = _mm_setr_epi8(4, Z, Z, Z, 7, Z, Z, Z, 10, Z, Z, Z, 13, Z, Z, Z);
  const __m128i gHi = _mm_setr_epi8(5, Z, Z, Z, 8, Z, Z, Z, 11, Z, Z, Z, 14, Z, Z, Z);
  const __m128i rHi = _mm_setr_epi8(6, Z, Z, Z, 9, Z, Z, Z, 12, Z, Z, Z, 15, Z, Z, Z);
  b[0] = _mm_shuffle_epi8(lo, bLo);
  g[0] = _mm_shuffle_epi8(lo, gLo);
  r[0] = _mm_shuffle_epi8(lo, rLo);
  b[1] = _mm_shuffle_epi8(hi, bHi);
  g[1] = _mm_shuffle_epi8(hi, gHi);
  r[1] = _mm_shuffle_epi8(hi, rHi);
}

__attribute__((target("avx2"))) inline __m128 ConvertHalf(__m128i b, __m128i g, __m128i r,
                                                          const ColourWeights& w) {
  const __m256d sum = _mm256_add_pd(
      _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(r), _mm256_set1_pd(w.red)),
                                  _mm256_mul_pd(_mm256_cvtepi32_pd(g), _mm256_set1_pd(w.green))),
                    _mm256_mul_pd(_mm256_cvtepi32_pd(b), _mm256_set1_pd(w.blue))),
      _mm256_set1_pd(w.offset));
  return _mm256_cvtpd_ps(sum);
}

}  // namespace

__attribute__((target("avx2"))) void ConvertGroup4(const uint8_t* const* rows,
                                                   const ColourWeights& w, float* group) {
  for (int y = 0; y < 8; ++y) {
    __m128 lo[4];
    __m128 hi[4];
    for (int k = 0; k < 4; ++k) {
      __m128i b[2], g[2], r[2];
      SplitRow(rows[y] + 24 * k, b, g, r);
      lo[k] = ConvertHalf(b[0], g[0], r[0], w);
      hi[k] = ConvertHalf(b[1], g[1], r[1], w);
    }
    _MM_TRANSPOSE4_PS(lo[0], lo[1], lo[2], lo[3]);
    _MM_TRANSPOSE4_PS(hi[0], hi[1], hi[2], hi[3]);
    for (int x = 0; x < 4; ++x) {
      _mm_storeu_ps(group + (y * 8 + x) * 4, lo[x]);
      _mm_storeu_ps(group + (y * 8 + x + 4) * 4, hi[x]);
    }
  }
}

namespace {

// Only called where the 8-lane (AVX-512) kernels run: a whole block row converts in one
// 8-wide double chain. Every weight is a float whose last mantissa bit is worth at least
// 2^-27, so each product of a byte and a weight, and every partial sum of them and the
// offset (below 2^9), is a multiple of 2^-27 within 36 bits: all exact in double. The
// sum is thus the same whatever the order, and fused multiply-adds give the very value
// of the scalar expression before its one rounding to float.
__attribute__((target(OKUVA_JPEG_WIDE))) inline __m256 ConvertRow8(__m512d b, __m512d g, __m512d r,
                                                                   const ColourWeights& w) {
  const __m512d sum = _mm512_fmadd_pd(
      r, _mm512_set1_pd(w.red),
      _mm512_fmadd_pd(g, _mm512_set1_pd(w.green),
                      _mm512_fmadd_pd(b, _mm512_set1_pd(w.blue), _mm512_set1_pd(w.offset))));
  return _mm512_cvtpd_ps(sum);
}

// The 8 x 8 block rows row[k] (pixels x of block k) stored as group[(y * 8 + x) * 8 + k].
__attribute__((target(OKUVA_JPEG_WIDE))) inline void StoreLanes8(const __m256* row, float* dst) {
  const __m256 t0 = _mm256_unpacklo_ps(row[0], row[1]);
  const __m256 t1 = _mm256_unpackhi_ps(row[0], row[1]);
  const __m256 t2 = _mm256_unpacklo_ps(row[2], row[3]);
  const __m256 t3 = _mm256_unpackhi_ps(row[2], row[3]);
  const __m256 t4 = _mm256_unpacklo_ps(row[4], row[5]);
  const __m256 t5 = _mm256_unpackhi_ps(row[4], row[5]);
  const __m256 t6 = _mm256_unpacklo_ps(row[6], row[7]);
  const __m256 t7 = _mm256_unpackhi_ps(row[6], row[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
  const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
  const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
  const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
  const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  _mm256_storeu_ps(dst + 0 * 8, _mm256_permute2f128_ps(u0, u4, 0x20));
  _mm256_storeu_ps(dst + 1 * 8, _mm256_permute2f128_ps(u1, u5, 0x20));
  _mm256_storeu_ps(dst + 2 * 8, _mm256_permute2f128_ps(u2, u6, 0x20));
  _mm256_storeu_ps(dst + 3 * 8, _mm256_permute2f128_ps(u3, u7, 0x20));
  _mm256_storeu_ps(dst + 4 * 8, _mm256_permute2f128_ps(u0, u4, 0x31));
  _mm256_storeu_ps(dst + 5 * 8, _mm256_permute2f128_ps(u1, u5, 0x31));
  _mm256_storeu_ps(dst + 6 * 8, _mm256_permute2f128_ps(u2, u6, 0x31));
  _mm256_storeu_ps(dst + 7 * 8, _mm256_permute2f128_ps(u3, u7, 0x31));
}

// The blue, green and red bytes of the 8 pixels at px as 32-bit lanes: one load of both
// halves of the 24 bytes (bytes 0..15 low, 8..23 high), a shuffle per colour.
__attribute__((target(OKUVA_JPEG_WIDE))) inline void Split8(const uint8_t* px, __m256i& b,
                                                            __m256i& g, __m256i& r) {
  constexpr char Z = static_cast<char>(0x80);
  const __m256i bMask = _mm256_setr_epi8(0, Z, Z, Z, 3, Z, Z, Z, 6, Z, Z, Z, 9, Z, Z, Z, 4, Z, Z, Z,
                                         7, Z, Z, Z, 10, Z, Z, Z, 13, Z, Z, Z);
  const __m256i gMask = _mm256_setr_epi8(1, Z, Z, Z, 4, Z, Z, Z, 7, Z, Z, Z, 10, Z, Z, Z, 5, Z, Z,
                                         Z, 8, Z, Z, Z, 11, Z, Z, Z, 14, Z, Z, Z);
  const __m256i rMask = _mm256_setr_epi8(2, Z, Z, Z, 5, Z, Z, Z, 8, Z, Z, Z, 11, Z, Z, Z, 6, Z, Z,
                                         Z, 9, Z, Z, Z, 12, Z, Z, Z, 15, Z, Z, Z);
  const __m256i both = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(px + 8),
                                           reinterpret_cast<const __m128i*>(px));
  b = _mm256_shuffle_epi8(both, bMask);
  g = _mm256_shuffle_epi8(both, gMask);
  r = _mm256_shuffle_epi8(both, rMask);
}

}  // namespace

__attribute__((target(OKUVA_JPEG_WIDE))) void ConvertGroup8(const uint8_t* const* rows,
                                                            const ColourWeights& w, float* group) {
  for (int y = 0; y < 8; ++y) {
    __m256 row[8];  // row[k]: pixels x = 0..7 of block k
    for (int k = 0; k < 8; ++k) {
      __m256i b, g, r;
      Split8(rows[y] + 24 * k, b, g, r);
      row[k] = ConvertRow8(_mm512_cvtepi32_pd(b), _mm512_cvtepi32_pd(g), _mm512_cvtepi32_pd(r), w);
    }
    StoreLanes8(row, group + y * 8 * 8);
  }
}

// Eight pixels (48 source bytes of each row, 24 out) a step. The sums of each byte and
// the byte three on, over both rows, are averaged on all 16 positions of a register;
// the positions that start a pixel pair (j mod 6 < 3) are then gathered by shuffles.
__attribute__((target("avx2"))) void HalveRowAvx2(const uint8_t* a, const uint8_t* b, int32_t w,
                                                  uint8_t* out) {
  constexpr char Z = static_cast<char>(0x80);
  // Chunk c (source bytes 16c..16c+15) to out bytes 0..15 (lo) and 16..23 (hi).
  const __m128i c0lo = _mm_setr_epi8(0, 1, 2, 6, 7, 8, 12, 13, 14, Z, Z, Z, Z, Z, Z, Z);
  const __m128i c1lo = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, 2, 3, 4, 8, 9, 10, 14);
  const __m128i c1hi = _mm_setr_epi8(15, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
  const __m128i c2hi = _mm_setr_epi8(Z, 0, 4, 5, 6, 10, 11, 12, Z, Z, Z, Z, Z, Z, Z, Z);
  const __m128i zero = _mm_setzero_si128();
  const __m128i two = _mm_set1_epi16(2);
  const auto chunk = [&](size_t at) {
    const auto load = [](const uint8_t* p) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    const __m128i x = load(a + at), x3 = load(a + at + 3);
    const __m128i y = load(b + at), y3 = load(b + at + 3);
    const __m128i lo = _mm_add_epi16(
        _mm_add_epi16(_mm_unpacklo_epi8(x, zero), _mm_unpacklo_epi8(x3, zero)),
        _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi8(y, zero), _mm_unpacklo_epi8(y3, zero)), two));
    const __m128i hi = _mm_add_epi16(
        _mm_add_epi16(_mm_unpackhi_epi8(x, zero), _mm_unpackhi_epi8(x3, zero)),
        _mm_add_epi16(_mm_add_epi16(_mm_unpackhi_epi8(y, zero), _mm_unpackhi_epi8(y3, zero)), two));
    return _mm_packus_epi16(_mm_srli_epi16(lo, 2), _mm_srli_epi16(hi, 2));
  };
  // A step reads source bytes up to 48 i + 50: it stays inside rows of 6 w bytes.
  int32_t i = 0;
  for (; 6 * (i + 8) + 3 <= 6 * w; i += 8) {
    const size_t at = 6 * static_cast<size_t>(i);
    const __m128i v0 = chunk(at), v1 = chunk(at + 16), v2 = chunk(at + 32);
    uint8_t* o = out + 3 * static_cast<size_t>(i);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                     _mm_or_si128(_mm_shuffle_epi8(v0, c0lo), _mm_shuffle_epi8(v1, c1lo)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16),
                     _mm_or_si128(_mm_shuffle_epi8(v1, c1hi), _mm_shuffle_epi8(v2, c2hi)));
  }
  HalveRowScalar(a + 6 * static_cast<size_t>(i), b + 6 * static_cast<size_t>(i), w - i,
                 out + 3 * static_cast<size_t>(i));
}

namespace {

// (a0 + a1 + b0 + b1 + 2) / 4 of the pixel pairs of two 16-pixel runs, given as the
// 32-bit lanes of their first (x0) and second (x1) eight pixels.
__attribute__((target(OKUVA_JPEG_WIDE))) inline __m256i Mean4(__m256i a0, __m256i a1, __m256i b0,
                                                              __m256i b1) {
  // hadd pairs within lanes: chroma pixels 0 1 4 5 | 2 3 6 7; the qword permute orders them.
  const __m256i sums = _mm256_hadd_epi32(_mm256_add_epi32(a0, b0), _mm256_add_epi32(a1, b1));
  return _mm256_srli_epi32(
      _mm256_add_epi32(_mm256_permute4x64_epi64(sums, 0xD8), _mm256_set1_epi32(2)), 2);
}

}  // namespace

// Eight adjacent blocks of both halved planes at once: chroma row y of the group from
// source rows a[y] and b[y] (from byte offset `at`), the means formed in registers and
// converted for each component from the same doubles.
__attribute__((target(OKUVA_JPEG_WIDE))) void ConvertHalvedGroup8(
    const uint8_t* const* a, const uint8_t* const* b, size_t at, const ColourWeights& w1,
    const ColourWeights& w2, float* group1, float* group2) {
  for (int y = 0; y < 8; ++y) {
    __m256 row1[8];
    __m256 row2[8];
    for (int k = 0; k < 8; ++k) {
      const uint8_t* pa = a[y] + at + 48 * static_cast<size_t>(k);
      const uint8_t* pb = b[y] + at + 48 * static_cast<size_t>(k);
      __m256i ba0, ga0, ra0, ba1, ga1, ra1, bb0, gb0, rb0, bb1, gb1, rb1;
      Split8(pa, ba0, ga0, ra0);
      Split8(pa + 24, ba1, ga1, ra1);
      Split8(pb, bb0, gb0, rb0);
      Split8(pb + 24, bb1, gb1, rb1);
      const __m512d blue = _mm512_cvtepi32_pd(Mean4(ba0, ba1, bb0, bb1));
      const __m512d green = _mm512_cvtepi32_pd(Mean4(ga0, ga1, gb0, gb1));
      const __m512d red = _mm512_cvtepi32_pd(Mean4(ra0, ra1, rb0, rb1));
      row1[k] = ConvertRow8(blue, green, red, w1);
      row2[k] = ConvertRow8(blue, green, red, w2);
    }
    StoreLanes8(row1, group1 + y * 64);
    StoreLanes8(row2, group2 + y * 64);
  }
}

namespace {

#define OKUVA_AVX2 __attribute__((target("avx2")))

// Rounds every lane to float and back: the value an assignment to a float holds.
OKUVA_AVX2 inline __m256d R(__m256d v) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(v)); }

// The one-dimensional transform on four independent lanes; e[k] holds sample k. The
// outputs are left unrounded: the caller stores them as floats (or rounds them).
OKUVA_AVX2 inline void Dct1DLanes(__m256d* e) {
  const __m256d c4 = _mm256_set1_pd(kDctC4);
  const __m256d c6 = _mm256_set1_pd(kDctC6);
  const __m256d k2 = _mm256_set1_pd(kDctK2);
  const __m256d k6 = _mm256_set1_pd(kDctK6);
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
    for (int k = 0; k < 8; ++k) {
      e[k] = _mm256_cvtps_pd(_mm_loadu_ps(src + k * 8 + 4 * half));
    }
    Dct1DLanes(e);
    // e[k] lane j is the output k of column 4 half + j: dst[(4 half + j) * 8 + k].
    alignas(16) float lanes[8][4];
    for (int k = 0; k < 8; ++k) {
      _mm_store_ps(lanes[k], _mm256_cvtpd_ps(e[k]));
    }
    for (int j = 0; j < 4; ++j) {
      for (int k = 0; k < 8; ++k) {
        dst[(4 * half + j) * 8 + k] = lanes[k][j];
      }
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
      m4[j] = multipliers[static_cast<size_t>(
          zigzag[static_cast<size_t>(u + j)][static_cast<size_t>(v)])];
    }
    const __m256d q = _mm256_round_pd(_mm256_mul_pd(c, _mm256_cvtps_pd(_mm_load_ps(m4))),
                                      _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    alignas(16) int32_t qi[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(qi), _mm256_cvtpd_epi32(q));
    for (int j = 0; j < 4; ++j) {
      if (qi[j] < -32768 || qi[j] > 32767) {
        Raise(kErrOverflow);
      }
      out[zigzag[static_cast<size_t>(u + j)][static_cast<size_t>(v)]] = static_cast<int16_t>(qi[j]);
    }
  }
}

OKUVA_AVX2 void DctQuantize4Avx2(float* in4, const PreparedQuant& quant, int16_t* out) {
  // Pass 1: down each column x; lanes are the four blocks.
  for (int x = 0; x < 8; ++x) {
    __m256d e[8];
    for (int k = 0; k < 8; ++k) {
      e[k] = _mm256_cvtps_pd(_mm_loadu_ps(in4 + (k * 8 + x) * 4));
    }
    Dct1DLanes(e);
    for (int k = 0; k < 8; ++k) {
      _mm_storeu_ps(in4 + (k * 8 + x) * 4, _mm256_cvtpd_ps(e[k]));
    }
  }
  // Pass 2 along each row y, quantized straight from the float-rounded outputs.
  __m128i low = _mm_set1_epi32(0);
  __m128i high = _mm_set1_epi32(0);
  for (int y = 0; y < 8; ++y) {
    __m256d e[8];
    for (int k = 0; k < 8; ++k) {
      e[k] = _mm256_cvtps_pd(_mm_loadu_ps(in4 + (y * 8 + k) * 4));
    }
    Dct1DLanes(e);
    for (int u = 0; u < 8; ++u) {
      const int i = y * 8 + u;
      const __m256d q = _mm256_round_pd(_mm256_mul_pd(R(e[u]), _mm256_set1_pd(quant.multiplier[i])),
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
    if (lo[j] < -32768 || hi[j] > 32767) {
      Raise(kErrOverflow);
    }
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
  const __m512d c4 = _mm512_set1_pd(kDctC4);
  const __m512d c6 = _mm512_set1_pd(kDctC6);
  const __m512d k2 = _mm512_set1_pd(kDctK2);
  const __m512d k6 = _mm512_set1_pd(kDctK6);
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
  a2 = ToFloat8(
      _mm512_mul_pd(_mm512_add_pd(_mm512_sub_pd(ToDouble8(a2), ToDouble8(a4)), ToDouble8(a8)), c4));
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
    for (int k = 0; k < 8; ++k) {
      e[k] = _mm256_loadu_ps(in8 + (k * 8 + x) * 8);
    }
    Dct1DLanes8(e);
    for (int k = 0; k < 8; ++k) {
      _mm256_storeu_ps(in8 + (k * 8 + x) * 8, e[k]);
    }
  }
  __m256i low = _mm256_setzero_si256();
  __m256i high = _mm256_setzero_si256();
  // Each block's coefficients in natural order, gathered by transposes of the row
  // results (lanes are blocks), then put in zigzag order by two word shuffles.
  alignas(64) int16_t natural[8][64];
  for (int y = 0; y < 8; ++y) {
    __m256 e[8];
    for (int k = 0; k < 8; ++k) {
      e[k] = _mm256_loadu_ps(in8 + (y * 8 + k) * 8);
    }
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
    if (lo[k] < -32768 || hi[k] > 32767) {
      Raise(kErrOverflow);
    }
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

void HalveRowAvx2(const uint8_t* a, const uint8_t* b, int32_t w, uint8_t* out) {
  HalveRowScalar(a, b, w, out);
}

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

}  // namespace okuva::jpeg
