// GetDIBits: converting a bitmap into a caller-described DIB layout.
#include <gtest/gtest.h>

#include "tests/platform/gdi/gdi_helpers.h"

namespace okuva::gdi {
namespace {

using testing::Dib;
using testing::DibStride;
using testing::Quad;
using testing::Rgb;

BITMAPINFO Format(int32_t w, int32_t h, int bpp, const std::vector<RGBQUAD>& table = {}) {
  BITMAPINFO bmi{};
  bmi.bmiHeader = DibHeader(w, h, bpp);
  for (size_t i = 0; i < table.size(); ++i) {
    bmi.bmiColors[i] = table[i];
  }
  return bmi;
}

TEST(GdiDIBits, SameDepthCopiesIndicesAndHandsOverTheTable) {
  const std::vector<RGBQUAD> table = {Quad(5, 5, 5), Quad(200, 0, 0), Quad(200, 0, 0),
                                      Quad(0, 0, 9)};
  Dib pic(5, 3, 4, table);
  for (int32_t y = 0; y < 3; ++y) {
    for (int32_t x = 0; x < 5; ++x) {
      pic.Set(x, y, static_cast<uint32_t>((x + y) % 4));
    }
  }
  // The caller's header carries a grey table the bitmap's must replace.
  std::vector<RGBQUAD> grey;
  for (int i = 0; i < 16; ++i) {
    grey.push_back(Quad(uint8_t(i * 17), uint8_t(i * 17), uint8_t(i * 17)));
  }
  BITMAPINFO bmi = Format(5, 3, 4, grey);
  Dib image(5, 3, 4, grey);
  HDC dc = CreateCompatibleDC(0);
  HGDIOBJ old = SelectObject(dc, pic.bitmap());
  ASSERT_EQ(GetDIBits(dc, pic.bitmap(), 0, 3, image.bits(), &bmi, DIB_RGB_COLORS), 3);
  SelectObject(dc, old);
  EXPECT_EQ(image.Pixels(), pic.Pixels());
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(Rgb(bmi.bmiColors[i]), Rgb(table[i])) << i;
  }
  DeleteDC(dc);
}

TEST(GdiDIBits, OtherDepthsAreConvertedAndTheCallersTableKept) {
  Dib pic(3, 2, 24);
  pic.Set(0, 0, 0xFFFFFF);
  pic.Set(1, 0, 0x202020);
  pic.Set(2, 0, 0x808080);
  pic.Set(0, 1, 0xF0F0F0);
  std::vector<RGBQUAD> grey;
  for (int i = 0; i < 16; ++i) {
    grey.push_back(Quad(uint8_t(i * 17), uint8_t(i * 17), uint8_t(i * 17)));
  }
  BITMAPINFO bmi = Format(3, 2, 4, grey);
  Dib image(3, 2, 4);
  HDC dc = CreateCompatibleDC(0);
  ASSERT_EQ(GetDIBits(dc, pic.bitmap(), 0, 2, image.bits(), &bmi, DIB_RGB_COLORS), 2);
  EXPECT_EQ(image.Pixels(), (std::vector<uint32_t>{15, 2, 8, 14, 0, 0}));
  EXPECT_EQ(Rgb(bmi.bmiColors[15]), 0xFFFFFFu);
  // And back out of a palette into 24 bits.
  BITMAPINFO rgb = Format(3, 2, 24);
  Dib out(3, 2, 24);
  HBITMAP mono = CreateBitmap(3, 2, 1, 1, nullptr);  // the grey ramp: black, white
  HDC mdc = CreateCompatibleDC(0);
  HGDIOBJ old = SelectObject(mdc, mono);
  Dib white(3, 2, 24);
  white.Fill(0xFFFFFF);
  BitBlt(mdc, 1, 0, 2, 1, white.dc(), 0, 0, SRCCOPY);
  SelectObject(mdc, old);
  ASSERT_EQ(GetDIBits(dc, mono, 0, 2, out.bits(), &rgb, DIB_RGB_COLORS), 2);
  EXPECT_EQ(out.Pixels(), (std::vector<uint32_t>{0, 0xFFFFFF, 0xFFFFFF, 0, 0, 0}));
  EXPECT_TRUE(DeleteObject(mono));
  DeleteDC(mdc);
  DeleteDC(dc);
}

TEST(GdiDIBits, LineRangesAndTopDownBuffers) {
  Dib pic(2, 4, 24);  // rows from the top: 1, 2, 3, 4
  for (int32_t y = 0; y < 4; ++y) {
    pic.Set(0, y, static_cast<uint32_t>(y + 1));
  }
  HDC dc = CreateCompatibleDC(0);
  const int32_t stride = DibStride(2, 24);
  auto first = [&](const std::vector<uint8_t>& buf, int row) {
    return buf[static_cast<size_t>(row * stride)];
  };
  // Lines 1 and 2 counted from the bottom, bottom-up buffer: 3 then 2.
  BITMAPINFO up = Format(2, 2, 24);
  std::vector<uint8_t> buf(static_cast<size_t>(stride * 2), 0xEE);
  ASSERT_EQ(GetDIBits(dc, pic.bitmap(), 1, 2, buf.data(), &up, DIB_RGB_COLORS), 2);
  EXPECT_EQ(first(buf, 0), 3);
  EXPECT_EQ(first(buf, 1), 2);
  // The same lines into a top-down buffer: 2 then 3.
  BITMAPINFO down = Format(2, -2, 24);
  ASSERT_EQ(GetDIBits(dc, pic.bitmap(), 1, 2, buf.data(), &down, DIB_RGB_COLORS), 2);
  EXPECT_EQ(first(buf, 0), 2);
  EXPECT_EQ(first(buf, 1), 3);
  // More lines than the buffer's header describes: only those fit (the vector is
  // exactly that size; the sanitizer build catches any write past it).
  ASSERT_EQ(GetDIBits(dc, pic.bitmap(), 0, 100, buf.data(), &up, DIB_RGB_COLORS), 2);
  EXPECT_EQ(GetDIBits(dc, pic.bitmap(), 4, 1, buf.data(), &up, DIB_RGB_COLORS), 0);
  // A narrower buffer takes the left columns only.
  BITMAPINFO narrow = Format(1, 4, 24);
  std::vector<uint8_t> slim(static_cast<size_t>(DibStride(1, 24) * 4));
  ASSERT_EQ(GetDIBits(dc, pic.bitmap(), 0, 4, slim.data(), &narrow, DIB_RGB_COLORS), 4);
  EXPECT_EQ(slim[0], 4);
  DeleteDC(dc);
}

TEST(GdiDIBits, HeaderQueriesAndRefusals) {
  Dib pic(5, 3, 8, {Quad(1, 2, 3), Quad(4, 5, 6)});
  HDC dc = CreateCompatibleDC(0);
  BITMAPINFO query{};
  query.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  ASSERT_NE(GetDIBits(dc, pic.bitmap(), 0, 3, nullptr, &query, DIB_RGB_COLORS), 0);
  EXPECT_EQ(query.bmiHeader.biWidth, 5);
  EXPECT_EQ(query.bmiHeader.biHeight, 3);
  EXPECT_EQ(query.bmiHeader.biBitCount, 8);
  EXPECT_EQ(query.bmiHeader.biSizeImage, 24u);
  EXPECT_EQ(Rgb(query.bmiColors[1]), 0x040506u);
  BITMAPINFO size = Format(5, 3, 24);
  ASSERT_EQ(GetDIBits(dc, pic.bitmap(), 0, 3, nullptr, &size, DIB_RGB_COLORS), 3);
  EXPECT_EQ(size.bmiHeader.biSizeImage, 48u);

  std::vector<uint8_t> buf(64);
  BITMAPINFO bad = Format(5, 3, 24);
  EXPECT_EQ(GetDIBits(dc, pic.bitmap(), 0, 3, buf.data(), &bad, 1u), 0);
  EXPECT_EQ(GetDIBits(dc, pic.bitmap(), 0, 3, buf.data(), nullptr, DIB_RGB_COLORS), 0);
  bad.bmiHeader.biCompression = 1;
  EXPECT_EQ(GetDIBits(dc, pic.bitmap(), 0, 3, buf.data(), &bad, DIB_RGB_COLORS), 0);
  BITMAPINFO odd = Format(5, 3, 12);
  EXPECT_EQ(GetDIBits(dc, pic.bitmap(), 0, 3, buf.data(), &odd, DIB_RGB_COLORS), 0);
  BITMAPINFO empty = Format(0, 3, 24);
  EXPECT_EQ(GetDIBits(dc, pic.bitmap(), 0, 3, buf.data(), &empty, DIB_RGB_COLORS), 0);
  DeleteDC(dc);
}

TEST(GdiDIBits, DeviceDependentSixteenAndThirtyTwoBits) {
  // CreateBitmap takes top-down rows padded to 2 bytes.
  const uint16_t words[2 * 2] = {0x001F, 0x03E0, 0x7C00, 0x7FFF};
  HBITMAP b16 = CreateBitmap(2, 2, 1, 16, words);
  HDC dc = CreateCompatibleDC(0);
  BITMAPINFO rgb = Format(2, -2, 24);
  std::vector<uint8_t> buf(static_cast<size_t>(DibStride(2, 24) * 2));
  ASSERT_EQ(GetDIBits(dc, b16, 0, 2, buf.data(), &rgb, DIB_RGB_COLORS), 2);
  EXPECT_EQ(buf[0], 255);  // blue of the first pixel, top row first
  EXPECT_EQ(buf[4], 255);  // green of the second
  EXPECT_EQ(buf[8 + 2], 255);  // red of the bottom-left
  BITMAPINFO same = Format(2, -2, 16);
  std::vector<uint16_t> back(4);
  ASSERT_EQ(GetDIBits(dc, b16, 0, 2, back.data(), &same, DIB_RGB_COLORS), 2);
  EXPECT_EQ(back, std::vector<uint16_t>(words, words + 4));

  const uint8_t pixels[8] = {1, 2, 3, 0, 4, 5, 6, 0};
  HBITMAP b32 = CreateBitmap(1, 2, 1, 32, pixels);
  BITMAPINFO thirtyTwo = Format(1, 2, 32);
  std::vector<uint8_t> got(8);
  ASSERT_EQ(GetDIBits(dc, b32, 0, 2, got.data(), &thirtyTwo, DIB_RGB_COLORS), 2);
  EXPECT_EQ(got, (std::vector<uint8_t>{4, 5, 6, 0, 1, 2, 3, 0}));  // bottom-up
  DeleteObject(b16);
  DeleteObject(b32);
  DeleteDC(dc);
}

}  // namespace
}  // namespace okuva::gdi
