#include "capture/aids/exposure.h"

#include "aids_test_util.h"
#include "platform/camera/simulated_camera.h"
#include "platform/runtime/error.h"

#include <gtest/gtest.h>

namespace okuva::aids {
namespace {

GreyHistogram Levels(std::initializer_list<std::pair<int, uint64_t>> counts) {
  GreyHistogram h{};
  for (auto [level, n] : counts) {
    h[static_cast<size_t>(level)] = n;
  }
  return h;
}

TEST(GreyBits, KnownHistograms) {
  GreyHistogram uniform{};
  uniform.fill(37);
  EXPECT_NEAR(GreyBits(uniform), 8.0, 1e-12);
  EXPECT_NEAR(GreyBits(Levels({{10, 500}, {200, 500}})), 1.0, 1e-12);
  EXPECT_NEAR(GreyBits(Levels({{0, 3}, {1, 3}, {2, 3}, {3, 3}})), 2.0, 1e-12);
  EXPECT_EQ(GreyBits(Levels({{128, 307200}})), 0.0);
  EXPECT_EQ(GreyBits(GreyHistogram{}), 0.0);
  // Uneven shares: 3/4 and 1/4 give 0.811 bits.
  EXPECT_NEAR(GreyBits(Levels({{5, 300}, {6, 100}})), 0.8112781244591328, 1e-12);
  // 64 equally used levels: exactly the 6 bits iris practice asks for.
  GreyHistogram sixBits{};
  for (size_t i = 0; i < 256; i += 4) {
    sixBits[i] = 10;
  }
  const Exposure e = ExposureOf(sixBits);
  EXPECT_NEAR(e.bits, 6.0, 1e-12);
  EXPECT_TRUE(e.enoughBits);
}

TEST(ExposureOf, ClippedShareAndWarning) {
  // 1 % dark and 0.5 % bright: 1.5 %, below the warning.
  Exposure e = ExposureOf(Levels({{0, 100}, {255, 50}, {128, 9850}}));
  EXPECT_EQ(e.pixels, 10000u);
  EXPECT_DOUBLE_EQ(e.darkClipped, 0.01);
  EXPECT_DOUBLE_EQ(e.brightClipped, 0.005);
  EXPECT_DOUBLE_EQ(e.clipped, 0.015);
  EXPECT_DOUBLE_EQ(e.mean, (50 * 255 + 9850 * 128) / 10000.0);
  EXPECT_FALSE(e.clippedWarning);
  // Exactly the threshold does not warn; just above does.
  EXPECT_FALSE(ExposureOf(Levels({{255, 200}, {128, 9800}})).clippedWarning);
  EXPECT_TRUE(ExposureOf(Levels({{255, 201}, {128, 9799}})).clippedWarning);
  EXPECT_TRUE(ExposureOf(Levels({{0, 150}, {255, 150}, {40, 9700}})).clippedWarning);
  // Levels 1 and 254 are not clipped.
  EXPECT_EQ(ExposureOf(Levels({{1, 5000}, {254, 5000}})).clipped, 0.0);
  // Nothing counted: no figures, no warning, no division by zero.
  e = ExposureOf(GreyHistogram{});
  EXPECT_EQ(e.pixels, 0u);
  EXPECT_EQ(e.clipped, 0.0);
  EXPECT_EQ(e.mean, 0.0);
  EXPECT_FALSE(e.clippedWarning);
  EXPECT_FALSE(e.enoughBits);
}

TEST(HistogramOf, CountsTheLumaOfEveryPixel) {
  // Greys keep their level; the primaries weigh as Rec. 601 luma (0.299, 0.587, 0.114).
  camera::Frame f{7, 3, 1, {}};  // 21 pixels: not a multiple of the unrolled four
  const uint8_t colours[][3] = {{0, 0, 0},   {255, 255, 255}, {255, 0, 0}, {0, 255, 0},
                                {0, 0, 255}, {90, 90, 90},    {90, 90, 90}};
  for (int32_t i = 0; i < 21; ++i) {
    f.rgb.insert(f.rgb.end(), colours[i % 7], colours[i % 7] + 3);
  }
  const GreyHistogram h = HistogramOf(f);
  EXPECT_EQ(h[0], 3u);
  EXPECT_EQ(h[255], 3u);
  EXPECT_EQ(h[90], 6u);
  EXPECT_EQ(h[76] + h[77], 3u);    // 0.299 * 255 = 76.2
  EXPECT_EQ(h[149] + h[150], 3u);  // 0.587 * 255 = 149.7
  EXPECT_EQ(h[29], 3u);            // 0.114 * 255 = 29.1
  uint64_t total = 0;
  for (uint64_t n : h) {
    total += n;
  }
  EXPECT_EQ(total, 21u);
}

TEST(HistogramOf, FrameAndGreyPlaneAgree) {
  camera::SimulatedCamera camera;
  const camera::Frame frame = camera.RenderFrame(4);
  const test::GreyImage grey = test::GreyOf(frame);
  EXPECT_EQ(HistogramOf(frame), HistogramOf(grey.View()));
  // A plane inside a wider buffer: the padding is not counted.
  std::vector<uint8_t> wide(static_cast<size_t>(3) * 10, 255);
  std::fill_n(wide.begin(), 4, 7);
  std::fill_n(wide.begin() + 10, 4, 7);
  std::fill_n(wide.begin() + 20, 4, 7);
  const GreyHistogram h = HistogramOf(GreyView{wide.data(), 4, 3, 10});
  EXPECT_EQ(h[7], 12u);
  EXPECT_EQ(h[255], 0u);
  EXPECT_EQ(HistogramOf(camera::Frame{}), GreyHistogram{});
}

TEST(HistogramOf, MalformedInputRaisesInvalidCall) {
  try {
    HistogramOf(camera::Frame{2, 2, 1, std::vector<uint8_t>(11)});
    ADD_FAILURE() << "no error for a short frame";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrInvalidCall);
  }
  try {
    HistogramOf(GreyView{nullptr, 3, 3, 3});
    ADD_FAILURE() << "no error for a view without pixels";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrInvalidCall);
  }
}

TEST(ExposureOf, FollowsTheSimulatedCameraControls) {
  using C = camera::SimulatedCamera;
  C camera;
  const Exposure normal = ExposureOf(HistogramOf(camera.RenderFrame(2)));
  EXPECT_FALSE(normal.clippedWarning) << normal.clipped;
  // The synthetic eye is drawn in smooth shades: several bits, if not the six of a
  // real photograph.
  EXPECT_GT(normal.bits, 4.0);
  // Less contrast squeezes the picture into fewer grey levels.
  ASSERT_TRUE(camera.SetControl(C::kContrastId, 15));
  const Exposure dull = ExposureOf(HistogramOf(camera.RenderFrame(2)));
  EXPECT_LT(dull.bits, normal.bits - 1.0);
  // Full brightness and contrast burn the sclera and skin out to white.
  ASSERT_TRUE(camera.SetControl(C::kBrightnessId, 64));
  ASSERT_TRUE(camera.SetControl(C::kContrastId, 100));
  const Exposure burnt = ExposureOf(HistogramOf(camera.RenderFrame(2)));
  EXPECT_TRUE(burnt.clippedWarning) << burnt.clipped;
  EXPECT_GT(burnt.brightClipped, normal.brightClipped);
  // No contrast at all leaves one grey level: no grey scale used.
  ASSERT_TRUE(camera.SetControl(C::kBrightnessId, 0));
  ASSERT_TRUE(camera.SetControl(C::kContrastId, 0));
  const Exposure flat = ExposureOf(HistogramOf(camera.RenderFrame(2)));
  EXPECT_LT(flat.bits, 0.5);
  EXPECT_FALSE(flat.enoughBits);
}

}  // namespace
}  // namespace okuva::aids
