// okuva-tool match: are two pictures the same eye? Finds each iris, makes its template
// and compares the two (iris/iris_code.h), printing the distance, the bits compared, the
// rotation between them and the decision. Either input may be an iris record written by
// `okuva-tool record`, told from a picture by its content.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "iris/iris_code.h"
#include "platform/runtime/error.h"
#include "record/iris_record.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/overlay.h"
#include "tools/okuva_tool/picture_input.h"
#include "tools/okuva_tool/quality_common.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis = "match A B [--json] [--overlay OUT.png]";

// True when the regular file at `path` starts as an iris record does ("IIR\0"). Other
// files (FIFOs, devices) are left whole to the picture reader, which says why it
// refuses them.
bool IsRecord(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    return false;
  }
  char magic[4] = {};
  std::ifstream in(path, std::ios::binary);
  return in.read(magic, sizeof magic) && std::memcmp(magic, "IIR", 4) == 0;
}

// The eye to compare: the picture's grey levels, or a record's first image.
iris::GreyImage ReadEye(const std::string& path) {
  if (!IsRecord(path)) {
    return ReadGreyInput(path);
  }
  try {
    const record::Record eyes = ReadingInput(path, [&] { return record::ReadRecordFile(path); });
    return record::DecodeImage(eyes.representations.at(0));
  } catch (const record::RecordError& e) {
    throw UsageError{"cannot read " + path + ": " + e.what()};
  }
}

const char* DecisionName(iris::MatchDecision decision) {
  switch (decision) {
    case iris::MatchDecision::kSameEye: return "same_eye";
    case iris::MatchDecision::kDifferentEye: return "different_eye";
    case iris::MatchDecision::kTooFewBits: return "too_few_bits";
  }
  return "";
}

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  bool json = false;
  std::string overlay;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--overlay") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        throw UsageError{"--overlay needs a file name"};
      }
      overlay = args[++i];
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option " + a + "; usage: okuva-tool " + kSynopsis};
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) {
    throw UsageError{std::string("usage: okuva-tool ") + kSynopsis};
  }
  const std::string& pathA = positional[0];
  const std::string& pathB = positional[1];
  // Both are read before either is judged, so an unreadable file is named first.
  const iris::GreyImage greyA = ReadEye(pathA);
  const iris::GreyImage greyB = ReadEye(pathB);
  const std::optional<iris::IrisCode> a = iris::EncodePicture(greyA.View());
  const std::optional<iris::IrisCode> b = iris::EncodePicture(greyB.View());
  if (!a && !b) {
    throw UsageError{"no iris found in " + pathA + " nor in " + pathB};
  }
  if (!a || !b) {
    throw UsageError{"no iris found in " + (a ? pathB : pathA)};
  }

  const iris::IrisComparison c = iris::CompareIrisCodes(*a, *b);
  if (!overlay.empty()) {
    // The circles again (the same search EncodePicture made), for the unwrapped rings;
    // the picture is written before anything is printed, as by quality --overlay.
    const iris::EyeCircles ca = iris::FindCircles(greyA.View()),
                           cb = iris::FindCircles(greyB.View());
    WritePng(MatchOverlay({pathA, greyA.View(), *ca.pupil, *ca.iris, &*a},
                          {pathB, greyB.View(), *cb.pupil, *cb.iris, &*b}, c),
             overlay);
  }
  // As printed, to the hundredth: a turn that rounds to nothing prints as 0, not -0.
  double rotation = std::round(c.rotation * 100) / 100;
  if (rotation == 0) {
    rotation = 0;
  }
  char text[320];
  if (json) {
    std::snprintf(
        text, sizeof text,
        "{\"distance\": %.4f, \"bits\": %d, \"rotation\": %.2f, \"same_eye\": %s, \"threshold\": %.4f, "
        "\"decision\": \"%s\"}\n",
        c.distance, c.bits, rotation,
        c.decision == iris::MatchDecision::kSameEye ? "true" : "false", iris::kSameEyeThreshold,
        DecisionName(c.decision));
  } else {
    const char* decision = c.decision == iris::MatchDecision::kSameEye ? "same eye"
                           : c.decision == iris::MatchDecision::kDifferentEye
                               ? "different eyes"
                               : "too few bits to compare";
    std::snprintf(
        text, sizeof text,
        "distance   %.4f  (same eye at or below %.4f)\nbits       %d  (at least %d needed)\n"
        "rotation   %.2f degrees\ndecision   %s\n",
        c.distance, iris::kSameEyeThreshold, c.bits, iris::kMinComparedBits, rotation, decision);
  }
  std::cout << text;
  return kOk;
}

const Registration kRegistration{Command{
    "match", kSynopsis,
    "tell whether two iris pictures show the same eye (distance, bits, rotation, decision)", Run}};

}  // namespace
}  // namespace okuva::tool
