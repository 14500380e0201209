// What the operator should do next, in plain Spanish, derived from the iris analysis of
// a picture: the failing metrics become steps (come closer, focus, more light, ...) in a
// fixed order of priority, so the live picture can show the most pressing one in one
// large line and the still's judgement can list them all in the same words.
//
// The steps follow the verdict of iris/quality.h (Passes and the threshold table); only
// the direction of a step (closer or farther, more or less light) is read from the
// values, so a change of a recommended range moves the advice with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/aids/exposure.h"
#include "iris/quality.h"

namespace okuva::aids {

// In priority order: the first that applies is the one the live picture shows.
enum class Step : uint8_t {
  kFindEye,       // no eye found
  kCloser,        // iris smaller than the recommended diameter
  kFarther,       // iris too big: larger than recommended, or no room for the margins
  kCentre,        // margins lacking on one side only: the eye is off the picture's centre
  kOpenEye,       // too little of the iris ring is seen (lids, lashes)
  kFocus,         // sharpness
  kMoreLight,     // exposure: too dark, or a dilated pupil
  kLessLight,     // exposure: burnt out, or a constricted pupil
  kLookStraight,  // pupil off the iris centre or out of round: the eye looks aside
};

// Mean grey levels of the whole frame below / above which the picture counts as too
// dark / too bright even without clipping.
constexpr double kDarkMean = 60;
constexpr double kBrightMean = 195;

// The margin metric (margin_adequacy of iris/quality.h) for an iris of radius R centred
// at (x, y) in a picture of width x height: 100 min(1, left / 0.6R, right / 0.6R,
// top / 0.2R, bottom / 0.2R), at least 0. Used to tell an eye that would fit if centred
// from one that is too big.
double MarginAdequacy(double x, double y, double R, int32_t width, int32_t height);

// The steps that would fix what fails in `quality`, in priority order, each at most
// once; empty exactly when the picture passes. `frame` is the exposure of the whole
// picture, which says whether light is lacking or too much.
std::vector<Step> StepsFor(const iris::Quality& quality, const Exposure& frame);

// The live instruction for a step ("Acérquese") and the same advice for the still
// ("acérquese").
const char* LiveText(Step step);
const char* StillText(Step step);

// Live instructions beyond the steps.
constexpr const char* kLookingForEye = "Buscando el ojo…";
constexpr const char* kHoldStill = "Quieto…";
constexpr const char* kReady = "Listo: pulse Capturar";

// The still's judgement: "Foto apta para reconocimiento", or "Repetir: " and the steps
// in the live words ("Repetir: acérquese y enfoque").
constexpr const char* kStillPasses = "Foto apta para reconocimiento";
constexpr const char* kRetake = "Repetir";
std::string StillJudgement(const std::vector<Step>& steps);

}  // namespace okuva::aids
