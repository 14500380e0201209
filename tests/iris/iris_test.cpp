// The iris analysis on simulated eyes of known geometry, on pictures without an eye
// and on hostile sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "iris/quality.h"
#include "platform/capture/simulated_camera.h"

namespace okuva::iris {
namespace {

using camera::SimulatedCamera;

struct Shot {
  GreyImage grey;
  SimulatedCamera::EyeGeometry truth;
};

struct Look {
  std::string name;
  SimulatedCamera::Eye eye;
  int32_t focus = SimulatedCamera::kBestFocus;
  int32_t brightness = 0;
  int32_t width = 640, height = 480;
};

Shot Render(const Look& look, uint64_t index = 0) {
  SimulatedCamera::Options options;
  options.framePerPoll = true;
  SimulatedCamera camera(options, look.eye);
  camera::StreamFormat format = camera.CurrentFormat();
  format.width = look.width;
  format.height = look.height;
  camera.SetFormat(format);
  camera.SetControl(SimulatedCamera::kFocusId, look.focus);
  camera.SetControl(SimulatedCamera::kBrightnessId, look.brightness);
  const camera::Frame frame = camera.RenderFrame(index);
  return {GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3), camera.GeometryAt(index)};
}

SimulatedCamera::Eye Eye(double offsetX = 0, double offsetY = 0, double iris = 110, double pupil = 42) {
  SimulatedCamera::Eye e;
  e.offsetX = offsetX;
  e.offsetY = offsetY;
  e.irisRadius = iris;
  e.pupilRadius = pupil;
  return e;
}

std::vector<Look> Variations() {
  std::vector<Look> looks;
  looks.push_back({"default", Eye()});
  looks.push_back({"left and low", Eye(-150, 60)});
  looks.push_back({"small iris", Eye(0, 0, 60, 24)});
  looks.push_back({"dilated pupil", Eye(0, 0, 110, 70)});
  looks.push_back({"constricted pupil", Eye(0, 0, 110, 26)});
  auto lid = Eye();
  lid.lidClosure = 0.3;
  looks.push_back({"lid a third down", lid});
  auto noisy = Eye();
  noisy.noise = 8;
  looks.push_back({"noisy", noisy});
  looks.push_back({"blurred", Eye(), SimulatedCamera::kBestFocus + 96});
  looks.push_back({"bright", Eye(), SimulatedCamera::kBestFocus, 40});
  looks.push_back({"dark", Eye(), SimulatedCamera::kBestFocus, -50});
  looks.push_back({"1280 x 720", Eye(40, -20), SimulatedCamera::kBestFocus, 0, 1280, 720});
  for (Look look : std::vector<Look>(looks.begin(), looks.begin() + 7)) {
    look.name = "near-infrared " + look.name;
    look.eye.nearInfrared = true;
    looks.push_back(look);
  }
  return looks;
}

TEST(IrisCircles, SimulatedEyesWithinTwoPixelsAndFivePercent) {
  for (const Look& look : Variations()) {
    for (uint64_t index : {0u, 37u}) {
      const Shot shot = Render(look, index);
      const Quality q = Assess(shot.grey.View());
      SCOPED_TRACE(look.name + " frame " + std::to_string(index));
      ASSERT_TRUE(q.circles.pupil && q.circles.iris);
      const Circle& p = *q.circles.pupil;
      const Circle& i = *q.circles.iris;
      EXPECT_LE(std::hypot(p.x - shot.truth.x, p.y - shot.truth.y), 2.0);
      EXPECT_LE(std::hypot(i.x - shot.truth.x, i.y - shot.truth.y), 2.0);
      EXPECT_NEAR(p.radius, shot.truth.pupilRadius, 0.05 * shot.truth.pupilRadius);
      EXPECT_NEAR(i.radius, shot.truth.irisRadius, 0.05 * shot.truth.irisRadius);
      EXPECT_GT(p.confidence, 0.3);
      EXPECT_GT(i.confidence, 0.3);
    }
  }
}

TEST(IrisMetrics, MoveTheRightWay) {
  for (bool nir : {false, true}) {
    SCOPED_TRACE(nir ? "near-infrared" : "visible");
    auto eye = Eye();
    eye.nearInfrared = nir;
    const Quality good = Assess(Render({"", eye}).grey.View());
    EXPECT_TRUE(good.pass) << (good.failed.empty() ? "" : ThresholdOf(good.failed[0]).name);
    EXPECT_GE(good.Value(Metric::kUsableIrisArea), 85);

    auto closing = eye;
    closing.lidClosure = 0.35;
    const Quality lidded = Assess(Render({"", closing}).grey.View());
    EXPECT_LT(lidded.Value(Metric::kUsableIrisArea), good.Value(Metric::kUsableIrisArea) - 10);
    EXPECT_GT(lidded.mask.Count(Occlusion::kUpperLid), good.mask.Count(Occlusion::kUpperLid));

    const Quality blurred = Assess(Render({"", eye, SimulatedCamera::kBestFocus + 127}).grey.View());
    EXPECT_LT(blurred.Value(Metric::kSharpness), good.Value(Metric::kSharpness) / 2);
    EXPECT_FALSE(blurred.Passed(Metric::kSharpness));

    auto atEdge = eye;
    atEdge.offsetX = 235;
    const Quality edge = Assess(Render({"", atEdge}).grey.View());
    EXPECT_LT(edge.Value(Metric::kMarginAdequacy), 80);
    EXPECT_FALSE(edge.pass);

    auto small = eye;
    small.irisRadius = 70;
    small.pupilRadius = 27;
    const Quality tiny = Assess(Render({"", small}).grey.View());
    EXPECT_FALSE(tiny.Passed(Metric::kIrisDiameter));
    EXPECT_TRUE(tiny.Passed(Metric::kPupilIrisRatio));

    auto wide = eye;
    wide.pupilRadius = 85;
    EXPECT_FALSE(Assess(Render({"", wide}).grey.View()).Passed(Metric::kPupilIrisRatio));
  }
}

// The dim look of a real iris camera: soft dark levels, a lid over the top fifth,
// lashes, the spot on the pupil's edge, and an iris nearly as dark as the pupil.
TEST(IrisCircles, DimNearInfraredEyes) {
  for (bool darkIris : {false, true}) {
    for (auto [iris, pupil] : {std::pair{110.0, 42.0}, {70.0, 20.0}}) {
      auto eye = Eye(-30, 20, iris, pupil);
      eye.nearInfrared = eye.dim = true;
      eye.darkIris = darkIris;
      eye.noise = 2;
      const Shot shot = Render({"", eye});
      SCOPED_TRACE(std::string(darkIris ? "dark iris " : "iris ") + std::to_string(iris));
      const Quality q = Assess(shot.grey.View());
      ASSERT_TRUE(q.circles.pupil && q.circles.iris);
      const Circle& p = *q.circles.pupil;
      const Circle& i = *q.circles.iris;
      // The pupil, not a ring inside the iris nor the whole dark iris, nor the spot's halo.
      EXPECT_LE(std::hypot(p.x - shot.truth.x, p.y - shot.truth.y), 0.1 * shot.truth.pupilRadius + 1);
      EXPECT_NEAR(p.radius, shot.truth.pupilRadius, 0.1 * shot.truth.pupilRadius);
      // The limbus, not the lid's margin.
      EXPECT_LE(std::hypot(i.x - shot.truth.x, i.y - shot.truth.y), 0.05 * shot.truth.irisRadius + 1);
      EXPECT_NEAR(i.radius, shot.truth.irisRadius, 0.06 * shot.truth.irisRadius);
      EXPECT_GE(p.confidence, kMinConfidence);
      // The lid over the top fifth hides about a sixth of the ring, the lashes a little more.
      EXPECT_GT(q.Value(Metric::kUsableIrisArea), 65);
      EXPECT_LT(q.Value(Metric::kUsableIrisArea), 88);
      EXPECT_GT(q.mask.Count(Occlusion::kUpperLid), 0u);
    }
  }
}

// Steps are shares of the picture's own contrast and spans grow with the radius: the
// same eye darkened, brightened or halved into a 200 x 200 crop gives the same circles.
TEST(IrisCircles, SameCirclesAtAnyExposureAndScale) {
  auto eye = Eye(0, 0, 110, 42);
  eye.nearInfrared = eye.dim = true;
  eye.drift = false;
  const Shot shot = Render({"", eye});
  const EyeCircles base = FindCircles(shot.grey.View());
  ASSERT_TRUE(base.pupil && base.iris);
  auto same = [&base](const EyeCircles& c, double scale, double shiftX, double shiftY) {
    ASSERT_TRUE(c.pupil && c.iris);
    EXPECT_NEAR(c.pupil->x, base.pupil->x * scale + shiftX, 1.0);
    EXPECT_NEAR(c.pupil->y, base.pupil->y * scale + shiftY, 1.0);
    EXPECT_NEAR(c.pupil->radius, base.pupil->radius * scale, 1.0);
    EXPECT_NEAR(c.iris->radius, base.iris->radius * scale, 0.03 * base.iris->radius * scale + 0.5);
  };
  for (auto [gain, offset] : {std::pair{0.5, 0.0}, {3.0, 0.0}, {2.0, 60.0}}) {
    SCOPED_TRACE("gain " + std::to_string(gain) + " offset " + std::to_string(offset));
    GreyImage g = shot.grey;
    for (uint8_t& v : g.pixels) v = static_cast<uint8_t>(std::clamp(v * gain + offset, 0.0, 255.0));
    same(FindCircles(g.View()), 1, 0, 0);
  }
  // Halved and cut to 200 x 200 around the eye, as an iris camera's close crop.
  GreyImage crop{200, 200, std::vector<uint8_t>(200 * 200)};
  const int32_t left = 120, top = 40;
  for (int32_t y = 0; y < 200; ++y)
    for (int32_t x = 0; x < 200; ++x) {
      int sum = 0;
      for (int32_t d = 0; d < 4; ++d) sum += shot.grey.View().At(left + 2 * x + d % 2, top + 2 * y + d / 2);
      crop.pixels[static_cast<size_t>(y) * 200 + x] = static_cast<uint8_t>((sum + 2) / 4);
    }
  SCOPED_TRACE("200 x 200 crop");
  same(FindCircles(crop.View()), 0.5, -left / 2.0, -top / 2.0);
}

GreyImage Plane(int32_t width, int32_t height, uint8_t level) {
  return {width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height, level)};
}

// The limbus seen on its side arcs keeps the height its edges give when they are clean,
// even with the pupil off its centre by more than a tenth of R (pupils sit off centre).
TEST(IrisCircles, DecentredPupilLeavesTheLimbusWhereItIs) {
  for (double shift : {-0.15, 0.15}) {
    SCOPED_TRACE("pupil shifted by " + std::to_string(shift) + " R");
    GreyImage g = Plane(640, 480, 220);
    for (int32_t y = 0; y < 480; ++y)
      for (int32_t x = 0; x < 640; ++x) {
        const double dx = x + 0.5 - 320, dy = y + 0.5 - 240;
        uint8_t& v = g.pixels[static_cast<size_t>(y) * 640 + x];
        if (dx * dx + dy * dy < 110 * 110) v = static_cast<uint8_t>(90 + (x * 7 + y * 13) % 40);
        if (std::hypot(dx, dy - shift * 110) < 42) v = 15;
      }
    const Quality q = Assess(g.View());
    ASSERT_TRUE(q.circles.pupil && q.circles.iris);
    EXPECT_NEAR(q.circles.pupil->y, 240 + shift * 110, 1.5);
    EXPECT_NEAR(q.circles.iris->x, 320, 1.5);
    EXPECT_NEAR(q.circles.iris->y, 240, 2);
    EXPECT_NEAR(q.circles.iris->radius, 110, 2);
  }
}

TEST(IrisMetrics, OvalPupilLowersCircularity) {
  // A drawn eye whose pupil is squashed vertically by `aspect`.
  auto circularity = [](double aspect) {
    GreyImage g = Plane(640, 480, 220);
    for (int32_t y = 0; y < 480; ++y)
      for (int32_t x = 0; x < 640; ++x) {
        const double dx = x + 0.5 - 320, dy = y + 0.5 - 240;
        uint8_t& v = g.pixels[static_cast<size_t>(y) * 640 + x];
        if (dx * dx + dy * dy < 110 * 110) v = static_cast<uint8_t>(90 + (x * 7 + y * 13) % 40);
        if (std::hypot(dx, dy / aspect) < 42) v = 15;
      }
    return Assess(g.View()).Value(Metric::kPupilBoundaryCircularity);
  };
  EXPECT_GT(circularity(1.0), 95);
  EXPECT_LT(circularity(0.9), 80);
  EXPECT_LT(circularity(0.8), circularity(0.9));
  // A round pupil whose soft edge the sensor's noise makes ragged is still round.
  auto eye = Eye(-30, 20);
  eye.nearInfrared = eye.dim = true;
  eye.noise = 4;
  for (uint64_t index : {0u, 37u})
    EXPECT_TRUE(Assess(Render({"", eye}, index).grey.View()).Passed(Metric::kPupilBoundaryCircularity)) << index;
}

// On stripes two pixels wide and d levels apart the 4 x 4 band-pass gives +-2d/3 or 0
// (mean square 2d^2/9, less 1/36 for the rounding to whole levels that white noise of
// 1/12 level^2 would put in it) and every 8 x 8 window has a variance of d^2/4.
TEST(IrisMetrics, SharpnessIsDetailOverItsOwnContrast) {
  auto stripes = [](uint8_t low, uint8_t high) {
    GreyImage g = Plane(39, 39, 0);
    for (size_t i = 0; i < g.pixels.size(); ++i) g.pixels[i] = ((i % 39 + 1) / 2) % 2 ? high : low;
    return g;
  };
  auto expected = [](double d) {
    const double q = (2 * d * d / 9 - 1.0 / 36) / (d * d / 4 + kSharpnessNoiseFloor * kSharpnessNoiseFloor);
    return 100 * q / (q + kSharpnessHalfRatio * kSharpnessHalfRatio);
  };
  const Circle region{19.5, 19.5, 19.5, 1};
  EXPECT_NEAR(Sharpness(stripes(100, 120).View(), region), expected(20), 1e-9);
  EXPECT_NEAR(Sharpness(stripes(60, 72).View(), region), expected(12), 1e-9);
  // The illuminator's clipped spot: the windows that touch it take no part.
  GreyImage spot = stripes(100, 120);
  for (int32_t y = 17; y < 22; ++y)
    for (int32_t x = 17; x < 22; ++x) spot.pixels[static_cast<size_t>(y) * 39 + x] = 255;
  EXPECT_NEAR(Sharpness(spot.View(), region), expected(20), 1e-9);
  GreyImage clipped = stripes(200, 230);  // one pixel at the clipping level
  clipped.pixels[19 * 39 + 19] = kSharpnessClipped;
  EXPECT_NEAR(Sharpness(clipped.View(), region), expected(30), 1e-9);
  EXPECT_EQ(Sharpness(Plane(39, 39, 90).View(), region), 0);
  // Pixel noise is not detail.
  GreyImage noise = Plane(200, 200, 0);
  std::mt19937 random(3);
  std::normal_distribution<double> normal(128, 8);
  for (uint8_t& v : noise.pixels) v = static_cast<uint8_t>(std::lround(normal(random)));
  EXPECT_LT(Sharpness(noise.View(), {100, 100, 100, 1}), 10);
}

// Darkened to 0.6 or brightened to 1.5 times, the same eye in focus is as sharp, and out
// of focus still fails.
TEST(IrisMetrics, SharpnessHoldsAcrossExposure) {
  for (bool dim : {false, true}) {
    auto eye = Eye();
    eye.nearInfrared = true;
    eye.dim = dim;
    eye.noise = dim ? 2 : 0;
    for (int32_t focus : {SimulatedCamera::kBestFocus, SimulatedCamera::kBestFocus + 127}) {
      SCOPED_TRACE(std::string(dim ? "dim" : "bright") + " focus " + std::to_string(focus));
      const Shot shot = Render({"", eye, focus});
      const Quality q = Assess(shot.grey.View());
      ASSERT_TRUE(q.circles.iris);
      const double sharpness = q.Value(Metric::kSharpness);
      const bool sharp = focus == SimulatedCamera::kBestFocus;
      EXPECT_EQ(Passes(Metric::kSharpness, sharpness), sharp) << sharpness;
      for (double gain : {0.6, 1.5}) {
        GreyImage g = shot.grey;
        for (uint8_t& v : g.pixels) v = static_cast<uint8_t>(std::min(255.0, std::round(v * gain)));
        const double exposed = Sharpness(g.View(), *q.circles.iris);
        if (sharp) {
          EXPECT_NEAR(exposed, sharpness, 2) << gain;
        }
        EXPECT_EQ(Passes(Metric::kSharpness, exposed), sharp) << gain << ": " << exposed;
      }
    }
  }
}

TEST(IrisMetrics, NoEyeNoCirclesAndAFailingVerdict) {
  std::vector<GreyImage> pictures;
  pictures.push_back(Plane(640, 480, 128));
  GreyImage noise = Plane(640, 480, 0), ramp = Plane(640, 480, 0), blocks = Plane(640, 480, 0);
  std::mt19937 random(5);
  for (auto& v : noise.pixels) v = static_cast<uint8_t>(random() & 0xFF);
  for (int32_t y = 0; y < 480; ++y)
    for (int32_t x = 0; x < 640; ++x) {
      ramp.pixels[static_cast<size_t>(y) * 640 + x] = static_cast<uint8_t>(x * 255 / 639);
      blocks.pixels[static_cast<size_t>(y) * 640 + x] = static_cast<uint8_t>(((x / 80 + y / 60) % 2) ? 200 : 40);
    }
  pictures.push_back(noise);
  pictures.push_back(ramp);
  pictures.push_back(blocks);
  for (const GreyImage& picture : pictures) {
    const Quality q = Assess(picture.View());
    EXPECT_FALSE(q.circles.pupil.has_value());
    EXPECT_FALSE(q.circles.iris.has_value());
    EXPECT_FALSE(q.pass);
    EXPECT_EQ(q.failed.size(), kMetricCount);
  }
}

TEST(IrisMetrics, HostileSizesNeverCrash) {
  for (auto [w, h] : {std::pair{1, 1}, {65535, 1}, {1, 65535}, {63, 480}, {64, 64}, {65535, 64}}) {
    const GreyImage picture = Plane(w, h, 20);
    const Quality q = Assess(picture.View());
    EXPECT_FALSE(q.circles.iris.has_value()) << w << " x " << h;
    EXPECT_FALSE(q.pass);
  }
  EXPECT_FALSE(Assess(GreyPlane{nullptr, 640, 480, 640}).pass);
  EXPECT_FALSE(Assess(GreyPlane{}).pass);
  // Sharpness of regions of every parity and of circles running off the picture.
  std::mt19937 random(9);
  for (auto [w, h] : {std::pair{8, 8}, {9, 8}, {8, 9}, {11, 13}, {121, 120}, {120, 121}}) {
    GreyImage picture = Plane(w, h, 0);
    for (uint8_t& v : picture.pixels) v = static_cast<uint8_t>(random() & 0xFF);
    for (const Circle& c : {Circle{w / 2.0, h / 2.0, 100, 1}, Circle{0, 0, 9, 1}, Circle{w + 3.0, h / 2.0, 8, 1}}) {
      const double s = Sharpness(picture.View(), c);
      EXPECT_TRUE(s >= 0 && s <= 100) << w << " x " << h << ": " << s;
    }
  }
  // A whole eye larger than the picture: circles may run off every edge.
  Look close{"", Eye(0, 0, 300, 120)};
  const Quality q = Assess(Render(close).grey.View());
  EXPECT_FALSE(q.pass);
}

TEST(IrisThresholds, BoundsIncludedOrNotAsRecommended) {
  EXPECT_TRUE(Passes(Metric::kIrisDiameter, 200));
  EXPECT_FALSE(Passes(Metric::kIrisDiameter, 199.9));
  EXPECT_FALSE(Passes(Metric::kIrisScleraContrast, 5));
  EXPECT_TRUE(Passes(Metric::kPupilIrisRatio, 70));
  EXPECT_FALSE(Passes(Metric::kPupilIrisRatio, 70.1));
  EXPECT_FALSE(Passes(Metric::kPupilIrisRatio, 19.9));
  EXPECT_FALSE(Passes(Metric::kMarginAdequacy, 80));
  EXPECT_TRUE(Passes(Metric::kSharpness, 50));
  EXPECT_FALSE(Passes(Metric::kSharpness, 49.9));
  EXPECT_FALSE(Passes(Metric::kUsableIrisArea, std::nan("")));
  for (size_t i = 0; i < kMetricCount; ++i) EXPECT_EQ(Thresholds()[i].metric, static_cast<Metric>(i));
}

}  // namespace
}  // namespace okuva::iris
