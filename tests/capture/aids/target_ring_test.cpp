#include "capture/aids/target_ring.h"

#include "platform/runtime/error.h"

#include <gtest/gtest.h>

#include <array>

namespace okuva::aids {
namespace {

TEST(TargetRingFor, ScalesTheIrisFromTheFrameToThePreview) {
  // 640 x 480 is shown at half size: 200 pixels across become a 50-pixel radius.
  TargetRing r = TargetRingFor(640, 480);
  EXPECT_DOUBLE_EQ(r.centreX, 160);
  EXPECT_DOUBLE_EQ(r.centreY, 120);
  EXPECT_DOUBLE_EQ(r.radiusX, 50);
  EXPECT_DOUBLE_EQ(r.radiusY, 50);
  EXPECT_TRUE(r.fitsFrame);
  // 16:9 stretched onto 4:3 squeezes the circle into an upright ellipse.
  r = TargetRingFor(1280, 720);
  EXPECT_DOUBLE_EQ(r.radiusX, 25);
  EXPECT_DOUBLE_EQ(r.radiusY, 100.0 * 240 / 720);
  EXPECT_GT(r.radiusY, r.radiusX);
  // A frame the size of the preview: the ring is the iris itself.
  r = TargetRingFor(320, 240);
  EXPECT_DOUBLE_EQ(r.radiusX, 100);
  EXPECT_DOUBLE_EQ(r.radiusY, 100);
  EXPECT_TRUE(r.fitsFrame);
}

TEST(TargetRingFor, OtherPreviewsAndIrisSizes) {
  TargetRing r = TargetRingFor(640, 480, 640, 480, 240);
  EXPECT_DOUBLE_EQ(r.centreX, 320);
  EXPECT_DOUBLE_EQ(r.centreY, 240);
  EXPECT_DOUBLE_EQ(r.radiusX, 120);
  EXPECT_DOUBLE_EQ(r.radiusY, 120);
  // Odd preview sizes centre on the half pixel.
  r = TargetRingFor(640, 480, 321, 241);
  EXPECT_DOUBLE_EQ(r.centreX, 160.5);
  EXPECT_DOUBLE_EQ(r.centreY, 120.5);
}

TEST(TargetRingFor, FlagsFramesSmallerThanTheIris) {
  // 160 x 120 cannot hold 200 pixels of iris: the ring overflows the preview.
  TargetRing r = TargetRingFor(160, 120);
  EXPECT_FALSE(r.fitsFrame);
  EXPECT_DOUBLE_EQ(r.radiusX, 200);
  EXPECT_DOUBLE_EQ(r.radiusY, 200);
  EXPECT_FALSE(TargetRingFor(320, 199).fitsFrame);
  EXPECT_TRUE(TargetRingFor(320, 200).fitsFrame);
  EXPECT_FALSE(TargetRingFor(199, 480).fitsFrame);
}

TEST(TargetRingFor, RejectsSizesThatAreNotPositive) {
  for (auto args : {std::array{0, 480, 320, 240, 200}, std::array{640, -1, 320, 240, 200},
                    std::array{640, 480, 0, 240, 200}, std::array{640, 480, 320, 0, 200},
                    std::array{640, 480, 320, 240, 0}}) {
    try {
      TargetRingFor(args[0], args[1], args[2], args[3], args[4]);
      ADD_FAILURE() << "no error for " << args[0] << "x" << args[1] << " on " << args[2] << "x" << args[3];
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), kErrInvalidCall);
    }
  }
}

}  // namespace
}  // namespace okuva::aids
