// cImage: header and row sizes, surfaces, colour tables and the copies in and out.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "image/image.h"
#include "platform/gdi/gdi.h"
#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "tests/image/image_test_util.h"

namespace okuva {
namespace {

using test::Rgb;

// Row size of a header that Create wrote; width 0 makes no surface but keeps the header.
int32_t RowBytes(int32_t width, int16_t bits) {
  cImage image;
  image.Create(width, 1, bits);
  EXPECT_EQ(image.Width(), width);
  EXPECT_EQ(image.BitCount(), bits);
  return image.BytesPerScanLine();
}

TEST(ImageHeader, BytesPerScanLineFollowsDepthAndWidth) {
  EXPECT_EQ(RowBytes(1, 1), 4);
  EXPECT_EQ(RowBytes(32, 1), 4);
  EXPECT_EQ(RowBytes(33, 1), 8);
  EXPECT_EQ(RowBytes(0, 1), 4);
  EXPECT_EQ(RowBytes(8, 4), 4);
  EXPECT_EQ(RowBytes(9, 4), 8);
  EXPECT_EQ(RowBytes(0, 4), 4);
  EXPECT_EQ(RowBytes(4, 8), 4);
  EXPECT_EQ(RowBytes(5, 8), 8);
  EXPECT_EQ(RowBytes(0, 8), 0);
  EXPECT_EQ(RowBytes(1, 24), 4);
  EXPECT_EQ(RowBytes(4, 24), 12);
  EXPECT_EQ(RowBytes(5, 24), 16);
  EXPECT_EQ(RowBytes(0, 24), 0);
  EXPECT_EQ(RowBytes(641, 24), 1924);
}

TEST(ImageHeader, NewObjectIsAllZero) {
  const cImage image;
  EXPECT_EQ(image.Width(), 0);
  EXPECT_EQ(image.Height(), 0);
  EXPECT_EQ(image.BitCount(), 0);
  EXPECT_EQ(image.hdc(), 0u);
  EXPECT_EQ(image.DIBitsPtr(), nullptr);
  EXPECT_EQ(image.BytesPerScanLine(), 0);
}

TEST(ImageHeader, OverflowRaisesSixAndKeepsTheNewDcUntilTheNextCreate) {
  cImage image;
  ASSERT_TRUE(image.Create(4, 4, 24));
  const gdi::HDC first = image.hdc();
  try {
    image.Create(std::numeric_limits<int32_t>::max(), 1, 24);  // 3 x W overflows
    FAIL() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 6);
  }
  // The old surface is gone; the call's own memory DC stays, with no surface in it.
  EXPECT_FALSE(gdi::DeleteDC(first));
  const gdi::HDC kept = image.hdc();
  EXPECT_NE(kept, 0u);
  EXPECT_EQ(image.DIBitsPtr(), nullptr);

  // The row fits, the image size (height x row) does not; the next Create frees it.
  try {
    image.Create(100000, 100000, 8);
    FAIL() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 6);
  }
  EXPECT_FALSE(gdi::DeleteDC(kept)) << "the DC of the earlier Create leaked";
  EXPECT_NE(image.hdc(), 0u);
  // The object is still usable afterwards.
  EXPECT_TRUE(image.Create(3, 3, 8));
  EXPECT_NE(image.DIBitsPtr(), nullptr);
}

TEST(ImageCreate, PaletteDepthsGetTheGreyRamp) {
  cImage image;
  ASSERT_TRUE(image.Create(10, 10, 4));
  EXPECT_NE(image.hdc(), 0u);
  EXPECT_NE(image.DIBitsPtr(), nullptr);
  EXPECT_EQ(image.Width(), 10);
  EXPECT_EQ(image.Height(), 10);
  EXPECT_EQ(image.BitCount(), 4);
  EXPECT_EQ(image.BytesPerScanLine(), 8);
  auto table = test::TableOf(image.hdc());
  ASSERT_EQ(table.size(), 16u);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(test::Colours(table)[i], (Rgb{uint8_t(17 * i), uint8_t(17 * i), uint8_t(17 * i)}))
        << "entry " << i;
  }

  ASSERT_TRUE(image.Create(3, 2, 1));
  table = test::TableOf(image.hdc());
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(test::Colours(table)[0], (Rgb{0, 0, 0}));
  EXPECT_EQ(test::Colours(table)[1], (Rgb{255, 255, 255}));

  ASSERT_TRUE(image.Create(3, 2, 8));
  table = test::TableOf(image.hdc());
  ASSERT_EQ(table.size(), 256u);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(table[i].rgbGreen, i) << "entry " << i;
  }

  // A 24-bit surface has no colour table.
  ASSERT_TRUE(image.Create(3, 2, 24));
  EXPECT_TRUE(test::TableOf(image.hdc()).empty());
}

TEST(ImageCreate, RefusedDepthEmptiesButKeepsTheHeader) {
  cImage image;
  ASSERT_TRUE(image.Create(8, 8, 8));
  for (int16_t bits : {int16_t{0}, int16_t{2}, int16_t{16}, int16_t{32}, int16_t{-8}}) {
    EXPECT_FALSE(image.Create(8, 8, bits)) << bits;
    EXPECT_EQ(image.hdc(), 0u);
    EXPECT_EQ(image.DIBitsPtr(), nullptr);
    EXPECT_EQ(image.Width(), 8);
    EXPECT_EQ(image.BitCount(), 8);
    EXPECT_EQ(image.BytesPerScanLine(), 8);
  }
  // A refused size keeps the new header: it was written before the surface failed.
  EXPECT_FALSE(image.Create(0, 5, 24));
  EXPECT_EQ(image.hdc(), 0u);
  EXPECT_EQ(image.Height(), 5);
  EXPECT_EQ(image.BitCount(), 24);
}

TEST(ImageCreate, NegativeHeightIsTopDown) {
  cImage image;
  ASSERT_TRUE(image.Create(2, -2, 24));
  EXPECT_EQ(image.Height(), -2);
  // The first row in memory is the top row: paint the top-left pixel through a blit
  // and find it at the start of the bits.
  cImage red;
  ASSERT_TRUE(red.Create(1, 1, 24));
  test::SetRgb(red, 0, 0, {255, 0, 0});
  red.PaintHDC(image.hdc());
  const auto* bits = static_cast<const uint8_t*>(image.DIBitsPtr());
  EXPECT_EQ(bits[2], 255);
  EXPECT_EQ(bits[0], 0);
}

TEST(ImagePaint, BlitsTheWholeImageWithTheGivenOperation) {
  cImage source;
  ASSERT_TRUE(source.Create(2, 2, 24));
  test::FillDistinct(source);
  cImage target;
  ASSERT_TRUE(target.Create(4, 3, 24));
  test::FillDistinct(target);
  const auto before = test::AllPixels(target);

  source.PaintHDC(target.hdc());
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) {
      const Rgb want = x < 2 && y < 2 ? test::Distinct(x, y) : before[y * 4 + x];
      EXPECT_EQ(test::PixelAt(target, x, y), want) << x << "," << y;
    }
  }

  // Offset and a raster operation other than a copy: white XOR source.
  ASSERT_TRUE(target.Create(4, 3, 24));
  cImage white;
  ASSERT_TRUE(white.Create(4, 3, 24));
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) {
      test::SetRgb(white, x, y, {255, 255, 255});
    }
  }
  white.PaintHDC(target.hdc());
  source.PaintHDC(target.hdc(), 2, 1, gdi::SRCINVERT);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) {
      Rgb want{255, 255, 255};
      if (x >= 2 && y >= 1) {
        const Rgb s = test::Distinct(x - 2, y - 1);
        want = {uint8_t(~s.r), uint8_t(~s.g), uint8_t(~s.b)};
      }
      EXPECT_EQ(test::PixelAt(target, x, y), want) << x << "," << y;
    }
  }
}

// ---------------------------------------------------------------------------------
// Copies from device contexts.

TEST(ImageCopyHDC, DepthFollowsTheSourceTable) {
  struct Case {
    int16_t sourceBits;
    int entries;
    int16_t expectBits;
  };
  for (const Case c : {Case{1, 2, 1}, Case{4, 16, 4}, Case{8, 256, 8}}) {
    cImage source;
    ASSERT_TRUE(source.Create(5, 3, c.sourceBits));
    const auto colours = test::ColourTable(c.entries);
    test::FillIndexPattern(source, colours);

    cImage copy;
    ASSERT_TRUE(copy.CopyHDC(source.hdc(), 5, 3));
    EXPECT_EQ(copy.BitCount(), c.expectBits) << c.sourceBits;
    EXPECT_EQ(test::Colours(test::TableOf(copy.hdc())), colours);
    EXPECT_EQ(test::AllPixels(copy), test::AllPixels(source));
  }
}

TEST(ImageCopyHDC, TablelessSourceGivesTwentyFourBits) {
  cImage source;
  ASSERT_TRUE(source.Create(4, 3, 24));
  test::FillDistinct(source);
  cImage copy;
  ASSERT_TRUE(copy.CopyHDC(source.hdc(), 4, 3));
  EXPECT_EQ(copy.BitCount(), 24);
  EXPECT_EQ(test::AllPixels(copy), test::AllPixels(source));

  // A window of the source from an offset.
  ASSERT_TRUE(copy.CopyHDC(source.hdc(), 2, 2, 0, 1, 1));
  EXPECT_EQ(copy.Width(), 2);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 2; ++x) {
      EXPECT_EQ(test::PixelAt(copy, x, y), test::Distinct(x + 1, y + 1));
    }
  }
}

TEST(ImageCopyHDC, ExplicitDepthKeepsTheGreyRamp) {
  cImage source;
  ASSERT_TRUE(source.Create(2, 1, 1));
  test::FillIndexPattern(source, {{0, 0, 0}, {255, 255, 255}});
  cImage copy;
  ASSERT_TRUE(copy.CopyHDC(source.hdc(), 2, 1, 8));
  EXPECT_EQ(copy.BitCount(), 8);
  const auto table = test::TableOf(copy.hdc());
  ASSERT_EQ(table.size(), 256u);
  EXPECT_EQ(table[200].rgbRed, 200);
  EXPECT_EQ(test::IndexAt(copy, 0, 0), 0u);
  EXPECT_EQ(test::IndexAt(copy, 1, 0), 255u);

  // A refused depth: false and nothing made.
  EXPECT_FALSE(copy.CopyHDC(source.hdc(), 2, 1, 16));
  EXPECT_EQ(copy.hdc(), 0u);
}

TEST(ImageCopyPalletHDC, CopiesATableOrReportsThatThereIsNone) {
  cImage image;
  ASSERT_TRUE(image.Create(2, 2, 4));
  const auto ramp = test::TableOf(image.hdc());

  cImage noTable;
  ASSERT_TRUE(noTable.Create(2, 2, 24));
  EXPECT_FALSE(image.CopyPalletHDC(noTable.hdc()));
  EXPECT_EQ(test::Colours(test::TableOf(image.hdc())), test::Colours(ramp));

  // A larger source table: only as many entries as the image holds are read.
  cImage big;
  ASSERT_TRUE(big.Create(2, 2, 8));
  const auto colours = test::ColourTable(256);
  test::SetTable(big, colours);
  EXPECT_TRUE(image.CopyPalletHDC(big.hdc()));
  EXPECT_EQ(test::Colours(test::TableOf(image.hdc())),
            std::vector<Rgb>(colours.begin(), colours.begin() + 16));

  // A smaller table replaces the first entries only.
  cImage two;
  ASSERT_TRUE(two.Create(2, 2, 1));
  test::SetTable(two, {{1, 2, 3}, {4, 5, 6}});
  EXPECT_TRUE(image.CopyPalletHDC(two.hdc()));
  const auto now = test::Colours(test::TableOf(image.hdc()));
  EXPECT_EQ(now[0], (Rgb{1, 2, 3}));
  EXPECT_EQ(now[1], (Rgb{4, 5, 6}));
  EXPECT_EQ(now[2], colours[2]);

  // A 24-bit image has no table to take one: false, and no over-long read.
  EXPECT_FALSE(noTable.CopyPalletHDC(big.hdc()));
  // An empty image neither.
  cImage empty;
  EXPECT_FALSE(empty.CopyPalletHDC(big.hdc()));
}

// ---------------------------------------------------------------------------------
// Copies from pictures.

// A picture holding a DIB section of `bits` bits with the given table and pixels
// indexed by the pattern of FillIndexPattern.
StdPicture PalettePicture(int32_t w, int32_t h, int16_t bits, const std::vector<Rgb>& colours) {
  cImage pattern;
  EXPECT_TRUE(pattern.Create(w, h, bits));
  test::FillIndexPattern(pattern, colours);
  gdi::BITMAPINFO bmi{};
  bmi.bmiHeader = {40, w, h, 1, static_cast<uint16_t>(bits), gdi::BI_RGB, 0, 0, 0, 0, 0};
  for (size_t i = 0; i < colours.size(); ++i) {
    bmi.bmiColors[i] = {colours[i].b, colours[i].g, colours[i].r, 0};
  }
  void* pixels = nullptr;
  const gdi::HBITMAP dib = gdi::CreateDIBSection(0, &bmi, gdi::DIB_RGB_COLORS, &pixels, nullptr, 0);
  EXPECT_NE(dib, 0u);
  // Put the pattern's bytes in through a blit into a DC holding the picture's bitmap.
  const gdi::HDC dc = gdi::CreateCompatibleDC(0);
  const gdi::HGDIOBJ old = gdi::SelectObject(dc, dib);
  gdi::BitBlt(dc, 0, 0, w, h, pattern.hdc(), 0, 0, gdi::SRCCOPY);
  gdi::SelectObject(dc, old);
  gdi::DeleteDC(dc);
  return StdPicture(dib);
}

TEST(ImageCopyStdPicture, PaletteSourceAtItsOwnDepthKeepsItsColours) {
  for (int16_t bits : {int16_t{1}, int16_t{4}, int16_t{8}}) {
    const auto colours = test::ColourTable(1 << bits);
    StdPicture picture = PalettePicture(7, 5, bits, colours);
    cImage reference;
    ASSERT_TRUE(reference.Create(7, 5, bits));
    test::FillIndexPattern(reference, colours);

    cImage image;
    int16_t depth = 0;
    ASSERT_TRUE(image.CopyStdPicture(picture, depth));
    EXPECT_EQ(depth, bits);
    EXPECT_EQ(image.BitCount(), bits);
    EXPECT_EQ(image.Width(), 7);
    EXPECT_EQ(image.Height(), 5);
    EXPECT_EQ(test::Colours(test::TableOf(image.hdc())), colours);
    EXPECT_EQ(test::AllPixels(image), test::AllPixels(reference)) << bits;
  }
}

TEST(ImageCopyStdPicture, ExplicitSameDepthStillShowsThePicturesColours) {
  const auto colours = test::ColourTable(16);
  StdPicture picture = PalettePicture(6, 3, 4, colours);
  cImage reference;
  ASSERT_TRUE(reference.Create(6, 3, 4));
  test::FillIndexPattern(reference, colours);

  cImage image;
  int16_t depth = 4;
  ASSERT_TRUE(image.CopyStdPicture(picture, depth));
  EXPECT_EQ(depth, 4);
  EXPECT_EQ(test::AllPixels(image), test::AllPixels(reference));
}

TEST(ImageCopyStdPicture, ExplicitOtherDepthMapsOntoTheGreyRamp) {
  StdPicture picture = PalettePicture(4, 2, 1, {{0, 0, 0}, {255, 255, 255}});
  cImage image;
  ASSERT_TRUE(image.CopyStdPicture(picture, 8));
  EXPECT_EQ(image.BitCount(), 8);
  const auto table = test::TableOf(image.hdc());
  ASSERT_EQ(table.size(), 256u);
  EXPECT_EQ(table[77].rgbBlue, 77);
  // Index pattern (x + 2y) mod 2: row 0 alternates black, white.
  EXPECT_EQ(test::IndexAt(image, 0, 0), 0u);
  EXPECT_EQ(test::IndexAt(image, 1, 0), 255u);
}

TEST(ImageCopyStdPicture, SixteenBitPictureBecomesTwentyFourBits) {
  // 5-5-5 pixels, top-down rows: red, green / blue, white.
  const uint16_t pixels[4] = {0x7C00, 0x03E0, 0x001F, 0x7FFF};
  StdPicture picture(gdi::CreateBitmap(2, 2, 1, 16, pixels));
  ASSERT_TRUE(picture);
  cImage image;
  int16_t depth = 0;
  ASSERT_TRUE(image.CopyStdPicture(picture, depth));
  EXPECT_EQ(depth, 24);
  EXPECT_EQ(image.BitCount(), 24);
  EXPECT_EQ(image.Width(), 2);
  EXPECT_EQ(image.Height(), 2);
  const Rgb red = test::PixelAt(image, 0, 0);
  const Rgb blue = test::PixelAt(image, 0, 1);
  const Rgb white = test::PixelAt(image, 1, 1);
  EXPECT_GE(red.r, 248);
  EXPECT_EQ(red.g, 0);
  EXPECT_GE(blue.b, 248);
  EXPECT_EQ(blue.r, 0);
  EXPECT_GE(white.g, 248);
}

TEST(ImageCopyStdPicture, TwentyFourBitPictureIsCopiedExactly) {
  cImage pattern;
  ASSERT_TRUE(pattern.Create(5, 4, 24));
  test::FillDistinct(pattern);
  gdi::BITMAPINFO bmi{};
  bmi.bmiHeader = {40, 5, 4, 1, 24, gdi::BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  StdPicture picture(gdi::CreateDIBSection(0, &bmi, gdi::DIB_RGB_COLORS, &bits, nullptr, 0));
  ASSERT_TRUE(picture);
  const gdi::HDC dc = gdi::CreateCompatibleDC(0);
  const gdi::HGDIOBJ old = gdi::SelectObject(dc, picture.Handle());
  gdi::BitBlt(dc, 0, 0, 5, 4, pattern.hdc(), 0, 0, gdi::SRCCOPY);
  gdi::SelectObject(dc, old);
  gdi::DeleteDC(dc);

  cImage image;
  ASSERT_TRUE(image.CopyStdPicture(picture));
  EXPECT_EQ(image.BitCount(), 24);
  EXPECT_EQ(test::AllPixels(image), test::AllPixels(pattern));
}

TEST(ImageCopyStdPicture, RefusesWhatItCannotHold) {
  cImage image;
  // No bitmap: a zero description, depth 0, nothing made.
  StdPicture none;
  int16_t depth = 0;
  EXPECT_FALSE(image.CopyStdPicture(none, depth));
  EXPECT_EQ(depth, 0);
  EXPECT_EQ(image.hdc(), 0u);

  // A 32-bit picture at its own depth is refused; asked for 24 bits it is taken.
  StdPicture wide(gdi::CreateBitmap(3, 2, 1, 32, nullptr));
  ASSERT_TRUE(wide);
  depth = 0;
  EXPECT_FALSE(image.CopyStdPicture(wide, depth));
  EXPECT_EQ(depth, 32);
  EXPECT_TRUE(image.CopyStdPicture(wide, 24));
  EXPECT_EQ(image.Width(), 3);

  // A bitmap the clipboard has taken cannot be selected: not reported as copied.
  const gdi::HBITMAP given = gdi::CreateBitmap(3, 2, 1, 24, nullptr);
  ASSERT_TRUE(gdi::OpenClipboard(0));
  gdi::EmptyClipboard();
  ASSERT_NE(gdi::SetClipboardData(gdi::CF_BITMAP, given), 0u);
  gdi::CloseClipboard();
  StdPicture taken(given);
  EXPECT_FALSE(image.CopyStdPicture(taken, 24));
  taken.Release();  // the clipboard owns it
  ASSERT_TRUE(gdi::OpenClipboard(0));
  gdi::EmptyClipboard();
  gdi::CloseClipboard();
}

}  // namespace
}  // namespace okuva
