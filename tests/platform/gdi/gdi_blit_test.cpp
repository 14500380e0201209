// BitBlt: conversions between depths and colour tables, clipping, overlap, raster ops.
#include <gtest/gtest.h>

#include "tests/platform/gdi/gdi_helpers.h"

namespace okuva::gdi {
namespace {

using testing::Dib;
using testing::Quad;
using testing::Rgb;

std::vector<RGBQUAD> Ramp(int bits) {
  const int n = (1 << bits) - 1;
  std::vector<RGBQUAD> t;
  for (int i = 0; i <= n; ++i) {
    const auto v = static_cast<uint8_t>(i * 255 / n);
    t.push_back(Quad(v, v, v));
  }
  return t;
}

// Nearest entry by squared distance, lowest index on ties: the rule the layer promises.
uint32_t Nearest(const std::vector<RGBQUAD>& table, uint32_t rgb) {
  uint32_t best = 0;
  int bestD = 1 << 30;
  for (size_t i = 0; i < table.size(); ++i) {
    const int dr = int(table[i].rgbRed) - int(rgb >> 16 & 255);
    const int dg = int(table[i].rgbGreen) - int(rgb >> 8 & 255);
    const int db = int(table[i].rgbBlue) - int(rgb & 255);
    const int d = dr * dr + dg * dg + db * db;
    if (d < bestD) {
      bestD = d, best = static_cast<uint32_t>(i);
    }
  }
  return best;
}

TEST(GdiConvert, TrueColourIntoPalettesTakesTheNearestEntry) {
  // Pseudo-random colours plus ones that tie between two entries.
  std::vector<uint32_t> colours = {0x000000, 0xFFFFFF, 0x808080, 0x7F7F7F, 0x010203, 0xFF0000};
  uint32_t seed = 12345;
  while (colours.size() < 300) {
    seed = seed * 1103515245u + 12345u;
    colours.push_back(seed >> 8 & 0xFFFFFF);
  }
  const auto w = static_cast<int32_t>(colours.size());
  Dib src(w, 1, 24);
  for (int32_t x = 0; x < w; ++x) {
    src.Set(x, 0, colours[x]);
  }
  std::vector<RGBQUAD> custom = {Quad(0, 0, 0),     Quad(200, 0, 0),   Quad(0, 0, 200),
                                 Quad(100, 0, 100), Quad(100, 0, 100), Quad(255, 255, 255),
                                 Quad(90, 90, 90)};
  // 256 entries exercise the cell search; a palette with duplicates the tie rule.
  std::vector<RGBQUAD> many;
  for (int i = 0; i < 256; ++i) {
    many.push_back(Quad(static_cast<uint8_t>(i * 37), static_cast<uint8_t>(i * 91),
                        static_cast<uint8_t>(i * 13)));
  }
  const struct {
    int bpp;
    std::vector<RGBQUAD> table;
  } cases[] = {{1, Ramp(1)}, {4, Ramp(4)}, {8, Ramp(8)}, {4, custom}, {8, many}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bpp);
    Dib dest(w, 1, c.bpp, c.table);
    ASSERT_TRUE(BitBlt(dest.dc(), 0, 0, w, 1, src.dc(), 0, 0, SRCCOPY));
    for (int32_t x = 0; x < w; ++x) {
      ASSERT_EQ(dest.Get(x, 0), Nearest(c.table, colours[x])) << std::hex << colours[x];
    }
  }
}

TEST(GdiConvert, PalettesIntoTrueColourLookUpTheTable) {
  const std::vector<RGBQUAD> table = {Quad(255, 0, 0), Quad(0, 255, 0), Quad(0, 0, 255)};
  for (int bpp : {1, 4, 8}) {
    SCOPED_TRACE(bpp);
    Dib src(9, 2, bpp, bpp == 1 ? std::vector<RGBQUAD>(table.begin(), table.begin() + 2) : table);
    for (int32_t x = 0; x < 9; ++x) {
      src.Set(x, 1, static_cast<uint32_t>(x % (bpp == 1 ? 2 : 3)));
    }
    Dib dest(9, 2, 24);
    ASSERT_TRUE(BitBlt(dest.dc(), 0, 0, 9, 2, src.dc(), 0, 0, SRCCOPY));
    for (int32_t x = 0; x < 9; ++x) {
      EXPECT_EQ(dest.Get(x, 1), Rgb(table[x % (bpp == 1 ? 2 : 3)]));
      EXPECT_EQ(dest.Get(x, 0), Rgb(table[0]));
    }
  }
  // An index beyond a short table reads as black.
  Dib shortTable(1, 1, 8, {Quad(9, 9, 9)});
  shortTable.Set(0, 0, 200);
  Dib dest(1, 1, 24);
  dest.Fill(0xFFFFFF);
  BitBlt(dest.dc(), 0, 0, 1, 1, shortTable.dc(), 0, 0, SRCCOPY);
  EXPECT_EQ(dest.Get(0, 0), 0u);
}

TEST(GdiConvert, SameTableKeepsIndicesDifferentTableMatchesColours) {
  // Entries 1 and 3 hold the same colour: matching would pick 1, copying keeps 3.
  const std::vector<RGBQUAD> table = {Quad(0, 0, 0), Quad(50, 60, 70), Quad(255, 255, 255),
                                      Quad(50, 60, 70)};
  for (int bpp : {4, 8}) {
    Dib src(5, 1, bpp, table), same(5, 1, bpp, table);
    for (int32_t x = 0; x < 5; ++x) {
      src.Set(x, 0, x % 2 ? 3u : 2u);
    }
    ASSERT_TRUE(BitBlt(same.dc(), 0, 0, 5, 1, src.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(same.Pixels(), src.Pixels());
    Dib other(5, 1, bpp, {Quad(255, 255, 255), Quad(50, 60, 70)});
    ASSERT_TRUE(BitBlt(other.dc(), 0, 0, 5, 1, src.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(other.Pixels(), (std::vector<uint32_t>{0, 1, 0, 1, 0}));
  }
  // 1-bit copies at odd offsets keep the bits.
  Dib a(19, 1, 1), b(19, 1, 1);
  for (int32_t x = 0; x < 19; ++x) {
    a.Set(x, 0, (x * 7 % 3) == 0);
  }
  ASSERT_TRUE(BitBlt(b.dc(), 3, 0, 13, 1, a.dc(), 5, 0, SRCCOPY));
  for (int32_t x = 0; x < 19; ++x) {
    EXPECT_EQ(b.Get(x, 0), (x >= 3 && x < 16) ? a.Get(x + 2, 0) : 0u) << x;
  }
}

TEST(GdiConvert, SixteenAndThirtyTwoBitBitmaps) {
  // 5-5-5 words: red 31, green 0, blue 16; and white.
  const uint16_t words[4] = {static_cast<uint16_t>(31 << 10 | 16), 0x7FFF, 0, 0};
  HBITMAP b16 = CreateBitmap(2, 1, 1, 16, words);
  HDC dc16 = CreateCompatibleDC(0);
  HGDIOBJ old16 = SelectObject(dc16, b16);
  Dib rgb(2, 1, 24);
  ASSERT_TRUE(BitBlt(rgb.dc(), 0, 0, 2, 1, dc16, 0, 0, SRCCOPY));
  EXPECT_EQ(rgb.Get(0, 0), 0xFF0084u);  // 16 widens to 132
  EXPECT_EQ(rgb.Get(1, 0), 0xFFFFFFu);
  // Back into 16 bits and out again: the same colours.
  rgb.Set(1, 0, 0x08F0A8);
  ASSERT_TRUE(BitBlt(dc16, 0, 0, 2, 1, rgb.dc(), 0, 0, SRCCOPY));
  Dib again(2, 1, 24);
  ASSERT_TRUE(BitBlt(again.dc(), 0, 0, 2, 1, dc16, 0, 0, SRCCOPY));
  EXPECT_EQ(again.Get(0, 0), 0xFF0084u);
  EXPECT_EQ(again.Get(1, 0), 0x08F7ADu);  // each channel truncated to 5 bits, then widened

  HDC screen = GetDC(GetDesktopWindow());
  HBITMAP b32 = CreateCompatibleBitmap(screen, 3, 1);
  ReleaseDC(GetDesktopWindow(), screen);
  HDC dc32 = CreateCompatibleDC(0);
  HGDIOBJ old32 = SelectObject(dc32, b32);
  Dib in(3, 1, 24), out(3, 1, 24);
  in.Set(0, 0, 0x010203);
  in.Set(1, 0, 0xFEDCBA);
  in.Set(2, 0, 0x7F8081);
  ASSERT_TRUE(BitBlt(dc32, 0, 0, 3, 1, in.dc(), 0, 0, SRCCOPY));
  ASSERT_TRUE(BitBlt(out.dc(), 0, 0, 3, 1, dc32, 0, 0, SRCCOPY));
  EXPECT_EQ(out.Pixels(), in.Pixels());
  SelectObject(dc32, old32);
  SelectObject(dc16, old16);
  EXPECT_TRUE(DeleteObject(b32));
  EXPECT_TRUE(DeleteObject(b16));
  DeleteDC(dc32);
  DeleteDC(dc16);
}

TEST(GdiBitBlt, ClipsAtEveryEdgeOfBothSurfaces) {
  constexpr int32_t kSrcW = 5, kSrcH = 4, kDestW = 6, kDestH = 5;
  Dib src(kSrcW, kSrcH, 24);
  for (int32_t y = 0; y < kSrcH; ++y) {
    for (int32_t x = 0; x < kSrcW; ++x) {
      src.Set(x, y, static_cast<uint32_t>(0x100 * (y + 1) + x + 1));
    }
  }
  constexpr uint32_t kSentinel = 0xABCDEF;
  // Every placement from fully left/above to fully right/below, for both rectangles.
  for (int32_t x = -7; x <= 7; x += 2) {
    for (int32_t y = -6; y <= 6; y += 3) {
      for (int32_t sx = -6; sx <= 6; sx += 3) {
        for (int32_t sy = -5; sy <= 5; sy += 5) {
          const int32_t w = 4, h = 3;
          Dib dest(kDestW, kDestH, 24);
          dest.Fill(kSentinel);
          ASSERT_TRUE(BitBlt(dest.dc(), x, y, w, h, src.dc(), sx, sy, SRCCOPY));
          for (int32_t dy = 0; dy < kDestH; ++dy) {
            for (int32_t dx = 0; dx < kDestW; ++dx) {
              const int32_t px = dx - x + sx, py = dy - y + sy;
              const bool inRect = dx >= x && dx < x + w && dy >= y && dy < y + h;
              const bool inSrc = px >= 0 && px < kSrcW && py >= 0 && py < kSrcH;
              const uint32_t expected = inRect && inSrc ? src.Get(px, py) : kSentinel;
              ASSERT_EQ(dest.Get(dx, dy), expected) << "x=" << x << " y=" << y << " sx=" << sx
                                                    << " sy=" << sy << " at " << dx << "," << dy;
            }
          }
        }
      }
    }
  }
}

TEST(GdiBitBlt, OverlappingCopyWithinOneSurface) {
  for (int32_t shift : {1, -1}) {
    SCOPED_TRACE(shift);
    Dib d(6, 6, 8);
    for (int32_t y = 0; y < 6; ++y) {
      for (int32_t x = 0; x < 6; ++x) {
        d.Set(x, y, static_cast<uint32_t>(y * 6 + x));
      }
    }
    const std::vector<uint32_t> before = d.Pixels();
    const int32_t from = shift > 0 ? 0 : 1, to = from + shift;
    ASSERT_TRUE(BitBlt(d.dc(), to, to, 5, 5, d.dc(), from, from, SRCCOPY));
    for (int32_t y = 0; y < 5; ++y) {
      for (int32_t x = 0; x < 5; ++x) {
        ASSERT_EQ(d.Get(to + x, to + y), before[static_cast<size_t>((from + y) * 6 + from + x)]);
      }
    }
  }
}

TEST(GdiBitBlt, RasterOperations) {
  const uint32_t s = 0x0F33C3, d = 0x5A55F0;
  const struct {
    uint32_t rop;
    uint32_t expected;
  } cases[] = {
      {SRCCOPY, s},
      {SRCPAINT, s | d},
      {SRCAND, s & d},
      {SRCINVERT, s ^ d},
      {SRCERASE, s & ~d & 0xFFFFFF},
      {NOTSRCCOPY, ~s & 0xFFFFFF},
      {NOTSRCERASE, ~(s | d) & 0xFFFFFF},
      {DSTINVERT, ~d & 0xFFFFFF},
      {BLACKNESS, 0},
      {WHITENESS, 0xFFFFFF},
  };
  Dib src(2, 2, 24);
  src.Fill(s);
  for (const auto& c : cases) {
    Dib dest(2, 2, 24);
    dest.Fill(d);
    ASSERT_TRUE(BitBlt(dest.dc(), 0, 0, 2, 2, src.dc(), 0, 0, c.rop)) << std::hex << c.rop;
    EXPECT_EQ(dest.Get(1, 1), c.expected) << std::hex << c.rop;
  }
  // Operations without a source need none.
  Dib dest(2, 2, 24);
  EXPECT_TRUE(BitBlt(dest.dc(), 0, 0, 2, 2, 0, 0, 0, WHITENESS));
  EXPECT_EQ(dest.Get(0, 0), 0xFFFFFFu);
  // Into a palette the result is matched: inverting black gives white's index.
  Dib mono(8, 1, 1, {Quad(0, 0, 0), Quad(255, 255, 255)});
  mono.Set(2, 0, 1);
  ASSERT_TRUE(BitBlt(mono.dc(), 0, 0, 8, 1, 0, 0, 0, DSTINVERT));
  EXPECT_EQ(mono.Pixels(), (std::vector<uint32_t>{1, 1, 0, 1, 1, 1, 1, 1}));
  // Unsupported operations fail and change nothing; empty rectangles succeed.
  EXPECT_FALSE(BitBlt(dest.dc(), 0, 0, 2, 2, src.dc(), 0, 0, 0x00F00021));
  EXPECT_EQ(dest.Get(0, 0), 0xFFFFFFu);
  EXPECT_TRUE(BitBlt(dest.dc(), 0, 0, 0, 2, src.dc(), 0, 0, SRCCOPY));
  EXPECT_TRUE(BitBlt(dest.dc(), 0, 0, -2, 2, src.dc(), 0, 0, SRCCOPY));
  EXPECT_EQ(dest.Get(0, 0), 0xFFFFFFu);
}

}  // namespace
}  // namespace okuva::gdi
