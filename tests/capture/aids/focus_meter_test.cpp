#include "capture/aids/focus_meter.h"

#include "aids_test_util.h"
#include "platform/camera/simulated_camera.h"
#include "platform/runtime/error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace okuva::aids {
namespace {

using test::GreyImage;

std::vector<double> BlurSweep(const GreyImage& sharp, const std::vector<double>& sigmas) {
  std::vector<double> scores;
  for (double sigma : sigmas) {
    scores.push_back(FocusScore(test::GaussianBlur(sharp, sigma).View()));
  }
  return scores;
}

void ExpectStrictlyDecreasing(const std::vector<double>& scores, const std::vector<double>& by) {
  for (size_t i = 1; i < scores.size(); ++i) {
    EXPECT_LT(scores[i], scores[i - 1]) << "at " << by[i] << " after " << by[i - 1];
  }
}

GreyImage Scaled(const GreyImage& g, double gain, double offset) {
  GreyImage out = g;
  for (uint8_t& v : out.pixels) {
    v = static_cast<uint8_t>(std::clamp(std::lround(v * gain + offset), 0L, 255L));
  }
  return out;
}

const std::vector<double> kSigmas = {0, 0.5, 0.75, 1, 1.5, 2, 3, 4, 6};

TEST(FocusScore, FallsStrictlyOnAGaussianBlurSweepOfIrisTexture) {
  const GreyImage sharp = test::IrisTexture(640, 480);
  ExpectStrictlyDecreasing(BlurSweep(sharp, kSigmas), kSigmas);
}

TEST(FocusScore, FallsStrictlyOnAGaussianBlurSweepOfTheSimulatedEye) {
  camera::SimulatedCamera camera;
  const GreyImage sharp = test::GreyOf(camera.RenderFrame(10));
  ExpectStrictlyDecreasing(BlurSweep(sharp, kSigmas), kSigmas);
}

TEST(FocusScore, IgnoresBrightnessAndContrast) {
  const GreyImage sharp = test::IrisTexture(640, 480);
  const double base = FocusScore(sharp.View());
  // Gain and offset without clipping: the texture spans about 20..235.
  for (auto [gain, offset] : {std::pair{0.5, 0.0}, {0.75, 10.0}, {1.0, 15.0}, {0.6, 60.0}}) {
    const double score = FocusScore(Scaled(sharp, gain, offset).View());
    EXPECT_NEAR(score, base, 0.05 * base) << "gain " << gain << " offset " << offset;
  }
  // Darkening a sharp picture must not make it read as less sharp than a brighter
  // blurred one: raw Laplacian energy would fall with the square of the gain.
  const double dimSharp = FocusScore(Scaled(sharp, 0.4, 0).View());
  const double brightSoft = FocusScore(test::GaussianBlur(sharp, 1.0).View());
  EXPECT_GT(dimSharp, brightSoft);
}

TEST(FocusScore, FallsAsTheSimulatedCameraFocusMovesAwayFromBest) {
  camera::SimulatedCamera camera;
  const int32_t best = camera::SimulatedCamera::kBestFocus;
  for (int32_t direction : {+1, -1}) {
    double previous = std::numeric_limits<double>::infinity();
    for (int32_t distance : {0, 16, 32, 64, 96, 127}) {
      ASSERT_TRUE(
          camera.SetControl(camera::SimulatedCamera::kFocusId, best + direction * distance));
      const double score = FocusScore(camera.RenderFrame(5));
      EXPECT_LT(score, previous) << "focus " << best + direction * distance;
      previous = score;
    }
  }
}

TEST(FocusScore, SimulatedCameraBrightnessDoesNotFakeFocus) {
  camera::SimulatedCamera camera;
  using C = camera::SimulatedCamera;
  const double base = FocusScore(camera.RenderFrame(5));
  ASSERT_TRUE(camera.SetControl(C::kBrightnessId, 30));
  EXPECT_NEAR(FocusScore(camera.RenderFrame(5)), base, 0.1 * base);
  ASSERT_TRUE(camera.SetControl(C::kBrightnessId, 0));
  ASSERT_TRUE(camera.SetControl(C::kContrastId, 30));
  EXPECT_NEAR(FocusScore(camera.RenderFrame(5)), base, 0.1 * base);
  // A brighter, more contrasted but defocused picture still scores below the sharp one.
  ASSERT_TRUE(camera.SetControl(C::kContrastId, 80));
  ASSERT_TRUE(camera.SetControl(C::kBrightnessId, 20));
  ASSERT_TRUE(camera.SetControl(C::kFocusId, C::kBestFocus + 48));
  EXPECT_LT(FocusScore(camera.RenderFrame(5)), base);
}

TEST(FocusScore, ScaleEndsNoiseAndDegeneratePlanes) {
  GreyImage flat{64, 48, std::vector<uint8_t>(64 * 48, 90)};
  EXPECT_EQ(FocusScore(flat.View()), 0.0);
  // A checkerboard of 2 x 2 squares is the finest detail the meter looks at.
  GreyImage board = flat;
  for (int32_t y = 0; y < 48; ++y) {
    for (int32_t x = 0; x < 64; ++x) {
      board.At(x, y) = (x / 2 + y / 2) % 2 ? 0 : 255;
    }
  }
  EXPECT_NEAR(FocusScore(board.View()), kFocusScoreMax, 0.5);
  // Detail at the pixel pitch is what sensor noise looks like: it is not focus.
  for (int32_t y = 0; y < 48; ++y) {
    for (int32_t x = 0; x < 64; ++x) {
      board.At(x, y) = (x + y) % 2 ? 0 : 255;
    }
  }
  EXPECT_LT(FocusScore(board.View()), 1.0);
  // Faint noise on a flat field (a covered lens) reads far below a sharp iris.
  const double sharp = FocusScore(test::IrisTexture(640, 480).View());
  std::mt19937 random(3);
  std::normal_distribution<double> noise(90.0, 1.0);
  GreyImage noisy{640, 480, std::vector<uint8_t>(640 * 480)};
  for (uint8_t& v : noisy.pixels) {
    v = static_cast<uint8_t>(std::lround(noise(random)));
  }
  EXPECT_LT(FocusScore(noisy.View()), 0.5 * sharp);
  // Too small for 3 x 3 bins in the centre: 0, not a fault.
  for (auto [w, h] : {std::pair{0, 0}, {1, 1}, {11, 11}, {40, 11}}) {
    GreyImage tiny{w, h, std::vector<uint8_t>(static_cast<size_t>(w * h), 0)};
    for (size_t i = 0; i < tiny.pixels.size(); ++i) {
      tiny.pixels[i] = static_cast<uint8_t>(i * 97);
    }
    EXPECT_EQ(FocusScore(tiny.View()), 0.0) << w << "x" << h;
    EXPECT_EQ(FocusScore(test::FrameOf(tiny)), 0.0) << w << "x" << h;
  }
  GreyImage smallest = test::IrisTexture(12, 12);
  EXPECT_GT(FocusScore(smallest.View()), 0.0);
}

TEST(FocusScore, FrameAndGreyPlaneAgreeIncludingStrideAndOddSizes) {
  camera::SimulatedCamera camera;
  const camera::Frame frame = camera.RenderFrame(3);
  const GreyImage grey = test::GreyOf(frame);
  EXPECT_DOUBLE_EQ(FocusScore(frame), FocusScore(grey.View()));
  // A plane inside a wider buffer measures the same as the plane alone.
  GreyImage odd = test::IrisTexture(101, 77);
  std::vector<uint8_t> wide(static_cast<size_t>(odd.height) * 130, 255);
  for (int32_t y = 0; y < odd.height; ++y) {
    std::copy_n(odd.pixels.data() + y * odd.width, odd.width, wide.data() + y * 130);
  }
  EXPECT_DOUBLE_EQ(FocusScore(GreyView{wide.data(), odd.width, odd.height, 130}),
                   FocusScore(odd.View()));
  EXPECT_DOUBLE_EQ(FocusScore(test::FrameOf(odd)), FocusScore(odd.View()));
}

TEST(FocusScore, OnlyTheCentreCounts) {
  GreyImage g = test::IrisTexture(200, 160);
  const double before = FocusScore(g.View());
  // Scribbling on the outer border (outside the central half) changes nothing.
  for (int32_t y = 0; y < 160; ++y) {
    for (int32_t x = 0; x < 200; ++x) {
      if (x < 48 || x >= 152 || y < 38 || y >= 122) {
        g.At(x, y) = static_cast<uint8_t>((x * 31 + y * 17) % 256);
      }
    }
  }
  EXPECT_DOUBLE_EQ(FocusScore(g.View()), before);
}

TEST(FocusScore, MalformedInputRaisesInvalidCall) {
  camera::Frame shortFrame{4, 4, 1, std::vector<uint8_t>(47)};
  camera::Frame negative{-1, 4, 1, {}};
  GreyImage g{8, 8, std::vector<uint8_t>(64)};
  for (auto call : std::vector<std::function<void()>>{
           [&] { FocusScore(shortFrame); }, [&] { FocusScore(negative); },
           [&] {
             FocusScore(GreyView{g.pixels.data(), 8, 8, 4});
           },
           [&] {
             FocusScore(GreyView{nullptr, 8, 8, 8});
           }}) {
    try {
      call();
      ADD_FAILURE() << "no error raised";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), kErrInvalidCall);
    }
  }
}

TEST(FocusMeter, KeepsTheBestSinceReset) {
  FocusMeter meter;
  EXPECT_EQ(meter.Current(), 0.0);
  EXPECT_EQ(meter.Best(), 0.0);
  for (double s : {12.0, 30.0, 25.0}) {
    meter.Add(s);
  }
  EXPECT_EQ(meter.Current(), 25.0);
  EXPECT_EQ(meter.Best(), 30.0);
  EXPECT_EQ(meter.Count(), 3u);
  meter.Reset();
  EXPECT_EQ(meter.Best(), 0.0);
  EXPECT_EQ(meter.Count(), 0u);
  // After a reset the first value is the best even when it is lower than before.
  meter.Add(8.0);
  EXPECT_EQ(meter.Best(), 8.0);
  meter.Add(std::nan(""));
  EXPECT_EQ(meter.Current(), 0.0);
  meter.Add(250.0);
  EXPECT_EQ(meter.Current(), kFocusScoreMax);
}

TEST(FocusMeter, FollowsAFocusRockThroughThePeak) {
  camera::SimulatedCamera camera;
  FocusMeter meter;
  const int32_t best = camera::SimulatedCamera::kBestFocus;
  double peak = 0;
  for (int32_t focus = best - 64; focus <= best + 64; focus += 16) {
    ASSERT_TRUE(camera.SetControl(camera::SimulatedCamera::kFocusId, focus));
    const double score = meter.Measure(camera.RenderFrame(7));
    EXPECT_EQ(score, meter.Current());
    if (focus == best) {
      peak = score;
    }
  }
  EXPECT_EQ(meter.Best(), peak);
  EXPECT_LT(meter.Current(), meter.Best());
  GreyImage g = test::IrisTexture(64, 48);
  EXPECT_EQ(meter.Measure(g.View()), FocusScore(g.View()));
}

}  // namespace
}  // namespace okuva::aids
