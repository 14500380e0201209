#include "capture/aids/grey.h"

#include "platform/runtime/error.h"

namespace okuva::aids {

void CheckFrame(const camera::Frame& frame) {
  if (frame.width < 0 || frame.height < 0) {
    Raise(kErrInvalidCall, {}, "okuva.aids");
  }
  const uint64_t needed =
      3ull * static_cast<uint64_t>(frame.width) * static_cast<uint64_t>(frame.height);
  if (frame.rgb.size() < needed) {
    Raise(kErrInvalidCall, {}, "okuva.aids");
  }
}

void CheckView(const GreyView& grey) {
  if (grey.width < 0 || grey.height < 0) {
    Raise(kErrInvalidCall, {}, "okuva.aids");
  }
  if (grey.width == 0 || grey.height == 0) {
    return;
  }
  if (grey.pixels == nullptr || grey.stride < grey.width) {
    Raise(kErrInvalidCall, {}, "okuva.aids");
  }
}

}  // namespace okuva::aids
