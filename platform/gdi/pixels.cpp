// Pixel formats of the raster layer: rows as colours, nearest-colour matching into a
// colour table, and the raster operations.
#include <algorithm>
#include <limits>

#include "platform/gdi/raster_internal.h"

namespace okuva::gdi::detail {

namespace {

constexpr uint32_t kCellBits = 5;  // 32 x 32 x 32 cells of 8 x 8 x 8 colours
constexpr uint32_t kCellCount = 1u << (3 * kCellBits);
constexpr uint32_t kCellSpan = 256u >> kCellBits;

inline int Channel(Colour c, int shift) { return static_cast<int>((c >> shift) & 0xFFu); }

inline uint32_t Distance(Colour a, Colour b) {
  const int db = Channel(a, 0) - Channel(b, 0);
  const int dg = Channel(a, 8) - Channel(b, 8);
  const int dr = Channel(a, 16) - Channel(b, 16);
  return static_cast<uint32_t>(db * db + dg * dg + dr * dr);
}

}  // namespace

ColourMatcher::ColourMatcher(const std::vector<RGBQUAD>& table)
    : cacheKey_(kCacheSize, 0), cacheIndex_(kCacheSize, 0) {
  colours_.reserve(table.size());
  for (const RGBQUAD& q : table) {
    colours_.push_back(ToColour(q));
  }
  if (colours_.empty()) {
    colours_.push_back(0);  // nothing to match: index 0
  }
}

uint32_t ColourMatcher::Match(Colour c) {
  c &= 0xFFFFFFu;
  // Multiplicative hash: neighbouring colours of a photo land in different slots.
  const size_t slot = (c * 2654435761u) >> (32 - 14);
  const uint32_t key = c | 1u << 24;
  if (cacheKey_[slot] == key) {
    return cacheIndex_[slot];
  }
  const uint32_t index = Search(c);
  cacheKey_[slot] = key;
  cacheIndex_[slot] = static_cast<uint8_t>(index);
  return index;
}

uint32_t ColourMatcher::Search(Colour c) {
  uint32_t best = 0;
  uint32_t bestDistance = std::numeric_limits<uint32_t>::max();
  if (colours_.size() <= 16) {
    for (size_t i = 0; i < colours_.size(); ++i) {
      const uint32_t d = Distance(c, colours_[i]);
      if (d < bestDistance) {
        bestDistance = d, best = static_cast<uint32_t>(i);
      }
    }
    return best;
  }
  const uint32_t cell = (static_cast<uint32_t>(Channel(c, 16)) >> 3) << (2 * kCellBits) |
                        (static_cast<uint32_t>(Channel(c, 8)) >> 3) << kCellBits |
                        static_cast<uint32_t>(Channel(c, 0)) >> 3;
  if (cellStart_.empty()) {
    cellStart_.assign(kCellCount, -1);
    cellCount_.assign(kCellCount, 0);
  }
  if (cellStart_[cell] < 0) {
    DeriveCell(cell);
  }
  const auto start = static_cast<size_t>(cellStart_[cell]);
  for (size_t k = 0; k < cellCount_[cell]; ++k) {
    const uint32_t i = cellEntries_[start + k];
    const uint32_t d = Distance(c, colours_[i]);
    if (d < bestDistance) {
      bestDistance = d, best = i;
    }
  }
  return best;
}

// Keeps every entry whose nearest point of the cell is no farther than the best
// entry's farthest point: only those can be nearest (or tie) for a colour in the cell.
// Entries are kept in index order so that ties still go to the lowest index.
void ColourMatcher::DeriveCell(uint32_t cell) {
  int lo[3], hi[3];
  const uint32_t parts[3] = {cell & 31u, (cell >> kCellBits) & 31u, cell >> (2 * kCellBits)};
  for (int k = 0; k < 3; ++k) {
    lo[k] = static_cast<int>(parts[k] * kCellSpan);
    hi[k] = lo[k] + static_cast<int>(kCellSpan) - 1;
  }
  std::vector<uint32_t> nearest(colours_.size());
  uint32_t bound = std::numeric_limits<uint32_t>::max();
  for (size_t i = 0; i < colours_.size(); ++i) {
    uint32_t dmin = 0, dmax = 0;
    for (int k = 0; k < 3; ++k) {
      const int v = Channel(colours_[i], 8 * k);
      const int below = v < lo[k] ? lo[k] - v : (v > hi[k] ? v - hi[k] : 0);
      const int far = std::max(std::abs(v - lo[k]), std::abs(v - hi[k]));
      dmin += static_cast<uint32_t>(below * below);
      dmax += static_cast<uint32_t>(far * far);
    }
    nearest[i] = dmin;
    bound = std::min(bound, dmax);
  }
  cellStart_[cell] = static_cast<int32_t>(cellEntries_.size());
  uint16_t count = 0;
  for (size_t i = 0; i < colours_.size(); ++i) {
    if (nearest[i] <= bound) {
      cellEntries_.push_back(static_cast<uint8_t>(i));
      ++count;
    }
  }
  cellCount_[cell] = count;
}

void ReadColours(const Bitmap& b, int32_t y, int32_t x, int32_t n, Colour* out) {
  const uint8_t* row = b.Row(y);
  switch (b.bitsPerPixel) {
    case 24: {
      const uint8_t* p = row + 3 * static_cast<size_t>(x);
      for (int32_t i = 0; i < n; ++i, p += 3) {
        out[i] = static_cast<Colour>(p[0]) | static_cast<Colour>(p[1]) << 8 |
                 static_cast<Colour>(p[2]) << 16;
      }
      break;
    }
    case 32: {
      const uint8_t* p = row + 4 * static_cast<size_t>(x);
      for (int32_t i = 0; i < n; ++i, p += 4) {
        out[i] = static_cast<Colour>(p[0]) | static_cast<Colour>(p[1]) << 8 |
                 static_cast<Colour>(p[2]) << 16;
      }
      break;
    }
    case 8: {
      Colour lut[256];
      for (uint32_t k = 0; k < 256; ++k) {
        lut[k] = RawToColour(b, k);
      }
      for (int32_t i = 0; i < n; ++i) {
        out[i] = lut[row[x + i]];
      }
      break;
    }
    default:
      for (int32_t i = 0; i < n; ++i) {
        out[i] = RawToColour(b, GetRaw(b, row, x + i));
      }
      break;
  }
}

void WriteColours(Bitmap& b, int32_t y, int32_t x, int32_t n, const Colour* in,
                  ColourMatcher* matcher) {
  uint8_t* row = b.Row(y);
  switch (b.bitsPerPixel) {
    case 24: {
      uint8_t* p = row + 3 * static_cast<size_t>(x);
      for (int32_t i = 0; i < n; ++i, p += 3) {
        p[0] = static_cast<uint8_t>(in[i]);
        p[1] = static_cast<uint8_t>(in[i] >> 8);
        p[2] = static_cast<uint8_t>(in[i] >> 16);
      }
      break;
    }
    case 32: {
      uint8_t* p = row + 4 * static_cast<size_t>(x);
      for (int32_t i = 0; i < n; ++i, p += 4) {
        p[0] = static_cast<uint8_t>(in[i]);
        p[1] = static_cast<uint8_t>(in[i] >> 8);
        p[2] = static_cast<uint8_t>(in[i] >> 16);
        p[3] = 0;
      }
      break;
    }
    default:
      for (int32_t i = 0; i < n; ++i) {
        SetRaw(b, row, x + i, ColourToRaw(b, in[i], matcher));
      }
      break;
  }
}

bool SameFormat(const Bitmap& a, const Bitmap& b) {
  if (a.bitsPerPixel != b.bitsPerPixel) {
    return false;
  }
  if (!a.HasPalette()) {
    return true;
  }
  // Indices mean the same colours only when every index a can hold means the same in b.
  if (a.table.size() > b.table.size()) {
    return false;
  }
  for (size_t i = 0; i < a.table.size(); ++i) {
    if (ToColour(a.table[i]) != ToColour(b.table[i])) {
      return false;
    }
  }
  return true;
}

bool RopSupported(uint32_t rop) {
  switch (rop) {
    case SRCCOPY:
    case SRCPAINT:
    case SRCAND:
    case SRCINVERT:
    case SRCERASE:
    case NOTSRCCOPY:
    case NOTSRCERASE:
    case DSTINVERT:
    case BLACKNESS:
    case WHITENESS: return true;
    default: return false;
  }
}

bool RopUsesSource(uint32_t rop) {
  return rop != DSTINVERT && rop != BLACKNESS && rop != WHITENESS;
}

bool RopUsesDest(uint32_t rop) {
  return rop == SRCPAINT || rop == SRCAND || rop == SRCINVERT || rop == SRCERASE ||
         rop == NOTSRCERASE || rop == DSTINVERT;
}

Colour ApplyRop(uint32_t rop, Colour s, Colour d) {
  constexpr Colour kAll = 0xFFFFFFu;
  switch (rop) {
    case SRCCOPY: return s;
    case SRCPAINT: return s | d;
    case SRCAND: return s & d;
    case SRCINVERT: return s ^ d;
    case SRCERASE: return s & ~d & kAll;
    case NOTSRCCOPY: return ~s & kAll;
    case NOTSRCERASE: return ~(s | d) & kAll;
    case DSTINVERT: return ~d & kAll;
    case BLACKNESS: return 0;
    case WHITENESS: return kAll;
    default: return s;
  }
}

}  // namespace okuva::gdi::detail
