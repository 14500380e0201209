// Random rectangles, sizes and directions against brute-force references written from
// the definitions: nearest-pixel and area-average stretching, and PlgBlt's fast paths
// against its plain inverse mapping. Fixed seeds keep failures reproducible.
#include <gtest/gtest.h>

#include <random>

#include "platform/gdi/raster_internal.h"
#include "tests/platform/gdi/gdi_helpers.h"

namespace okuva::gdi {
namespace {

using testing::Dib;

constexpr uint32_t kUntouched = 0xA5A5A5;

struct Span {
  int64_t start, size;  // normalised: size > 0
  bool backwards;
};
Span Normalise(int32_t pos, int32_t size) {
  return size < 0 ? Span{int64_t{pos} + size, -int64_t{size}, true} : Span{pos, size, false};
}

// Source pixel coverage of destination pixel k of a span: [k*S, (k+1)*S) against
// [j*D, (j+1)*D), in units of 1/D source pixels.
int64_t Overlap(int64_t k, int64_t j, int64_t S, int64_t D) {
  return std::max<int64_t>(0, std::min((k + 1) * S, (j + 1) * D) - std::max(k * S, j * D));
}

TEST(GdiRandom, StretchBltMatchesTheDefinitions) {
  std::mt19937 rng(20240611);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int round = 0; round < 1500; ++round) {
    const int32_t sw = pick(1, 7), sh = pick(1, 6), dw = pick(1, 7), dh = pick(1, 6);
    Dib src(sw, sh, 24);
    for (int32_t y = 0; y < sh; ++y) {
      for (int32_t x = 0; x < sw; ++x) {
        src.Set(x, y, static_cast<uint32_t>(rng()) & 0xFFFFFF);
      }
    }
    int32_t w = pick(-9, 9), h = pick(-9, 9), rw = pick(-9, 9), rh = pick(-9, 9);
    if (w == 0) {
      w = 3;
    }
    if (h == 0) {
      h = -2;
    }
    if (rw == 0) {
      rw = 4;
    }
    if (rh == 0) {
      rh = 1;
    }
    const int32_t x = pick(-8, 8), y = pick(-8, 8), sx = pick(-8, 8), sy = pick(-8, 8);
    const bool average = round % 2 == 0;
    Dib dest(dw, dh, 24);
    dest.Fill(kUntouched);
    SetStretchBltMode(dest.dc(), average ? HALFTONE : COLORONCOLOR);
    ASSERT_TRUE(StretchBlt(dest.dc(), x, y, w, h, src.dc(), sx, sy, rw, rh, SRCCOPY));

    const Span X = Normalise(x, w), Y = Normalise(y, h), SX = Normalise(sx, rw),
               SY = Normalise(sy, rh);
    const bool flipX = X.backwards != SX.backwards, flipY = Y.backwards != SY.backwards;
    const bool same = X.size == SX.size && Y.size == SY.size;
    for (int32_t py = 0; py < dh; ++py) {
      for (int32_t px = 0; px < dw; ++px) {
        uint32_t expected = kUntouched;
        if (px >= X.start && px < X.start + X.size && py >= Y.start && py < Y.start + Y.size) {
          const int64_t kx = flipX ? X.start + X.size - 1 - px : px - X.start;
          const int64_t ky = flipY ? Y.start + Y.size - 1 - py : py - Y.start;
          if (!average || same) {
            const int64_t jx = SX.start + (2 * kx + 1) * SX.size / (2 * X.size);
            const int64_t jy = SY.start + (2 * ky + 1) * SY.size / (2 * Y.size);
            if (jx >= 0 && jx < sw && jy >= 0 && jy < sh) {
              expected = src.Get(int32_t(jx), int32_t(jy));
            }
          } else {
            int64_t sum[3] = {0, 0, 0}, area = 0;
            for (int32_t jy = 0; jy < sh; ++jy) {
              for (int32_t jx = 0; jx < sw; ++jx) {
                const int64_t a = Overlap(kx, jx - SX.start, SX.size, X.size) *
                                  Overlap(ky, jy - SY.start, SY.size, Y.size);
                const uint32_t c = src.Get(jx, jy);
                for (int k = 0; k < 3; ++k) {
                  sum[k] += a * ((c >> (8 * k)) & 0xFF);
                }
                area += a;
              }
            }
            if (area > 0) {
              expected = 0;
              for (int k = 0; k < 3; ++k) {
                expected |= static_cast<uint32_t>((2 * sum[k] + area) / (2 * area)) << (8 * k);
              }
            }
          }
        }
        ASSERT_EQ(dest.Get(px, py), expected)
            << "round " << round << (average ? " halftone" : " nearest") << " dest " << x << ","
            << y << " " << w << "x" << h << " src " << sx << "," << sy << " " << rw << "x" << rh
            << " at " << px << "," << py;
      }
    }
  }
}

TEST(GdiRandom, PlgBltFastPathsMatchTheInverseMapping) {
  std::mt19937 rng(777);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int round = 0; round < 1500; ++round) {
    const int32_t sw = pick(1, 6), sh = pick(1, 6);
    const int bpp = (round % 3 == 0) ? 8 : 24;
    std::vector<RGBQUAD> table;
    for (int i = 0; i < 256; ++i) {
      table.push_back(testing::Quad(uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)));
    }
    Dib src(sw, sh, bpp, bpp == 8 ? table : std::vector<RGBQUAD>{});
    for (int32_t y = 0; y < sh; ++y) {
      for (int32_t x = 0; x < sw; ++x) {
        src.Set(x, y, static_cast<uint32_t>(rng()) & (bpp == 8 ? 0xFF : 0xFFFFFF));
      }
    }
    const int32_t w = pick(1, 6), h = pick(1, 6), sx = pick(-3, 3), sy = pick(-3, 3);
    // Mostly the eight axis-aligned maps of a w x h rectangle, sometimes anything.
    POINT p[3];
    p[0] = {pick(-4, 10), pick(-4, 10)};
    if (round % 5 != 4) {
      const int ex = pick(0, 1) ? 1 : -1, ey = pick(0, 1) ? 1 : -1;
      if (pick(0, 1)) {
        p[1] = {p[0].x + ex * w, p[0].y};
        p[2] = {p[0].x, p[0].y + ey * h};
      } else {
        p[1] = {p[0].x, p[0].y + ey * w};
        p[2] = {p[0].x + ex * h, p[0].y};
      }
    } else {
      p[1] = {pick(-4, 10), pick(-4, 10)};
      p[2] = {pick(-4, 10), pick(-4, 10)};
    }
    Dib fast(7, 7, bpp, bpp == 8 ? table : std::vector<RGBQUAD>{});
    Dib ref(7, 7, bpp, bpp == 8 ? table : std::vector<RGBQUAD>{});
    fast.Fill(5);
    ref.Fill(5);
    const bool ok = PlgBlt(fast.dc(), p, src.dc(), sx, sy, w, h, 0, 0, 0);
    ASSERT_EQ(ok, detail::PlgBltReference(ref.dc(), p, src.dc(), sx, sy, w, h));
    ASSERT_EQ(fast.Pixels(), ref.Pixels())
        << "round " << round << " points " << p[0].x << "," << p[0].y << " " << p[1].x << ","
        << p[1].y << " " << p[2].x << "," << p[2].y << " src " << sx << "," << sy << " " << w << "x"
        << h;
  }
}

}  // namespace
}  // namespace okuva::gdi
