// Pixel access for tests of cImage: reads and writes the DIB bytes the object exposes,
// with (0, 0) at the top-left pixel whatever the row order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <vector>

#include "image/image.h"
#include "platform/gdi/gdi.h"

namespace okuva::test {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "(" << int(c.r) << "," << int(c.g) << "," << int(c.b) << ")";
  }
};

inline uint8_t* RowOf(const cImage& image, int32_t y) {
  auto* bits = static_cast<uint8_t*>(image.DIBitsPtr());
  const int32_t h = std::abs(image.Height());
  const int32_t row = image.Height() > 0 ? h - 1 - y : y;
  return bits + static_cast<std::ptrdiff_t>(row) * image.BytesPerScanLine();
}

inline uint32_t IndexAt(const cImage& image, int32_t x, int32_t y) {
  const uint8_t* row = RowOf(image, y);
  switch (image.BitCount()) {
    case 1: return (row[x / 8] >> (7 - x % 8)) & 1u;
    case 4: return (row[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 0xFu;
    case 8: return row[x];
    default: ADD_FAILURE() << "not a palette image"; return 0;
  }
}

inline void SetIndex(cImage& image, int32_t x, int32_t y, uint32_t index) {
  uint8_t* row = RowOf(image, y);
  switch (image.BitCount()) {
    case 1: {
      const auto bit = static_cast<uint8_t>(0x80u >> (x % 8));
      row[x / 8] = static_cast<uint8_t>(index ? row[x / 8] | bit : row[x / 8] & ~bit);
      break;
    }
    case 4: {
      const int shift = x % 2 == 0 ? 4 : 0;
      row[x / 2] = static_cast<uint8_t>((row[x / 2] & ~(0xF << shift)) | ((index & 0xF) << shift));
      break;
    }
    case 8: row[x] = static_cast<uint8_t>(index); break;
    default: ADD_FAILURE() << "not a palette image";
  }
}

inline std::vector<gdi::RGBQUAD> TableOf(gdi::HDC dc) {
  std::vector<gdi::RGBQUAD> table(256);
  table.resize(gdi::GetDIBColorTable(dc, 0, 256, table.data()));
  return table;
}

inline std::vector<Rgb> Colours(const std::vector<gdi::RGBQUAD>& table) {
  std::vector<Rgb> out;
  for (const auto& q : table) {
    out.push_back({q.rgbRed, q.rgbGreen, q.rgbBlue});
  }
  return out;
}

inline void SetTable(cImage& image, const std::vector<Rgb>& colours) {
  std::vector<gdi::RGBQUAD> table;
  for (const Rgb& c : colours) {
    table.push_back({c.b, c.g, c.r, 0});
  }
  ASSERT_EQ(
      gdi::SetDIBColorTable(image.hdc(), 0, static_cast<uint32_t>(table.size()), table.data()),
      table.size());
}

// The colour of a pixel: its own bytes at 24 bits, its table entry at palette depths.
inline Rgb PixelAt(const cImage& image, int32_t x, int32_t y) {
  if (image.BitCount() == 24) {
    const uint8_t* p = RowOf(image, y) + 3 * x;
    return {p[2], p[1], p[0]};
  }
  const auto table = TableOf(image.hdc());
  const uint32_t i = IndexAt(image, x, y);
  if (i >= table.size()) {
    ADD_FAILURE() << "index " << i << " outside a table of " << table.size();
    return {};
  }
  return {table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue};
}

inline void SetRgb(cImage& image, int32_t x, int32_t y, Rgb c) {
  ASSERT_EQ(image.BitCount(), 24);
  uint8_t* p = RowOf(image, y) + 3 * x;
  p[0] = c.b;
  p[1] = c.g;
  p[2] = c.r;
}

// All pixel colours, row by row from the top.
inline std::vector<Rgb> AllPixels(const cImage& image) {
  std::vector<Rgb> out;
  for (int32_t y = 0; y < std::abs(image.Height()); ++y) {
    for (int32_t x = 0; x < image.Width(); ++x) {
      out.push_back(PixelAt(image, x, y));
    }
  }
  return out;
}

// A 24-bit image whose every pixel has a distinct colour made from its position.
inline Rgb Distinct(int32_t x, int32_t y) {
  return {static_cast<uint8_t>(10 + 20 * x), static_cast<uint8_t>(5 + 30 * y),
          static_cast<uint8_t>(200 - 7 * x - 3 * y)};
}

inline void FillDistinct(cImage& image) {
  for (int32_t y = 0; y < image.Height(); ++y) {
    for (int32_t x = 0; x < image.Width(); ++x) {
      SetRgb(image, x, y, Distinct(x, y));
    }
  }
}

// A palette image of the given depth whose table is `colours` and whose pixel
// (x, y) has index (x + 2 * y) mod the table's size.
inline void FillIndexPattern(cImage& image, const std::vector<Rgb>& colours) {
  SetTable(image, colours);
  const auto n = static_cast<uint32_t>(colours.size());
  for (int32_t y = 0; y < image.Height(); ++y) {
    for (int32_t x = 0; x < image.Width(); ++x) {
      SetIndex(image, x, y, static_cast<uint32_t>(x + 2 * y) % n);
    }
  }
}

// A colour table of n entries, none grey, all distinct.
inline std::vector<Rgb> ColourTable(int n) {
  std::vector<Rgb> colours;
  for (int i = 0; i < n; ++i) {
    colours.push_back({static_cast<uint8_t>(255 - i), static_cast<uint8_t>((i * 37) % 256),
                       static_cast<uint8_t>(i % 2 == 0 ? 40 : 160)});
  }
  return colours;
}

}  // namespace okuva::test
