// Inside the raster layer: the object tables, the bitmap record and the pixel access
// shared by the layer's files. Not for callers outside platform/gdi (tests excepted).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/runtime/big_buffer.h"

namespace okuva::gdi::detail {

// A colour as the layer computes with it: blue | green << 8 | red << 16 (the byte order
// of an RGBQUAD and of a 24/32-bit pixel), the top byte always 0.
using Colour = uint32_t;

inline Colour ToColour(const RGBQUAD& q) {
  return static_cast<Colour>(q.rgbBlue) | static_cast<Colour>(q.rgbGreen) << 8 |
         static_cast<Colour>(q.rgbRed) << 16;
}

// Zeroed, so surfaces start black without touching every page; large ones on huge
// pages where the system offers them.
using PixelMemory = memory::BigBuffer;

// Largest pixel memory one bitmap may own.
constexpr uint64_t kMaxBitmapBytes = uint64_t{1} << 30;

struct Bitmap {
  int32_t width = 0;
  int32_t height = 0;     // always positive; the orientation is bottomUp
  int bitsPerPixel = 0;   // 1, 4, 8, 16 (5-5-5), 24 or 32
  int32_t stride = 0;     // bytes per stored row
  bool bottomUp = false;  // first stored row is the picture's bottom row
  bool isDib = false;     // a DIB section: its pixel address is handed out
  bool stock = false;     // the shared 1 x 1 monochrome bitmap of new memory DCs
  bool clipboardOwned = false;
  int selectedCount = 0;  // memory DCs holding it
  PixelMemory pixels;     // stable for the bitmap's whole life
  std::vector<RGBQUAD> table;  // colour table of palette depths (1 to 2^bits entries)

  // Start of picture row y (0 = top).
  uint8_t* Row(int32_t y) {
    const int32_t stored = bottomUp ? height - 1 - y : y;
    return pixels.get() + static_cast<size_t>(stored) * static_cast<size_t>(stride);
  }
  const uint8_t* Row(int32_t y) const { return const_cast<Bitmap*>(this)->Row(y); }
  bool HasPalette() const { return bitsPerPixel <= 8; }
};

enum class DcKind { kMemory, kScreen, kDisplay };

struct Dc {
  DcKind kind = DcKind::kMemory;
  HBITMAP selected = 0;  // memory DCs: the bitmap selected (the stock bitmap at first)
  int stretchMode = BLACKONWHITE;
};

// Everything below assumes the caller holds this lock.
std::unique_lock<std::mutex> LockTables();

Bitmap* FindBitmap(HANDLE32 handle);
Dc* FindDc(HANDLE32 handle);
// The surface a DC draws on: the selected bitmap of a memory DC, else the screen.
Bitmap* DcSurface(const Dc& dc);

// Bytes per row: DIB rows are padded to 4 bytes, device-dependent rows to 2.
int64_t RowBytes(int64_t width, int bitsPerPixel, int alignBytes);
// A new bitmap record with zeroed pixel memory, or nullptr for a refused size/depth.
std::unique_ptr<Bitmap> MakeBitmap(int32_t width, int32_t height, int bitsPerPixel, bool isDib,
                                   bool bottomUp);
HBITMAP AddBitmap(std::unique_ptr<Bitmap> bitmap);  // 0 when the table is full
bool FreeBitmap(HBITMAP handle);                    // removes it from the table
std::vector<RGBQUAD> GreyRamp(int bitsPerPixel);

// Pixel access ------------------------------------------------------------------------
// A raw pixel value: the index of palette depths, the 16-bit word, or the 24/32-bit
// value in Colour byte order (32 bits keeps its unused top byte).
inline uint32_t GetRaw(const Bitmap& b, const uint8_t* row, int32_t x) {
  switch (b.bitsPerPixel) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    case 4: return (x & 1) ? row[x >> 1] & 0x0Fu : row[x >> 1] >> 4;
    case 8: return row[x];
    case 16: return static_cast<uint32_t>(row[2 * x]) | static_cast<uint32_t>(row[2 * x + 1]) << 8;
    case 24:
      return static_cast<uint32_t>(row[3 * x]) | static_cast<uint32_t>(row[3 * x + 1]) << 8 |
             static_cast<uint32_t>(row[3 * x + 2]) << 16;
    default:
      return static_cast<uint32_t>(row[4 * x]) | static_cast<uint32_t>(row[4 * x + 1]) << 8 |
             static_cast<uint32_t>(row[4 * x + 2]) << 16 |
             static_cast<uint32_t>(row[4 * x + 3]) << 24;
  }
}

inline void SetRaw(const Bitmap& b, uint8_t* row, int32_t x, uint32_t v) {
  switch (b.bitsPerPixel) {
    case 1: {
      const auto mask = static_cast<uint8_t>(0x80u >> (x & 7));
      row[x >> 3] = static_cast<uint8_t>((v & 1u) ? (row[x >> 3] | mask) : (row[x >> 3] & ~mask));
      break;
    }
    case 4:
      row[x >> 1] = (x & 1) ? static_cast<uint8_t>((row[x >> 1] & 0xF0u) | (v & 0x0Fu))
                            : static_cast<uint8_t>((row[x >> 1] & 0x0Fu) | ((v & 0x0Fu) << 4));
      break;
    case 8: row[x] = static_cast<uint8_t>(v); break;
    case 16:
      row[2 * x] = static_cast<uint8_t>(v);
      row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
      break;
    case 24:
      row[3 * x] = static_cast<uint8_t>(v);
      row[3 * x + 1] = static_cast<uint8_t>(v >> 8);
      row[3 * x + 2] = static_cast<uint8_t>(v >> 16);
      break;
    default:
      row[4 * x] = static_cast<uint8_t>(v);
      row[4 * x + 1] = static_cast<uint8_t>(v >> 8);
      row[4 * x + 2] = static_cast<uint8_t>(v >> 16);
      row[4 * x + 3] = static_cast<uint8_t>(v >> 24);
      break;
  }
}

// 5-5-5: each 5-bit channel widened by repeating its top bits, so 31 becomes 255.
inline Colour Expand555(uint32_t w) {
  const uint32_t b = w & 31u, g = (w >> 5) & 31u, r = (w >> 10) & 31u;
  return ((b << 3) | (b >> 2)) | ((g << 3) | (g >> 2)) << 8 | ((r << 3) | (r >> 2)) << 16;
}
inline uint32_t Pack555(Colour c) {
  return ((c >> 3) & 31u) | ((c >> 11) & 31u) << 5 | ((c >> 19) & 31u) << 10;
}

inline Colour RawToColour(const Bitmap& b, uint32_t raw) {
  switch (b.bitsPerPixel) {
    case 1:
    case 4:
    case 8:
      // An index beyond a short table reads as black.
      return raw < b.table.size() ? ToColour(b.table[raw]) : 0u;
    case 16: return Expand555(raw);
    default: return raw & 0xFFFFFFu;
  }
}

// Nearest colour of a table (squared distance, lowest index on ties). It remembers
// what it has matched, so one matcher should serve a whole call.
class ColourMatcher {
public:
  explicit ColourMatcher(const std::vector<RGBQUAD>& table);
  uint32_t Match(Colour c);

private:
  uint32_t Search(Colour c);
  void DeriveCell(uint32_t cell);

  std::vector<Colour> colours_;
  static constexpr size_t kCacheSize = 1u << 14;
  std::vector<uint32_t> cacheKey_;   // colour | 1 << 24 when the slot is in use
  std::vector<uint8_t> cacheIndex_;
  // Per 8 x 8 x 8 colour cell, the entries that can be nearest to a colour in it.
  std::vector<int32_t> cellStart_;   // -1 = not derived yet
  std::vector<uint16_t> cellCount_;
  std::vector<uint8_t> cellEntries_;
};

// The raw value of colour c in bitmap b (nearest entry for palette depths).
inline uint32_t ColourToRaw(const Bitmap& b, Colour c, ColourMatcher* matcher) {
  switch (b.bitsPerPixel) {
    case 1:
    case 4:
    case 8: return matcher->Match(c);
    case 16: return Pack555(c);
    default: return c & 0xFFFFFFu;
  }
}

// Reads n pixels of row y from x as colours / writes n colours there.
void ReadColours(const Bitmap& b, int32_t y, int32_t x, int32_t n, Colour* out);
void WriteColours(Bitmap& b, int32_t y, int32_t x, int32_t n, const Colour* in,
                  ColourMatcher* matcher);
// True when raw values of a can be stored in b unchanged (same depth; same colours).
bool SameFormat(const Bitmap& a, const Bitmap& b);

// The supported raster operations; false for others.
bool RopSupported(uint32_t rop);
bool RopUsesSource(uint32_t rop);
bool RopUsesDest(uint32_t rop);
Colour ApplyRop(uint32_t rop, Colour s, Colour d);

// PlgBlt by inverse mapping of every destination pixel, with no fast path: tests
// compare the fast paths of PlgBlt with it.
bool PlgBltReference(HDC dest, const POINT points[3], HDC src, int32_t srcX, int32_t srcY,
                     int32_t width, int32_t height);

// StretchBlt without its whole-ratio fast path: tests compare the two byte for byte.
bool StretchBltReference(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src,
                         int32_t srcX, int32_t srcY, int32_t srcWidth, int32_t srcHeight,
                         uint32_t rop);

}  // namespace okuva::gdi::detail
