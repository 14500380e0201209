// Blits given offsets and sizes at the ends of the 32-bit range: they must be clipped
// like any other rectangle, never wrap.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "tests/platform/gdi/gdi_helpers.h"

namespace okuva::gdi::testing {
namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

TEST(GdiExtremeArguments, PlgBltSourceOffsetsAtTheRangeEndsCopyNothing) {
  Dib src(4, 3, 24);
  src.Fill(0x123456);
  Dib dest(4, 3, 24);
  dest.Fill(0xEEEEEE);
  // A left-right mirror and a quarter turn: both take the pixel-exact path.
  const POINT mirror[3] = {{4, 0}, {0, 0}, {4, 3}};
  const POINT quarter[3] = {{0, 4}, {0, 0}, {3, 4}};
  const int32_t offsets[][2] = {{kMin, 0}, {0, kMin}, {kMax, 0}, {0, kMax}, {kMin, kMin}};
  for (const auto& o : offsets) {
    EXPECT_TRUE(PlgBlt(dest.dc(), mirror, src.dc(), o[0], o[1], 4, 3, 0, 0, 0));
    EXPECT_TRUE(PlgBlt(dest.dc(), quarter, src.dc(), o[0], o[1], 4, 3, 0, 0, 0));
  }
  for (int32_t y = 0; y < 3; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      EXPECT_EQ(dest.Get(x, y), 0xEEEEEEu) << x << "," << y;
    }
  }
  // A rectangle that starts far to the left still reaches the source's first column.
  const POINT straight[3] = {{0, 0}, {4, 0}, {0, 3}};
  src.Set(0, 0, 0xABCDEF);
  ASSERT_TRUE(PlgBlt(dest.dc(), straight, src.dc(), -2, 0, 4, 3, 0, 0, 0));
  EXPECT_EQ(dest.Get(2, 0), 0xABCDEFu);
  EXPECT_EQ(dest.Get(1, 0), 0xEEEEEEu);
}

TEST(GdiExtremeArguments, HalftoneOverAHugeSourceRectangleAveragesThePixelsThatExist) {
  Dib src(2, 2, 24);
  src.Set(0, 0, 0x000000);
  src.Set(1, 0, 0x0000C8);
  src.Set(0, 1, 0x006400);
  src.Set(1, 1, 0x0064C8);
  Dib dest(2, 2, 24);
  dest.Fill(0xEEEEEE);
  ASSERT_NE(SetStretchBltMode(dest.dc(), HALFTONE), 0);
  // Destination pixel (0, 0) covers source columns and rows 0 to about 2^30: only the
  // four existing pixels count. The other destination pixels cover no source pixel.
  ASSERT_TRUE(StretchBlt(dest.dc(), 0, 0, 2, 2, src.dc(), 0, 0, kMax, kMax, SRCCOPY));
  EXPECT_EQ(dest.Get(0, 0), 0x003264u);
  EXPECT_EQ(dest.Get(1, 0), 0xEEEEEEu);
  EXPECT_EQ(dest.Get(0, 1), 0xEEEEEEu);
  EXPECT_EQ(dest.Get(1, 1), 0xEEEEEEu);
}

}  // namespace
}  // namespace okuva::gdi::testing
