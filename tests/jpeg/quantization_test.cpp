// Settings stage: zigzag order, quality scaling and the DCT/quantizer multipliers.
#include <gtest/gtest.h>

#include <cmath>

#include "jpeg/cjpeg.h"
#include "jpeg/quantization.h"
#include "platform/runtime/error.h"

namespace okuva::jpeg {
namespace {

TEST(ZigZag, FollowsTheAntiDiagonalWalk) {
  const ZigZagTable zz = BuildZigZag();
  EXPECT_EQ(zz[0][0], 0);
  EXPECT_EQ(zz[1][0], 1);
  EXPECT_EQ(zz[0][1], 2);
  EXPECT_EQ(zz[0][2], 3);
  EXPECT_EQ(zz[1][1], 4);
  EXPECT_EQ(zz[2][0], 5);
  EXPECT_EQ(zz[3][0], 6);
  EXPECT_EQ(zz[7][0], 28);
  EXPECT_EQ(zz[0][7], 35);
  EXPECT_EQ(zz[4][4], 39);
  EXPECT_EQ(zz[7][6], 61);
  EXPECT_EQ(zz[6][7], 62);
  EXPECT_EQ(zz[7][7], 63);
  // A permutation of 0..63 whose neighbours in sequence are adjacent cells.
  std::array<int, 64> seen{};
  std::array<std::pair<int, int>, 64> where{};
  for (int x = 0; x < 8; ++x) {
    for (int y = 0; y < 8; ++y) {
      ++seen[static_cast<size_t>(zz[x][y])];
      where[static_cast<size_t>(zz[x][y])] = {x, y};
    }
  }
  for (int k = 0; k < 64; ++k) {
    EXPECT_EQ(seen[static_cast<size_t>(k)], 1) << k;
  }
  for (size_t k = 1; k < 64; ++k) {
    EXPECT_LE(std::abs(where[k].first - where[k - 1].first), 1) << k;
    EXPECT_LE(std::abs(where[k].second - where[k - 1].second), 1) << k;
  }
}

std::array<int16_t, 64> Natural(const QuantTable& t, const ZigZagTable& zz) {
  std::array<int16_t, 64> n{};
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      n[static_cast<size_t>(y * 8 + x)] = t.Qk[static_cast<size_t>(zz[x][y])];
    }
  }
  return n;
}

TEST(Quality, DefaultTablesAtSeventyFive) {
  cJpeg jpeg;
  EXPECT_EQ(jpeg.Quality(), 75);
  const std::array<int16_t, 16> lum = {8, 6, 6, 8, 6, 6, 8, 8, 7, 8, 10, 9, 8, 10, 12, 20};
  const std::array<int16_t, 16> chr = {9,  10, 10, 12, 11, 12, 24, 14,
                                       14, 24, 50, 34, 28, 34, 50, 50};
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(jpeg.QTable(0).Qk[i], lum[i]) << i;
    EXPECT_EQ(jpeg.QTable(1).Qk[i], chr[i]) << i;
  }
  for (size_t i = 14; i < 64; ++i) {
    if (kBaseQChrominance[i] == 99) {
      EXPECT_EQ(jpeg.QTable(1).Qk[i], 50) << i;
    }
  }
  const auto natural = Natural(jpeg.QTable(0), jpeg.ZigZag());
  const std::array<int16_t, 8> first = {8, 6, 6, 8, 12, 20, 26, 31};
  const std::array<int16_t, 8> last = {36, 46, 48, 50, 56, 50, 52, 50};
  for (size_t x = 0; x < 8; ++x) {
    EXPECT_EQ(natural[x], first[x]);
    EXPECT_EQ(natural[56 + x], last[x]);
  }
  // The DC multiplier with Q = 8: 0.3535... squared / 8.
  EXPECT_FLOAT_EQ(jpeg.QTable(0).FScale[0], 0.015625f);
}

TEST(Quality, ScalesWithHalvesToEven) {
  cJpeg jpeg;
  jpeg.Quality(50);  // base + 0.5, halves to even: odd values rise, even stay
  for (size_t i = 0; i < 64; ++i) {
    const int base = kBaseQLuminance[i];
    EXPECT_EQ(jpeg.QTable(0).Qk[i], base % 2 ? base + 1 : base) << i;
    const int cbase = kBaseQChrominance[i];
    EXPECT_EQ(jpeg.QTable(1).Qk[i], cbase % 2 ? cbase + 1 : cbase) << i;
  }
  jpeg.Quality(100);
  for (size_t i = 0; i < 64; ++i) {
    EXPECT_EQ(jpeg.QTable(0).Qk[i], 1);
    EXPECT_EQ(jpeg.QTable(1).Qk[i], 1);
  }
  jpeg.Quality(1);
  for (size_t i = 0; i < 64; ++i) {
    EXPECT_EQ(jpeg.QTable(0).Qk[i], 255);
    EXPECT_EQ(jpeg.QTable(1).Qk[i], 255);
  }
  EXPECT_EQ(QualityScaleFactor(16), 312);  // 312.5 goes to the even neighbour
  EXPECT_EQ(QualityScaleFactor(3), 1667);
  jpeg.Quality(16);
  // 16 * 312 + 50 = 5042 -> 50.42 -> 50; with 313 it would be 50.58 -> 51.
  EXPECT_EQ(jpeg.QTable(0).Qk[0], 50);
  EXPECT_EQ(jpeg.Quality(), 16);
}

TEST(Quality, OutOfRangeValuesAreIgnored) {
  cJpeg jpeg;
  jpeg.Quality(40);
  const QuantTable before = jpeg.QTable(0);
  for (int q : {0, 101, -5}) {
    jpeg.Quality(q);
    EXPECT_EQ(jpeg.Quality(), 40);
    EXPECT_EQ(jpeg.QTable(0).Qk, before.Qk);
    EXPECT_EQ(jpeg.QTable(0).FScale, before.FScale);
  }
}

TEST(Quality, MultipliersFoldScaleAndQuantizer) {
  const ZigZagTable zz = BuildZigZag();
  for (int q : {1, 30, 75, 100}) {
    QuantTable t;
    ScaleBaseTable(kBaseQLuminance, QualityScaleFactor(q), t);
    ScaleQuantTable(t, zz);
    for (size_t x = 0; x < 8; ++x) {
      for (size_t y = 0; y < 8; ++y) {
        const auto z = static_cast<size_t>(zz[x][y]);
        EXPECT_EQ(t.FScale[z], static_cast<float>(kDctScale[x] * kDctScale[y] / t.Qk[z]));
      }
    }
  }
}

TEST(Quality, RefusesQuantizersOutsideEightBits) {
  const ZigZagTable zz = BuildZigZag();
  for (int16_t bad : {int16_t{0}, int16_t{256}, int16_t{-3}}) {
    QuantTable t;
    t.Qk.fill(10);
    t.Qk[63] = bad;
    try {
      ScaleQuantTable(t, zz);
      FAIL() << "accepted " << bad;
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), 1);
      EXPECT_EQ(e.Description(), "Bad Quantization Table");
      EXPECT_EQ(e.Source(), "");
    }
  }
}

}  // namespace
}  // namespace okuva::jpeg
