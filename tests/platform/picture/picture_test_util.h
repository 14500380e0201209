// Reading bitmaps back, the BMP builders under the names the picture tests use, JPEGs made by
// turbojpeg and PNG checksums.
#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

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

// The checksum of a PNG chunk's type and data.
inline uint32_t PngCrc(const uint8_t* p, size_t n) {
  uint32_t c = ~0u;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) {
      c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
  }
  return ~c;
}

// A JPEG of w x h RGB pixels made by turbojpeg, 4:4:4 unless told otherwise.
inline std::vector<uint8_t> JpegOf(const uint8_t* rgb, int w, int h, int quality,
                                   int sampling = TJSAMP_444, int flags = 0) {
  const tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  const bool made =
      tjCompress2(tj, rgb, w, 0, h, TJPF_RGB, &jpeg, &size, sampling, quality, flags) == 0;
  std::vector<uint8_t> file(jpeg, jpeg + (made ? size : 0));
  tjFree(jpeg);
  tjDestroy(tj);
  EXPECT_TRUE(made);
  return file;
}

}  // namespace okuva::picture_test
