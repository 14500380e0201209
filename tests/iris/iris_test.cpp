// The iris analysis on simulated eyes of known geometry, on pictures without an eye
// and on hostile sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "iris/circles_detail.h"
#include "iris/confidence.h"
#include "iris/quality.h"
#include "platform/camera/simulated_camera.h"

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
  return {GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3),
          camera.GeometryAt(index)};
}

SimulatedCamera::Eye Eye(double offsetX = 0, double offsetY = 0, double iris = 110,
                         double pupil = 42) {
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
      // Clean boundaries all round: far above the threshold, where real eyes' right
      // pairs sit near 0.75.
      EXPECT_GT(p.confidence, 0.8);
      EXPECT_GT(i.confidence, 0.8);
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

    const Quality blurred =
        Assess(Render({"", eye, SimulatedCamera::kBestFocus + 127}).grey.View());
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
      EXPECT_LE(std::hypot(p.x - shot.truth.x, p.y - shot.truth.y),
                0.1 * shot.truth.pupilRadius + 1);
      EXPECT_NEAR(p.radius, shot.truth.pupilRadius, 0.1 * shot.truth.pupilRadius);
      // The limbus, not the lid's margin.
      EXPECT_LE(std::hypot(i.x - shot.truth.x, i.y - shot.truth.y),
                0.05 * shot.truth.irisRadius + 1);
      EXPECT_NEAR(i.radius, shot.truth.irisRadius, 0.06 * shot.truth.irisRadius);
      EXPECT_GE(p.confidence, 2 * kMinConfidence);
      // The lid over the top fifth hides about a sixth of the ring, the lashes a little more.
      EXPECT_GT(q.Value(Metric::kUsableIrisArea), 65);
      EXPECT_LT(q.Value(Metric::kUsableIrisArea), 88);
      EXPECT_GT(q.mask.Count(Occlusion::kUpperLid), 0u);
      // Darkened to half, as a shorter exposure: the spot no longer reaches white and
      // the steps shrink to a few levels, yet the circles stay where they were.
      GreyImage dark = shot.grey;
      for (uint8_t& v : dark.pixels) {
        v = static_cast<uint8_t>((v + 1) / 2);
      }
      const EyeCircles c = FindCircles(dark.View());
      ASSERT_TRUE(c.pupil && c.iris);
      EXPECT_LE(std::hypot(c.pupil->x - p.x, c.pupil->y - p.y), 1.0);
      EXPECT_NEAR(c.pupil->radius, p.radius, 1.0);
      EXPECT_LE(std::hypot(c.iris->x - i.x, c.iris->y - i.y), 2.0);
      EXPECT_NEAR(c.iris->radius, i.radius, 0.03 * i.radius);
      // A lamp's white reflection over 3 %, 6 % or a fifth of the picture, away from the
      // eye, is not the picture's contrast: the dim eye's steps stay large enough to be
      // found, and the spot on its pupil is still a highlight.
      for (auto [rows, columns] : {std::pair{96, 96}, {29, 640}, {96, 640}}) {
        GreyImage lamp = shot.grey;
        for (int32_t y = 0; y < rows; ++y) {
          std::fill_n(lamp.pixels.begin() + y * lamp.width, columns, uint8_t{255});
        }
        const EyeCircles l = FindCircles(lamp.View());
        ASSERT_TRUE(l.pupil && l.iris) << rows << " x " << columns;
        EXPECT_LE(std::hypot(l.pupil->x - p.x, l.pupil->y - p.y), 1.0);
        EXPECT_LE(std::hypot(l.iris->x - i.x, l.iris->y - i.y), 2.0);
      }
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
    for (uint8_t& v : g.pixels) {
      v = static_cast<uint8_t>(std::clamp(v * gain + offset, 0.0, 255.0));
    }
    same(FindCircles(g.View()), 1, 0, 0);
  }
  // Halved and cut to 200 x 200 around the eye, as an iris camera's close crop.
  GreyImage crop{200, 200, std::vector<uint8_t>(200 * 200)};
  const int32_t left = 120, top = 40;
  for (int32_t y = 0; y < 200; ++y) {
    for (int32_t x = 0; x < 200; ++x) {
      int sum = 0;
      for (int32_t d = 0; d < 4; ++d) {
        sum += shot.grey.View().At(left + 2 * x + d % 2, top + 2 * y + d / 2);
      }
      crop.pixels[static_cast<size_t>(y) * 200 + x] = static_cast<uint8_t>((sum + 2) / 4);
    }
  }
  SCOPED_TRACE("200 x 200 crop");
  const EyeCircles cropped = FindCircles(crop.View());
  same(cropped, 0.5, -left / 2.0, -top / 2.0);
  // Shifted within its frame, as some crops are, with black rows and columns padding
  // it: the padding is no part of the eye (the pupil is not that black).
  for (int32_t y = 0; y < 200; ++y) {
    for (int32_t x = 0; x < 200; ++x) {
      uint8_t& v = crop.pixels[static_cast<size_t>(y) * 200 + x];
      v = y < 14 || y >= 186 || x < 3 || x >= 197 ? 0 : v;
    }
  }
  SCOPED_TRACE("padded");
  const EyeCircles padded = FindCircles(crop.View());
  same(padded, 0.5, -left / 2.0, -top / 2.0);
  ASSERT_TRUE(padded.pupil && cropped.pupil);
  EXPECT_NEAR(padded.pupil->confidence, cropped.pupil->confidence, 0.05);
}

GreyImage Plane(int32_t width, int32_t height, uint8_t level) {
  return {width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height, level)};
}

// A textured iris of radius 110 at (320, 240) on a level of 220, with a pupil of level
// 15 wherever `inPupil(dx, dy)` holds (offsets from the iris centre); the limbus may
// ripple by `ripple` pixels, 9 waves round.
template <class InPupil>
GreyImage TexturedEye(InPupil inPupil, double ripple = 0) {
  GreyImage g = Plane(640, 480, 220);
  for (int32_t y = 0; y < 480; ++y) {
    for (int32_t x = 0; x < 640; ++x) {
      const double dx = x + 0.5 - 320, dy = y + 0.5 - 240;
      uint8_t& v = g.pixels[static_cast<size_t>(y) * 640 + x];
      if (std::hypot(dx, dy) < 110 + ripple * std::sin(9 * std::atan2(dy, dx))) {
        v = static_cast<uint8_t>(90 + (x * 7 + y * 13) % 40);
      }
      if (inPupil(dx, dy)) {
        v = 15;
      }
    }
  }
  return g;
}

// The limbus seen on its side arcs keeps the height its edges give when they are clean,
// even with the pupil off its centre by more than a tenth of R (pupils sit off centre).
TEST(IrisCircles, DecentredPupilLeavesTheLimbusWhereItIs) {
  for (double shift : {-0.15, 0.15}) {
    SCOPED_TRACE("pupil shifted by " + std::to_string(shift) + " R");
    const GreyImage g = TexturedEye(
        [shift](double dx, double dy) { return std::hypot(dx, dy - shift * 110) < 42; });
    const Quality q = Assess(g.View());
    ASSERT_TRUE(q.circles.pupil && q.circles.iris);
    EXPECT_NEAR(q.circles.pupil->y, 240 + shift * 110, 1.5);
    EXPECT_NEAR(q.circles.iris->x, 320, 1.5);
    EXPECT_NEAR(q.circles.iris->y, 240, 2);
    EXPECT_NEAR(q.circles.iris->radius, 110, 2);
    EXPECT_NEAR(q.Value(Metric::kIrisPupilConcentricity), 85, 2.5);
  }
  // A wide pupil (78 % of the iris) shifted down until it crosses the limbus by 6
  // pixels is no pupil of that iris, and there is no other.
  auto crossing = [](double dx, double dy) { return std::hypot(dx, dy - 30) < 86; };
  EXPECT_FALSE(FindCircles(TexturedEye(crossing).View()).pupil);
  // A very dark iris (levels 10 to 14) round a pupil of 9 with a soft edge, off the
  // iris's centre: the whole iris scores best as a "pupil" but is no eye once refined,
  // and the pupil of the next candidate is found rather than nothing.
  for (double shift : {16.0, 24.0}) {
    GreyImage g = Plane(640, 480, 30);
    for (int32_t y = 0; y < 480; ++y) {
      for (int32_t x = 0; x < 640; ++x) {
        const double dx = x + 0.5 - 320, dy = y + 0.5 - 240;
        double v = std::hypot(dx, dy) < 110 ? 10 + 4 * ((x * 7 + y * 13) % 40) / 39.0 : 30;
        const double t = std::clamp((std::hypot(dx - shift, dy) - 20) / 12 + 0.5, 0.0, 1.0);
        v = 9 + (v - 9) * t;
        g.pixels[static_cast<size_t>(y) * 640 + x] = static_cast<uint8_t>(std::lround(v));
      }
    }
    SCOPED_TRACE("pupil shifted by " + std::to_string(shift));
    const EyeCircles c = FindCircles(g.View());
    ASSERT_TRUE(c.pupil && c.iris);
    EXPECT_LE(std::hypot(c.pupil->x - 320 - shift, c.pupil->y - 240), 3);
    EXPECT_NEAR(c.pupil->radius, 20, 2);
    EXPECT_NEAR(c.iris->radius, 110, 3);
  }
}

// A lid's margin or skin beyond the limbus may rise further than the limbus itself:
// the iris ends at the first clear rise, not at the strongest.
TEST(IrisCircles, LimbusBeforeAStrongerOuterRise) {
  GreyImage g = TexturedEye([](double dx, double dy) { return std::hypot(dx, dy) < 42; });
  for (size_t i = 0; i < g.pixels.size(); ++i) {
    const double d =
        std::hypot(static_cast<double>(i % 640) - 319.5, static_cast<double>(i / 640) - 239.5);
    g.pixels[i] = d >= 110 && d < 125 ? 150 : g.pixels[i];
  }
  const EyeCircles c = FindCircles(g.View());
  ASSERT_TRUE(c.pupil && c.iris);
  EXPECT_NEAR(c.iris->radius, 110, 2);
  EXPECT_NEAR(c.iris->y, 240, 2);
  // Where the sclera's edge rises over a band beyond the iris's end (share 0 to 1 of the
  // step at each distance from the centre, -1 outside it), the limbus is placed 0.2 of
  // the rise's width (from its 30 to its 70 % points, over 0.4) in from its 50 % point,
  // not at its steepest, and the centre is kept.
  auto limbusOf = [](double (*rise)(double)) {
    GreyImage eye = TexturedEye([](double dx, double dy) { return std::hypot(dx, dy) < 42; });
    for (size_t i = 0; i < eye.pixels.size(); ++i) {
      const double share = rise(
          std::hypot(static_cast<double>(i % 640) - 319.5, static_cast<double>(i / 640) - 239.5));
      eye.pixels[i] =
          share >= 0 ? static_cast<uint8_t>(std::lround(110 + 110 * share)) : eye.pixels[i];
    }
    const EyeCircles found = FindCircles(eye.View());
    EXPECT_TRUE(found.pupil && found.iris);
    if (found.iris) {
      EXPECT_NEAR(found.iris->x, 320, 0.5);
      EXPECT_NEAR(found.iris->y, 240, 1);
    }
    return found.iris ? found.iris->radius : 0.0;
  };
  // Straight over 0.12 R: 30 % up it.
  EXPECT_NEAR(limbusOf([](double d) { return d >= 110 && d < 123.2 ? (d - 110) / 13.2 : -1; }),
              110 + 0.3 * 13.2, 0.4);
  // Bent: 40 % of the step over 10 pixels, the rest over 3 (30, 50, 70 % at 117.5, 120.5,
  // 121.5), and the other way round (111.5, 112.5, 115.5): the rise's width is 10 either
  // way, though its steepest part is 3 pixels wide (the profile's smoothing over 0.05 R
  // moves a bent rise's points by up to a pixel).
  EXPECT_NEAR(
      limbusOf([](double d) {
        return d < 110 ? -1.0 : d < 120 ? 0.04 * (d - 110) : d < 123 ? 0.4 + 0.2 * (d - 120) : -1.0;
      }),
      118.5, 1);
  EXPECT_NEAR(
      limbusOf([](double d) {
        return d < 110 ? -1.0 : d < 113 ? 0.2 * (d - 110) : d < 123 ? 0.6 + 0.04 * (d - 113) : -1.0;
      }),
      110.5, 1);
}

// Edges scattered about the fitted circles (a halo or a lash clump read as the pupil,
// a lid read as the limbus) make a pair less believable than round boundaries.
TEST(IrisCircles, ScatteredEdgesLowerTheConfidence) {
  auto confidence = [](double pupilRipple, double limbusRipple) {
    auto inPupil = [pupilRipple](double dx, double dy) {
      return std::hypot(dx, dy) < 42 + pupilRipple * std::sin(9 * std::atan2(dy, dx));
    };
    const EyeCircles c = FindCircles(TexturedEye(inPupil, limbusRipple).View());
    return c.pupil ? c.pupil->confidence : 0.0;
  };
  // A strong pair's confidence is near one, so the scatter shows in its log-odds.
  auto logOdds = [](double c) { return std::log(c / (1 - c)); };
  const double round = confidence(0, 0);
  EXPECT_GE(round, 0.5);
  EXPECT_LT(logOdds(confidence(10, 0)), logOdds(round) - 3);
  EXPECT_LT(logOdds(confidence(0, 8)), logOdds(round) - 0.5);
}

// Each term of the evidence moves the confidence by its weight: from the evidence
// at one half, a term worth one scale (0.16) more or less gives 1 / (1 + e^-1) or
// 1 / (1 + e).
TEST(IrisConfidence, EachTermWeighsAsDocumented) {
  PairEvidence half;
  half.coarseScore = 0.06;
  half.pupilShare = half.irisShare = 1;
  half.pupilScatter = 0.05, half.irisScatter = 0.02;
  EXPECT_NEAR(PairConfidence(half), 0.5, 1e-12);
  const double up = 1 / (1 + std::exp(-1.0)), down = 1 / (1 + std::exp(1.0));
  auto with = [&half](auto change) {
    PairEvidence e = half;
    change(e);
    return PairConfidence(e);
  };
  EXPECT_NEAR(with([](PairEvidence& e) { e.coarseScore += 0.16; }), up, 1e-12);
  EXPECT_NEAR(with([](PairEvidence& e) { e.limbusStep = 0.32; }), up, 1e-12);
  EXPECT_NEAR(with([](PairEvidence& e) { e.pupilShare = 0.36; }), down, 1e-12);
  EXPECT_NEAR(with([](PairEvidence& e) { e.irisShare = 0.68; }), down, 1e-12);
  EXPECT_NEAR(with([](PairEvidence& e) { e.pupilPaleness = 0.08; }), down, 1e-12);
  EXPECT_NEAR(with([](PairEvidence& e) { e.pupilScatter += 0.16 / 1.5; }), down, 1e-12);
  EXPECT_NEAR(with([](PairEvidence& e) { e.irisScatter += 0.16 / 1.5; }), down, 1e-12);
  EXPECT_NEAR(with([](PairEvidence& e) { e.irisHeightPull = -0.16; }), down, 1e-12);
  EXPECT_NEAR(with([](PairEvidence& e) { e.irisHeightPull = 0.16; }), down, 1e-12);

  EXPECT_DOUBLE_EQ(Scatter({3, -4}), std::sqrt(12.5));
  EXPECT_EQ(Scatter({}), 0);
  // Residuals of a centre 0.5 too high seen on the side arcs, with a shift and a
  // radius error beside it: only the height comes back.
  std::vector<double> residuals, angles;
  for (int k = -5; k <= 5; ++k) {
    for (double t : {0.1 * k, std::numbers::pi - 0.1 * k}) {
      angles.push_back(t);
      residuals.push_back(0.3 + 0.2 * std::cos(t) + 0.5 * std::sin(t));
    }
  }
  EXPECT_NEAR(HeightPull(residuals, angles), 0.5, 1e-9);
  EXPECT_EQ(HeightPull({1, 2}, {0.1, 0.2}), 0);
  EXPECT_EQ(HeightPull({1, 2, 3}, {0, 0, std::numbers::pi}), 0);  // one line: no height
  // Nearly one line (a third edge 1e-5 radians off it) cannot say either: the exact fit
  // would give a height of order 1 / 1e-5.
  EXPECT_EQ(HeightPull({1, 2, 3}, {0, std::numbers::pi, 1e-5}), 0);
}

// A drawn eye: a pupil and an iris of flat levels (the iris in a pattern of 96, 100 and
// 104, a quarter, a half and a quarter), and a sclera whose level is a function of the
// distance from the centre in iris radii.
struct Drawing {
  int32_t width = 640, height = 480;
  double x = 320, y = 240, irisRadius = 110, pupilRadius = 42;
  uint8_t pupil = 20;
  double (*sclera)(double) = [](double) { return 200.0; };
  int32_t irisOffset = 0;  // added to the iris's levels right of the pupil
  int32_t scleraOffset = 0;  // and to the sclera's there
  int32_t rim = 0;  // when set, the level of the iris's outer 8 pixels (a dark limbal ring)
};

GreyImage Draw(const Drawing& d) {
  GreyImage g = Plane(d.width, d.height, 0);
  for (int32_t y = 0; y < d.height; ++y) {
    for (int32_t x = 0; x < d.width; ++x) {
      const double dx = x + 0.5 - d.x, dy = y + 0.5 - d.y, r = std::hypot(dx, dy);
      const int32_t right = dx > 0 ? 1 : 0;
      double v = d.sclera(r / d.irisRadius) + right * d.scleraOffset;
      const int32_t k = (x + y) % 4;
      if (r < d.irisRadius) {
        v = d.rim > 0 && r >= d.irisRadius - 8 ? d.rim
                                               : (k == 0   ? 96
                                                  : k == 2 ? 104
                                                           : 100) +
                                                     right * d.irisOffset;
      }
      if (r < d.pupilRadius) {
        v = d.pupil;
      }
      g.pixels[static_cast<size_t>(y) * d.width + x] = static_cast<uint8_t>(std::lround(v));
    }
  }
  return g;
}

// Each metric against its formula, on a drawn eye whose levels are known: I = 100,
// P = 20, the sclera rising from 140 at the limbus by 200 per iris radius.
TEST(IrisMetrics, EachMetricIsItsFormulasValue) {
  Drawing d;
  d.sclera = [](double rho) { return 140 + 200 * (rho - 1); };
  const Quality q = Assess(Draw(d).View());
  ASSERT_TRUE(q.circles.pupil && q.circles.iris);
  const Circle& p = *q.circles.pupil;
  const Circle& i = *q.circles.iris;
  EXPECT_NEAR(i.radius, 110, 1);
  EXPECT_NEAR(q.Value(Metric::kIrisDiameter), 2 * i.radius, 1e-9);
  EXPECT_NEAR(q.Value(Metric::kPupilIrisRatio), 100 * p.radius / i.radius, 1e-9);
  EXPECT_NEAR(q.Value(Metric::kPupilIrisRatio), 100 * 42 / 110.0, 1);
  EXPECT_NEAR(q.Value(Metric::kIrisPupilConcentricity), 100, 0.5);
  // Every pixel of the ring is usable: a whole ring, never more than it.
  EXPECT_NEAR(q.Value(Metric::kUsableIrisArea), 100, 1);
  EXPECT_LE(q.Value(Metric::kUsableIrisArea), 100);
  // W = (100 - 20) / (20 + 20) = 2: 100 W / (0.75 + W), both medians exact.
  EXPECT_NEAR(q.Value(Metric::kIrisPupilContrast), 200 / 2.75, 1e-9);
  // The sclera's median lies where the band from 1.1 to 1.35 R is halved in area.
  const double middle = std::sqrt((1.1 * 1.1 + 1.35 * 1.35) / 2) * i.radius / 110;
  const double S = 140 + 200 * (middle - 1);
  EXPECT_NEAR(q.Value(Metric::kIrisScleraContrast), 100 * (S - 100) / (S + 100 - 40), 0.4) << S;
  // The ring's levels: a quarter, a half and a quarter.
  EXPECT_NEAR(q.Value(Metric::kGreyscaleUtilisation), 1.5, 0.05);
  // Near the right edge, with the sclera at the highlight level, 230 (left out) but for the
  // picture's last column (160): that column alone gives S, not the pale skin (200) at
  // the start of the next row.
  Drawing edge;
  edge.x = 507.5;
  edge.sclera = [](double) { return 230.0; };
  GreyImage g = Draw(edge);
  for (int32_t y = 0; y < 480; ++y) {
    g.pixels[static_cast<size_t>(y) * 640 + 639] = 160;
    std::fill_n(g.pixels.begin() + y * 640, 20, uint8_t{200});
  }
  EXPECT_NEAR(Assess(g.View()).Value(Metric::kIrisScleraContrast), 100 * 60 / 220.0, 1e-9);
}

// Margins are shares of 0.6 R at the sides and 0.2 R above and below: each side in turn
// is given 0.3 or 0.45 of its share's distance, or 0.1 R and 0.15 R above and below.
TEST(IrisMetrics, MarginIsTheNarrowestSideOverItsShareOfR) {
  struct Place {
    double x, y, expected;
  };
  for (const Place& at : {Place{110 + 33, 240, 50}, Place{640 - 110 - 49.5, 240, 75},
                          Place{320, 110 + 11, 50}, Place{320, 480 - 110 - 16.5, 75}}) {
    SCOPED_TRACE("centre " + std::to_string(at.x) + ", " + std::to_string(at.y));
    Drawing d;
    d.x = at.x;
    d.y = at.y;
    const Quality q = Assess(Draw(d).View());
    ASSERT_TRUE(q.circles.iris);
    EXPECT_NEAR(q.Value(Metric::kMarginAdequacy), at.expected, 2.5);
    EXPECT_LE(q.Value(Metric::kUsableIrisArea), 100);
  }
  // An iris whose top runs 30 pixels off the picture has no margin there: 0, not less.
  Drawing high;
  high.y = 80;
  const Quality off = Assess(Draw(high).View());
  ASSERT_TRUE(off.circles.iris);
  EXPECT_EQ(off.Value(Metric::kMarginAdequacy), 0);
  // An iris touching both sides of a narrow picture: the limbus lies on its last
  // columns, and is still read there.
  Drawing narrow;
  narrow.width = 220;
  narrow.x = 110;
  const EyeCircles c = FindCircles(Draw(narrow).View());
  ASSERT_TRUE(c.iris);
  EXPECT_NEAR(c.iris->x, 110, 1);
  EXPECT_NEAR(c.iris->y, 240, 1);
  EXPECT_NEAR(c.iris->radius, 110, 1);
}

// Pupils of 72 % and 78 % of the iris are still found (the check passes only to 70 %),
// also inside a limbal ring nearly as dark as the pupil; and an eye lit from one side,
// its iris and sclera brighter on the left, is one eye.
TEST(IrisCircles, WidePupilsAndOneSidedLight) {
  for (auto [pupil, rim] : {std::pair{79.0, 0}, {86.0, 0}, {79.0, 25}}) {
    Drawing d;
    d.pupilRadius = pupil;
    d.rim = rim;
    const Quality q = Assess(Draw(d).View());
    ASSERT_TRUE(q.circles.pupil && q.circles.iris) << pupil << ", rim " << rim;
    EXPECT_NEAR(q.Value(Metric::kPupilIrisRatio), 100 * pupil / 110, 1.5);
    EXPECT_FALSE(q.Passed(Metric::kPupilIrisRatio));
  }
  // Left: iris 100, sclera 140 in shade; right: iris 170, sclera 240 in the light. Each
  // side's iris lies between the pupil and that side's sclera, not the other side's.
  Drawing lit;
  lit.sclera = [](double) { return 140.0; };
  lit.irisOffset = 70;
  lit.scleraOffset = 100;
  const Quality q = Assess(Draw(lit).View());
  ASSERT_TRUE(q.circles.pupil && q.circles.iris);
  EXPECT_NEAR(q.circles.iris->radius, 110, 2);
  EXPECT_NEAR(q.circles.pupil->x, 320, 1);
  // An iris as dark as the pupil (3 levels above it, where the picture spreads over
  // 180) on its left arc, where the limbus is read, and brighter elsewhere.
  GreyImage g = Draw(Drawing{});
  for (int32_t y = 0; y < 480; ++y) {
    for (int32_t x = 0; x < 640; ++x) {
      const double dx = x + 0.5 - 320, dy = y + 0.5 - 240, r = std::hypot(dx, dy);
      if (r > 42 && r < 110 && dx < 0 && std::abs(dy) < -0.7 * dx) {
        g.pixels[static_cast<size_t>(y) * 640 + x] = 23;
      }
    }
  }
  const EyeCircles dark = FindCircles(g.View());
  ASSERT_TRUE(dark.pupil && dark.iris);
  EXPECT_NEAR(dark.pupil->x, 320, 1);
  EXPECT_NEAR(dark.pupil->radius, 42, 1);
  EXPECT_NEAR(dark.iris->radius, 110, 2);
}

// A lower lid across the bottom of the side arcs (skin from 0.35 R below the centre)
// leaves the limbus's centre and radius where they were drawn, as does a brighter skin
// beyond it; and a pupil of a fifth of its iris, the smallest the search allows, still
// has both circles.
TEST(IrisCircles, LowerLidAcrossTheArcsAndTheSmallestPupil) {
  GreyImage g = Draw(Drawing{});
  for (int32_t y = 240 + 39; y < 480; ++y) {
    for (int32_t x = 0; x < 640; ++x) {
      g.pixels[static_cast<size_t>(y) * 640 + x] = 170;
    }
  }
  const EyeCircles lid = FindCircles(g.View());
  ASSERT_TRUE(lid.iris);
  EXPECT_NEAR(lid.iris->x, 320, 1);
  EXPECT_NEAR(lid.iris->y, 240, 1);
  EXPECT_NEAR(lid.iris->radius, 110, 1);
  // Skin beyond the eye rising further than the limbus (40 levels at 1.6 R against 25
  // at R) is not taken for it.
  Drawing skin;
  skin.sclera = [](double rho) { return rho < 1.6 ? 125.0 : 165.0; };
  const EyeCircles s = FindCircles(Draw(skin).View());
  ASSERT_TRUE(s.iris);
  EXPECT_NEAR(s.iris->radius, 110, 1);
  Drawing small;
  small.pupilRadius = 22;
  const EyeCircles c = FindCircles(Draw(small).View());
  ASSERT_TRUE(c.pupil && c.iris);
  EXPECT_NEAR(c.pupil->radius, 22, 1);
  EXPECT_NEAR(c.iris->radius, 110, 1);
}

// The illuminator's spot in the pupil is glare whether it reaches white or, in a
// picture taken at half the exposure, only half way: either way it is filled, and the
// pupil is not read as the dark ring around it.
TEST(IrisCircles, SpotInThePupilAtAnyExposure) {
  GreyImage g = Draw(Drawing{});
  for (int32_t y = 226; y < 254; ++y) {
    for (int32_t x = 306; x < 334; ++x) {
      if (std::hypot(x + 0.5 - 320, y + 0.5 - 240) < 14) {
        g.pixels[static_cast<size_t>(y) * 640 + x] = 255;
      }
    }
  }
  for (int32_t divisor : {1, 2}) {
    SCOPED_TRACE(divisor);
    GreyImage shot = g;
    for (uint8_t& v : shot.pixels) {
      v = static_cast<uint8_t>((v + divisor / 2) / divisor);
    }
    const EyeCircles c = FindCircles(shot.View());
    ASSERT_TRUE(c.pupil && c.iris);
    EXPECT_NEAR(c.pupil->x, 320, 1);
    EXPECT_NEAR(c.pupil->y, 240, 1);
    EXPECT_NEAR(c.pupil->radius, 42, 1);
    EXPECT_NEAR(c.iris->radius, 110, 2);
  }
  // In a small pupil (24) a spot of 10 half way out is filled with the pupil's level
  // from the ring just around it, not with the iris further off, on either side.
  for (double angle : {0.8, 4.0}) {
    Drawing small;
    small.pupilRadius = 24;
    GreyImage s = Draw(small);
    const double sx = 320 + 12 * std::cos(angle), sy = 240 - 12 * std::sin(angle);
    for (size_t i = 0; i < s.pixels.size(); ++i) {
      if (std::hypot(static_cast<double>(i % 640) + 0.5 - sx,
                     static_cast<double>(i / 640) + 0.5 - sy) < 10) {
        s.pixels[i] = 250;
      }
    }
    const EyeCircles c = FindCircles(s.View());
    ASSERT_TRUE(c.pupil && c.iris) << angle;
    EXPECT_NEAR(c.pupil->x, 320, 1);
    EXPECT_NEAR(c.pupil->y, 240, 1);
    EXPECT_NEAR(c.pupil->radius, 24, 1);
  }
  // A dark, soft 200 x 200 crop (pupil 8 of radius 14, iris 25, sclera 47, edges over
  // about 8 pixels) with the illuminator's spot and the dark ring sharpening draws
  // around it. Just inside the pupil's edge, or astride it with a deeper ring, the rays
  // through the spot see that ring and the iris beyond, and must not drag the pupil
  // toward the spot nor widen it; at the centre of a grainy pupil, the spot leaves
  // every ray's edge in play.
  auto crop = [](double sx, double sy, int32_t grain, double spot = 3, double ring = 15) {
    GreyImage eye = Plane(200, 200, 0);
    std::mt19937 noise(7);
    for (int32_t y = 0; y < 200; ++y) {
      for (int32_t x = 0; x < 200; ++x) {
        const double r = std::hypot(x + 0.5 - 100, y + 0.5 - 100);
        const double d = std::hypot(x + 0.5 - sx, y + 0.5 - sy);
        double v = 8 + 17 / (1 + std::exp(-(r - 14) / 2.5)) + 22 / (1 + std::exp(-(r - 55) / 3));
        v += (250 - v) * std::exp(-0.5 * (d / spot) * (d / spot));
        v -= ring * std::exp(-((d - 2.5 * spot) / 1.5) * ((d - 2.5 * spot) / 1.5));
        v += grain > 0 ? static_cast<double>(noise() % (2 * grain + 1)) - grain : 0;
        eye.pixels[static_cast<size_t>(y) * 200 + x] =
            static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
      }
    }
    return eye;
  };
  for (double angle : {0.5, 2.2, 3.8}) {
    const EyeCircles c =
        FindCircles(crop(100 + 11 * std::cos(angle), 100 + 11 * std::sin(angle), 0).View());
    ASSERT_TRUE(c.pupil && c.iris) << angle;
    EXPECT_LE(std::hypot(c.pupil->x - 100, c.pupil->y - 100), 1.25) << angle;
    EXPECT_NEAR(c.pupil->radius, 14, 0.7) << angle;
  }
  const double astride = 2.2;
  const EyeCircles wide = FindCircles(
      crop(100 + 13 * std::cos(astride), 100 + 13 * std::sin(astride), 0, 5, 25).View());
  ASSERT_TRUE(wide.pupil && wide.iris);
  EXPECT_LE(std::hypot(wide.pupil->x - 100, wide.pupil->y - 100), 1.0);
  EXPECT_NEAR(wide.pupil->radius, 14, 1.0);
  const EyeCircles centred = FindCircles(crop(100, 100, 2).View());
  ASSERT_TRUE(centred.pupil && centred.iris);
  EXPECT_LE(std::hypot(centred.pupil->x - 100, centred.pupil->y - 100), 1.0);
  EXPECT_NEAR(centred.pupil->radius, 14, 1.0);
  EXPECT_GE(static_cast<double>(centred.pupilResiduals.size()), 0.8 * centred.pupilRays);
}

// The mask on circles given: a pale iris (200) whose own spread would put highlights at
// 216 keeps them at 230 and above; a lid's run bridges two iris-like rows, not three.
TEST(IrisOcclusion, HighlightFloorAndLidGaps) {
  const Circle pupil{150, 150, 30, 1}, iris{150, 150, 100, 1};
  GreyImage pale = Plane(300, 300, 250);
  size_t at230 = 0;
  for (int32_t y = 0; y < 300; ++y) {
    for (int32_t x = 0; x < 300; ++x) {
      const double dx = x + 0.5 - 150, dy = y + 0.5 - 150, r2 = dx * dx + dy * dy;
      if (r2 >= 100 * 100) {
        continue;
      }
      const int32_t k = (x * 3 + y * 5) % 37;
      uint8_t& v = pale.pixels[static_cast<size_t>(y) * 300 + x];
      v = r2 <= 30 * 30 ? 10 : k == 0 ? 230 : k == 1 ? 229 : 200;
      at230 += r2 > 30 * 30 && k == 0;
    }
  }
  IrisLevels levels;
  const OcclusionMask bright = MaskIrisRing(pale.View(), pupil, iris, &levels);
  EXPECT_EQ(levels.median, 200);
  EXPECT_EQ(bright.Count(Occlusion::kHighlight), at230);
  EXPECT_EQ(bright.Count(Occlusion::kUpperLid) + bright.Count(Occlusion::kLowerLid), 0u);

  // The levels are learnt from the side sectors next to the pupil (within 30 degrees of
  // horizontal, out to 0.7 of the ring) alone: there the ring is 76, 80 and 84 in equal
  // shares, elsewhere 120. Median 80, median deviation 4.
  GreyImage sides = Plane(300, 300, 180);
  for (int32_t y = 0; y < 300; ++y) {
    for (int32_t x = 0; x < 300; ++x) {
      const double dx = x + 0.5 - 150, dy = y + 0.5 - 150, r = std::hypot(dx, dy);
      const bool learnt = std::abs(dy) < 0.577 * std::abs(dx) && r < 79;  // tan 30 degrees
      uint8_t& v = sides.pixels[static_cast<size_t>(y) * 300 + x];
      v = static_cast<uint8_t>(r <= 30 ? 10 : r >= 100 ? v : learnt ? 76 + 4 * ((x + y) % 3) : 120);
    }
  }
  MaskIrisRing(sides.View(), pupil, iris, &levels);
  EXPECT_EQ(levels.median, 80);
  EXPECT_DOUBLE_EQ(levels.spread, 1.4826 * 4);
  // Out to 0.7 of the ring and no further: with 80 on 55 % of the learnt pixels and 84
  // on the rest, the paler ring beyond (120, some 15 % more pixels) must not tip the
  // median to 84.
  for (int32_t y = 0; y < 300; ++y) {
    for (int32_t x = 0; x < 300; ++x) {
      const double r = std::hypot(x + 0.5 - 150, y + 0.5 - 150);
      uint8_t& v = sides.pixels[static_cast<size_t>(y) * 300 + x];
      v = static_cast<uint8_t>(r <= 30                     ? 10
                               : r >= 100                  ? v
                               : r >= 79                   ? 120
                               : (x * 7 + y * 3) % 20 < 11 ? 80
                                                           : 84);
    }
  }
  MaskIrisRing(sides.View(), pupil, iris, &levels);
  EXPECT_EQ(levels.median, 80);
  // A picture too narrow to hold those sectors falls back on mid-grey levels.
  MaskIrisRing(Plane(20, 300, 80).View(), {10, 150, 30, 1}, {10, 150, 100, 1}, &levels);
  EXPECT_EQ(std::tie(levels.median, levels.spread), std::make_tuple(128.0, 64.0));

  // A dark iris (80) under skin (180) in bands counted from the ring's top and bottom
  // rows: skin for 10 rows, iris 2, skin 4, iris 3, skin 3.
  GreyImage lidded = Plane(300, 300, 180);
  for (int32_t y = 50; y < 250; ++y) {
    const int32_t t = std::min(y - 50, 249 - y);
    const bool skin = t < 10 || (t >= 12 && t < 16) || (t >= 19 && t < 22);
    for (int32_t x = 0; x < 300; ++x) {
      const double dx = x + 0.5 - 150, dy = y + 0.5 - 150;
      lidded.pixels[static_cast<size_t>(y) * 300 + x] = dx * dx + dy * dy <= 30 * 30 ? 10
                                                        : skin                       ? 180
                                                                                     : 80;
    }
  }
  // Lashes: dark pixels above the centre within 0.85 R (pixel centres measured), and
  // not those beyond it, below the centre or at the pupil's edge.
  const auto dark = [&lidded](int32_t x, int32_t y) {
    lidded.pixels[static_cast<size_t>(y) * 300 + x] = 10;
  };
  dark(200, 100);  // 70.7 from the centre
  dark(235, 149);  // 85.5
  dark(150, 220);  // below
  dark(150, 118);  // 31.5, within 2 of the pupil
  dark(150, 117);  // 32.5, just beyond
  dark(190, 72);  // 87.4 from the centre, most of it upward
  const OcclusionMask lids = MaskIrisRing(lidded.View(), pupil, iris);
  EXPECT_EQ(lids.Count(Occlusion::kLash), 2u);
  EXPECT_EQ(lids.At(190, 72), Occlusion::kIris);
  EXPECT_EQ(lids.At(200, 100), Occlusion::kLash);
  EXPECT_EQ(lids.At(150, 117), Occlusion::kLash);
  for (int32_t t = 0; t < 22; ++t) {
    SCOPED_TRACE("row " + std::to_string(t) + " from the ring's edge");
    EXPECT_EQ(lids.At(150, 50 + t), t < 16 ? Occlusion::kUpperLid : Occlusion::kIris);
    EXPECT_EQ(lids.At(150, 249 - t), t < 16 ? Occlusion::kLowerLid : Occlusion::kIris);
  }

  // Lids reaching past the centre row (150), on columns beside the pupil and away from
  // the sectors the levels are learnt from: skin down to row 159 on the left, up to row
  // 141 on the right. Each lid is masked as far as the centre row, itself included.
  GreyImage deep = Plane(300, 300, 180);
  for (int32_t y = 0; y < 300; ++y) {
    for (int32_t x = 0; x < 300; ++x) {
      const double dx = x + 0.5 - 150, dy = y + 0.5 - 150, r2 = dx * dx + dy * dy;
      // And runs of skin from the ring's top: of three rows (a lid) and of two (not
      // one).
      const bool skin = (x >= 55 && x < 66 && y < 160) || (x >= 235 && x < 246 && y > 140) ||
                        (x >= 135 && x < 146 && y < 53) || (x >= 155 && x < 166 && y < 53);
      if (r2 < 100 * 100 && !skin) {
        deep.pixels[static_cast<size_t>(y) * 300 + x] = r2 <= 30 * 30 ? 10 : 80;
      }
      // Skin must be brighter than the iris (80) by 0.45 of it: 116 is not, 117 is.
      if (r2 < 100 * 100 && y < 64 && ((x >= 115 && x < 126) || (x >= 175 && x < 186))) {
        deep.pixels[static_cast<size_t>(y) * 300 + x] = x < 150 ? 116 : 117;
      }
    }
  }
  const OcclusionMask past = MaskIrisRing(deep.View(), pupil, iris);
  EXPECT_EQ(std::tie(past.left, past.top, past.width, past.height),
            std::make_tuple(50, 50, 200, 200));
  // A ring running off the left edge: the mask keeps to the picture.
  const OcclusionMask clipped = MaskIrisRing(deep.View(), {40.5, 150, 30, 1}, {40.5, 150, 100, 1});
  EXPECT_EQ(std::tie(clipped.left, clipped.top, clipped.width, clipped.height),
            std::make_tuple(0, 50, 141, 200));
  // And off the right edge, on an even iris (80) in a picture whose left columns are
  // skin: the last columns are read from their own row, not from the next one.
  GreyImage cut = Plane(300, 300, 80);
  for (int32_t y = 0; y < 300; ++y) {
    cut.pixels[static_cast<size_t>(y) * 300] = cut.pixels[static_cast<size_t>(y) * 300 + 1] = 180;
  }
  const OcclusionMask right = MaskIrisRing(cut.View(), {259.5, 150, 30, 1}, {259.5, 150, 100, 1});
  EXPECT_EQ(right.left + right.width, 300);
  EXPECT_EQ(right.Count(Occlusion::kUpperLid) + right.Count(Occlusion::kLowerLid), 0u);
  for (int32_t y = 110; y < 190; ++y) {
    SCOPED_TRACE("row " + std::to_string(y));
    EXPECT_EQ(past.At(60, y), y <= 150 ? Occlusion::kUpperLid : Occlusion::kIris);
    EXPECT_EQ(past.At(240, y), y >= 150 ? Occlusion::kLowerLid : Occlusion::kIris);
  }
  EXPECT_EQ(past.At(140, 52), Occlusion::kUpperLid);
  EXPECT_EQ(past.At(120, 58), Occlusion::kIris);
  EXPECT_EQ(past.At(180, 58), Occlusion::kUpperLid);
  EXPECT_EQ(past.At(160, 52), Occlusion::kIris);
}

// A dim drawn eye (the levels at 0.3: pupil 6, iris 30, sclera 60, as a near-infrared
// one) off the picture's centre, at fractional places, is found where it was drawn; a
// glint inside its pupil, or across the pupil's edge, moves neither circle.
TEST(IrisCircles, OffCentreEyesAndGlintsInThePupil) {
  struct Case {
    double x, y, glintX, glintY;  // the glint relative to the pupil's centre
  };
  for (const Case& at :
       {Case{190.5, 300.25, 0, 0}, Case{431.75, 170.5, 15, -12}, Case{260.25, 250.75, -40, 8}}) {
    SCOPED_TRACE(std::to_string(at.x) + ", " + std::to_string(at.y) + " glint " +
                 std::to_string(at.glintX) + ", " + std::to_string(at.glintY));
    Drawing d;
    d.x = at.x;
    d.y = at.y;
    GreyImage g = Draw(d);
    for (int32_t y = 0; y < d.height; ++y) {
      for (int32_t x = 0; x < d.width; ++x) {
        uint8_t& v = g.pixels[static_cast<size_t>(y) * d.width + x];
        const bool glint = (at.glintX != 0 || at.glintY != 0) &&
                           std::hypot(x + 0.5 - at.x - at.glintX, y + 0.5 - at.y - at.glintY) < 8;
        v = static_cast<uint8_t>(glint ? 250 : v * 3 / 10);
      }
    }
    const EyeCircles c = FindCircles(g.View());
    ASSERT_TRUE(c.pupil && c.iris);
    EXPECT_NEAR(c.pupil->x, at.x, 0.25);
    EXPECT_NEAR(c.pupil->y, at.y, 0.25);
    EXPECT_NEAR(c.pupil->radius, 42, 0.25);
    EXPECT_NEAR(c.iris->x, at.x, 0.25);
    EXPECT_NEAR(c.iris->y, at.y, 0.25);
    EXPECT_NEAR(c.iris->radius, 110, 0.25);
  }
}

// An eye whose boundaries are linear ramps 3 pixels wide, each centred on its circle
// (pupil 20, iris 100, sclera 200), at fractional places and radii: the edges are
// placed to a fraction of a pixel, not to the nearest half sample.
TEST(IrisCircles, SoftEdgesPlacedToAFractionOfAPixel) {
  struct Case {
    double x, y, pupil, iris;
  };
  for (const Case& at : {Case{321.37, 238.81, 40.3, 100.6}, Case{298.62, 251.23, 35.8, 96.35}}) {
    SCOPED_TRACE(std::to_string(at.x) + ", " + std::to_string(at.y));
    GreyImage g = Plane(640, 480, 0);
    auto ramp = [](double d) { return std::clamp(0.5 + d / 3, 0.0, 1.0); };
    for (int32_t y = 0; y < 480; ++y) {
      for (int32_t x = 0; x < 640; ++x) {
        const double r = std::hypot(x + 0.5 - at.x, y + 0.5 - at.y);
        const double v = 20 + 80 * ramp(r - at.pupil) + 100 * ramp(r - at.iris);
        g.pixels[static_cast<size_t>(y) * 640 + x] = static_cast<uint8_t>(std::lround(v));
      }
    }
    const EyeCircles c = FindCircles(g.View());
    ASSERT_TRUE(c.pupil && c.iris);
    EXPECT_NEAR(c.pupil->x, at.x, 0.1);
    EXPECT_NEAR(c.pupil->y, at.y, 0.1);
    EXPECT_NEAR(c.pupil->radius, at.pupil, 0.1);
    EXPECT_NEAR(c.iris->x, at.x, 0.1);
    // The limbus goes near the start of its rise: never past the ramp's middle, at most
    // 30 % of the ramp's 3 pixels inside it.
    EXPECT_LE(c.iris->radius, at.iris + 0.1);
    EXPECT_GE(c.iris->radius, at.iris - 0.2 * 3 - 0.1);
    // Every edge of the round pupil lies on the fitted circle within a fraction of a pixel.
    ASSERT_FALSE(c.pupilResiduals.empty());
    for (double e : c.pupilResiduals) {
      EXPECT_LT(std::abs(e), 0.2);
    }
  }
}

// The least-squares circle: exact through points on a circle from a distant first
// estimate; points of weight 0 take no part; fewer than six points or points on a line
// give none.
TEST(IrisCircles, LeastSquaresCircleThroughKnownPoints) {
  std::vector<std::array<double, 2>> pts;
  for (int k = 0; k < 12; ++k) {
    const double t = (30 * k + 7) * std::numbers::pi / 180;
    pts.push_back({213.25 + 41.75 * std::cos(t), 97.5 + 41.75 * std::sin(t)});
  }
  pts.push_back({400, -30});  // an outlier, weighed 0 or 1 below
  std::vector<double> weight(pts.size(), 1.0);
  weight.back() = 0;
  double x = 200, y = 110, r = 0;
  ASSERT_TRUE(detail::FitCircle(pts, weight, x, y, r));
  EXPECT_NEAR(x, 213.25, 1e-9);
  EXPECT_NEAR(y, 97.5, 1e-9);
  EXPECT_NEAR(r, 41.75, 1e-9);
  weight.back() = 1;
  x = 200, y = 110;
  ASSERT_TRUE(detail::FitCircle(pts, weight, x, y, r));
  EXPECT_GT(std::hypot(x - 213.25, y - 97.5), 5);
  // Six weighed points are enough, five are not.
  std::fill(weight.begin(), weight.end(), 0.0);
  std::fill(weight.begin(), weight.begin() + 6, 1.0);
  x = 200, y = 110;
  ASSERT_TRUE(detail::FitCircle(pts, weight, x, y, r));
  EXPECT_NEAR(r, 41.75, 1e-9);
  weight[5] = 0;
  EXPECT_FALSE(detail::FitCircle(pts, weight, x, y, r));
  std::vector<std::array<double, 2>> line;
  for (int k = 0; k < 8; ++k) {
    line.push_back({3.0 * k, 5 + 2.0 * k});
  }
  EXPECT_FALSE(detail::FitCircle(line, std::vector<double>(8, 1.0), x, y, r));

  // The centre's height prior on side arcs symmetric about both axes through the
  // centre (0, 0): the prior term heightWeight (y - t)^2 joins sum (x^2 + y^2 + D x +
  // E y + F)^2, each point's term 4 R^2 times its squared distance, so a weight of
  // 4 sum y^2 draws the centre half way to t, and R to sqrt(R^2 + t^2 / 4).
  std::vector<std::array<double, 2>> arcs;
  double sumY2 = 0;
  for (double a : {10.0, 20.0}) {
    const double c = 30 * std::cos(a * std::numbers::pi / 180),
                 s = 30 * std::sin(a * std::numbers::pi / 180);
    for (const auto& q : {std::array<double, 2>{c, s}, {c, -s}, {-c, s}, {-c, -s}}) {
      arcs.push_back(q);
      sumY2 += q[1] * q[1];
    }
  }
  const std::vector<double> ones(arcs.size(), 1.0);
  x = 0, y = 0;
  ASSERT_TRUE(detail::FitCircle(arcs, ones, x, y, r, 6, 4 * sumY2));
  EXPECT_NEAR(x, 0, 1e-9);
  EXPECT_NEAR(y, 3, 1e-9);
  EXPECT_NEAR(r, std::sqrt(900 + 9), 1e-9);
  x = 0, y = 0;
  ASSERT_TRUE(detail::FitCircle(arcs, ones, x, y, r, 6, 0));
  EXPECT_NEAR(y, 0, 1e-9);
  EXPECT_NEAR(r, 30, 1e-9);
}

// A soft pupil amid a busy background whose edges outshine its own (a patterned cloth,
// a fringe of lashes) is still found as the dark compact region it is; dark bands
// larger than it, one long and one lying across its bounding box, are not pupils.
TEST(IrisCircles, SoftPupilAmidStrongerEdgesAndDarkBands) {
  auto eye = [](int bands) {
    GreyImage g = Plane(640, 480, 0);
    for (int32_t y = 0; y < 480; ++y) {
      for (int32_t x = 0; x < 640; ++x) {
        const double d = std::hypot(x + 0.5 - 330, y + 0.5 - 250);
        double v = ((x / 16 + y / 16) % 2) ? 250 : 150;
        if (d < 100) {
          v = 110 + (x * 7 + y * 13) % 20;
        }
        // A pupil edge blurred over 20 pixels.
        v += std::clamp((42 + 10 - d) / 20, 0.0, 1.0) * (20 - v);
        const bool bar = y >= 20 && y < 56 && x >= 40 && x < 600;
        const bool slant = std::abs(x + y - 420) < 30 && y > 250;
        if (((bands & 1) && bar) || ((bands & 2) && slant)) {
          v = 20;
        }
        g.pixels[static_cast<size_t>(y) * 640 + x] = static_cast<uint8_t>(std::lround(v));
      }
    }
    return g;
  };
  for (int bands : {0, 1, 2, 3}) {
    SCOPED_TRACE(bands);
    const EyeCircles c = FindCircles(eye(bands).View());
    ASSERT_TRUE(c.pupil && c.iris);
    EXPECT_NEAR(c.pupil->x, 330, 1.5);
    EXPECT_NEAR(c.pupil->y, 250, 1.5);
    EXPECT_NEAR(c.pupil->radius, 42, 2);
    EXPECT_NEAR(c.iris->radius, 100, 2);
  }
}

// A reduced working plane drawn from rectangles and discs of given levels.
struct Levels {
  int32_t width, height;
  std::vector<float> v;
  Levels(int32_t w, int32_t h, float background)
      : width(w), height(h), v(static_cast<size_t>(w) * h, background) {}
  void Box(int32_t x0, int32_t y0, int32_t w, int32_t h, float level) {
    for (int32_t y = y0; y < y0 + h; ++y) {
      for (int32_t x = x0; x < x0 + w; ++x) {
        v[static_cast<size_t>(y) * width + x] = level;
      }
    }
  }
  void Disc(int32_t cx, int32_t cy, int32_t radius, float level) {
    for (int32_t y = cy - radius; y <= cy + radius; ++y) {
      for (int32_t x = cx - radius; x <= cx + radius; ++x) {
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) {
          v[static_cast<size_t>(y) * width + x] = level;
        }
      }
    }
  }
  size_t At(int32_t x, int32_t y) const { return static_cast<size_t>(y) * width + x; }
};

TEST(IrisCircles, DarkRegionsAreConnectedAndCompactByShare) {
  Levels l(16, 8, 80);
  // An L filling exactly a third of its 6 x 6 box is compact; a pixel less is not.
  l.Box(0, 0, 6, 1, 5);
  l.Box(0, 1, 1, 5, 5);
  auto r = detail::GrowRegion(l.v, l.width, l.At(0, 0), 6);
  EXPECT_EQ(r.area, 11u);
  EXPECT_FALSE(r.compact);
  l.Box(1, 1, 1, 1, 5);
  r = detail::GrowRegion(l.v, l.width, l.At(0, 0), 6);
  EXPECT_EQ(r.area, 12u);
  EXPECT_TRUE(r.compact);
  // Three to one is the longest compact box; four to one is a streak.
  l.Box(8, 0, 3, 1, 5);
  EXPECT_TRUE(detail::GrowRegion(l.v, l.width, l.At(8, 0), 6).compact);
  l.Box(11, 0, 1, 1, 5);
  EXPECT_FALSE(detail::GrowRegion(l.v, l.width, l.At(8, 0), 6).compact);
  // Also down the plane's first column, whose box is one pixel wide.
  Levels column(8, 8, 80);
  column.Box(0, 2, 1, 4, 5);
  EXPECT_FALSE(detail::GrowRegion(column.v, column.width, column.At(0, 2), 6).compact);
  // Pixels at the level itself and diagonal neighbours stay out; the centroid is the
  // mean of the pixels in.
  l.Box(8, 3, 3, 2, 5);
  l.Box(11, 5, 1, 1, 5);
  l.Box(11, 3, 1, 1, 6);
  r = detail::GrowRegion(l.v, l.width, l.At(9, 4), 6);
  EXPECT_EQ(r.area, 6u);
  EXPECT_DOUBLE_EQ(r.x, 9.0);
  EXPECT_DOUBLE_EQ(r.y, 3.5);
}

TEST(IrisCircles, InnermostDarkRegionIsFollowedUntilItSpills) {
  using Centre = std::optional<std::array<int32_t, 2>>;
  const size_t smallest = 4, largest = 2400;  // as for a 120 x 120 working plane
  // A very dark iris whose pupil, off its centre, lies under it by `step` levels: any
  // fixed share of C above the dark percentile holds both, but the region raised from
  // the darkest level is the pupil alone until it spills into the whole iris.
  const auto eye = [](float step) {
    Levels iris(120, 120, 80);
    iris.Disc(60, 60, 26, 12);
    iris.Disc(67, 55, 7, 12 - step);
    return iris;
  };
  Levels l = eye(1.5f);
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 10.5, 10.5, 69.5, smallest, largest),
            (Centre{{67, 55}}));
  // Half a level under the iris: the levels still rise by a quarter of a level at
  // least, not by 2 % of a low contrast.
  l = eye(0.4f);
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 11.6, 11.6, 10, smallest, largest),
            (Centre{{67, 55}}));

  // The seed: the largest compact region once one covers a quarter of the smallest
  // pupil's disc (29 pixels at full size). Around it, a darker 25-pixel speck, a smaller
  // compact region and a longer streak at the seed's level, and a larger shadow a level
  // above, all lead astray if taken; the core (49 pixels) more than doubles as it fills
  // its pupil, which is no spill while it is under the smallest pupil's disc.
  l = Levels(120, 120, 80);
  l.Box(100, 100, 5, 5, 10);  // speck
  l.Box(10, 10, 6, 6, 11);  // smaller region, found first
  l.Box(110, 20, 1, 70, 11);  // streak
  l.Box(85, 10, 20, 20, 12.5f);  // shadow
  l.Box(40, 40, 40, 40, 14);  // iris
  l.Box(50, 52, 14, 14, 12);  // pupil
  l.Box(50, 52, 7, 7, 11);  // its darker core, in a corner
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 10, 10, 50, smallest, largest),
            (Centre{{56, 58}}));
  // On a plane reduced by 2 the speck is as large as a small pupil's core.
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 2, 10, 10, 50, smallest, largest),
            (Centre{{102, 102}}));

  // A step that more than doubles the pupil (225 pixels) is the spill; one that just
  // doubles it, or passes the largest size, is not.
  const auto rimmed = [](int32_t w, int32_t h) {
    Levels rim(120, 120, 80);
    rim.Box(40, 40, w, h, 12);
    rim.Box(41, 41, 15, 15, 11);
    return rim;
  };
  l = rimmed(24, 24);
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 11, 11, 50, smallest, largest),
            (Centre{{48, 48}}));
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 11, 11, 50, 225, largest), (Centre{{48, 48}}));
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 11, 11, 50, 226, largest), std::nullopt);
  l = rimmed(18, 25);
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 11, 11, 50, smallest, largest),
            (Centre{{48, 52}}));
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 11, 11, 50, smallest, 450),
            (Centre{{48, 52}}));
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 11, 11, 50, smallest, 449),
            (Centre{{48, 48}}));
  // The levels rise by 2 % of C: a soft edge a step holds whole (ringed by the
  // iris within the same step) is part of the spill, not a slower growth.
  l = Levels(120, 120, 80);
  l.Box(20, 20, 80, 80, 12.8f);
  l.Box(40, 40, 18, 25, 12.4f);
  l.Box(41, 41, 15, 15, 11);
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 11, 11, 50, smallest, largest),
            (Centre{{48, 48}}));

  // A lash touching the pupil joins it a level up; the pupil is kept, not its shapeless
  // union with the lash.
  l = Levels(120, 120, 80);
  l.Box(15, 10, 90, 100, 13);
  l.Box(57, 65, 1, 46, 12);
  l.Box(50, 50, 15, 15, 11);
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 11, 11, 50, smallest, largest),
            (Centre{{57, 57}}));

  // Levels are raised up to a fifth of C above the dark percentile, no further.
  l = Levels(120, 120, 80);
  l.Box(100, 100, 2, 2, 10);
  l.Box(50, 50, 15, 15, 18.5f);
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 10, 10, 50, smallest, largest),
            (Centre{{57, 57}}));
  l.Box(50, 50, 15, 15, 20.5f);
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 10, 10, 50, smallest, largest), std::nullopt);
  // Nothing compact: no candidate.
  l = Levels(120, 120, 80);
  l.Box(20, 20, 80, 2, 10);
  EXPECT_EQ(detail::InnermostCentre(l.v, l.width, 1, 10, 10, 50, smallest, largest), std::nullopt);
}

TEST(IrisCircles, FallbackSkipsPairsMuchLikeOneTried) {
  const std::array<double, 3> tried = {10, 10, 10};
  EXPECT_TRUE(detail::SamePair(tried, {12, 10, 8}));
  EXPECT_TRUE(detail::SamePair(tried, {10, 8, 12}));
  EXPECT_FALSE(detail::SamePair(tried, {12, 11, 10}));  // 2.2 pixels off
  EXPECT_FALSE(detail::SamePair(tried, {10, 10, 7.9}));
  EXPECT_FALSE(detail::SamePair(tried, {10, 10, 12.1}));
  EXPECT_FALSE(detail::SamePair(tried, {20, 10, 10}));
  // The fifth is of the tried pupil's radius.
  EXPECT_FALSE(detail::SamePair({10, 10, 8}, {10, 10, 10}));
}

TEST(IrisCircles, WorkingPlaneIsBlockMeansSmoothedByTheKernel) {
  // 2 x 2 blocks whose mean is 4 bx + 64 by + 1.5 (bx, by the block's place mod 16 and
  // 3); the odd last column is dropped and rows are read by their stride.
  const int32_t w = 251, h = 242, stride = 256;
  std::vector<uint8_t> pixels(static_cast<size_t>(stride) * h, 255);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      pixels[static_cast<size_t>(y) * stride + x] =
          static_cast<uint8_t>(4 * (x / 2 % 16) + 64 * (y / 2 % 3) + 2 * (x % 2) + y % 2);
    }
  }
  auto r = detail::Reduce({pixels.data(), w, h, stride});
  ASSERT_EQ(r.factor, 2);
  ASSERT_EQ(r.width, 125);
  ASSERT_EQ(r.height, 121);
  int32_t wrong = 0;
  for (int32_t y = 0; y < r.height; ++y) {
    for (int32_t x = 0; x < r.width; ++x) {
      wrong += r.v[static_cast<size_t>(y) * r.width + x] != 4.0 * (x % 16) + 64.0 * (y % 3) + 1.5;
    }
  }
  EXPECT_EQ(wrong, 0);
  // The factor is the short side over 120, rounded: 2.5 gives 3.
  std::vector<uint8_t> flat(420 * 300, 7);
  r = detail::Reduce({flat.data(), 420, 300, 420});
  EXPECT_EQ(r.factor, 3);
  EXPECT_EQ(r.width, 140);
  EXPECT_EQ(r.height, 100);
  EXPECT_EQ(r.v[0], 7.0f);

  // Impulses of 16 at two corners and inside give the [1 2 1] kernel, the corners'
  // clamped (their mass kept).
  std::vector<float> levels(7 * 5, 0.0f);
  levels[0] = levels[3 + 2 * 7] = levels[6 + 4 * 7] = 16;
  detail::Smooth(levels, 7);
  const std::vector<float> kernel = {9, 3, 0, 0, 0, 0, 0,  //
                                     3, 1, 1, 2, 1, 0, 0,  //
                                     0, 0, 2, 4, 2, 0, 0,  //
                                     0, 0, 1, 2, 1, 1, 3,  //
                                     0, 0, 0, 0, 0, 3, 9};
  EXPECT_EQ(levels, kernel);
}

TEST(IrisCircles, HighlightsFilledToThePicturesEdgeButNotSlivers) {
  Levels l(30, 20, 100);
  l.Box(0, 0, 1, 1, 250);  // spots in the first and last pixels
  l.Box(29, 19, 1, 1, 250);
  l.Box(15, 2, 1, 5, 250);  // slivers, under a quarter of their square
  l.Box(20, 15, 5, 1, 250);
  l.Box(25, 4, 1, 4, 250);  // a quarter: a spot
  l.Box(4, 8, 3, 3, 250);  // 7 pixels: as many as a spot may have (600 / 80)
  l.Box(4, 8, 1, 1, 100);
  l.Box(6, 10, 1, 1, 100);
  l.Box(10, 12, 3, 3, 250);  // 8 pixels: too large
  l.Box(10, 12, 1, 1, 100);
  const auto glare = detail::FillHighlights(l.v, l.width, 200);
  EXPECT_EQ(std::count(l.v.begin(), l.v.end(), 250.0f), 18);
  EXPECT_EQ(std::count(l.v.begin(), l.v.end(), 100.0f), 600 - 18);
  // A one-pixel spot's halo reaches 0.5 + 1 / sqrt(pi) + 1 = 2.06 pixels.
  for (const auto& [x, y, marked] :
       std::vector<std::tuple<int32_t, int32_t, bool>>{{0, 0, true},
                                                       {2, 0, true},
                                                       {0, 2, true},
                                                       {1, 1, true},
                                                       {1, 2, false},
                                                       {3, 0, false},
                                                       {29, 19, true},
                                                       {27, 19, true},
                                                       {29, 17, true},
                                                       {28, 17, false},
                                                       {5, 9, true},
                                                       {8, 9, true},
                                                       {9, 9, false},
                                                       {15, 4, false},
                                                       {22, 15, false},
                                                       {11, 13, false},
                                                       {25, 5, true}}) {
    EXPECT_EQ(glare[l.At(x, y)] != 0, marked) << x << "," << y;
  }
}

TEST(IrisCircles, GradientVotesPeakOnDarkDiscCentres) {
  std::vector<float> strong = {5, 1, 9, 3, 7, 2, 8, 6, 4, 10};
  EXPECT_EQ(detail::VoteThreshold(strong, 3, 1), 8.0f);  // the third strongest
  EXPECT_EQ(detail::VoteThreshold(strong, 3, 8.5f), 8.5f);
  EXPECT_EQ(detail::VoteThreshold(strong, 10, 1.5f), 1.5f);  // all vote
  EXPECT_EQ(detail::VoteThreshold(strong, 0, 1.5f), 1.5f);

  // A large dark disc, and two small ones 12 pixels apart: on a 360 x 120 plane (or
  // 120 x 360) the peaks are kept 4 pixels (the short side / 30) apart, so both small
  // ones count.
  for (const bool across : {true, false}) {
    Levels l(across ? 360 : 120, across ? 120 : 360, 150);
    auto at = [&](int32_t along, int32_t aside) {
      return across ? std::array<int32_t, 2>{along, aside} : std::array<int32_t, 2>{aside, along};
    };
    for (const auto& [along, radius] : {std::pair{60, 10}, {200, 4}, {212, 4}}) {
      l.Disc(at(along, 60)[0], at(along, 60)[1], radius, 50);
    }
    detail::Smooth(l.v, l.width);
    const auto peaks = detail::VoteCentres(l.v, l.width, 54, 100);
    ASSERT_GE(peaks.size(), 3u);
    EXPECT_EQ(peaks[0], at(60, 60));
    for (const int32_t along : {200, 212}) {
      EXPECT_NE(std::find(peaks.begin(), peaks.end(), at(along, 60)), peaks.end()) << along;
    }
    for (size_t i = 0; i < peaks.size(); ++i) {
      for (size_t j = 0; j < i; ++j) {
        EXPECT_GT(
            std::max(std::abs(peaks[i][0] - peaks[j][0]), std::abs(peaks[i][1] - peaks[j][1])), 4);
      }
    }
  }
  // Edges vote from 4 * 0.04 C of Sobel response: a smoothed step of 5 levels in 100
  // reaches it, one of 4 does not.
  for (const float step : {5.0f, 4.0f}) {
    Levels faint(120, 120, 150);
    faint.Disc(60, 60, 10, 150 - step);
    detail::Smooth(faint.v, faint.width);
    const auto peaks = detail::VoteCentres(faint.v, faint.width, 54, 100);
    using Centre = std::array<int32_t, 2>;
    const Centre none = {-1, -1}, expected = step == 5 ? Centre{60, 60} : none;
    EXPECT_EQ(peaks.empty() ? none : peaks[0], expected) << step;
  }
}

TEST(IrisCircles, DarkCandidatesAndTheCoarsePair) {
  // Two dark discs and a large paler one (a region may cover up to a sixth of the
  // plane): of the levels 0.06, 0.12 and 0.2 C over the dark percentile, only the
  // largest region of each is a candidate, so the smaller dark disc is none.
  Levels dark(120, 120, 200);
  dark.Disc(40, 60, 6, 58);
  dark.Disc(15, 15, 5, 58);
  dark.Disc(80, 60, 26, 66);
  const auto centres = detail::DarkCentres(dark.v, dark.width, 1, 50, 50, 100);
  using Centre = std::array<int32_t, 2>;
  EXPECT_NE(std::find(centres.begin(), centres.end(), Centre{40, 60}), centres.end());
  EXPECT_NE(std::find(centres.begin(), centres.end(), Centre{80, 60}), centres.end());
  EXPECT_EQ(std::find(centres.begin(), centres.end(), Centre{15, 15}), centres.end());

  // An eye with soft edges (4 pixels wide) about pixel (60, 60) on a plane reduced by 2:
  // candidates 3 pixels off either way find its centre and radii; 4 off, not its centre.
  Levels eye(120, 120, 0);
  for (int32_t y = 0; y < eye.height; ++y) {
    for (int32_t x = 0; x < eye.width; ++x) {
      const double d = std::hypot(x - 60, y - 60);
      eye.v[eye.At(x, y)] = static_cast<float>(30 + 80 * std::clamp((d - 8) / 4 + 0.5, 0.0, 1.0) +
                                               90 * std::clamp((d - 20) / 4 + 0.5, 0.0, 1.0));
    }
  }
  for (const Centre candidate : {Centre{57, 60}, Centre{63, 60}, Centre{60, 57}, Centre{60, 63}}) {
    const auto pair = detail::SearchPair(eye.v, eye.width, 2, candidate, 54, 30, 170);
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->x, 60.5) << candidate[0] << "," << candidate[1];
    EXPECT_EQ(pair->y, 60.5) << candidate[0] << "," << candidate[1];
    EXPECT_NEAR(pair->pupilRadius, 8, 1);
    EXPECT_NEAR(pair->irisRadius, 20, 1);
  }
  const auto far = detail::SearchPair(eye.v, eye.width, 2, {56, 60}, 54, 30, 170);
  ASSERT_TRUE(far);
  EXPECT_EQ(far->x, 59.5);
  // A pupil a fifth of its iris, the smallest share searched, on a plane reduced by 4.
  for (int32_t y = 0; y < eye.height; ++y) {
    for (int32_t x = 0; x < eye.width; ++x) {
      const double d = std::hypot(x - 60, y - 60);
      eye.v[eye.At(x, y)] = static_cast<float>(30 + 80 * std::clamp((d - 4.5) / 2 + 0.5, 0.0, 1.0) +
                                               90 * std::clamp((d - 20) / 2 + 0.5, 0.0, 1.0));
    }
  }
  const auto small = detail::SearchPair(eye.v, eye.width, 4, {60, 60}, 54, 30, 170);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->pupilRadius, 4);
  EXPECT_EQ(small->irisRadius, 20);
}

TEST(IrisMetrics, OvalPupilLowersCircularity) {
  // A drawn eye whose pupil is squashed vertically by `aspect`.
  auto assess = [](double aspect) {
    const GreyImage g =
        TexturedEye([aspect](double dx, double dy) { return std::hypot(dx, dy / aspect) < 42; });
    return Assess(g.View());
  };
  auto circularity = [&assess](double aspect) {
    return assess(aspect).Value(Metric::kPupilBoundaryCircularity);
  };
  EXPECT_GT(circularity(1.0), 95);
  EXPECT_LT(circularity(0.8), circularity(0.9));
  // The oval's value from its kept edges: their departure e, less the noise read from
  // edges kCircularityNoiseLag degrees apart, over a tenth of r.
  const Quality oval = assess(0.9);
  ASSERT_TRUE(oval.circles.pupil);
  const std::vector<double>& e = oval.circles.pupilResiduals;
  ASSERT_EQ(std::ssize(e), oval.circles.pupilRays);  // a clean oval: every edge kept
  const auto lag =
      static_cast<size_t>(std::lround(kCircularityNoiseLag / 360 * static_cast<double>(e.size())));
  double squares = 0, differences = 0;
  for (size_t i = 0; i < e.size(); ++i) {
    squares += e[i] * e[i] / static_cast<double>(e.size());
    const double d = e[(i + lag) % e.size()] - e[i];
    differences += d * d / static_cast<double>(2 * e.size());
  }
  const double departure = std::sqrt(squares - differences);
  // Unclamped: the oval scores between 0 and a round pupil's 100.
  const double value = oval.Value(Metric::kPupilBoundaryCircularity);
  EXPECT_NEAR(value, 100 - 1000 * (departure - kCircularityNoise) / oval.circles.pupil->radius,
              1e-9);
  EXPECT_LT(value, 80);
  // A round pupil whose soft edge the sensor's noise makes ragged is still round.
  auto eye = Eye(-30, 20);
  eye.nearInfrared = eye.dim = true;
  eye.noise = 4;
  for (uint64_t index : {0u, 37u}) {
    EXPECT_TRUE(
        Assess(Render({"", eye}, index).grey.View()).Passed(Metric::kPupilBoundaryCircularity))
        << index;
  }
}

// On stripes two pixels wide and d levels apart the 4 x 4 band-pass gives +-2d/3 or 0
// (mean square 2d^2/9, less 1/36 for the rounding to whole levels that white noise of
// 1/12 level^2 would put in it) and every 8 x 8 window has a variance of d^2/4.
TEST(IrisMetrics, SharpnessIsDetailOverItsOwnContrast) {
  auto stripes = [](uint8_t low, uint8_t high) {
    GreyImage g = Plane(39, 39, 0);
    for (size_t i = 0; i < g.pixels.size(); ++i) {
      g.pixels[i] = ((i % 39 + 1) / 2) % 2 ? high : low;
    }
    return g;
  };
  auto expected = [](double d) {
    const double q =
        (2 * d * d / 9 - 1.0 / 36) / (d * d / 4 + kSharpnessNoiseFloor * kSharpnessNoiseFloor);
    return 100 * q / (q + kSharpnessHalfRatio * kSharpnessHalfRatio);
  };
  const Circle region{19.5, 19.5, 19.5, 1};
  EXPECT_NEAR(Sharpness(stripes(100, 120).View(), region), expected(20), 1e-9);
  EXPECT_NEAR(Sharpness(stripes(60, 72).View(), region), expected(12), 1e-9);
  // The illuminator's clipped spot: the windows that touch it take no part.
  GreyImage spot = stripes(100, 120);
  for (int32_t y = 17; y < 22; ++y) {
    for (int32_t x = 17; x < 22; ++x) {
      spot.pixels[static_cast<size_t>(y) * 39 + x] = 255;
    }
  }
  EXPECT_NEAR(Sharpness(spot.View(), region), expected(20), 1e-9);
  GreyImage clipped = stripes(200, 230);  // one pixel at the clipping level
  clipped.pixels[19 * 39 + 19] = kSharpnessClipped;
  EXPECT_NEAR(Sharpness(clipped.View(), region), expected(30), 1e-9);
  EXPECT_EQ(Sharpness(Plane(39, 39, 90).View(), region), 0);
  // The smallest region measured is 8 x 8 (one window); 7 pixels either way is none.
  EXPECT_GT(Sharpness(stripes(100, 120).View(), {20, 20, 4, 1}), 50);
  EXPECT_EQ(Sharpness(stripes(100, 120).View(), {20.5, 20, 3.5, 1}), 0);
  EXPECT_EQ(Sharpness(stripes(100, 120).View(), {20, 20.5, 3.5, 1}), 0);
  // Pixel noise is not detail.
  GreyImage noise = Plane(200, 200, 0);
  std::mt19937 random(3);
  std::normal_distribution<double> normal(128, 8);
  for (uint8_t& v : noise.pixels) {
    v = static_cast<uint8_t>(std::lround(normal(random)));
  }
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
        for (uint8_t& v : g.pixels) {
          v = static_cast<uint8_t>(std::min(255.0, std::round(v * gain)));
        }
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
  for (auto& v : noise.pixels) {
    v = static_cast<uint8_t>(random() & 0xFF);
  }
  for (int32_t y = 0; y < 480; ++y) {
    for (int32_t x = 0; x < 640; ++x) {
      ramp.pixels[static_cast<size_t>(y) * 640 + x] = static_cast<uint8_t>(x * 255 / 639);
      blocks.pixels[static_cast<size_t>(y) * 640 + x] =
          static_cast<uint8_t>(((x / 80 + y / 60) % 2) ? 200 : 40);
    }
  }
  pictures.push_back(noise);
  pictures.push_back(ramp);
  pictures.push_back(blocks);
  // A dark disc with no iris ring around it: a pupil alone is no eye.
  pictures.push_back(TexturedEye([](double dx, double dy) { return std::hypot(dx, dy) < 42; }));
  for (uint8_t& v : pictures.back().pixels) {
    v = v == 15 ? 15 : 200;
  }
  // A shaded band along the bottom edge (no padding: its levels vary), whose votes all
  // fall at the picture's edge, and a glint in its corner.
  GreyImage band = Plane(640, 480, 160);
  for (int32_t y = 0; y < 480; ++y) {
    for (int32_t x = 0; x < 640; ++x) {
      if (y >= 470) {
        band.pixels[static_cast<size_t>(y) * 640 + x] =
            static_cast<uint8_t>(x >= 636 && y >= 476 ? 255 : 30 + (x + y) % 5);
      }
    }
  }
  pictures.push_back(band);
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
  // Grey from colour rows, down to one pixel wide, with padded rows: red weighs
  // 77/256, green 150/256, blue 29/256, rounded. A row shorter than its pixels is
  // refused.
  const uint8_t rgb[] = {255, 0, 0, 9, 9, 9, 0, 255, 0, 9, 9, 9};
  const GreyImage column = GreyFromRgb(rgb, 1, 2, 6);
  EXPECT_EQ(column.width, 1);
  EXPECT_EQ(column.pixels, (std::vector<uint8_t>{77, 149}));
  const uint8_t bgrx[] = {0, 0, 255, 9, 255, 0, 0, 9, 200, 100, 50, 9, 0, 0, 0, 9};
  EXPECT_EQ(GreyFromBgrx(bgrx, 2, 2, 8).pixels, (std::vector<uint8_t>{77, 29, 96, 0}));
  EXPECT_TRUE(GreyFromRgb(rgb, 2, 1, 5).pixels.empty());
  // Bilinear samples of a 2 x 2 window of a larger picture (pixel centres at half
  // units), edges clamped: the levels of 255 around it are never read.
  const uint8_t window[] = {10, 20, 255, 30, 40, 255, 255, 255, 255};
  const GreyPlane square{window, 2, 2, 3};
  const double samples[][3] = {{1, 1, 25}, {1.25, 0.5, 17.5}, {0.5, 1.75, 30},
                               {9, 9, 40}, {-3, 1.25, 25},    {1.5, -2, 20}};
  for (const auto& [x, y, level] : samples) {
    EXPECT_DOUBLE_EQ(Sample(square, x, y), level) << x << ", " << y;
  }
  // Sharpness of regions of every parity and of circles running off the picture.
  std::mt19937 random(9);
  for (auto [w, h] : {std::pair{8, 8}, {9, 8}, {8, 9}, {11, 13}, {121, 120}, {120, 121}}) {
    GreyImage picture = Plane(w, h, 0);
    for (uint8_t& v : picture.pixels) {
      v = static_cast<uint8_t>(random() & 0xFF);
    }
    for (const Circle& c :
         {Circle{w / 2.0, h / 2.0, 100, 1}, Circle{0, 0, 9, 1}, Circle{w + 3.0, h / 2.0, 8, 1}}) {
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
  // Every other bound, on each side of its mark.
  struct Bound {
    Metric metric;
    double passes, fails;
  };
  for (const Bound& b :
       {Bound{Metric::kUsableIrisArea, 70, 69.9}, Bound{Metric::kIrisScleraContrast, 5.1, 4.9},
        Bound{Metric::kIrisPupilContrast, 30, 29.9}, Bound{Metric::kPupilIrisRatio, 20, 19.9},
        Bound{Metric::kIrisPupilConcentricity, 90, 89.9},
        Bound{Metric::kMarginAdequacy, 80.1, 79.9}, Bound{Metric::kGreyscaleUtilisation, 6, 5.9},
        Bound{Metric::kPupilBoundaryCircularity, 80, 79.9}}) {
    SCOPED_TRACE(ThresholdOf(b.metric).name);
    EXPECT_TRUE(Passes(b.metric, b.passes));
    EXPECT_FALSE(Passes(b.metric, b.fails));
  }
  // Bounds without a maximum pass any large value.
  EXPECT_TRUE(Passes(Metric::kIrisDiameter, 5000));
  EXPECT_TRUE(Passes(Metric::kMarginAdequacy, 100));
  for (size_t i = 0; i < kMetricCount; ++i) {
    EXPECT_EQ(Thresholds()[i].metric, static_cast<Metric>(i));
  }
}

}  // namespace
}  // namespace okuva::iris
