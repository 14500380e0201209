// PlgBlt: the mirrors and quarter turns of the image transforms, pixel for pixel, by
// the fast paths and by the plain inverse mapping; general parallelograms.
#include <gtest/gtest.h>

#include <functional>

#include "platform/gdi/raster_internal.h"
#include "tests/platform/gdi/gdi_helpers.h"

namespace okuva::gdi {
namespace {

using testing::Dib;
using testing::Quad;

struct Transform {
  const char* name;
  bool swapsSize;
  std::function<void(int32_t W, int32_t H, POINT p[3])> points;
  std::function<POINT(int32_t W, int32_t H, int32_t x, int32_t y)> target;
};

const Transform kTransforms[] = {
    {"mirror vertical", false,
     [](int32_t W, int32_t H, POINT p[3]) {
       p[0] = {0, H}, p[1] = {W, H}, p[2] = {0, 0};
     },
     [](int32_t, int32_t H, int32_t x, int32_t y) {
       return POINT{x, H - 1 - y};
     }},
    {"mirror horizontal", false,
     [](int32_t W, int32_t H, POINT p[3]) {
       p[0] = {W, 0}, p[1] = {0, 0}, p[2] = {W, H};
     },
     [](int32_t W, int32_t, int32_t x, int32_t y) {
       return POINT{W - 1 - x, y};
     }},
    {"rotate 90", true,
     [](int32_t W, int32_t H, POINT p[3]) {
       p[0] = {0, W}, p[1] = {0, 0}, p[2] = {H, W};
     },
     [](int32_t W, int32_t, int32_t x, int32_t y) {
       return POINT{y, W - 1 - x};
     }},
    {"rotate 180", false,
     [](int32_t W, int32_t H, POINT p[3]) {
       p[0] = {W, H}, p[1] = {0, H}, p[2] = {W, 0};
     },
     [](int32_t W, int32_t H, int32_t x, int32_t y) {
       return POINT{W - 1 - x, H - 1 - y};
     }},
    {"rotate 270", true,
     [](int32_t W, int32_t H, POINT p[3]) {
       p[0] = {H, 0}, p[1] = {H, W}, p[2] = {0, 0};
     },
     [](int32_t, int32_t H, int32_t x, int32_t y) {
       return POINT{H - 1 - y, x};
     }},
    {"identity", false,
     [](int32_t W, int32_t H, POINT p[3]) {
       p[0] = {0, 0}, p[1] = {W, 0}, p[2] = {0, H};
     },
     [](int32_t, int32_t, int32_t x, int32_t y) {
       return POINT{x, y};
     }},
};

TEST(GdiPlgBlt, MirrorsAndQuarterTurnsArePixelExact) {
  const std::vector<RGBQUAD> table = {
      Quad(0, 0, 0),  Quad(9, 9, 9),  Quad(9, 9, 9),  Quad(1, 2, 3),
      Quad(4, 5, 6),  Quad(7, 8, 9),  Quad(10, 0, 0), Quad(0, 10, 0),
      Quad(0, 0, 10), Quad(20, 0, 0), Quad(0, 20, 0), Quad(0, 0, 20),
      Quad(30, 0, 0), Quad(0, 30, 0), Quad(0, 0, 30), Quad(40, 40, 40)};
  const int32_t sizes[][2] = {{5, 3}, {2, 1}, {1, 1}, {9, 4}};
  for (const Transform& t : kTransforms) {
    for (const auto& size : sizes) {
      for (int bpp : {1, 4, 8, 24}) {
        for (bool reference : {false, true}) {
          const int32_t W = size[0], H = size[1];
          SCOPED_TRACE(::testing::Message() << t.name << " " << W << "x" << H << " bpp " << bpp
                                            << (reference ? " reference" : " fast"));
          const std::vector<RGBQUAD> pal(table.begin(), table.begin() + (bpp == 1   ? 2
                                                                         : bpp == 4 ? 16
                                                                                    : 16));
          Dib src(W, H, bpp, bpp == 24 ? std::vector<RGBQUAD>{} : pal);
          const uint32_t modulo = bpp == 1 ? 2 : 16;
          for (int32_t y = 0; y < H; ++y) {
            for (int32_t x = 0; x < W; ++x) {
              src.Set(x, y,
                      bpp == 24 ? static_cast<uint32_t>(0x10000 * y + x + 1)
                                : static_cast<uint32_t>(x * 3 + y * 7 + 2) % modulo);
            }
          }
          const int32_t dw = t.swapsSize ? H : W, dh = t.swapsSize ? W : H;
          Dib dest(dw, dh, bpp, bpp == 24 ? std::vector<RGBQUAD>{} : pal);
          POINT p[3];
          t.points(W, H, p);
          ASSERT_TRUE(reference ? detail::PlgBltReference(dest.dc(), p, src.dc(), 0, 0, W, H)
                                : PlgBlt(dest.dc(), p, src.dc(), 0, 0, W, H, 0, 0, 0));
          for (int32_t y = 0; y < H; ++y) {
            for (int32_t x = 0; x < W; ++x) {
              const POINT to = t.target(W, H, x, y);
              // Indices are kept, even for duplicate entries 1 and 2.
              ASSERT_EQ(dest.Get(to.x, to.y), src.Get(x, y)) << x << "," << y;
            }
          }
        }
      }
    }
  }
}

TEST(GdiPlgBlt, GeneralParallelogramsMatchTheReference) {
  Dib src(6, 4, 24);
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 6; ++x) {
      src.Set(x, y, static_cast<uint32_t>(1 + y * 6 + x));
    }
  }
  const POINT cases[][3] = {
      {{0, 0}, {12, 0}, {0, 8}},    // scaled by 2: fast path declines
      {{2, 1}, {8, 4}, {0, 5}},     // shear and turn
      {{11, 9}, {1, 9}, {11, 1}},   // half turn, enlarged
      {{-3, -2}, {5, -2}, {-3, 6}}, // partly off the destination
  };
  for (const auto& p : cases) {
    Dib fast(12, 10, 24), ref(12, 10, 24);
    fast.Fill(0xEEEEEE);
    ref.Fill(0xEEEEEE);
    ASSERT_TRUE(PlgBlt(fast.dc(), p, src.dc(), 0, 0, 6, 4, 0, 0, 0));
    ASSERT_TRUE(detail::PlgBltReference(ref.dc(), p, src.dc(), 0, 0, 6, 4));
    EXPECT_EQ(fast.Pixels(), ref.Pixels());
  }
  // Scaling by 2 replicates each pixel into a 2 x 2 block.
  Dib twice(12, 8, 24);
  const POINT scale[3] = {{0, 0}, {12, 0}, {0, 8}};
  ASSERT_TRUE(PlgBlt(twice.dc(), scale, src.dc(), 0, 0, 6, 4, 0, 0, 0));
  for (int32_t y = 0; y < 8; ++y) {
    for (int32_t x = 0; x < 12; ++x) {
      ASSERT_EQ(twice.Get(x, y), src.Get(x / 2, y / 2));
    }
  }
}

TEST(GdiPlgBlt, SourceOffsetsClippingAndRefusals) {
  Dib src(4, 4, 24);
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      src.Set(x, y, static_cast<uint32_t>(1 + y * 4 + x));
    }
  }
  // The 2 x 2 block at (1, 1) turned a half turn; a source rectangle running off the
  // source leaves the uncovered destination pixels alone.
  Dib dest(3, 3, 24);
  dest.Fill(0xEEEEEE);
  const POINT half[3] = {{3, 3}, {0, 3}, {3, 0}};
  ASSERT_TRUE(PlgBlt(dest.dc(), half, src.dc(), 2, 2, 3, 3, 0, 0, 0));
  EXPECT_EQ(dest.Get(2, 2), src.Get(2, 2));
  EXPECT_EQ(dest.Get(1, 1), src.Get(3, 3));
  EXPECT_EQ(dest.Get(0, 0), 0xEEEEEEu);
  EXPECT_EQ(dest.Get(0, 2), 0xEEEEEEu);
  // In place on one surface: read before written.
  const POINT turn[3] = {{4, 4}, {0, 4}, {4, 0}};
  const std::vector<uint32_t> before = src.Pixels();
  ASSERT_TRUE(PlgBlt(src.dc(), turn, src.dc(), 0, 0, 4, 4, 0, 0, 0));
  EXPECT_EQ(src.Get(0, 0), before[15]);
  EXPECT_EQ(src.Get(3, 3), before[0]);
  // A mask, a flat parallelogram or an empty source rectangle are refused.
  HBITMAP mask = CreateBitmap(4, 4, 1, 1, nullptr);
  EXPECT_FALSE(PlgBlt(dest.dc(), turn, src.dc(), 0, 0, 4, 4, mask, 0, 0));
  DeleteObject(mask);
  const POINT flat[3] = {{0, 0}, {4, 4}, {2, 2}};
  EXPECT_FALSE(PlgBlt(dest.dc(), flat, src.dc(), 0, 0, 4, 4, 0, 0, 0));
  EXPECT_FALSE(PlgBlt(dest.dc(), turn, src.dc(), 0, 0, 0, 4, 0, 0, 0));
  EXPECT_FALSE(PlgBlt(dest.dc(), nullptr, src.dc(), 0, 0, 4, 4, 0, 0, 0));
}

TEST(GdiPlgBlt, ConvertsBetweenFormats) {
  Dib src(2, 1, 24);
  src.Set(0, 0, 0xFFFFFF);
  src.Set(1, 0, 0x101010);
  Dib mono(1, 2, 1, {Quad(0, 0, 0), Quad(255, 255, 255)});
  const POINT rotate90[3] = {{0, 2}, {0, 0}, {1, 2}};
  ASSERT_TRUE(PlgBlt(mono.dc(), rotate90, src.dc(), 0, 0, 2, 1, 0, 0, 0));
  // B on top, A below.
  EXPECT_EQ(mono.Get(0, 0), 0u);
  EXPECT_EQ(mono.Get(0, 1), 1u);
}

}  // namespace
}  // namespace okuva::gdi
