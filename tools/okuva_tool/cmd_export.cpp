// okuva-tool export: a picture file to a JPEG through the DIB surface and the export
// the capture window uses.
#include <string>
#include <vector>

#include "saving/jpeg_export.h"
#include "surface/cdibsection.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/picture_input.h"
#include "tools/okuva_tool/surface_common.h"

namespace okuva::tool {
namespace {

constexpr const char* kSynopsis = "export IN OUT [--quality N]";
constexpr int32_t kDefaultQuality = 90;  // the capture window's quality

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  int32_t quality = kDefaultQuality;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {  // the rest are names, even those starting with '-'
      positional.insert(positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        args.end());
      break;
    }
    if (args[i] == "--quality") {
      if (i + 1 >= args.size()) {
        throw UsageError{"--quality needs a value from 1 to 100"};
      }
      quality = ParseWhole(args[++i], "--quality");
      if (quality < 1 || quality > 100) {
        throw UsageError{"--quality must be from 1 to 100, not " + args[i]};
      }
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) {
    throw UsageError{std::string("usage: okuva-tool ") + kSynopsis};
  }

  cDIBSection dib;
  LoadSurface(positional[0], dib);
  SaveDIBAsJPG(dib, positional[1], quality);
  return kOk;
}

const Registration kRegistration{
    Command{"export",
            kSynopsis,
            "writes a picture as a JPEG (quality 90 by default), replacing OUT only once complete "
            "and keeping its times and permission bits",
            Run,
            {{"--quality", "N", "the JPEG quality, 1 to 100 (default 90, as the window saves)"}}}};

}  // namespace
}  // namespace okuva::tool
