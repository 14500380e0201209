// Reading bitmaps back, and the BMP builders under the names the picture tests use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/gdi/memory_dc.h"
#include "tests/support/bmp_files.h"

namespace okuva::picture_test {

using okuva::testing::BmpSpec;
using okuva::testing::InfoBmp;
using okuva::testing::MakeBmp;
using okuva::testing::MakeRleBmp;
using okuva::testing::Put16;
using okuva::testing::Put32;

// Every pixel as 0xRRGGBB, top row first, read through the raster layer.
inline std::vector<uint32_t> Colours(gdi::HBITMAP bitmap) {
  gdi::BITMAP bm{};
  if (gdi::GetObjectA(bitmap, sizeof bm, &bm) == 0) {
    return {};
  }
  gdi::BITMAPINFO bmi{};
  bmi.bmiHeader = gdi::DibHeader(bm.bmWidth, -bm.bmHeight, 32);
  std::vector<uint32_t> pixels(static_cast<size_t>(bm.bmWidth) * static_cast<size_t>(bm.bmHeight));
  const gdi::HDC dc = gdi::CreateCompatibleDC(0);
  const int lines = gdi::GetDIBits(dc, bitmap, 0, static_cast<uint32_t>(bm.bmHeight), pixels.data(),
                                   &bmi, gdi::DIB_RGB_COLORS);
  gdi::DeleteDC(dc);
  if (lines != bm.bmHeight) {
    return {};
  }
  for (uint32_t& p : pixels) {
    p &= 0xFFFFFF;
  }
  return pixels;
}

}  // namespace okuva::picture_test
