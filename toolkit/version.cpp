#include "okuva_version.h"

namespace okuva {

const char* ToolkitVersion() { return OKUVA_VERSION_STRING; }

}  // namespace okuva
