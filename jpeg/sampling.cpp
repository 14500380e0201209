#include "jpeg/sampling.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
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
  if (surface.Dc() == 0) {
    return false;
  }
  // Rows padded to 4 bytes. A bitmap beyond 32-bit sizes cannot be made: reported
  // like any other refusal.
  const int64_t stride64 = (3 * int64_t{Wb} + 3) & ~int64_t{3};
  if (stride64 * Hb > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  const auto stride = static_cast<int32_t>(stride64);
  gdi::BITMAPINFOHEADER bih = gdi::DibHeader(Wb, Hb, 24);  // positive height: bottom-up rows
  bih.biSizeImage = static_cast<uint32_t>(stride64 * Hb);
  void* bits = nullptr;
  const gdi::HBITMAP bitmap =
      gdi::CreateDIBSection(surface.Dc(), &bih, gdi::DIB_RGB_COLORS, &bits, nullptr, 0);
  surface.Select(bitmap, gdi::MemoryDc::kOwned);
  if (bitmap == 0 || bits == nullptr) {
    return false;
  }
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

void SamplingSurface::DrawPlane(gdi::HDC src, int32_t X, int32_t Y, int32_t srcLeft, int32_t srcTop,
                                const PlaneGeometry& g) {
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

void HalveRowScalar(const uint8_t* a, const uint8_t* b, int32_t w, uint8_t* out) {
  for (int32_t i = 0; i < 3 * w; ++i) {
    const int32_t j = i / 3 * 6 + i % 3;
    out[i] = static_cast<uint8_t>((a[j] + a[j + 3] + b[j] + b[j + 3] + 2) >> 2);
  }
}

void HalvePlaneRows(const PlaneSource& src, int32_t w, int32_t firstRow, int32_t endRow,
                    uint8_t* out, int32_t firstColumn) {
  const auto halve = SelectedBlockLanes() > 1 ? &HalveRowAvx2 : &HalveRowScalar;
  if (firstColumn < 0) {
    firstColumn = 0;
  }
  if (firstColumn >= w) {
    return;
  }
  const ptrdiff_t skip = 6 * static_cast<ptrdiff_t>(firstColumn);
  for (int32_t r = firstRow; r < endRow; ++r, out += 3 * static_cast<ptrdiff_t>(w)) {
    const uint8_t* a = src.top + static_cast<ptrdiff_t>(2 * r - src.firstRow) * src.step + skip;
    halve(a, a + src.step, w - firstColumn, out + skip / 2);
  }
}

int32_t SampleHalvedPairWide(const PlaneSource& src, const PlaneGeometry& g,
                             const ColourWeights& w1, const ColourWeights& w2,
                             const ZigZagTable& zigzag, const QuantTable& t1, const QuantTable& t2,
                             int16_t* store1, int16_t* store2, int32_t firstBlockRow,
                             int32_t endBlockRow) {
#ifdef OKUVA_JPEG_X86
  if (SelectedBlockLanes() != 8) {
    return 0;
  }
  if (endBlockRow < 0 || endBlockRow > g.BlockRows()) {
    endBlockRow = g.BlockRows();
  }
  if (firstBlockRow < 0) {
    firstBlockRow = 0;
  }
  const int32_t groups = std::min(g.Wc, src.width / 2) / 64;
  if (groups == 0 || firstBlockRow >= endBlockRow) {
    return 0;
  }
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
  if (bitmap == 0) {
    return std::nullopt;
  }
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
  if (endBlockRow < 0 || endBlockRow > g.BlockRows()) {
    endBlockRow = g.BlockRows();
  }
  if (firstBlockRow < 0) {
    firstBlockRow = 0;
  }
  if (firstBlockColumn < 0) {
    firstBlockColumn = 0;
  }
  if (firstBlockRow >= endBlockRow || firstBlockColumn >= g.BlocksPerRow()) {
    return;
  }
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
      for (int32_t x = 0; x < 8; ++x) {
        std::memcpy(to + 3 * x, from + 3 * std::min(x, valid - 1), 3);
      }
    }
  }
  // Start of pixel row y of block column bx.
  const auto blockRow = [&](int32_t y, int32_t bx) -> const uint8_t* {
    if (bx < wholeBlocks) {
      return rowOf(y) + 3 * 8 * static_cast<ptrdiff_t>(bx);
    }
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
    for (int32_t y = 0; y < 8; ++y) {
      rowStart[y] = blockRow(y + 8 * by, bx);
    }
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
