#include "capture/aids/instruction.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace okuva::aids {
namespace {

using iris::Metric;

struct Words {
  const char* live;
  const char* still;
};

// In Step order.
constexpr std::array<Words, 9> kWords = {{
    {"Buscando el ojo…", "no se ve el ojo"},
    {"Acérquese", "acérquese"},
    {"Aléjese", "aléjese"},
    {"Centre el ojo", "centre el ojo"},
    {"Abra bien el ojo", "abra bien el ojo"},
    {"Enfoque", "enfoque"},
    {"Más luz", "más luz"},
    {"Menos luz", "menos luz"},
    {"Mire de frente a la cámara", "mire de frente a la cámara"},
}};

// Side of a threshold a failing value lies on: below its minimum, or not.
bool BelowMinimum(Metric metric, double value) {
  const iris::Threshold& t = iris::ThresholdOf(metric);
  return !std::isnan(t.minimum) && (t.minimumIncluded ? value < t.minimum : value <= t.minimum);
}

// Light that the whole frame clearly lacks or has too much of; kFocus as "neither".
Step FrameLight(const Exposure& frame) {
  if (frame.pixels == 0) {
    return Step::kFocus;
  }
  if (frame.clippedWarning) {
    return frame.brightClipped >= frame.darkClipped ? Step::kLessLight : Step::kMoreLight;
  }
  if (frame.mean < kDarkMean) {
    return Step::kMoreLight;
  }
  if (frame.mean > kBrightMean) {
    return Step::kLessLight;
  }
  return Step::kFocus;
}

}  // namespace

double MarginAdequacy(double x, double y, double R, int32_t width, int32_t height) {
  const double left = x - R, right = width - (x + R), top = y - R, bottom = height - (y + R);
  return std::max(0.0, 100 * std::min({1.0, left / (0.6 * R), right / (0.6 * R), top / (0.2 * R),
                                       bottom / (0.2 * R)}));
}

std::vector<Step> StepsFor(const iris::Quality& q, const Exposure& frame) {
  if (q.pass) {
    return {};
  }
  if (!q.circles.iris || !q.circles.pupil) {
    return {Step::kFindEye};
  }
  std::array<bool, kWords.size()> wanted{};
  const auto want = [&](Step s) { wanted[static_cast<size_t>(s)] = true; };
  const auto fails = [&](Metric m) { return !q.Passed(m); };
  const iris::Circle& iris = *q.circles.iris;

  if (fails(Metric::kIrisDiameter)) {
    want(BelowMinimum(Metric::kIrisDiameter, q.Value(Metric::kIrisDiameter)) ? Step::kCloser
                                                                             : Step::kFarther);
  }
  if (fails(Metric::kMarginAdequacy)) {
    // Would the margins pass with this iris in the middle of the picture?
    const double centred =
        MarginAdequacy(q.width / 2.0, q.height / 2.0, iris.radius, q.width, q.height);
    want(iris::Passes(Metric::kMarginAdequacy, centred) ? Step::kCentre : Step::kFarther);
  }
  if (fails(Metric::kUsableIrisArea)) {
    want(Step::kOpenEye);
  }
  if (fails(Metric::kSharpness)) {
    want(Step::kFocus);
  }
  if (fails(Metric::kIrisPupilConcentricity) || fails(Metric::kPupilBoundaryCircularity)) {
    want(Step::kLookStraight);
  }
  // The pupil follows the light: wide in the dark, narrow in bright light.
  if (fails(Metric::kPupilIrisRatio)) {
    want(BelowMinimum(Metric::kPupilIrisRatio, q.Value(Metric::kPupilIrisRatio))
             ? Step::kLessLight
             : Step::kMoreLight);
  }

  // Contrast and grey-scale use suffer from bad light, but also from blur and a
  // half-closed eye. They ask for light when the frame shows a light fault; otherwise
  // only when nothing else explains them, then by the frame's mean level.
  if (fails(Metric::kGreyscaleUtilisation) || fails(Metric::kIrisScleraContrast) ||
      fails(Metric::kIrisPupilContrast)) {
    const Step light = FrameLight(frame);
    if (light != Step::kFocus) {
      want(light);
    } else if (std::none_of(wanted.begin(), wanted.end(), [](bool w) { return w; })) {
      want(frame.mean < 128 ? Step::kMoreLight : Step::kLessLight);
    }
  }
  std::vector<Step> steps;
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (wanted[i]) {
      steps.push_back(static_cast<Step>(i));
    }
  }
  return steps;
}

const char* LiveText(Step step) { return kWords[static_cast<size_t>(step)].live; }
const char* StillText(Step step) { return kWords[static_cast<size_t>(step)].still; }

std::string StillJudgement(const std::vector<Step>& steps) {
  if (steps.empty()) {
    return kStillPasses;
  }
  std::string text = std::string(kRetake) + ": ";
  for (size_t i = 0; i < steps.size(); ++i) {
    if (i > 0) {
      text += i + 1 == steps.size() ? " y " : ", ";
    }
    text += StillText(steps[i]);
  }
  return text;
}

}  // namespace okuva::aids
