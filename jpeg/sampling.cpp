#include "jpeg/sampling.h"

#include <algorithm>
#include <utility>
#include <cstring>
#include <limits>
#include <vector>

#include "jpeg/simd.h"

#include "jpeg/dct.h"

namespace okuva::jpeg {

const std::array<ColourWeights, 3> kColourWeights = {{
    {0.299f, 0.587f, 0.114f, -128.0f},
    {-0.16874f, -0.33126f, 0.5f, 0.0f},
    {0.5f, -0.41869f, -0.08131f, 0.0f},
}};

bool SamplingSurface::Create(int32_t Wb, int32_t Hb) {
  gdi::MemoryDc surface(0);
  if (surface.Dc() == 0) return false;
  // Rows padded to 4 bytes. A bitmap beyond 32-bit sizes cannot be made: reported
  // like any other refusal.
  const int64_t stride64 = (3 * int64_t{Wb} + 3) & ~int64_t{3};
  if (stride64 * Hb > std::numeric_limits<int32_t>::max()) return false;
  const auto stride = static_cast<int32_t>(stride64);
  gdi::BITMAPINFOHEADER bih = gdi::DibHeader(Wb, Hb, 24);  // positive height: bottom-up rows
  bih.biSizeImage = static_cast<uint32_t>(stride64 * Hb);
  void* bits = nullptr;
  const gdi::HBITMAP bitmap =
      gdi::CreateDIBSection(surface.Dc(), &bih, gdi::DIB_RGB_COLORS, &bits, nullptr, 0);
  surface.Select(bitmap, gdi::MemoryDc::kOwned);
  if (bitmap == 0 || bits == nullptr) return false;
  surface_ = std::move(surface);
  dc_ = surface_.Dc();
  bits_ = static_cast<uint8_t*>(bits);
  stride_ = stride;
  Hb_ = Hb;
  // Area averaging where the layer offers it, nearest pixel otherwise.
  if (gdi::SetStretchBltMode(dc_, gdi::HALFTONE) == 0) {
    gdi::SetStretchBltMode(dc_, gdi::COLORONCOLOR);
  }
  return true;
}

void SamplingSurface::DrawPlane(gdi::HDC src, int32_t X, int32_t Y, int32_t srcLeft,
                                int32_t srcTop, const PlaneGeometry& g) {
  const int32_t top = Hb_ - g.Hp;
  if (g.Wc == X && g.Hc == Y) {
    gdi::BitBlt(dc_, 0, top, X, Y, src, srcLeft, srcTop, gdi::SRCCOPY);
  } else {
    gdi::StretchBlt(dc_, 0, top, g.Wc, g.Hc, src, srcLeft, srcTop, X, Y, gdi::SRCCOPY);
  }
  // Repeat the last column, then the last row, so that edge blocks carry no step.
  for (int32_t c = g.Wc; c < g.Wp; ++c) {
    gdi::BitBlt(dc_, c, top, 1, g.Hc, dc_, c - 1, top, gdi::SRCCOPY);
  }
  for (int32_t r = top + g.Hc; r < Hb_; ++r) {
    gdi::BitBlt(dc_, 0, r, g.Wp, 1, dc_, 0, r - 1, gdi::SRCCOPY);
  }
}

void SamplingSurface::DrawScaled(gdi::HDC src, int32_t X, int32_t Y, int32_t srcLeft,
                                 int32_t srcTop, int32_t w, int32_t h) {
  gdi::StretchBlt(dc_, 0, 0, w, h, src, srcLeft, srcTop, X, Y, gdi::SRCCOPY);
}

void SamplingSurface::DrawScaledRows(gdi::HDC src, int32_t X, int32_t Y, int32_t srcLeft,
                                     int32_t srcTop, int32_t w, int32_t h, int32_t firstRow,
                                     int32_t endRow) {
  const int32_t ny = Y / h;
  gdi::StretchBlt(dc_, 0, 0, w, endRow - firstRow, src, srcLeft, srcTop + firstRow * ny, X,
                  (endRow - firstRow) * ny, gdi::SRCCOPY);
}

PlaneSource SamplingSurface::ScaledBand(int32_t w, int32_t h, int32_t firstRow) const {
  PlaneSource band = Scaled(w, h);
  band.firstRow = firstRow;
  return band;
}

PlaneSource SamplingSurface::Scaled(int32_t w, int32_t h) const {
  // Picture row 0 is the last memory row of the bottom-up bitmap.
  return {bits_ + static_cast<ptrdiff_t>(Hb_ - 1) * stride_, -static_cast<ptrdiff_t>(stride_), w,
          h};
}

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

// Only called where the 8-lane (AVX-512) kernels run: a whole block row converts in one
// 8-wide double chain. Every weight is a float whose last mantissa bit is worth at least
// 2^-27, so each product of a byte and a weight, and every partial sum of them and the
// offset (below 2^9), is a multiple of 2^-27 within 36 bits: all exact in double. The
// sum is thus the same whatever the order, and fused multiply-adds give the very value
// of the scalar expression before its one rounding to float.
__attribute__((target(OKUVA_JPEG_WIDE))) inline __m256 ConvertRow8(__m512d b, __m512d g,
                                                                       __m512d r,
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
  const __m256i gMask = _mm256_setr_epi8(1, Z, Z, Z, 4, Z, Z, Z, 7, Z, Z, Z, 10, Z, Z, Z, 5, Z, Z, Z,
                                         8, Z, Z, Z, 11, Z, Z, Z, 14, Z, Z, Z);
  const __m256i rMask = _mm256_setr_epi8(2, Z, Z, Z, 5, Z, Z, Z, 8, Z, Z, Z, 11, Z, Z, Z, 6, Z, Z, Z,
                                         9, Z, Z, Z, 12, Z, Z, Z, 15, Z, Z, Z);
  const __m256i both = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(px + 8),
                                           reinterpret_cast<const __m128i*>(px));
  b = _mm256_shuffle_epi8(both, bMask);
  g = _mm256_shuffle_epi8(both, gMask);
  r = _mm256_shuffle_epi8(both, rMask);
}

__attribute__((target(OKUVA_JPEG_WIDE))) void ConvertGroup8(const uint8_t* const* rows,
                                                               const ColourWeights& w,
                                                               float* group) {
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

}  // namespace
#endif

void HalveRowScalar(const uint8_t* a, const uint8_t* b, int32_t w, uint8_t* out) {
  for (int32_t i = 0; i < 3 * w; ++i) {
    const int32_t j = i / 3 * 6 + i % 3;
    out[i] = static_cast<uint8_t>((a[j] + a[j + 3] + b[j] + b[j + 3] + 2) >> 2);
  }
}

#ifdef OKUVA_JPEG_X86
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
#else
void HalveRowAvx2(const uint8_t* a, const uint8_t* b, int32_t w, uint8_t* out) {
  HalveRowScalar(a, b, w, out);
}
#endif

void HalvePlaneRows(const PlaneSource& src, int32_t w, int32_t firstRow, int32_t endRow,
                    uint8_t* out, int32_t firstColumn) {
  const auto halve = SelectedBlockLanes() > 1 ? &HalveRowAvx2 : &HalveRowScalar;
  if (firstColumn < 0) firstColumn = 0;
  if (firstColumn >= w) return;
  const ptrdiff_t skip = 6 * static_cast<ptrdiff_t>(firstColumn);
  for (int32_t r = firstRow; r < endRow; ++r, out += 3 * static_cast<ptrdiff_t>(w)) {
    const uint8_t* a = src.top + static_cast<ptrdiff_t>(2 * r - src.firstRow) * src.step + skip;
    halve(a, a + src.step, w - firstColumn, out + skip / 2);
  }
}

#ifdef OKUVA_JPEG_X86
namespace {

// (a0 + a1 + b0 + b1 + 2) / 4 of the pixel pairs of two 16-pixel runs, given as the
// 32-bit lanes of their first (x0) and second (x1) eight pixels.
__attribute__((target(OKUVA_JPEG_WIDE))) inline __m256i Mean4(__m256i a0, __m256i a1,
                                                               __m256i b0, __m256i b1) {
  // hadd pairs within lanes: chroma pixels 0 1 4 5 | 2 3 6 7; the qword permute orders them.
  const __m256i sums =
      _mm256_hadd_epi32(_mm256_add_epi32(a0, b0), _mm256_add_epi32(a1, b1));
  return _mm256_srli_epi32(
      _mm256_add_epi32(_mm256_permute4x64_epi64(sums, 0xD8), _mm256_set1_epi32(2)), 2);
}


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

}  // namespace
#endif

int32_t SampleHalvedPairWide(const PlaneSource& src, const PlaneGeometry& g,
                             const ColourWeights& w1, const ColourWeights& w2,
                             const ZigZagTable& zigzag, const QuantTable& t1,
                             const QuantTable& t2, int16_t* store1, int16_t* store2,
                             int32_t firstBlockRow, int32_t endBlockRow) {
#ifdef OKUVA_JPEG_X86
  if (SelectedBlockLanes() != 8) return 0;
  if (endBlockRow < 0 || endBlockRow > g.BlockRows()) endBlockRow = g.BlockRows();
  if (firstBlockRow < 0) firstBlockRow = 0;
  const int32_t groups = std::min(g.Wc, src.width / 2) / 64;
  if (groups == 0 || firstBlockRow >= endBlockRow) return 0;
  const PreparedQuant p1 = PrepareQuant(zigzag, t1.FScale);
  const PreparedQuant p2 = PrepareQuant(zigzag, t2.FScale);
  // Plane rows past the last repeat it, as SamplePlane reads them.
  const int32_t lastRow = std::min(g.Hc, src.height / 2) - 1;
  alignas(64) float group1[512];
  alignas(64) float group2[512];
  const auto blocksPerRow = static_cast<ptrdiff_t>(g.BlocksPerRow());
  for (int32_t by = firstBlockRow; by < endBlockRow; ++by) {
    const uint8_t* a[8];
    const uint8_t* b[8];
    for (int32_t y = 0; y < 8; ++y) {
      const int32_t row = std::min(8 * by + y, lastRow);
      a[y] = src.top + static_cast<ptrdiff_t>(2 * row - src.firstRow) * src.step;
      b[y] = a[y] + src.step;
    }
    for (int32_t k = 0; k < groups; ++k) {
      ConvertHalvedGroup8(a, b, 384 * static_cast<size_t>(k), w1, w2, group1, group2);
      const ptrdiff_t at = (by * blocksPerRow + 8 * k) * 64;
      DctQuantize8Avx512(group1, p1, store1 + at);
      DctQuantize8Avx512(group2, p2, store2 + at);
    }
  }
  return 8 * groups;
#else
  (void)src, (void)g, (void)w1, (void)w2, (void)zigzag, (void)t1, (void)t2, (void)store1;
  (void)store2, (void)firstBlockRow, (void)endBlockRow;
  return 0;
#endif
}

PlaneSource DrawnPlane(const uint8_t* bits, int32_t stride, const PlaneGeometry& g) {
  return {bits + static_cast<ptrdiff_t>(g.Hp - 1) * stride, -static_cast<ptrdiff_t>(stride), g.Wp,
          g.Hp};
}

std::optional<PlaneSource> DirectSource(gdi::HDC dc, int32_t X, int32_t Y, int32_t srcLeft,
                                        int32_t srcTop) {
  const gdi::HGDIOBJ bitmap = gdi::GetCurrentObject(dc, gdi::OBJ_BITMAP);
  if (bitmap == 0) return std::nullopt;
  gdi::BITMAP bm{};
  if (gdi::GetObjectA(bitmap, sizeof(bm), &bm) != static_cast<int>(sizeof(bm)) ||
      bm.bmBits == nullptr || bm.bmBitsPixel != 24) {
    return std::nullopt;
  }
  if (srcLeft < 0 || srcTop < 0 || int64_t{srcLeft} + X > bm.bmWidth ||
      int64_t{srcTop} + Y > bm.bmHeight) {
    return std::nullopt;
  }
  // The header's height sign tells the row order.
  gdi::BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(gdi::BITMAPINFOHEADER);
  gdi::GetDIBits(dc, bitmap, 0, 0, nullptr, &info, gdi::DIB_RGB_COLORS);
  if (info.bmiHeader.biBitCount != 24 || info.bmiHeader.biWidth != bm.bmWidth ||
      info.bmiHeader.biHeight == 0) {
    return std::nullopt;
  }
  const bool bottomUp = info.bmiHeader.biHeight > 0;
  const auto* base = static_cast<const uint8_t*>(bm.bmBits);
  const ptrdiff_t stride = bm.bmWidthBytes;
  const ptrdiff_t firstRow = bottomUp ? ptrdiff_t{bm.bmHeight} - 1 - srcTop : srcTop;
  return PlaneSource{base + firstRow * stride + 3 * ptrdiff_t{srcLeft}, bottomUp ? -stride : stride,
                     X, Y};
}

void SamplePlane(const PlaneSource& src, const PlaneGeometry& g, const ColourWeights& weights,
                 const ZigZagTable& zigzag, const QuantTable& table, int16_t* store,
                 int32_t firstBlockRow, int32_t endBlockRow, int32_t firstBlockColumn) {
  if (endBlockRow < 0 || endBlockRow > g.BlockRows()) endBlockRow = g.BlockRows();
  if (firstBlockRow < 0) firstBlockRow = 0;
  if (firstBlockColumn < 0) firstBlockColumn = 0;
  if (firstBlockRow >= endBlockRow || firstBlockColumn >= g.BlocksPerRow()) return;
  // The three products of each byte value, exactly as the per-pixel expression forms
  // them (byte to float, then times the float coefficient in double); the sum then
  // runs in the same order, so the results are bit for bit the same.
  std::array<double, 256> red{};
  std::array<double, 256> green{};
  std::array<double, 256> blue{};
  for (size_t v = 0; v < 256; ++v) {
    const double value = static_cast<float>(v);
    red[v] = value * double{weights.red};
    green[v] = value * double{weights.green};
    blue[v] = value * double{weights.blue};
  }
  const double offset = weights.offset;
  // Rows below the source's last repeat it; the block column that runs past its last
  // column reads a copy with that pixel repeated (tail, 8 pixels per row).
  const int32_t lastRow = std::min(src.height, g.Hp) - 1;
  const int32_t wholeBlocks = std::min(src.width, g.Wp) / 8;
  std::vector<uint8_t> tail;
  const auto rowOf = [&](int32_t planeRow) {
    return src.top + static_cast<ptrdiff_t>(std::min(planeRow, lastRow) - src.firstRow) * src.step;
  };
  // The tail holds the rows these block rows read.
  const int32_t tailFirst = std::min(8 * firstBlockRow, lastRow);
  const int32_t tailLast = std::min(8 * endBlockRow - 1, lastRow);
  if (wholeBlocks < g.BlocksPerRow()) {
    const int32_t left = 8 * wholeBlocks;
    const int32_t valid = std::min(src.width, g.Wp) - left;
    tail.resize(static_cast<size_t>(tailLast - tailFirst + 1) * 24);
    for (int32_t r = tailFirst; r <= tailLast; ++r) {
      const uint8_t* from = rowOf(r) + 3 * static_cast<ptrdiff_t>(left);
      uint8_t* to = tail.data() + static_cast<size_t>(r - tailFirst) * 24;
      for (int32_t x = 0; x < 8; ++x) std::memcpy(to + 3 * x, from + 3 * std::min(x, valid - 1), 3);
    }
  }
  // Start of pixel row y of block column bx.
  const auto blockRow = [&](int32_t y, int32_t bx) -> const uint8_t* {
    if (bx < wholeBlocks) return rowOf(y) + 3 * 8 * static_cast<ptrdiff_t>(bx);
    return tail.data() + static_cast<size_t>(std::min(y, lastRow) - tailFirst) * 24;
  };
  const DctQuantizeKernel kernel = SelectedDctQuantize();
  const int lanes = SelectedBlockLanes();
  const PreparedQuant prepared = PrepareQuant(zigzag, table.FScale);
  alignas(32) float samples[64];
  alignas(64) float group[64 * 8];
  // Converts `count` adjacent blocks into group, lane k holding block k.
  const auto convertGroup = [&](int32_t by, int32_t bx, int32_t count) {
    const uint8_t* rowStart[8];
    for (int32_t y = 0; y < 8; ++y) rowStart[y] = blockRow(y + 8 * by, bx);
#ifdef OKUVA_JPEG_X86
    if (count == 8) return ConvertGroup8(rowStart, weights, group);
    if (count == 4) return ConvertGroup4(rowStart, weights, group);
#endif
    for (int32_t y = 0; y < 8; ++y) {
      const uint8_t* px = rowStart[y];
      float* dst = group + y * 8 * count;
      for (int32_t k = 0; k < count; ++k) {
        for (int32_t x = 0; x < 8; ++x, px += 3) {
          dst[x * count + k] = static_cast<float>(red[px[2]] + green[px[1]] + blue[px[0]] + offset);
        }
      }
    }
  };
  const int32_t blocksPerRow = g.BlocksPerRow();
  for (int32_t by = firstBlockRow; by < endBlockRow; ++by) {
    int32_t bx = firstBlockColumn;
    int16_t* out = store + (static_cast<ptrdiff_t>(by) * blocksPerRow + bx) * 64;
    if (lanes == 8) {
      for (; bx + 8 <= wholeBlocks; bx += 8) {
        convertGroup(by, bx, 8);
        DctQuantize8Avx512(group, prepared, out);
        out += 8 * 64;
      }
    }
    if (lanes >= 4) {
      for (; bx + 4 <= wholeBlocks; bx += 4) {
        convertGroup(by, bx, 4);
        DctQuantize4Avx2(group, prepared, out);
        out += 4 * 64;
      }
    }
    for (; bx < blocksPerRow; ++bx) {
      for (int32_t y = 0; y < 8; ++y) {
        const uint8_t* px = blockRow(y + 8 * by, bx);
        float* row = samples + 8 * y;
        for (int32_t x = 0; x < 8; ++x, px += 3) {
          row[x] = static_cast<float>(red[px[2]] + green[px[1]] + blue[px[0]] + offset);
        }
      }
      kernel(samples, zigzag, table.FScale, out);
      out += 64;
    }
  }
}

}  // namespace okuva::jpeg
