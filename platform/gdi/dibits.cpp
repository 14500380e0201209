// GetDIBits: a bitmap's scan lines converted into a caller-described DIB layout.
#include <algorithm>
#include <limits>
#include <optional>

#include "platform/gdi/memory_dc.h"
#include "platform/gdi/raster_internal.h"

namespace okuva::gdi {

using namespace detail;

namespace {

bool ValidDibDepth(int depth) {
  return depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
}

// Fills bmi with the bitmap's own format (the classic "biBitCount 0" query).
int DescribeBitmap(const Bitmap& b, BITMAPINFO* bmi) {
  BITMAPINFOHEADER& h = bmi->bmiHeader;
  // The caller's resolution is left as it was; nothing here knows one.
  const int32_t xPels = h.biXPelsPerMeter, yPels = h.biYPelsPerMeter;
  h = DibHeader(b.width, (b.isDib && !b.bottomUp) ? -b.height : b.height, b.bitsPerPixel);
  h.biSizeImage = static_cast<uint32_t>(RowBytes(b.width, b.bitsPerPixel, 4) * b.height);
  h.biXPelsPerMeter = xPels;
  h.biYPelsPerMeter = yPels;
  if (b.HasPalette()) {
    std::copy(b.table.begin(), b.table.end(), bmi->bmiColors);
  }
  return b.height;
}

}  // namespace

int GetDIBits(HDC dc, HBITMAP bitmap, uint32_t start, uint32_t lines, void* bits, BITMAPINFO* bmi,
              uint32_t usage) {
  if (bmi == nullptr || usage != DIB_RGB_COLORS) {
    return 0;
  }
  auto lock = LockTables();
  const Bitmap* b = FindBitmap(bitmap);
  if (FindDc(dc) == nullptr || b == nullptr) {
    return 0;
  }
  BITMAPINFOHEADER& h = bmi->bmiHeader;
  if (h.biSize < sizeof(BITMAPINFOHEADER)) {
    return 0;
  }
  if (h.biBitCount == 0) {
    return bits == nullptr ? DescribeBitmap(*b, bmi) : 0;
  }

  const int depth = h.biBitCount;
  if (!ValidDibDepth(depth) || h.biCompression != BI_RGB || h.biWidth <= 0 || h.biHeight == 0 ||
      h.biHeight == std::numeric_limits<int32_t>::min()) {
    return 0;
  }
  const int64_t stride = RowBytes(h.biWidth, depth, 4);
  const int64_t rows = h.biHeight < 0 ? -int64_t{h.biHeight} : h.biHeight;
  if (stride > std::numeric_limits<int32_t>::max() ||
      static_cast<uint64_t>(stride * rows) > kMaxBitmapBytes) {
    return 0;
  }

  // The format being written, as a bitmap record without pixels of its own.
  Bitmap target;
  target.bitsPerPixel = depth;
  if (depth <= 8) {
    const size_t full = size_t{1} << depth;
    if (depth == b->bitsPerPixel) {
      // Same depth: the indices are kept and the bitmap's own table goes with them.
      std::copy(b->table.begin(), b->table.end(), bmi->bmiColors);
      target.table = b->table;
    } else {
      const size_t used = h.biClrUsed == 0 ? full : std::min<size_t>(h.biClrUsed, full);
      target.table.assign(bmi->bmiColors, bmi->bmiColors + used);
    }
  }
  if (start >= static_cast<uint32_t>(b->height)) {
    return 0;
  }
  const auto copied =
      static_cast<int32_t>(std::min<int64_t>({int64_t{lines}, int64_t{b->height} - start, rows}));
  if (bits == nullptr) {
    h.biSizeImage = static_cast<uint32_t>(stride * rows);
    return copied;
  }

  const bool raw = SameFormat(*b, target);
  std::optional<ColourMatcher> matcher;
  if (!raw && target.HasPalette()) {
    matcher.emplace(target.table);
  }
  const int32_t cols = std::min(h.biWidth, b->width);
  std::vector<Colour> buf(static_cast<size_t>(cols));
  auto* out = static_cast<uint8_t*>(bits);
  for (int32_t i = 0; i < copied; ++i) {
    // Line start + i counts from the bitmap's bottom; a top-down buffer puts the
    // highest copied line first.
    const int32_t y = b->height - 1 - static_cast<int32_t>(start) - i;
    const int64_t memoryRow = h.biHeight > 0 ? i : copied - 1 - i;
    uint8_t* drow = out + memoryRow * stride;
    const uint8_t* srow = b->Row(y);
    if (raw) {
      for (int32_t x = 0; x < cols; ++x) {
        SetRaw(target, drow, x, GetRaw(*b, srow, x));
      }
    } else {
      ReadColours(*b, y, 0, cols, buf.data());
      for (int32_t x = 0; x < cols; ++x) {
        SetRaw(target, drow, x, ColourToRaw(target, buf[x], matcher ? &*matcher : nullptr));
      }
    }
  }
  return copied;
}

}  // namespace okuva::gdi
