// Building picture files byte by byte and reading bitmaps back, for the picture tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/gdi/gdi.h"

namespace okuva::picture_test {

inline void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

struct BmpSpec {
  int32_t width = 0;
  int32_t height = 0;  // negative: top-down
  uint16_t bits = 24;
  uint32_t compression = 0;
  std::vector<uint32_t> table;  // 0xRRGGBB entries
  uint32_t clrUsed = 0;         // written as given
  std::vector<uint32_t> masks;  // BI_BITFIELDS masks after the header
  // Rows in file order, each unpadded; padding is added here.
  std::vector<std::vector<uint8_t>> rows;
};

inline std::vector<uint8_t> MakeBmp(const BmpSpec& s) {
  const uint32_t stride = (static_cast<uint32_t>(s.width) * s.bits + 31) / 32 * 4;
  const uint32_t offset = 14 + 40 + static_cast<uint32_t>(s.masks.size() * 4 + s.table.size() * 4);
  std::vector<uint8_t> out;
  Put16(out, 0x4D42);
  Put32(out, offset + stride * static_cast<uint32_t>(s.rows.size()));
  Put32(out, 0);
  Put32(out, offset);
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(s.width));
  Put32(out, static_cast<uint32_t>(s.height));
  Put16(out, 1);
  Put16(out, s.bits);
  Put32(out, s.compression);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, s.clrUsed);
  Put32(out, 0);
  for (uint32_t m : s.masks) Put32(out, m);
  for (uint32_t c : s.table) Put32(out, c);
  for (const auto& row : s.rows) {
    std::vector<uint8_t> padded = row;
    padded.resize(stride, 0);
    out.insert(out.end(), padded.begin(), padded.end());
  }
  return out;
}

// A run-length BMP (RLE8 for 8 bits, RLE4 for 4) with its table and encoded data.
inline std::vector<uint8_t> MakeRleBmp(int32_t width, int32_t height, uint16_t bits,
                                       const std::vector<uint32_t>& table, const std::vector<uint8_t>& data) {
  const auto offset = static_cast<uint32_t>(14 + 40 + 4 * table.size());
  std::vector<uint8_t> out;
  Put16(out, 0x4D42);
  Put32(out, offset + static_cast<uint32_t>(data.size()));
  Put32(out, 0);
  Put32(out, offset);
  for (uint32_t v : {40u, static_cast<uint32_t>(width), static_cast<uint32_t>(height)}) Put32(out, v);
  Put16(out, 1);
  Put16(out, bits);
  for (uint32_t v : {bits == 8 ? 1u : 2u, static_cast<uint32_t>(data.size()), 0u, 0u,
                     static_cast<uint32_t>(table.size()), 0u}) {
    Put32(out, v);
  }
  for (uint32_t c : table) Put32(out, c);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// Every pixel as 0xRRGGBB, top row first, read through the raster layer.
inline std::vector<uint32_t> Colours(gdi::HBITMAP bitmap) {
  gdi::BITMAP bm{};
  if (gdi::GetObjectA(bitmap, sizeof bm, &bm) == 0) return {};
  gdi::BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof(gdi::BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = bm.bmWidth;
  bmi.bmiHeader.biHeight = -bm.bmHeight;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  std::vector<uint32_t> pixels(static_cast<size_t>(bm.bmWidth) * static_cast<size_t>(bm.bmHeight));
  const gdi::HDC dc = gdi::CreateCompatibleDC(0);
  const int lines = gdi::GetDIBits(dc, bitmap, 0, static_cast<uint32_t>(bm.bmHeight), pixels.data(), &bmi,
                                   gdi::DIB_RGB_COLORS);
  gdi::DeleteDC(dc);
  if (lines != bm.bmHeight) return {};
  for (uint32_t& p : pixels) p &= 0xFFFFFF;
  return pixels;
}

}  // namespace okuva::picture_test
