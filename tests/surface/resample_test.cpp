#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>

#include "platform/runtime/error.h"
#include "surface/cdibsection.h"
#include "tests/support/raised.h"

namespace okuva {
namespace {

// Stored row r (0 = bottom row), byte c of that row.
uint8_t& At(const cDIBSection& d, int32_t c, int32_t r) {
  return d.DIBSectionBitsPtr()[r * d.BytesPerScanLine() + c];
}

// Sets one channel of every pixel from a function of (column, stored row).
template <typename F>
void SetChannel(cDIBSection& d, int channel, F f) {
  for (int32_t r = 0; r < d.Height(); ++r) {
    for (int32_t x = 0; x < d.Width(); ++x) {
      At(d, 3 * x + channel, r) = static_cast<uint8_t>(f(x, r));
    }
  }
}

using okuva::testing::RaisedNumber;

TEST(Resample, HeightComesFirst) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(10, 10));
  std::unique_ptr<cDIBSection> r = d.Resample(100, 200);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Width(), 200);
  EXPECT_EQ(r->Height(), 100);
  EXPECT_NE(r->hDib(), d.hDib());
}

TEST(Resample, SameSizeCopiesEveryPixelByte) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(7, 5));
  d.RandomiseBits();
  SetChannel(d, 0, [](int32_t x, int32_t r) { return 17 * x + 31 * r; });
  std::unique_ptr<cDIBSection> r = d.Resample(5, 7);
  ASSERT_NE(r, nullptr);
  for (int32_t row = 0; row < 5; ++row) {
    EXPECT_EQ(std::memcmp(&At(*r, 0, row), &At(d, 0, row), 21), 0) << "row " << row;
  }
  // The source is unchanged and independent of the copy.
  At(*r, 0, 0) = static_cast<uint8_t>(At(d, 0, 0) + 1);
  EXPECT_NE(At(*r, 0, 0), At(d, 0, 0));
}

TEST(Resample, TwoByTwoToFourByFourGivesTheBlueRamp) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(2, 2));
  SetChannel(d, 0, [](int32_t x, int32_t) { return x == 0 ? 0 : 100; });
  SetChannel(d, 1, [](int32_t, int32_t) { return 60; });
  std::unique_ptr<cDIBSection> r = d.Resample(4, 4);
  ASSERT_NE(r, nullptr);
  const int expected[] = {0, 25, 50, 75};
  for (int32_t row = 0; row < 4; ++row) {
    for (int32_t x = 0; x < 4; ++x) {
      EXPECT_EQ(At(*r, 3 * x, row), expected[x]) << x << "," << row;
      EXPECT_EQ(At(*r, 3 * x + 1, row), 60);
      EXPECT_EQ(At(*r, 3 * x + 2, row), 0);
    }
  }
}

TEST(Resample, RowsAreAnchoredAtTheBottomRow) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(2, 2));
  SetChannel(d, 2, [](int32_t, int32_t r) { return r == 0 ? 0 : 100; });
  std::unique_ptr<cDIBSection> r = d.Resample(4, 2);
  ASSERT_NE(r, nullptr);
  const int expected[] = {0, 25, 50, 75};
  for (int32_t row = 0; row < 4; ++row) {
    EXPECT_EQ(At(*r, 2, row), expected[row]);
    EXPECT_EQ(At(*r, 5, row), expected[row]);
  }
}

TEST(Resample, FourColumnsToTwo) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 2));
  const int values[] = {10, 20, 31, 200};
  SetChannel(d, 0, [&](int32_t x, int32_t) { return values[x]; });
  std::unique_ptr<cDIBSection> r = d.Resample(2, 2);
  ASSERT_NE(r, nullptr);
  for (int32_t row = 0; row < 2; ++row) {
    EXPECT_EQ(At(*r, 0, row), 10);  // source column 0 exactly
    EXPECT_EQ(At(*r, 3, row), 26);  // (20 + 31) / 2 = 25.5 goes to the even 26
  }
}

TEST(Resample, HalfwayBlendsRoundToEven) {
  // Halfway between 0 and 1 gives 0, between 1 and 2 gives 2.
  cDIBSection d;
  ASSERT_TRUE(d.Create(2, 2));
  SetChannel(d, 0, [](int32_t x, int32_t) { return x; });      // 0 | 1
  SetChannel(d, 1, [](int32_t x, int32_t) { return x + 1; });  // 1 | 2
  std::unique_ptr<cDIBSection> r = d.Resample(2, 4);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(At(*r, 3 * 2, 0), 0);
  EXPECT_EQ(At(*r, 3 * 2 + 1, 0), 2);
}

TEST(Resample, RowBlendIsRoundedBeforeTheColumnBlend) {
  // Left column 0 over 1, right column 2 over 3. At the centre a true bilinear value
  // is 1.5 (-> 2), but the rows round first: 0.5 -> 0 and 2.5 -> 2, then 1.
  cDIBSection d;
  ASSERT_TRUE(d.Create(2, 2));
  SetChannel(d, 0, [](int32_t x, int32_t r) { return 2 * x + r; });
  std::unique_ptr<cDIBSection> r = d.Resample(4, 4);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(At(*r, 3 * 2, 2), 1);
  // A quarter of the way across: 0.75 x 0 + 0.25 x 2 = 0.5 -> 0.
  EXPECT_EQ(At(*r, 3 * 1, 2), 0);
}

TEST(Resample, TooThinSourcesRaiseNine) {
  for (auto [w, h] : {std::pair{1, 5}, std::pair{5, 1}, std::pair{1, 1}}) {
    cDIBSection d;
    ASSERT_TRUE(d.Create(w, h));
    std::unique_ptr<cDIBSection> r;
    EXPECT_EQ(RaisedNumber([&] { r = d.Resample(8, 8); }), 9) << w << "x" << h;
    EXPECT_EQ(r, nullptr);
  }
}

TEST(Resample, SourceWithoutSurfaceRaisesNine) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(6, 6));
  d.ClearUp();  // Width and Height still say 6 x 6
  EXPECT_EQ(RaisedNumber([&] { (void)d.Resample(3, 3); }), 9);
}

TEST(Resample, UncreatableTargetGivesNoObjectAndNoError) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 4));
  std::unique_ptr<cDIBSection> r = std::make_unique<cDIBSection>();
  EXPECT_EQ(RaisedNumber([&] { r = d.Resample(0, 5); }), 0);
  EXPECT_EQ(r, nullptr);
}

TEST(Resample, LargeReductionStaysInsideAndKeepsPadding) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(101, 53));
  SetChannel(d, 0, [](int32_t x, int32_t) { return x; });
  SetChannel(d, 1, [](int32_t, int32_t r) { return r; });
  std::unique_ptr<cDIBSection> r = d.Resample(7, 9);
  ASSERT_NE(r, nullptr);
  // Sample positions x * 100 / 9 and y * 52 / 7 interpolate the ramps.
  for (int32_t x = 0; x < 9; ++x) {
    const float px = static_cast<float>(static_cast<double>(static_cast<float>(100.0 / 9)) * x);
    EXPECT_NEAR(At(*r, 3 * x, 0), px, 0.5001) << x;
  }
  for (int32_t row = 0; row < 7; ++row) {
    EXPECT_NEAR(At(*r, 1, row), row * 52.0 / 7, 0.5001);
  }
  // Rows of 27 bytes in a stride of 28: the padding byte is never written.
  for (int32_t row = 0; row < 7; ++row) {
    EXPECT_EQ(At(*r, 27, row), 0);
  }
}

TEST(RandomiseBits, ColourFillHasNoBlueAndKeepsPadding) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(33, 20));  // 99 bytes of pixels in rows of 100
  const int32_t stride = d.BytesPerScanLine();
  ASSERT_EQ(stride, 100);
  for (int32_t r = 0; r < 20; ++r) {
    At(d, 99, r) = 0xAB;
  }
  SetChannel(d, 0, [](int32_t, int32_t) { return 77; });
  d.RandomiseBits(false);
  std::set<int> greens, reds;
  for (int32_t r = 0; r < 20; ++r) {
    EXPECT_EQ(At(d, 99, r), 0xAB);
    for (int32_t x = 0; x < 33; ++x) {
      EXPECT_EQ(At(d, 3 * x, r), 0);
      greens.insert(At(d, 3 * x + 1, r));
      reds.insert(At(d, 3 * x + 2, r));
    }
  }
  // 660 draws each over 256 values: anything near uniform covers most of them.
  EXPECT_GT(greens.size(), 150u);
  EXPECT_GT(reds.size(), 150u);
}

TEST(RandomiseBits, GreyFillHasEqualChannelsAndKeepsPadding) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(5, 40));  // 15 bytes in rows of 16
  for (int32_t r = 0; r < 40; ++r) {
    At(d, 15, r) = 0xCD;
  }
  d.RandomiseBits(true);
  std::set<int> greys;
  for (int32_t r = 0; r < 40; ++r) {
    EXPECT_EQ(At(d, 15, r), 0xCD);
    for (int32_t x = 0; x < 5; ++x) {
      EXPECT_EQ(At(d, 3 * x, r), At(d, 3 * x + 1, r));
      EXPECT_EQ(At(d, 3 * x, r), At(d, 3 * x + 2, r));
      greys.insert(At(d, 3 * x, r));
    }
  }
  EXPECT_GT(greys.size(), 100u);
}

TEST(RandomiseBits, WithoutBitsWritesNothingAndReportsNothing) {
  cDIBSection empty;
  EXPECT_NO_THROW(empty.RandomiseBits());
  cDIBSection cleared;
  ASSERT_TRUE(cleared.Create(4, 4));
  cleared.ClearUp();
  EXPECT_NO_THROW(cleared.RandomiseBits(true));
}

}  // namespace
}  // namespace okuva
