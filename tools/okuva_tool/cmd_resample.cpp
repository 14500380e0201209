// okuva-tool resample: bilinear resampling of a picture through the DIB surface,
// written as a 24-bit BMP.
#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/error.h"
#include "surface/cdibsection.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/picture_input.h"
#include "tools/okuva_tool/surface_common.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis = "resample IN OUT WIDTH HEIGHT";

int Run(const std::vector<std::string>& all) {
  // No options: a leading "--" is allowed, as in every command, and dropped.
  const std::vector<std::string> args(all.begin() + (!all.empty() && all[0] == "--" ? 1 : 0),
                                      all.end());
  if (args.size() != 4) {
    throw UsageError{std::string("usage: okuva-tool ") + kSynopsis};
  }
  const int32_t width = ParseSize(args[2], "WIDTH");
  const int32_t height = ParseSize(args[3], "HEIGHT");

  cDIBSection source;
  LoadSurface(args[0], source);
  // Raises 9 for a source narrower or lower than 2 pixels; nothing is written then.
  const std::unique_ptr<cDIBSection> result = source.Resample(height, width);
  if (!result) {
    Raise(kErrOutOfMemory);
  }
  WriteBmp(result->hDib(), args[1]);
  return kOk;
}

const Registration kRegistration{Command{
    "resample", kSynopsis, "resizes a picture by bilinear interpolation into a 24-bit BMP", Run}};

}  // namespace
}  // namespace okuva::tool
