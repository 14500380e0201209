// Rectangle copies between device contexts: BitBlt (clipped, converting), StretchBlt
// (area average or nearest pixel) and PlgBlt (affine map onto a parallelogram).
#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>

#include "platform/gdi/raster_internal.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace okuva::gdi {
namespace detail {
namespace {

__extension__ typedef __int128 Wide;

// The surfaces of one blit, looked up under the lock.
struct Surfaces {
  Dc* destDc = nullptr;
  Bitmap* dest = nullptr;
  Bitmap* src = nullptr;
};

std::optional<Surfaces> Resolve(HDC dest, HDC src, bool needSource) {
  Surfaces s;
  s.destDc = FindDc(dest);
  if (s.destDc == nullptr) {
    return std::nullopt;
  }
  s.dest = DcSurface(*s.destDc);
  if (s.dest == nullptr) {
    return std::nullopt;
  }
  if (needSource) {
    const Dc* sd = FindDc(src);
    if (sd == nullptr) {
      return std::nullopt;
    }
    s.src = DcSurface(*sd);
    if (s.src == nullptr) {
      return std::nullopt;
    }
  }
  return s;
}

// A private copy of a bitmap for blits that read and write the same surface in an
// order that would overwrite pixels before they are read.
std::unique_ptr<Bitmap> Clone(const Bitmap& b) {
  auto copy = MakeBitmap(b.width, b.height, b.bitsPerPixel, b.isDib, b.bottomUp);
  if (!copy) {
    return nullptr;
  }
  std::memcpy(copy->pixels.get(), b.pixels.get(),
              static_cast<size_t>(b.stride) * static_cast<size_t>(b.height));
  copy->table = b.table;
  return copy;
}

// Copies a w x h rectangle that lies inside both surfaces. Rows are visited in the
// order that keeps an overlapping copy within one surface correct.
void CopyRect(Bitmap& dest, int32_t x, int32_t y, int32_t w, int32_t h, const Bitmap* src,
              int32_t sx, int32_t sy, uint32_t rop) {
  const bool upward = src == &dest && y > sy;
  const bool raw = rop == SRCCOPY && SameFormat(*src, dest);
  std::optional<ColourMatcher> matcher;
  if (!raw && dest.HasPalette()) {
    matcher.emplace(dest.table);
  }
  std::vector<Colour> sbuf(static_cast<size_t>(w)), dbuf;
  std::vector<uint32_t> rawBuf;
  if (RopUsesDest(rop)) {
    dbuf.resize(static_cast<size_t>(w));
  }
  for (int32_t k = 0; k < h; ++k) {
    const int32_t i = upward ? h - 1 - k : k;
    if (raw && dest.bitsPerPixel >= 8) {
      const size_t bytes = static_cast<size_t>(dest.bitsPerPixel / 8);
      std::memmove(dest.Row(y + i) + bytes * static_cast<size_t>(x),
                   src->Row(sy + i) + bytes * static_cast<size_t>(sx),
                   bytes * static_cast<size_t>(w));
    } else if (raw) {
      rawBuf.resize(static_cast<size_t>(w));
      const uint8_t* srow = src->Row(sy + i);
      for (int32_t j = 0; j < w; ++j) {
        rawBuf[j] = GetRaw(*src, srow, sx + j);
      }
      uint8_t* drow = dest.Row(y + i);
      for (int32_t j = 0; j < w; ++j) {
        SetRaw(dest, drow, x + j, rawBuf[j]);
      }
    } else {
      if (RopUsesSource(rop)) {
        ReadColours(*src, sy + i, sx, w, sbuf.data());
      }
      if (!dbuf.empty()) {
        ReadColours(dest, y + i, x, w, dbuf.data());
      }
      for (int32_t j = 0; j < w; ++j) {
        sbuf[j] = ApplyRop(rop, sbuf[j], dbuf.empty() ? 0 : dbuf[j]);
      }
      WriteColours(dest, y + i, x, w, sbuf.data(), matcher ? &*matcher : nullptr);
    }
  }
}

// Clips the rectangle to both surfaces (src may be null) and copies what is left.
void ClippedCopy(Bitmap& dest, int64_t x, int64_t y, int64_t w, int64_t h, const Bitmap* src,
                 int64_t sx, int64_t sy, uint32_t rop) {
  // Moving one corner inside a surface moves the other rectangle's corner with it.
  if (x < 0) {
    sx -= x, w += x, x = 0;
  }
  if (y < 0) {
    sy -= y, h += y, y = 0;
  }
  if (src != nullptr) {
    if (sx < 0) {
      x -= sx, w += sx, sx = 0;
    }
    if (sy < 0) {
      y -= sy, h += sy, sy = 0;
    }
    w = std::min(w, src->width - sx);
    h = std::min(h, src->height - sy);
  } else {
    sx = sy = 0;
  }
  w = std::min(w, dest.width - x);
  h = std::min(h, dest.height - y);
  if (w <= 0 || h <= 0) {
    return;
  }
  CopyRect(dest, static_cast<int32_t>(x), static_cast<int32_t>(y), static_cast<int32_t>(w),
           static_cast<int32_t>(h), src, static_cast<int32_t>(sx), static_cast<int32_t>(sy), rop);
}

// One axis of a stretch: the destination pixels [first, first + count) that receive
// something, and for each the source pixels it takes.
struct AxisMap {
  int64_t first = 0;
  int64_t count = 0;
  std::vector<int32_t> nearest;   // COLORONCOLOR: the one source pixel
  std::vector<size_t> tapStart;   // HALFTONE: taps [tapStart[i], tapStart[i + 1])
  std::vector<int32_t> tapSrc;
  std::vector<int64_t> tapWeight;  // overlap in 1 / (destination size) source pixels
};

// dest0/size: normalised destination span; src0/srcSize: normalised source span;
// flip: the destination runs backwards over the source.
AxisMap MapAxis(int64_t dest0, int64_t size, int64_t src0, int64_t srcSize, bool flip,
                int64_t destLimit, int64_t srcLimit, bool average) {
  AxisMap m;
  const int64_t lo = std::max<int64_t>(0, dest0);
  const int64_t hi = std::min<int64_t>(destLimit, dest0 + size);
  m.first = -1;
  std::vector<std::pair<int32_t, int64_t>> taps;
  for (int64_t d = lo; d < hi; ++d) {
    const int64_t k = flip ? dest0 + size - 1 - d : d - dest0;
    if (!average) {
      // Centre sampling: the source pixel under the destination pixel's centre.
      const int64_t j = src0 + static_cast<int64_t>((Wide{2} * k + 1) * srcSize / (Wide{2} * size));
      if (j < 0 || j >= srcLimit) {
        continue;
      }
      if (m.first < 0) {
        m.first = d;
      }
      m.count = d - m.first + 1;
      m.nearest.resize(static_cast<size_t>(m.count));
      m.nearest.back() = static_cast<int32_t>(j);
      continue;
    }
    // Pixel k covers [k*S, (k+1)*S) and source pixel j covers [j*D, (j+1)*D) in units
    // of 1/D source pixels: the overlaps are exact integers.
    const Wide begin = Wide{k} * srcSize, end = Wide{k + 1} * srcSize;
    // Only source pixels that exist are visited: a source rectangle far larger than
    // the source must not cost a step per missing pixel.
    const int64_t jFirst = std::max(static_cast<int64_t>(begin / size), -src0);
    const int64_t jLast =
        std::min(static_cast<int64_t>((end + size - 1) / size) - 1, srcLimit - 1 - src0);
    taps.clear();
    for (int64_t j = jFirst; j <= jLast; ++j) {
      const int64_t abs = src0 + j;
      if (abs < 0 || abs >= srcLimit) {
        continue;
      }
      const Wide overlap = std::min(Wide{j + 1} * size, end) - std::max(Wide{j} * size, begin);
      if (overlap > 0) {
        taps.emplace_back(static_cast<int32_t>(abs), static_cast<int64_t>(overlap));
      }
    }
    if (taps.empty()) {
      continue;
    }
    if (m.first < 0) {
      m.first = d;
      m.tapStart.push_back(0);
    }
    m.count = d - m.first + 1;
    for (auto& [s, w] : taps) {
      m.tapSrc.push_back(s), m.tapWeight.push_back(w);
    }
    m.tapStart.push_back(m.tapSrc.size());
  }
  if (m.first < 0) {
    m.first = 0, m.count = 0;
  }
  return m;
}

void StretchNearest(Bitmap& dest, const Bitmap& src, const AxisMap& xs, const AxisMap& ys,
                    uint32_t rop) {
  const auto n = static_cast<int32_t>(xs.count);
  const auto x0 = static_cast<int32_t>(xs.first);
  if (rop == SRCCOPY && SameFormat(src, dest)) {
    for (int64_t r = 0; r < ys.count; ++r) {
      const uint8_t* srow = src.Row(ys.nearest[r]);
      uint8_t* drow = dest.Row(static_cast<int32_t>(ys.first + r));
      for (int32_t i = 0; i < n; ++i) {
        SetRaw(dest, drow, x0 + i, GetRaw(src, srow, xs.nearest[i]));
      }
    }
    return;
  }
  std::optional<ColourMatcher> matcher;
  if (dest.HasPalette()) {
    matcher.emplace(dest.table);
  }
  std::vector<Colour> buf(static_cast<size_t>(n)), dbuf;
  if (RopUsesDest(rop)) {
    dbuf.resize(static_cast<size_t>(n));
  }
  for (int64_t r = 0; r < ys.count; ++r) {
    const auto y = static_cast<int32_t>(ys.first + r);
    const uint8_t* srow = src.Row(ys.nearest[r]);
    if (!dbuf.empty()) {
      ReadColours(dest, y, x0, n, dbuf.data());
    }
    for (int32_t i = 0; i < n; ++i) {
      buf[i] = ApplyRop(rop, RawToColour(src, GetRaw(src, srow, xs.nearest[i])),
                        dbuf.empty() ? 0 : dbuf[i]);
    }
    WriteColours(dest, y, x0, n, buf.data(), matcher ? &*matcher : nullptr);
  }
}

// Rounds num / den (both >= 0, den > 0) to the nearest integer, halves upwards.
inline uint32_t RoundedQuotient(Wide num, Wide den) {
  constexpr Wide kNarrow = Wide{1} << 61;
  if (num < kNarrow && den < kNarrow) {
    const auto n = static_cast<int64_t>(num), d = static_cast<int64_t>(den);
    return static_cast<uint32_t>((2 * n + d) / (2 * d));
  }
  return static_cast<uint32_t>((2 * num + den) / (2 * den));
}

// Weights are exact integers, so the average is computed exactly: the weighted sum of
// every covered source pixel divided by the covered area, rounded to nearest.
void StretchAverage(Bitmap& dest, const Bitmap& src, const AxisMap& xs, const AxisMap& ys,
                    bool flipY, uint32_t rop) {
  const auto n = static_cast<size_t>(xs.count);
  const auto x0 = static_cast<int32_t>(xs.first);
  // The source columns the taps read, as one span per source row.
  const int32_t spanLo = *std::min_element(xs.tapSrc.begin(), xs.tapSrc.end());
  const int32_t spanHi = *std::max_element(xs.tapSrc.begin(), xs.tapSrc.end());
  std::vector<Colour> span(static_cast<size_t>(spanHi - spanLo + 1));
  std::vector<int64_t> xWeightSum(n, 0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t t = xs.tapStart[i]; t < xs.tapStart[i + 1]; ++t) {
      xWeightSum[i] += xs.tapWeight[t];
    }
  }

  // Horizontally weighted sums of source rows (blue, green, red per destination
  // column), kept while later destination rows still need them: source rows are met
  // in ascending order.
  std::deque<std::pair<int32_t, std::vector<int64_t>>> rows;
  auto filtered = [&](int32_t sy) -> const std::vector<int64_t>& {
    for (auto& [y, v] : rows) {
      if (y == sy) {
        return v;
      }
    }
    ReadColours(src, sy, spanLo, static_cast<int32_t>(span.size()), span.data());
    std::vector<int64_t> v(3 * n, 0);
    for (size_t i = 0; i < n; ++i) {
      int64_t b = 0, g = 0, r = 0;
      for (size_t t = xs.tapStart[i]; t < xs.tapStart[i + 1]; ++t) {
        const Colour c = span[static_cast<size_t>(xs.tapSrc[t] - spanLo)];
        const int64_t w = xs.tapWeight[t];
        b += w * (c & 0xFF), g += w * ((c >> 8) & 0xFF), r += w * ((c >> 16) & 0xFF);
      }
      v[3 * i] = b, v[3 * i + 1] = g, v[3 * i + 2] = r;
    }
    rows.emplace_back(sy, std::move(v));
    return rows.back().second;
  };

  std::optional<ColourMatcher> matcher;
  if (dest.HasPalette()) {
    matcher.emplace(dest.table);
  }
  std::vector<Colour> out(n), dbuf;
  if (RopUsesDest(rop)) {
    dbuf.resize(n);
  }
  std::vector<Wide> acc(3 * n);
  for (int64_t step = 0; step < ys.count; ++step) {
    // Visit destination rows so that their source rows ascend.
    const int64_t r = flipY ? ys.count - 1 - step : step;
    const size_t t0 = ys.tapStart[static_cast<size_t>(r)],
                 t1 = ys.tapStart[static_cast<size_t>(r) + 1];
    while (!rows.empty() && rows.front().first < std::min(ys.tapSrc[t0], ys.tapSrc[t1 - 1])) {
      rows.pop_front();
    }
    std::fill(acc.begin(), acc.end(), Wide{0});
    int64_t wsum = 0;
    for (size_t t = t0; t < t1; ++t) {
      const int64_t w = ys.tapWeight[t];
      const std::vector<int64_t>& v = filtered(ys.tapSrc[t]);
      for (size_t k = 0; k < acc.size(); ++k) {
        acc[k] += Wide{w} * v[k];
      }
      wsum += w;
    }
    for (size_t i = 0; i < n; ++i) {
      const Wide area = Wide{xWeightSum[i]} * wsum;
      out[i] = RoundedQuotient(acc[3 * i], area) | RoundedQuotient(acc[3 * i + 1], area) << 8 |
               RoundedQuotient(acc[3 * i + 2], area) << 16;
    }
    const auto y = static_cast<int32_t>(ys.first + r);
    if (!dbuf.empty()) {
      ReadColours(dest, y, x0, static_cast<int32_t>(n), dbuf.data());
    }
    for (size_t i = 0; i < n; ++i) {
      out[i] = ApplyRop(rop, out[i], dbuf.empty() ? 0 : dbuf[i]);
    }
    WriteColours(dest, y, x0, static_cast<int32_t>(n), out.data(), matcher ? &*matcher : nullptr);
  }
}

// One destination row of a 2 x 2 reduction of 24-bit rows a and b (2 * dw pixels each):
// (2 * sum + 4) / 8 == (sum + 2) / 4 of each channel. The rows are summed, then byte k
// and k + 3 of every 6-byte pixel pair, on all bytes at once; the averages that are a
// pixel's first three bytes are then gathered. sums and averages hold 6 * dw + 16.
// Kept out of line so that the caller's state does not crowd its registers.
__attribute__((noinline)) void HalveRowPair(const uint8_t* a, const uint8_t* b, int32_t dw,
                                            uint16_t* sums, uint8_t* averages, uint8_t* out) {
  const size_t bytes = 6 * static_cast<size_t>(dw);
  size_t j = 0;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
  for (; j + 16 <= bytes; j += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + j));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + j));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + j),
                     _mm_add_epi16(_mm_unpacklo_epi8(x, zero), _mm_unpacklo_epi8(y, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + j + 8),
                     _mm_add_epi16(_mm_unpackhi_epi8(x, zero), _mm_unpackhi_epi8(y, zero)));
  }
#endif
  for (; j < bytes; ++j) {
    sums[j] = static_cast<uint16_t>(a[j] + b[j]);
  }
  // Only bytes 0-2 of each 6 are used, so k runs to bytes - 3.
  const size_t used = bytes - 3;
  size_t k = 0;
#ifdef __SSE2__
  const __m128i two = _mm_set1_epi16(2);
  for (; k + 16 <= used; k += 16) {
    const auto at = [sums](size_t i) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + i));
    };
    const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(at(k), at(k + 3)), two), 2);
    const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(at(k + 8), at(k + 11)), two), 2);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(averages + k), _mm_packus_epi16(lo, hi));
  }
#endif
  for (; k < used; ++k) {
    averages[k] = static_cast<uint8_t>((sums[k] + sums[k + 3] + 2) >> 2);
  }
  for (int32_t i = 0; i < dw; ++i) {
    out[3 * i] = averages[6 * i];
    out[3 * i + 1] = averages[6 * i + 1];
    out[3 * i + 2] = averages[6 * i + 2];
  }
}

// Area average for whole-number ratios between 24-bit surfaces: every destination
// pixel covers exactly nx x ny source pixels with equal weight, so the exact average
// of StretchAverage reduces to (2 * sum + n) / (2 * n). Both rectangles must lie inside
// their surfaces, unflipped, and the surfaces must differ.
void StretchAverageWhole(Bitmap& dest, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                         const Bitmap& src, int32_t sx, int32_t sy, int32_t nx, int32_t ny) {
  const auto n = static_cast<uint64_t>(nx) * static_cast<uint64_t>(ny);
  const size_t left = 3 * static_cast<size_t>(sx);
  if (nx == 2 && ny == 2) {
    std::vector<uint16_t> sums(6 * static_cast<size_t>(dw) + 16);
    std::vector<uint8_t> averages(6 * static_cast<size_t>(dw) + 16);
    for (int32_t r = 0; r < dh; ++r) {
      HalveRowPair(src.Row(sy + 2 * r) + left, src.Row(sy + 2 * r + 1) + left, dw, sums.data(),
                   averages.data(), dest.Row(dy + r) + 3 * static_cast<size_t>(dx));
    }
    return;
  }
  // Column sums of the ny source rows, then sums of nx columns.
  const size_t rowBytes = static_cast<size_t>(dw) * static_cast<size_t>(nx) * 3;
  std::vector<uint64_t> columns(rowBytes);
  for (int32_t r = 0; r < dh; ++r) {
    std::fill(columns.begin(), columns.end(), uint64_t{0});
    for (int32_t k = 0; k < ny; ++k) {
      const uint8_t* row = src.Row(sy + r * ny + k) + left;
      for (size_t j = 0; j < rowBytes; ++j) {
        columns[j] += row[j];
      }
    }
    uint8_t* out = dest.Row(dy + r) + 3 * static_cast<size_t>(dx);
    const uint64_t* col = columns.data();
    for (int32_t i = 0; i < dw; ++i, out += 3) {
      for (int c = 0; c < 3; ++c) {
        uint64_t sum = 0;
        for (int32_t k = 0; k < nx; ++k) {
          sum += col[3 * static_cast<size_t>(k) + static_cast<size_t>(c)];
        }
        out[c] = static_cast<uint8_t>((2 * sum + n) / (2 * n));
      }
      col += 3 * static_cast<size_t>(nx);
    }
  }
}

inline Wide FloorDiv(Wide a, Wide b) {  // b > 0
  Wide q = a / b;
  if ((a % b != 0) && (a < 0)) {
    --q;
  }
  return q;
}

// Copies one source pixel to one destination pixel, converting when the formats differ.
struct PixelMover {
  const Bitmap& src;
  Bitmap& dest;
  bool raw;
  std::optional<ColourMatcher> matcher;
  PixelMover(const Bitmap& s, Bitmap& d) : src(s), dest(d), raw(SameFormat(s, d)) {
    if (!raw && d.HasPalette()) {
      matcher.emplace(d.table);
    }
  }
  void Move(const uint8_t* srow, int32_t sx, uint8_t* drow, int32_t dx) {
    const uint32_t v = GetRaw(src, srow, sx);
    SetRaw(dest, drow, dx,
           raw ? v : ColourToRaw(dest, RawToColour(src, v), matcher ? &*matcher : nullptr));
  }
};

// Inverse mapping of every destination pixel centre inside the parallelogram.
void PlgGeneric(Bitmap& dest, const Bitmap& src, const POINT p[3], int32_t sx, int32_t sy,
                int32_t w, int32_t h) {
  const Wide ax = Wide{p[1].x} - p[0].x, ay = Wide{p[1].y} - p[0].y;
  const Wide bx = Wide{p[2].x} - p[0].x, by = Wide{p[2].y} - p[0].y;
  Wide det2 = 2 * (ax * by - ay * bx);
  const int64_t xs[4] = {p[0].x, p[1].x, p[2].x, int64_t{p[1].x} + p[2].x - p[0].x};
  const int64_t ys[4] = {p[0].y, p[1].y, p[2].y, int64_t{p[1].y} + p[2].y - p[0].y};
  const int64_t x0 = std::max<int64_t>(0, *std::min_element(xs, xs + 4));
  const int64_t x1 = std::min<int64_t>(dest.width, *std::max_element(xs, xs + 4));
  const int64_t y0 = std::max<int64_t>(0, *std::min_element(ys, ys + 4));
  const int64_t y1 = std::min<int64_t>(dest.height, *std::max_element(ys, ys + 4));
  const Wide sign = det2 < 0 ? -1 : 1;
  det2 *= sign;
  PixelMover mover(src, dest);
  for (int64_t y = y0; y < y1; ++y) {
    uint8_t* drow = dest.Row(static_cast<int32_t>(y));
    const Wide qy = 2 * Wide{y} + 1 - 2 * Wide{p[0].y};
    for (int64_t x = x0; x < x1; ++x) {
      const Wide qx = 2 * Wide{x} + 1 - 2 * Wide{p[0].x};
      // (s, t) with q / 2 = s * a + t * b, scaled by 2 * det; u = s * w, v = t * h.
      const Wide u = FloorDiv(sign * (qx * by - qy * bx) * w, det2);
      const Wide v = FloorDiv(sign * (ax * qy - ay * qx) * h, det2);
      if (u < 0 || u >= w || v < 0 || v >= h) {
        continue;
      }
      const Wide px = sx + u, py = sy + v;
      if (px < 0 || px >= src.width || py < 0 || py >= src.height) {
        continue;
      }
      mover.Move(src.Row(static_cast<int32_t>(py)), static_cast<int32_t>(px), drow,
                 static_cast<int32_t>(x));
    }
  }
}

// Mirrors, half and quarter turns: each source pixel lands on exactly one destination
// pixel, so the map is walked forwards. Returns false when the points are not such a map.
bool PlgAxisAligned(Bitmap& dest, const Bitmap& src, const POINT p[3], int32_t sx, int32_t sy,
                    int32_t w, int32_t h) {
  const int64_t ax = int64_t{p[1].x} - p[0].x, ay = int64_t{p[1].y} - p[0].y;
  const int64_t bx = int64_t{p[2].x} - p[0].x, by = int64_t{p[2].y} - p[0].y;
  // Unit steps per source column (ea) and per source row (eb).
  int64_t eax, eay, ebx, eby;
  if (ay == 0 && bx == 0 && (ax == w || ax == -w) && (by == h || by == -h)) {
    eax = ax / w, eay = 0, ebx = 0, eby = by / h;
  } else if (ax == 0 && by == 0 && (ay == w || ay == -w) && (bx == h || bx == -h)) {
    eax = 0, eay = ay / w, ebx = bx / h, eby = 0;
  } else {
    return false;
  }
  // The centre of source pixel (u, v) lands at p0 + (u + 1/2) ea + (v + 1/2) eb; a
  // negative step puts it in pixel p0 - n - 1.
  auto offset = [](int64_t e, int64_t n) { return e > 0 ? n : (e < 0 ? -n - 1 : 0); };
  PixelMover mover(src, dest);
  // The source rectangle clipped to the source, worked out in 64 bits: offsets near
  // the ends of the 32-bit range must not wrap.
  const auto u0 = static_cast<int32_t>(std::clamp<int64_t>(-int64_t{sx}, 0, w));
  const auto u1 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{src.width} - sx, 0, w));
  const auto v0 = static_cast<int32_t>(std::clamp<int64_t>(-int64_t{sy}, 0, h));
  const auto v1 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{src.height} - sy, 0, h));
  for (int32_t v = v0; v < v1; ++v) {
    const uint8_t* srow = src.Row(sy + v);
    const int64_t rowX = p[0].x + offset(ebx, v), rowY = p[0].y + offset(eby, v);
    if (eay == 0) {
      // The row stays a row: one destination row, columns forwards or backwards.
      if (rowY < 0 || rowY >= dest.height) {
        continue;
      }
      uint8_t* drow = dest.Row(static_cast<int32_t>(rowY));
      for (int32_t u = u0; u < u1; ++u) {
        const int64_t x = rowX + offset(eax, u);
        if (x >= 0 && x < dest.width) {
          mover.Move(srow, sx + u, drow, static_cast<int32_t>(x));
        }
      }
    } else {
      // The row becomes a column.
      if (rowX < 0 || rowX >= dest.width) {
        continue;
      }
      for (int32_t u = u0; u < u1; ++u) {
        const int64_t y = rowY + offset(eay, u);
        if (y >= 0 && y < dest.height) {
          mover.Move(srow, sx + u, dest.Row(static_cast<int32_t>(y)), static_cast<int32_t>(rowX));
        }
      }
    }
  }
  return true;
}

bool PlgBltImpl(HDC dest, const POINT points[3], HDC src, int32_t srcX, int32_t srcY, int32_t width,
                int32_t height, bool fastPaths) {
  if (points == nullptr || width <= 0 || height <= 0) {
    return false;
  }
  auto lock = LockTables();
  auto s = Resolve(dest, src, true);
  if (!s) {
    return false;
  }
  const Wide det = (Wide{points[1].x} - points[0].x) * (Wide{points[2].y} - points[0].y) -
                   (Wide{points[1].y} - points[0].y) * (Wide{points[2].x} - points[0].x);
  if (det == 0) {
    return false;  // the parallelogram has no area
  }
  std::unique_ptr<Bitmap> copy;
  const Bitmap* from = s->src;
  if (s->src == s->dest) {
    copy = Clone(*s->src);
    if (!copy) {
      return false;
    }
    from = copy.get();
  }
  if (!fastPaths || !PlgAxisAligned(*s->dest, *from, points, srcX, srcY, width, height)) {
    PlgGeneric(*s->dest, *from, points, srcX, srcY, width, height);
  }
  return true;
}

}  // namespace

bool PlgBltReference(HDC dest, const POINT points[3], HDC src, int32_t srcX, int32_t srcY,
                     int32_t width, int32_t height) {
  return PlgBltImpl(dest, points, src, srcX, srcY, width, height, false);
}

}  // namespace detail

using namespace detail;

bool BitBlt(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src, int32_t srcX,
            int32_t srcY, uint32_t rop) {
  if (!RopSupported(rop)) {
    return false;
  }
  auto lock = LockTables();
  auto s = Resolve(dest, src, RopUsesSource(rop));
  if (!s) {
    return false;
  }
  if (width > 0 && height > 0) {
    ClippedCopy(*s->dest, x, y, width, height, s->src, srcX, srcY, rop);
  }
  return true;
}

namespace detail {
namespace {

bool StretchBltImpl(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src,
                    int32_t srcX, int32_t srcY, int32_t srcWidth, int32_t srcHeight, uint32_t rop,
                    bool fastPaths) {
  if (!RopSupported(rop)) {
    return false;
  }
  auto lock = LockTables();
  const bool usesSource = RopUsesSource(rop);
  auto s = Resolve(dest, src, usesSource);
  if (!s) {
    return false;
  }
  // Normalise both rectangles; a negative size runs the rectangle leftwards / upwards.
  const int64_t dx = width < 0 ? int64_t{x} + width : x, dw = std::abs(int64_t{width});
  const int64_t dy = height < 0 ? int64_t{y} + height : y, dh = std::abs(int64_t{height});
  if (dw == 0 || dh == 0) {
    return true;
  }
  if (!usesSource) {
    ClippedCopy(*s->dest, dx, dy, dw, dh, nullptr, 0, 0, rop);
    return true;
  }
  if (srcWidth == 0 || srcHeight == 0) {
    return false;
  }
  const int64_t sx = srcWidth < 0 ? int64_t{srcX} + srcWidth : srcX,
                sw = std::abs(int64_t{srcWidth});
  const int64_t sy = srcHeight < 0 ? int64_t{srcY} + srcHeight : srcY,
                sh = std::abs(int64_t{srcHeight});
  const bool flipX = (width < 0) != (srcWidth < 0);
  const bool flipY = (height < 0) != (srcHeight < 0);
  if (dw == sw && dh == sh && !flipX && !flipY) {
    ClippedCopy(*s->dest, dx, dy, dw, dh, s->src, sx, sy, rop);
    return true;
  }
  std::unique_ptr<Bitmap> copy;
  const Bitmap* from = s->src;
  if (s->src == s->dest) {
    copy = Clone(*s->src);
    if (!copy) {
      return false;
    }
    from = copy.get();
  }
  // An unscaled mirror is a pixel-for-pixel copy in every mode.
  const bool average = s->destDc->stretchMode == HALFTONE && !(dw == sw && dh == sh);
  // Whole-number reductions (an encoder's chroma planes) skip the general taps.
  constexpr int64_t kMaxWholeArea = int64_t{1} << 24;
  if (fastPaths && average && rop == SRCCOPY && !flipX && !flipY && s->src != s->dest &&
      s->src->bitsPerPixel == 24 && s->dest->bitsPerPixel == 24 && sw % dw == 0 && sh % dh == 0 &&
      (sw / dw) * (sh / dh) <= kMaxWholeArea && dx >= 0 && dy >= 0 && dx + dw <= s->dest->width &&
      dy + dh <= s->dest->height && sx >= 0 && sy >= 0 && sx + sw <= s->src->width &&
      sy + sh <= s->src->height) {
    StretchAverageWhole(*s->dest, static_cast<int32_t>(dx), static_cast<int32_t>(dy),
                        static_cast<int32_t>(dw), static_cast<int32_t>(dh), *s->src,
                        static_cast<int32_t>(sx), static_cast<int32_t>(sy),
                        static_cast<int32_t>(sw / dw), static_cast<int32_t>(sh / dh));
    return true;
  }
  const AxisMap xs = MapAxis(dx, dw, sx, sw, flipX, s->dest->width, from->width, average);
  const AxisMap ys = MapAxis(dy, dh, sy, sh, flipY, s->dest->height, from->height, average);
  if (xs.count == 0 || ys.count == 0) {
    return true;
  }
  if (average) {
    StretchAverage(*s->dest, *from, xs, ys, flipY, rop);
  } else {
    StretchNearest(*s->dest, *from, xs, ys, rop);
  }
  return true;
}

}  // namespace

bool StretchBltReference(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src,
                         int32_t srcX, int32_t srcY, int32_t srcWidth, int32_t srcHeight,
                         uint32_t rop) {
  return StretchBltImpl(dest, x, y, width, height, src, srcX, srcY, srcWidth, srcHeight, rop,
                        false);
}

}  // namespace detail

bool StretchBlt(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src,
                int32_t srcX, int32_t srcY, int32_t srcWidth, int32_t srcHeight, uint32_t rop) {
  return detail::StretchBltImpl(dest, x, y, width, height, src, srcX, srcY, srcWidth, srcHeight,
                                rop, true);
}

bool PlgBlt(HDC dest, const POINT points[3], HDC src, int32_t srcX, int32_t srcY, int32_t width,
            int32_t height, HBITMAP mask, int32_t, int32_t) {
  if (mask != 0) {
    return false;  // masks are not supported
  }
  return PlgBltImpl(dest, points, src, srcX, srcY, width, height, true);
}

}  // namespace okuva::gdi
