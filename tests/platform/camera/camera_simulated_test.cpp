#include "platform/camera/camera.h"
#include "platform/camera/simulated_camera.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

namespace okuva::camera {
namespace {

double Grey(const Frame& f, int32_t x, int32_t y) {
  const uint8_t* p = f.rgb.data() + (static_cast<size_t>(y) * f.width + x) * 3;
  return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
}

double Mean(const Frame& f) {
  double sum = 0;
  for (uint8_t b : f.rgb) {
    sum += b;
  }
  return sum / static_cast<double>(f.rgb.size());
}

double StdDev(const Frame& f) {
  const double mean = Mean(f);
  double sum = 0;
  for (uint8_t b : f.rgb) {
    sum += (b - mean) * (b - mean);
  }
  return std::sqrt(sum / static_cast<double>(f.rgb.size()));
}

// Mean squared Laplacian over the central half of the frame: high-frequency energy.
double Sharpness(const Frame& f) {
  double sum = 0;
  int64_t n = 0;
  for (int32_t y = f.height / 4; y < 3 * f.height / 4; ++y) {
    for (int32_t x = f.width / 4; x < 3 * f.width / 4; ++x) {
      const double lap = 4 * Grey(f, x, y) - Grey(f, x - 1, y) - Grey(f, x + 1, y) -
                         Grey(f, x, y - 1) - Grey(f, x, y + 1);
      sum += lap * lap;
      ++n;
    }
  }
  return sum / static_cast<double>(n);
}

SimulatedCamera::Options TestMode(uint32_t settle = 0) {
  SimulatedCamera::Options options;
  options.framePerPoll = true;
  options.settleFrames = settle;
  return options;
}

TEST(SimulatedCamera, FramesAreDeterministicAndMove) {
  SimulatedCamera a(TestMode()), b(TestMode());
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());
  std::vector<std::vector<uint8_t>> seen;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(a.Poll());
    ASSERT_TRUE(b.Poll());
    EXPECT_EQ(a.Latest().rgb, b.Latest().rgb) << "frame " << i;
    seen.push_back(a.Latest().rgb);
  }
  EXPECT_EQ(a.Latest().width, 640);
  EXPECT_EQ(a.Latest().height, 480);
  EXPECT_EQ(a.Latest().rgb.size(), 640u * 480u * 3u);
  EXPECT_EQ(a.Latest().sequence, 20u);
  // The eye wanders: frames a few apart differ, and rendering again gives the same.
  EXPECT_NE(seen[0], seen[10]);
  EXPECT_EQ(a.RenderFrame(9).rgb, seen[9]);
}

TEST(SimulatedCamera, LooksLikeAnEye) {
  SimulatedCamera camera(TestMode());
  const Frame f = camera.RenderFrame(0);
  // The drift is at most 14 pixels; sample well inside each region.
  const int32_t cx = f.width / 2, cy = f.height / 2;
  EXPECT_LT(Grey(f, cx, cy), 40) << "pupil";
  EXPECT_GT(Grey(f, cx + 170, cy + 10), 170) << "sclera beside the iris";
  EXPECT_GT(Grey(f, 20, 20), 120) << "skin in the corner";
  EXPECT_LT(Grey(f, 20, 20), 230);
  // Iris ring: between pupil and sclera in brightness, with strong angular texture.
  double lo = 255, hi = 0;
  for (int a = 0; a < 360; ++a) {
    const double t = a * 3.14159265 / 180;
    const double g = Grey(f, cx + static_cast<int32_t>(75 * std::cos(t)),
                          cy + static_cast<int32_t>(75 * std::sin(t)));
    lo = std::min(lo, g);
    hi = std::max(hi, g);
  }
  EXPECT_GT(hi - lo, 40) << "iris texture";
  EXPECT_LT(lo, Grey(f, cx + 170, cy + 10));
}

TEST(SimulatedCamera, BrightnessAndContrastAct) {
  SimulatedCamera camera(TestMode());
  const Frame base = camera.RenderFrame(3);
  ASSERT_TRUE(camera.SetControl(SimulatedCamera::kBrightnessId, 40));
  const Frame brighter = camera.RenderFrame(3);
  EXPECT_GT(Mean(brighter), Mean(base) + 25);
  ASSERT_TRUE(camera.SetControl(SimulatedCamera::kBrightnessId, -40));
  EXPECT_LT(Mean(camera.RenderFrame(3)), Mean(base) - 25);
  ASSERT_TRUE(camera.SetControl(SimulatedCamera::kBrightnessId, 0));
  ASSERT_TRUE(camera.SetControl(SimulatedCamera::kContrastId, 80));
  EXPECT_GT(StdDev(camera.RenderFrame(3)), StdDev(base) * 1.3);
  ASSERT_TRUE(camera.SetControl(SimulatedCamera::kContrastId, 20));
  EXPECT_LT(StdDev(camera.RenderFrame(3)), StdDev(base) * 0.7);

  // Out-of-range values and unknown controls are refused and change nothing.
  EXPECT_FALSE(camera.SetControl(SimulatedCamera::kBrightnessId, 65));
  EXPECT_FALSE(camera.LastError().empty());
  EXPECT_FALSE(camera.SetControl(0x12345, 1));
  const auto controls = camera.Controls();
  ASSERT_EQ(controls.size(), 3u);
  EXPECT_EQ(controls[0].value, 0);
  EXPECT_EQ(controls[1].value, 20);
  EXPECT_EQ(controls[2].value, SimulatedCamera::kBestFocus);
}

TEST(SimulatedCamera, DefocusLowersSharpnessMonotonically) {
  SimulatedCamera camera(TestMode());
  double previous = 0;
  for (int32_t focus = SimulatedCamera::kBestFocus; focus <= 255; focus += 12) {
    ASSERT_TRUE(camera.SetControl(SimulatedCamera::kFocusId, focus));
    const double s = Sharpness(camera.RenderFrame(0));
    if (focus != SimulatedCamera::kBestFocus) {
      EXPECT_LT(s, previous) << "focus " << focus;
    }
    previous = s;
  }
  // The other side of the best value blurs as well, the same amount at the same distance.
  ASSERT_TRUE(camera.SetControl(SimulatedCamera::kFocusId, SimulatedCamera::kBestFocus - 40));
  const double below = Sharpness(camera.RenderFrame(0));
  ASSERT_TRUE(camera.SetControl(SimulatedCamera::kFocusId, SimulatedCamera::kBestFocus + 40));
  EXPECT_DOUBLE_EQ(below, Sharpness(camera.RenderFrame(0)));
  ASSERT_TRUE(camera.SetControl(SimulatedCamera::kFocusId, SimulatedCamera::kBestFocus));
  EXPECT_GT(Sharpness(camera.RenderFrame(0)), 4 * below);
}

TEST(SimulatedCamera, FormatsSwitchSizes) {
  SimulatedCamera camera(TestMode());
  const auto formats = camera.Formats();
  ASSERT_EQ(formats.size(), 2u);
  EXPECT_EQ(formats[0].width, 640);
  EXPECT_EQ(formats[1].width, 1280);
  EXPECT_EQ(formats[1].height, 720);
  ASSERT_EQ(formats[1].rates.size(), 2u);

  ASSERT_TRUE(camera.Start());
  const auto granted = camera.SetFormat({SimulatedCamera::kFourcc, 1280, 720, {1, 15}});
  ASSERT_TRUE(granted);
  EXPECT_EQ(granted->width, 1280);
  EXPECT_EQ(granted->rate.denominator, 15u);
  ASSERT_TRUE(camera.Poll());
  EXPECT_EQ(camera.Latest().width, 1280);
  EXPECT_EQ(camera.Latest().height, 720);
  EXPECT_EQ(camera.Latest().rgb.size(), 1280u * 720u * 3u);

  // Like a driver: odd sizes and rates snap to the nearest offered.
  const auto snapped = camera.SetFormat({SimulatedCamera::kFourcc, 700, 500, {1, 25}});
  ASSERT_TRUE(snapped);
  EXPECT_EQ(snapped->width, 640);
  EXPECT_EQ(snapped->height, 480);
  EXPECT_EQ(snapped->rate.denominator, 30u);
  EXPECT_EQ(camera.CurrentFormat().width, 640);
  // Another pixel format is refused and the current one stays.
  EXPECT_FALSE(camera.SetFormat({0x56595559, 640, 480, {1, 30}}));
  EXPECT_EQ(camera.CurrentFormat().fourcc, SimulatedCamera::kFourcc);
}

TEST(SimulatedCamera, SettleFramesAreDroppedAfterStartAndFormatChange) {
  SimulatedCamera camera(TestMode(2));
  EXPECT_EQ(camera.SettleFrames(), 2u);
  EXPECT_FALSE(camera.Poll()) << "not started";
  ASSERT_TRUE(camera.Start());
  EXPECT_FALSE(camera.Poll());
  EXPECT_FALSE(camera.Poll());
  EXPECT_TRUE(camera.Latest().rgb.empty());
  ASSERT_TRUE(camera.Poll());
  EXPECT_EQ(camera.Latest().sequence, 3u);
  EXPECT_EQ(camera.Latest().rgb, camera.RenderFrame(2).rgb);

  ASSERT_TRUE(camera.SetFormat({SimulatedCamera::kFourcc, 1280, 720, {1, 30}}));
  EXPECT_FALSE(camera.Poll());
  EXPECT_FALSE(camera.Poll());
  EXPECT_EQ(camera.Latest().width, 640) << "the last good frame stays until a settled one comes";
  ASSERT_TRUE(camera.Poll());
  EXPECT_EQ(camera.Latest().width, 1280);
  EXPECT_EQ(camera.Latest().sequence, 6u);

  camera.SetSettleFrames(0);
  camera.Stop();
  EXPECT_EQ(camera.State(), CameraState::Stopped);
  EXPECT_FALSE(camera.Poll());
  ASSERT_TRUE(camera.Start());
  EXPECT_TRUE(camera.Poll());
}

TEST(SimulatedCamera, UnplugAndReconnectKeepSettings) {
  SimulatedCamera camera(TestMode());
  ASSERT_TRUE(camera.Start());
  ASSERT_TRUE(camera.SetControl(SimulatedCamera::kBrightnessId, 30));
  ASSERT_TRUE(camera.SetFormat({SimulatedCamera::kFourcc, 1280, 720, {1, 15}}));
  ASSERT_TRUE(camera.Poll());
  EXPECT_FALSE(camera.Reconnect()) << "nothing to reconnect while streaming";

  camera.Unplug();
  EXPECT_FALSE(camera.Poll());
  EXPECT_EQ(camera.State(), CameraState::Unplugged);
  EXPECT_FALSE(camera.Reconnect());
  EXPECT_FALSE(camera.Latest().rgb.empty()) << "the last frame stays for the operator";

  camera.Replug();
  ASSERT_TRUE(camera.Reconnect());
  EXPECT_EQ(camera.State(), CameraState::Streaming);
  ASSERT_TRUE(camera.Poll());
  EXPECT_EQ(camera.Latest().width, 1280);
  EXPECT_EQ(camera.Controls()[0].value, 30);
}

TEST(SimulatedCamera, RealTimeModeDeliversWithoutBlocking) {
  SimulatedCamera camera;  // frames by elapsed time, 30 per second
  EXPECT_EQ(camera.PollDescriptor(), -1);
  ASSERT_TRUE(camera.Start());
  const auto start = std::chrono::steady_clock::now();
  int delivered = 0;
  uint64_t lastSequence = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2) && delivered < 3) {
    if (camera.Poll()) {
      ++delivered;
      EXPECT_GT(camera.Latest().sequence, lastSequence);
      lastSequence = camera.Latest().sequence;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(delivered, 3);
  // Default settle frames are dropped first, so the first frame shown is not frame 1.
  EXPECT_GT(lastSequence, 3u);
}

TEST(OpenDefaultCamera, ChosenByEnvironment) {
  ::setenv("OKUVA_CAMERA", "simulated", 1);
  auto camera = OpenDefaultCamera();
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(camera->Identity(), "simulated");
  EXPECT_EQ(camera->Name(), "Cámara simulada");
  ::setenv("OKUVA_CAMERA", "none", 1);
  EXPECT_EQ(OpenDefaultCamera(), nullptr);
  ::setenv("OKUVA_CAMERA", "/dev/okuva-no-such-video", 1);
  EXPECT_EQ(OpenDefaultCamera(), nullptr) << "a named device that does not exist";
  ::setenv("OKUVA_CAMERA", "simulated", 1);
}

}  // namespace
}  // namespace okuva::camera
