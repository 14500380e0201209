// StretchBlt: HALFTONE area averages, nearest-pixel modes, mirroring and clipping.
#include <gtest/gtest.h>

#include <random>

#include "platform/gdi/raster_internal.h"
#include "tests/platform/gdi/gdi_helpers.h"

namespace okuva::gdi {
namespace {

using testing::Dib;
using testing::Quad;

uint32_t Grey(uint32_t v) { return v * 0x010101u; }

TEST(GdiStretchHalftone, AveragesTheCoveredSourcePixels) {
  // 4 x 1 -> 2 x 1: pairs; .5 rounds up.
  Dib src(4, 1, 24), dest(2, 1, 24);
  const uint32_t values[4] = {10, 21, 200, 100};
  for (int32_t x = 0; x < 4; ++x) {
    src.Set(x, 0, Grey(values[x]));
  }
  ASSERT_EQ(SetStretchBltMode(dest.dc(), HALFTONE), BLACKONWHITE);
  ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 2, 1, src.dc(), 0, 0, 4, 1, SRCCOPY));
  EXPECT_EQ(dest.Get(0, 0), Grey(16));
  EXPECT_EQ(dest.Get(1, 0), Grey(150));

  // 3 x 1 -> 2 x 1: fractional coverage, (2a + b) / 3 and (b + 2c) / 3.
  Dib three(3, 1, 24);
  three.Set(0, 0, Grey(0));
  three.Set(1, 0, Grey(90));
  three.Set(2, 0, Grey(180));
  ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 2, 1, three.dc(), 0, 0, 3, 1, SRCCOPY));
  EXPECT_EQ(dest.Get(0, 0), Grey(30));
  EXPECT_EQ(dest.Get(1, 0), Grey(150));

  // 4 x 4 -> 2 x 2: block averages in both directions, channels apart.
  Dib square(4, 4, 24), half(2, 2, 24);
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      square.Set(x, y, static_cast<uint32_t>((x * 16 + y * 4) << 16 | (y * 40) << 8 | 255));
    }
  }
  SetStretchBltMode(half.dc(), HALFTONE);
  ASSERT_TRUE(StretchBlt(half.dc(), 0, 0, 2, 2, square.dc(), 0, 0, 4, 4, SRCCOPY));
  for (int32_t by = 0; by < 2; ++by) {
    for (int32_t bx = 0; bx < 2; ++bx) {
      // red = mean of x*16 + y*4 over the block, green = mean of y*40
      const uint32_t red = static_cast<uint32_t>((2 * bx + 0.5) * 16 + (2 * by + 0.5) * 4 + 0.5);
      const uint32_t green = static_cast<uint32_t>((2 * by + 0.5) * 40 + 0.5);
      EXPECT_EQ(half.Get(bx, by), red << 16 | green << 8 | 255u) << bx << "," << by;
    }
  }
}

TEST(GdiStretchHalftone, EnlargingBlendsOnlyWhereAPixelStraddlesTwoSources) {
  // 2 -> 3: the middle destination pixel covers half of each source pixel.
  Dib src(2, 1, 24), dest(3, 1, 24);
  src.Set(0, 0, Grey(0));
  src.Set(1, 0, Grey(100));
  SetStretchBltMode(dest.dc(), HALFTONE);
  ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 3, 1, src.dc(), 0, 0, 2, 1, SRCCOPY));
  EXPECT_EQ(dest.Get(0, 0), Grey(0));
  EXPECT_EQ(dest.Get(1, 0), Grey(50));
  EXPECT_EQ(dest.Get(2, 0), Grey(100));
}

TEST(GdiStretchHalftone, PaletteSourceAndDestination) {
  // A 1-bit checker averaged into an 8-bit grey ramp gives mid grey.
  Dib mono(4, 4, 1, {Quad(0, 0, 0), Quad(255, 255, 255)});
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      mono.Set(x, y, (x + y) % 2);
    }
  }
  std::vector<RGBQUAD> ramp;
  for (int i = 0; i < 256; ++i) {
    ramp.push_back(Quad(uint8_t(i), uint8_t(i), uint8_t(i)));
  }
  Dib grey(2, 2, 8, ramp);
  SetStretchBltMode(grey.dc(), HALFTONE);
  ASSERT_TRUE(StretchBlt(grey.dc(), 0, 0, 2, 2, mono.dc(), 0, 0, 4, 4, SRCCOPY));
  EXPECT_EQ(grey.Pixels(), (std::vector<uint32_t>{128, 128, 128, 128}));
}

TEST(GdiStretchNearest, ReplicatesAndDropsByCentreSampling) {
  for (int mode : {COLORONCOLOR, BLACKONWHITE, WHITEONBLACK}) {
    SCOPED_TRACE(mode);
    Dib src(2, 2, 24), big(4, 4, 24);
    src.Set(0, 0, 1);
    src.Set(1, 0, 2);
    src.Set(0, 1, 3);
    src.Set(1, 1, 4);
    SetStretchBltMode(big.dc(), mode);
    ASSERT_TRUE(StretchBlt(big.dc(), 0, 0, 4, 4, src.dc(), 0, 0, 2, 2, SRCCOPY));
    EXPECT_EQ(big.Pixels(),
              (std::vector<uint32_t>{1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
    Dib row(4, 1, 24), small(2, 1, 24);
    for (int32_t x = 0; x < 4; ++x) {
      row.Set(x, 0, static_cast<uint32_t>(10 + x));
    }
    SetStretchBltMode(small.dc(), mode);
    ASSERT_TRUE(StretchBlt(small.dc(), 0, 0, 2, 1, row.dc(), 0, 0, 4, 1, SRCCOPY));
    EXPECT_EQ(small.Pixels(), (std::vector<uint32_t>{11, 13}));
  }
}

TEST(GdiStretchNearest, SamePaletteKeepsIndices) {
  const std::vector<RGBQUAD> table = {Quad(1, 1, 1), Quad(7, 7, 7), Quad(7, 7, 7)};
  Dib src(2, 1, 8, table), dest(4, 1, 8, table);
  src.Set(0, 0, 2);
  src.Set(1, 0, 0);
  SetStretchBltMode(dest.dc(), COLORONCOLOR);
  ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 4, 1, src.dc(), 0, 0, 2, 1, SRCCOPY));
  EXPECT_EQ(dest.Pixels(), (std::vector<uint32_t>{2, 2, 0, 0}));
}

TEST(GdiStretch, NegativeSizesMirror) {
  Dib src(3, 2, 24);
  for (int32_t y = 0; y < 2; ++y) {
    for (int32_t x = 0; x < 3; ++x) {
      src.Set(x, y, static_cast<uint32_t>(10 * y + x));
    }
  }
  for (int mode : {HALFTONE, COLORONCOLOR}) {
    SCOPED_TRACE(mode);
    Dib dest(3, 2, 24);
    SetStretchBltMode(dest.dc(), mode);
    ASSERT_TRUE(StretchBlt(dest.dc(), 3, 0, -3, 2, src.dc(), 0, 0, 3, 2, SRCCOPY));
    EXPECT_EQ(dest.Pixels(), (std::vector<uint32_t>{2, 1, 0, 12, 11, 10}));
    ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 3, 2, src.dc(), 0, 2, 3, -2, SRCCOPY));
    EXPECT_EQ(dest.Pixels(), (std::vector<uint32_t>{10, 11, 12, 0, 1, 2}));
    // Both negative: no mirror.
    ASSERT_TRUE(StretchBlt(dest.dc(), 3, 0, -3, 2, src.dc(), 3, 0, -3, 2, SRCCOPY));
    EXPECT_EQ(dest.Pixels(), src.Pixels());
    // Mirrored and scaled: 3 x 2 -> 6 x 2 flipped left to right.
    Dib wide(6, 2, 24);
    SetStretchBltMode(wide.dc(), mode);
    ASSERT_TRUE(StretchBlt(wide.dc(), 6, 0, -6, 2, src.dc(), 0, 0, 3, 2, SRCCOPY));
    EXPECT_EQ(wide.Get(0, 0), 2u);
    EXPECT_EQ(wide.Get(1, 0), 2u);
    EXPECT_EQ(wide.Get(5, 1), 10u);
  }
}

TEST(GdiStretch, ClipsToBothSurfaces) {
  Dib src(4, 4, 24);
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      src.Set(x, y, static_cast<uint32_t>(1 + y * 4 + x));
    }
  }
  for (int mode : {HALFTONE, COLORONCOLOR}) {
    SCOPED_TRACE(mode);
    // Destination partly off the left/top: the visible part keeps its source pixels.
    Dib dest(4, 4, 24);
    dest.Fill(0xEEEEEE);
    SetStretchBltMode(dest.dc(), mode);
    ASSERT_TRUE(StretchBlt(dest.dc(), -4, -4, 8, 8, src.dc(), 0, 0, 4, 4, SRCCOPY));
    EXPECT_EQ(dest.Get(0, 0), src.Get(2, 2));
    EXPECT_EQ(dest.Get(3, 3), src.Get(3, 3));
    // Source rectangle running off the source: pixels with nothing under them stay.
    dest.Fill(0xEEEEEE);
    ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 4, 2, src.dc(), 2, 0, 4, 2, SRCCOPY));
    EXPECT_EQ(dest.Get(0, 0), src.Get(2, 0));
    EXPECT_EQ(dest.Get(1, 1), src.Get(3, 1));
    EXPECT_EQ(dest.Get(2, 0), 0xEEEEEEu);
    EXPECT_EQ(dest.Get(0, 2), 0xEEEEEEu);
    // Entirely outside: nothing changes.
    ASSERT_TRUE(StretchBlt(dest.dc(), 10, 10, 8, 8, src.dc(), 0, 0, 2, 2, SRCCOPY));
    ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 8, 8, src.dc(), 100, 0, 2, 2, SRCCOPY));
    EXPECT_EQ(dest.Get(3, 3), 0xEEEEEEu);
  }
}

TEST(GdiStretch, EqualSizesCopyExactlyAndBadArgumentsFail) {
  Dib src(3, 3, 24), dest(3, 3, 24);
  for (int32_t i = 0; i < 9; ++i) {
    src.Set(i % 3, i / 3, static_cast<uint32_t>(i * 0x102030));
  }
  SetStretchBltMode(dest.dc(), HALFTONE);
  ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 3, 3, src.dc(), 0, 0, 3, 3, SRCCOPY));
  EXPECT_EQ(dest.Pixels(), src.Pixels());
  EXPECT_FALSE(StretchBlt(dest.dc(), 0, 0, 3, 3, src.dc(), 0, 0, 0, 3, SRCCOPY));
  EXPECT_FALSE(StretchBlt(dest.dc(), 0, 0, 3, 3, src.dc(), 0, 0, 3, 3, 0x12345678));
  EXPECT_TRUE(StretchBlt(dest.dc(), 0, 0, 0, 3, src.dc(), 0, 0, 3, 3, SRCCOPY));
  // Stretching a surface onto itself reads the pixels as they were.
  ASSERT_TRUE(StretchBlt(src.dc(), 0, 0, 3, 3, src.dc(), 0, 0, 1, 1, SRCCOPY));
  EXPECT_EQ(src.Get(2, 2), 0u);
  ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 3, 3, dest.dc(), 1, 1, 1, 1, SRCCOPY));
  EXPECT_EQ(dest.Pixels(), std::vector<uint32_t>(9, 4 * 0x102030u));
}

// Whole-number reductions take a fast path; it must give the general area average's
// bytes exactly, including the rounding of halves and the untouched pixels around it.
TEST(GdiStretchHalftone, WholeRatioFastPathMatchesGeneralAverage) {
  std::mt19937 rng(20261207);
  struct Case {
    int32_t dw, dh, nx, ny;
    int32_t sx, sy, dx, dy;
    bool topDown;
  };
  const Case cases[] = {
      {1, 1, 2, 2, 0, 0, 0, 0, false},  {7, 5, 2, 2, 1, 3, 2, 1, false},
      {13, 9, 2, 2, 0, 1, 0, 0, true},  {5, 11, 2, 1, 3, 0, 1, 2, false},
      {9, 4, 1, 2, 0, 0, 3, 0, true},   {6, 3, 3, 3, 2, 1, 0, 0, false},
      {3, 7, 4, 1, 0, 2, 1, 1, false},  {2, 2, 4, 4, 1, 1, 0, 0, true},
      {11, 6, 3, 2, 0, 0, 0, 0, false}, {17, 1, 2, 5, 1, 0, 4, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.dw << "x" << c.dh << " by " << c.nx << "x" << c.ny);
    const int32_t sw = c.dw * c.nx, sh = c.dh * c.ny;
    Dib src(sw + c.sx + 2, c.topDown ? -(sh + c.sy + 1) : sh + c.sy + 1, 24);
    ASSERT_NE(src.bitmap(), 0u);
    for (int32_t y = 0; y < sh + c.sy + 1; ++y) {
      for (int32_t x = 0; x < sw + c.sx + 2; ++x) {
        src.Set(x, y, rng() & 0xFFFFFFu);
      }
    }
    const int32_t W = c.dw + c.dx + 3, H = c.dh + c.dy + 2;
    Dib fast(W, H, 24), general(W, H, 24);
    for (int32_t y = 0; y < H; ++y) {
      for (int32_t x = 0; x < W; ++x) {
        const uint32_t v = rng() & 0xFFFFFFu;
        fast.Set(x, y, v);
        general.Set(x, y, v);
      }
    }
    ASSERT_NE(SetStretchBltMode(fast.dc(), HALFTONE), 0);
    ASSERT_NE(SetStretchBltMode(general.dc(), HALFTONE), 0);
    ASSERT_TRUE(
        StretchBlt(fast.dc(), c.dx, c.dy, c.dw, c.dh, src.dc(), c.sx, c.sy, sw, sh, SRCCOPY));
    ASSERT_TRUE(detail::StretchBltReference(general.dc(), c.dx, c.dy, c.dw, c.dh, src.dc(), c.sx,
                                            c.sy, sw, sh, SRCCOPY));
    EXPECT_EQ(fast.Pixels(), general.Pixels());
  }
}

// Uniform 2 x 2 blocks whose sums sit exactly on halves round upwards, as the general
// path does: 1,2,2,2 averages 1.75 -> 2; 0,0,1,1 averages 0.5 -> 1; 254,255,255,255 -> 255.
TEST(GdiStretchHalftone, WholeRatioRoundsHalvesUp) {
  Dib src(6, 2, 24), dest(3, 1, 24);
  const uint32_t values[2][6] = {{1, 2, 0, 0, 254, 255}, {2, 2, 1, 1, 255, 255}};
  for (int32_t y = 0; y < 2; ++y) {
    for (int32_t x = 0; x < 6; ++x) {
      src.Set(x, y, Grey(values[y][x]));
    }
  }
  ASSERT_NE(SetStretchBltMode(dest.dc(), HALFTONE), 0);
  ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 3, 1, src.dc(), 0, 0, 6, 2, SRCCOPY));
  EXPECT_EQ(dest.Pixels(), (std::vector<uint32_t>{Grey(2), Grey(1), Grey(255)}));
}

}  // namespace
}  // namespace okuva::gdi
