// okuva-tool randomise: a new DIB surface filled with random colours or grey levels,
// written as a 24-bit BMP.
#include <string>
#include <vector>

#include "platform/runtime/error.h"
#include "surface/cdibsection.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/surface_common.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis = "randomise OUT WIDTH HEIGHT [--grey]";

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  bool grey = false;
  bool names = false;  // after "--" every argument is a name or a number
  for (const std::string& a : args) {
    if (!names && a == "--") {
      names = true;
    } else if (!names && a == "--grey") {
      grey = true;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 3) {
    throw UsageError{std::string("usage: okuva-tool ") + kSynopsis};
  }
  const int32_t width = ParseSize(positional[1], "WIDTH");
  const int32_t height = ParseSize(positional[2], "HEIGHT");

  cDIBSection dib;
  if (!dib.Create(width, height)) {
    Raise(kErrOutOfMemory);
  }
  dib.RandomiseBits(grey);
  WriteBmp(dib.hDib(), positional[0]);
  return kOk;
}

const Registration kRegistration{
    Command{"randomise",
            kSynopsis,
            "writes a 24-bit BMP of random colours (no blue) or, with --grey, random grey levels",
            Run,
            {{"--grey", "", "random grey levels instead of random colours"}}}};

}  // namespace
}  // namespace okuva::tool
