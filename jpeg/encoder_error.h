// The encoder's own refusal: error 1 with a description and no source, so the
// reporter shows the application's name as the source.
#pragma once

#include "platform/runtime/error.h"

namespace okuva::jpeg {

constexpr int32_t kEncoderError = 1;

[[noreturn]] inline void RaiseEncoderError(const char* description) {
  Raise(kEncoderError, description);
}

}  // namespace okuva::jpeg
