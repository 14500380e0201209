#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/runtime/checked.h"
#include "platform/runtime/error.h"
#include "tests/support/raised.h"

namespace okuva {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

using okuva::testing::RaisedNumber;

TEST(RuntimeChecked, AddAndSubRaiseOverflowOnlyPastTheLimits) {
  EXPECT_EQ(CheckedAdd(kMax, 0), kMax);
  EXPECT_EQ(CheckedAdd(kMin, kMax), -1);
  EXPECT_EQ(CheckedAdd(kMax - 1, 1), kMax);
  EXPECT_EQ(RaisedNumber([] { CheckedAdd(kMax, 1); }), 6);
  EXPECT_EQ(RaisedNumber([] { CheckedAdd(kMin, -1); }), 6);
  EXPECT_EQ(RaisedNumber([] { CheckedAdd(kMin, kMin); }), 6);

  EXPECT_EQ(CheckedSub(-1, kMin), kMax);
  EXPECT_EQ(CheckedSub(kMin + 1, 1), kMin);
  EXPECT_EQ(RaisedNumber([] { CheckedSub(kMin, 1); }), 6);
  EXPECT_EQ(RaisedNumber([] { CheckedSub(0, kMin); }), 6);
  EXPECT_EQ(RaisedNumber([] { CheckedSub(kMax, -1); }), 6);
}

TEST(RuntimeChecked, MulRaisesOverflowOnlyPastTheLimits) {
  EXPECT_EQ(CheckedMul(46340, 46340), 2147395600);
  EXPECT_EQ(CheckedMul(kMin, 1), kMin);
  EXPECT_EQ(CheckedMul(-1, kMax), -kMax);
  EXPECT_EQ(CheckedMul(65536, -32768), kMin);
  EXPECT_EQ(RaisedNumber([] { CheckedMul(46341, 46341); }), 6);
  EXPECT_EQ(RaisedNumber([] { CheckedMul(kMin, -1); }), 6);
  EXPECT_EQ(RaisedNumber([] { CheckedMul(65536, 32768); }), 6);
}

TEST(RuntimeChecked, OverflowCarriesItsClassicDescription) {
  try {
    CheckedAdd(kMax, kMax);
    FAIL() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 6);
    EXPECT_EQ(e.Description(), "Overflow");
    EXPECT_STREQ(e.what(), "Error 6: Overflow");
  }
}

TEST(RuntimeChecked, ConversionsRoundHalfToEven) {
  EXPECT_EQ(CLng(0.5), 0);
  EXPECT_EQ(CLng(1.5), 2);
  EXPECT_EQ(CLng(2.5), 2);
  EXPECT_EQ(CLng(3.5), 4);
  EXPECT_EQ(CLng(-0.5), 0);
  EXPECT_EQ(CLng(-1.5), -2);
  EXPECT_EQ(CLng(-2.5), -2);
  EXPECT_EQ(CLng(2.4999999), 2);
  EXPECT_EQ(CLng(2.5000001), 3);
  EXPECT_EQ(CLng(-2.5000001), -3);
  EXPECT_EQ(CLng(0.49999999999999994), 0);  // the largest double below one half
  EXPECT_EQ(CInt(-2.5), -2);
  EXPECT_EQ(CInt(7.5), 8);
  EXPECT_EQ(CByte(-0.5), 0);
  EXPECT_EQ(CByte(254.5), 254);
  EXPECT_EQ(CByte(253.5), 254);
}

TEST(RuntimeChecked, ConversionsRaiseOverflowOutsideTheirRange) {
  EXPECT_EQ(CLng(2147483647.4), kMax);
  EXPECT_EQ(CLng(-2147483648.5), kMin);  // the tie goes to the even neighbour, in range
  EXPECT_EQ(RaisedNumber([] { CLng(2147483647.5); }), 6);
  EXPECT_EQ(RaisedNumber([] { CLng(-2147483649.5); }), 6);
  EXPECT_EQ(RaisedNumber([] { CLng(1e300); }), 6);
  EXPECT_EQ(RaisedNumber([] { CLng(std::numeric_limits<double>::infinity()); }), 6);
  EXPECT_EQ(RaisedNumber([] { CLng(-std::numeric_limits<double>::infinity()); }), 6);
  EXPECT_EQ(RaisedNumber([] { CLng(std::nan("")); }), 6);

  EXPECT_EQ(CInt(32767.4), 32767);
  EXPECT_EQ(CInt(-32768.5), -32768);
  EXPECT_EQ(RaisedNumber([] { CInt(32767.5); }), 6);
  EXPECT_EQ(RaisedNumber([] { CInt(-32769.0); }), 6);
  EXPECT_EQ(RaisedNumber([] { CInt(std::nan("")); }), 6);

  EXPECT_EQ(CByte(255.4), 255);
  EXPECT_EQ(RaisedNumber([] { CByte(255.5); }), 6);
  EXPECT_EQ(RaisedNumber([] { CByte(-0.6); }), 6);
  EXPECT_EQ(RaisedNumber([] { CByte(-1.0); }), 6);
  EXPECT_EQ(RaisedNumber([] { CByte(std::nan("")); }), 6);
}

TEST(RuntimeChecked, ByteView1DRaisesSubscriptAtBothEnds) {
  uint8_t bytes[4] = {10, 20, 30, 40};
  ByteView1D view(bytes, 4);
  EXPECT_EQ(view(0), 10);
  EXPECT_EQ(view(3), 40);
  view(2) = 99;
  EXPECT_EQ(bytes[2], 99);
  EXPECT_EQ(RaisedNumber([&] { view(-1); }), 9);
  EXPECT_EQ(RaisedNumber([&] { view(4); }), 9);
  EXPECT_EQ(RaisedNumber([&] { view(kMin); }), 9);
  EXPECT_EQ(RaisedNumber([&] { view(kMax); }), 9);
  ByteView1D empty;
  EXPECT_EQ(RaisedNumber([&] { empty(0); }), 9);
}

TEST(RuntimeChecked, ByteView2DRaisesSubscriptAtEveryEdge) {
  // Three columns by two rows in rows of four bytes: the padding byte is outside.
  uint8_t bytes[8] = {1, 2, 3, 0xEE, 4, 5, 6, 0xEE};
  ByteView2D view(bytes, 3, 2, 4);
  EXPECT_EQ(view(0, 0), 1);
  EXPECT_EQ(view(2, 0), 3);
  EXPECT_EQ(view(0, 1), 4);
  EXPECT_EQ(view(2, 1), 6);
  view(1, 1) = 77;
  EXPECT_EQ(bytes[5], 77);
  EXPECT_EQ(RaisedNumber([&] { view(3, 0); }), 9);  // the padding column
  EXPECT_EQ(RaisedNumber([&] { view(-1, 0); }), 9);
  EXPECT_EQ(RaisedNumber([&] { view(0, 2); }), 9);
  EXPECT_EQ(RaisedNumber([&] { view(0, -1); }), 9);
  EXPECT_EQ(RaisedNumber([&] { view(3, 2); }), 9);
  EXPECT_EQ(RaisedNumber([&] { view(kMax, kMax); }), 9);

  ByteView2D dense(bytes, 4, 2);
  EXPECT_EQ(dense(3, 1), 0xEE);
  EXPECT_EQ(dense.Columns(), 4);
  EXPECT_EQ(dense.Rows(), 2);
  dense.Detach();
  EXPECT_EQ(RaisedNumber([&] { dense(0, 0); }), 9);
}

}  // namespace
}  // namespace okuva
