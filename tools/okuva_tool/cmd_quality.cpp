// okuva-tool quality: finds the pupil and the iris in a picture and judges it with the
// iris quality metrics, as a readable table or as one JSON object, optionally drawn as
// an overlay picture; or judges a whole archive into a CSV file (quality_batch.cpp).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "iris/quality.h"
#include "platform/runtime/error.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/overlay.h"
#include "tools/okuva_tool/picture_input.h"
#include "tools/okuva_tool/quality_batch.h"
#include "tools/okuva_tool/quality_common.h"
#include "tools/okuva_tool/quote.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis =
    "quality IN [--json] [--overlay OUT.png] | quality --csv OUT.csv [--jobs N] PATH...";

// The picture as read for the analysis; a file that cannot be read is bad input, as in
// every command; no room for it is error 7.
Canvas ReadPicture(const std::string& path) {
  return ReadingInput(path, [&] { return ReadCanvas(path); });
}

std::string CircleJson(const std::optional<iris::Circle>& c) {
  if (!c) {
    return "null";
  }
  return "{\"x\": " + Number(c->x) + ", \"y\": " + Number(c->y) +
         ", \"radius\": " + Number(c->radius) + ", \"confidence\": " + Number(c->confidence) + "}";
}

void PrintJson(const iris::Quality& q) {
  std::ostringstream out;
  out << "{\"width\": " << q.width << ", \"height\": " << q.height
      << ", \"pupil\": " << CircleJson(q.circles.pupil)
      << ", \"iris\": " << CircleJson(q.circles.iris);
  for (const iris::Threshold& t : iris::Thresholds()) {
    out << ", \"" << t.name << "\": " << Number(q.Value(t.metric));
  }
  out << ", \"eye_found\": " << (q.circles.iris ? "true" : "false");
  out << ", \"verdict\": \"" << (q.pass ? "pass" : "fail") << "\", \"failed\": [";
  for (size_t i = 0; i < q.failed.size(); ++i) {
    out << (i ? ", " : "") << '"' << iris::ThresholdOf(q.failed[i]).name << '"';
  }
  out << "]}\n";
  std::cout << out.str();
}

void PrintTable(const iris::Quality& q) {
  std::ostringstream out;
  char line[160];
  out << "picture  " << q.width << " x " << q.height << "\n";
  for (const auto& [name, c] :
       {std::pair{"pupil", q.circles.pupil}, std::pair{"iris", q.circles.iris}}) {
    if (c) {
      std::snprintf(line, sizeof line, "%-7s  centre (%.1f, %.1f)  radius %.1f  confidence %.2f\n",
                    name, c->x, c->y, c->radius, c->confidence);
      out << line;
    } else {
      out << name << std::string(7 - std::string(name).size(), ' ') << "  not found\n";
    }
  }
  out << "\n";
  std::snprintf(line, sizeof line, "%-28s %10s  %-12s %s\n", "metric", "value", "recommended", "");
  out << line;
  for (const iris::Threshold& t : iris::Thresholds()) {
    const double v = q.Value(t.metric);
    const std::string value = std::isnan(v) ? "-" : Number(v).substr(0, Number(v).size() - 1);
    std::snprintf(line, sizeof line, "%-28s %10s  %-12s %s\n", t.name, value.c_str(),
                  Range(t).c_str(), q.Passed(t.metric) ? "ok" : "FAIL");
    out << line;
  }
  out << "\nverdict  " << (q.pass ? "pass" : "fail") << (q.circles.iris ? "" : " (eye not found)")
      << "\n";
  std::cout << out.str();
}

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  bool json = false;
  std::string overlay, csv, jobs;
  const auto value = [&](size_t& i) -> const std::string& {
    if (i + 1 >= args.size() || args[i + 1].empty()) {
      throw UsageError{args[i] + " needs a value; usage: okuva-tool " + kSynopsis};
    }
    return args[++i];
  };
  bool names = false;  // after "--" every argument is a name
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (names) {
      positional.push_back(a);
    } else if (a == "--") {
      names = true;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--overlay") {
      overlay = value(i);
    } else if (a == "--csv") {
      csv = value(i);
    } else if (a == "--jobs") {
      jobs = value(i);
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option " + Quoted(a) + "; usage: okuva-tool " + kSynopsis};
    } else {
      positional.push_back(a);
    }
  }
  if (!csv.empty()) {
    if (json || !overlay.empty()) {
      throw UsageError{"--csv judges many pictures: it takes neither --json nor --overlay"};
    }
    if (positional.empty()) {
      throw UsageError{std::string("missing PATH; usage: okuva-tool ") + kSynopsis};
    }
    return RunBatch(csv, positional, jobs.empty() ? DefaultJobs() : ParseJobs(jobs));
  }
  if (!jobs.empty()) {
    throw UsageError{"--jobs goes with --csv"};
  }
  if (positional.empty()) {
    throw UsageError{std::string("missing IN; usage: okuva-tool ") + kSynopsis};
  }
  if (positional.size() > 1) {
    throw UsageError{"unexpected argument " + QuotedWord(positional[1]) +
                     " after IN; usage: okuva-tool " + kSynopsis};
  }
  const Canvas picture = ReadPicture(positional[0]);
  const iris::Quality quality = iris::Assess(GreyOf(picture).View());
  // The picture first: when it cannot be written nothing is printed either.
  if (!overlay.empty()) {
    WritePng(QualityOverlay(picture, quality), overlay);
  }
  if (json) {
    PrintJson(quality);
  } else {
    PrintTable(quality);
  }
  return kOk;
}

const Registration kRegistration{Command{
    "quality",
    kSynopsis,
    "find the pupil and the iris and judge the picture with the iris quality metrics (--overlay draws them); "
    "--csv judges every picture under the PATHs into one CSV row each",
    Run,
    {{"--json", "", "print one JSON object instead of the table"},
     {"--overlay", "OUT.png",
      "also draw the circles, the masked ring, the margins and the verdict into OUT.png"},
     {"--csv", "OUT.csv",
      "judge every picture under the PATHs (folders walked) into one CSV row each"},
     {"--jobs", "N", "pictures judged at once with --csv (default: the processors available)"}}}};

}  // namespace
}  // namespace okuva::tool
