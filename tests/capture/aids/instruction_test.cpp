#include "capture/aids/instruction.h"

#include "aids_test_util.h"
#include "platform/camera/simulated_camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <utility>

namespace okuva::aids {
namespace {

using iris::Metric;

// A value inside a metric's recommended range, or just outside it on one side; taken
// from the threshold table, so a changed range moves the test values with it.
double Inside(Metric m) {
  const iris::Threshold& t = iris::ThresholdOf(m);
  if (!std::isnan(t.minimum) && !std::isnan(t.maximum)) {
    return (t.minimum + t.maximum) / 2;
  }
  return t.minimum + std::max(1.0, std::abs(t.minimum) * 0.25);
}
double Below(Metric m) {
  return iris::ThresholdOf(m).minimum -
         std::max(1.0, std::abs(iris::ThresholdOf(m).minimum) * 0.25);
}
double Above(Metric m) { return iris::ThresholdOf(m).maximum + 1; }

// A 640 x 480 picture's judgement: an iris of radius 110 at (x, y), every metric inside
// its range except the ones given.
iris::Quality Judged(std::initializer_list<std::pair<Metric, double>> off, double x = 320,
                     double y = 240) {
  iris::Quality q;
  q.width = 640;
  q.height = 480;
  q.circles.iris = iris::Circle{x, y, 110, 1};
  q.circles.pupil = iris::Circle{x, y, 44, 1};
  for (size_t i = 0; i < iris::kMetricCount; ++i) {
    q.values[i] = Inside(static_cast<Metric>(i));
  }
  for (auto [m, v] : off) {
    q.values[static_cast<size_t>(m)] = v;
  }
  q.pass = true;
  for (size_t i = 0; i < iris::kMetricCount; ++i) {
    q.passed[i] = iris::Passes(static_cast<Metric>(i), q.values[i]);
    if (!q.passed[i]) {
      q.pass = false;
      q.failed.push_back(static_cast<Metric>(i));
    }
  }
  return q;
}

Exposure Lit(double mean, double dark = 0, double bright = 0) {
  Exposure e;
  e.pixels = 1000;
  e.mean = mean;
  e.darkClipped = dark;
  e.brightClipped = bright;
  e.clipped = dark + bright;
  e.clippedWarning = e.clipped > kClippedWarningShare;
  return e;
}

using Steps = std::vector<Step>;

TEST(StepsFor, EachFailureGivesItsStepInPriorityOrder) {
  const Exposure fine = Lit(120);
  EXPECT_EQ(StepsFor(Judged({}), fine), Steps{});
  iris::Quality none = Judged({});
  none.circles = {};
  none.pass = false;
  EXPECT_EQ(StepsFor(none, fine), Steps{Step::kFindEye});
  EXPECT_EQ(StepsFor(Judged({{Metric::kIrisDiameter, Below(Metric::kIrisDiameter)}}), fine),
            Steps{Step::kCloser});
  EXPECT_EQ(StepsFor(Judged({{Metric::kUsableIrisArea, Below(Metric::kUsableIrisArea)}}), fine),
            Steps{Step::kOpenEye});
  EXPECT_EQ(StepsFor(Judged({{Metric::kSharpness, Below(Metric::kSharpness)}}), fine),
            Steps{Step::kFocus});
  EXPECT_EQ(StepsFor(Judged({{Metric::kPupilBoundaryCircularity, 0}}), fine),
            Steps{Step::kLookStraight});
  // A wide pupil asks for light, a narrow one for less.
  EXPECT_EQ(StepsFor(Judged({{Metric::kPupilIrisRatio, Above(Metric::kPupilIrisRatio)}}), fine),
            Steps{Step::kMoreLight});
  EXPECT_EQ(StepsFor(Judged({{Metric::kPupilIrisRatio, Below(Metric::kPupilIrisRatio)}}), fine),
            Steps{Step::kLessLight});
  // Several at once come in the fixed order, each once.
  EXPECT_EQ(StepsFor(Judged({{Metric::kSharpness, 0},
                             {Metric::kIrisDiameter, Below(Metric::kIrisDiameter)},
                             {Metric::kUsableIrisArea, 0}}),
                     fine),
            (Steps{Step::kCloser, Step::kOpenEye, Step::kFocus}));
}

TEST(StepsFor, MarginsTellAnOffCentreEyeFromOneTooBig) {
  // Radius 110 at the left edge of 640 x 480: centred it would fit, so centre it.
  const double atLeft = MarginAdequacy(130, 240, 110, 640, 480);
  EXPECT_NEAR(atLeft, 100 * 20 / 66.0, 1e-9);
  EXPECT_EQ(StepsFor(Judged({{Metric::kMarginAdequacy, atLeft}}, 130, 240), Lit(120)),
            Steps{Step::kCentre});
  // Radius 110 fills 480 lines with no room for 0.2 R above and below even centred.
  iris::Quality big = Judged({{Metric::kMarginAdequacy, 0}});
  big.circles.iris->radius = 235;
  EXPECT_FALSE(iris::Passes(Metric::kMarginAdequacy, MarginAdequacy(320, 240, 235, 640, 480)));
  EXPECT_EQ(StepsFor(big, Lit(120)), Steps{Step::kFarther});
}

// The margin rule above must be the analysis' own: an eye off to the side, judged.
TEST(StepsFor, MarginAdequacyIsTheAnalysisOwn) {
  camera::SimulatedCamera::Eye eye;
  eye.offsetX = -175;  // 35 pixels left of the iris, where 0.6 R are asked for
  eye.drift = false;
  camera::SimulatedCamera cam({}, eye);
  const test::GreyImage grey = test::GreyOf(cam.RenderFrame(0));
  const iris::Quality q = iris::Assess(grey.View());
  ASSERT_TRUE(q.circles.iris.has_value());
  const iris::Circle& c = *q.circles.iris;
  EXPECT_LT(q.Value(Metric::kMarginAdequacy), 100);
  EXPECT_NEAR(MarginAdequacy(c.x, c.y, c.radius, q.width, q.height),
              q.Value(Metric::kMarginAdequacy), 1e-9);
}

TEST(StepsFor, LightFollowsTheFrameAndBlurIsNotMistakenForDarkness) {
  const auto grey = std::pair{Metric::kGreyscaleUtilisation, Below(Metric::kGreyscaleUtilisation)};
  EXPECT_EQ(StepsFor(Judged({grey}), Lit(40)), Steps{Step::kMoreLight});
  EXPECT_EQ(StepsFor(Judged({grey}), Lit(220)), Steps{Step::kLessLight});
  EXPECT_EQ(StepsFor(Judged({grey}), Lit(120, 0, 0.05)), Steps{Step::kLessLight});  // burnt out
  EXPECT_EQ(StepsFor(Judged({grey}), Lit(120, 0.05, 0)), Steps{Step::kMoreLight});  // crushed
  // A well lit frame whose iris is blurred: the grey levels lost to the blur ask only
  // for focus; alone, they ask for light by the frame's level.
  EXPECT_EQ(StepsFor(Judged({grey, {Metric::kSharpness, 0}}), Lit(120)), Steps{Step::kFocus});
  EXPECT_EQ(StepsFor(Judged({grey}), Lit(100)), Steps{Step::kMoreLight});
  EXPECT_EQ(StepsFor(Judged({{Metric::kIrisScleraContrast, 0}}), Lit(150)),
            Steps{Step::kLessLight});
}

TEST(StillJudgement, SaysWhatToRetakeForInTheLiveWords) {
  EXPECT_EQ(StillJudgement({}), "Foto apta para reconocimiento");
  EXPECT_EQ(StillJudgement({Step::kFocus}), "Repetir: enfoque");
  EXPECT_EQ(StillJudgement({Step::kCloser, Step::kFocus}), "Repetir: acérquese y enfoque");
  EXPECT_EQ(StillJudgement({Step::kCentre, Step::kOpenEye, Step::kMoreLight}),
            "Repetir: centre el ojo, abra bien el ojo y más luz");
  EXPECT_STREQ(LiveText(Step::kCloser), "Acérquese");
  EXPECT_STREQ(LiveText(Step::kFarther), "Aléjese");
}

}  // namespace
}  // namespace okuva::aids
