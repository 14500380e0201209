#include "capture/aids/target_ring.h"

#include "platform/camera/letterbox.h"

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
  EXPECT_DOUBLE_EQ(r.radius, 50);
  EXPECT_TRUE(r.fitsFrame);
  // 16:9 is letterboxed on 4:3: shown 320 x 180 from line 30, a quarter of its size,
  // so the ring stays a circle of 25 pixels around the shown frame's centre.
  r = TargetRingFor(1280, 720);
  EXPECT_DOUBLE_EQ(r.radius, 25);
  EXPECT_DOUBLE_EQ(r.centreX, 160);
  EXPECT_DOUBLE_EQ(r.centreY, 120);
  // A tall frame gets bars at the sides: 480 x 640 shown 180 x 240 from column 70.
  r = TargetRingFor(480, 640);
  EXPECT_DOUBLE_EQ(r.radius, 37.5);
  EXPECT_DOUBLE_EQ(r.centreX, 160);
  // A frame the size of the preview: the ring is the iris itself.
  r = TargetRingFor(320, 240);
  EXPECT_DOUBLE_EQ(r.radius, 100);
  EXPECT_TRUE(r.fitsFrame);
}

TEST(TargetRingFor, OtherPreviewsAndIrisSizes) {
  TargetRing r = TargetRingFor(640, 480, 640, 480, 240);
  EXPECT_DOUBLE_EQ(r.centreX, 320);
  EXPECT_DOUBLE_EQ(r.centreY, 240);
  EXPECT_DOUBLE_EQ(r.radius, 120);
  // Odd preview sizes centre on the half pixel.
  r = TargetRingFor(640, 480, 321, 241);
  EXPECT_DOUBLE_EQ(r.centreX, 160.5);
  EXPECT_DOUBLE_EQ(r.centreY, 120.5);
}

TEST(TargetRingFor, FlagsFramesSmallerThanTheIris) {
  // 160 x 120 cannot hold 200 pixels of iris: the ring overflows the preview.
  TargetRing r = TargetRingFor(160, 120);
  EXPECT_FALSE(r.fitsFrame);
  EXPECT_DOUBLE_EQ(r.radius, 200);
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
      ADD_FAILURE() << "no error for " << args[0] << "x" << args[1] << " on " << args[2] << "x"
                    << args[3];
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), kErrInvalidCall);
    }
  }
}

TEST(Letterbox, KeepsTheFramesShapeWithCentredBars) {
  const auto rect = [](int32_t fw, int32_t fh, int32_t aw, int32_t ah) {
    const camera::ShownRect r = camera::Letterbox(fw, fh, aw, ah);
    return std::array{r.left, r.top, r.width, r.height};
  };
  EXPECT_EQ(rect(640, 480, 320, 240), (std::array{0, 0, 320, 240}));
  EXPECT_EQ(rect(1280, 720, 320, 240), (std::array{0, 30, 320, 180}));
  EXPECT_EQ(rect(480, 640, 320, 240), (std::array{70, 0, 180, 240}));
  // 1920 x 1080 on 322 x 241: 181.125 lines round to 181, the odd bar line goes below.
  EXPECT_EQ(rect(1920, 1080, 322, 241), (std::array{0, 30, 322, 181}));
  // A sliver stays at least one pixel thick.
  EXPECT_EQ(rect(10000, 1, 320, 240), (std::array{0, 119, 320, 1}));
  EXPECT_TRUE(camera::Letterbox(0, 480, 320, 240).Empty());
  EXPECT_TRUE(camera::Letterbox(640, 480, 320, -1).Empty());
}

}  // namespace
}  // namespace okuva::aids
