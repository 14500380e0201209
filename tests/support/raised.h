// The number of the RuntimeError a call raises, for tests that check which error comes.
#pragma once

#include <cstdint>

#include "platform/runtime/error.h"

namespace okuva::testing {

// The number `f` raises, or 0 when it returns normally.
template <class F>
int32_t RaisedNumber(F&& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.Number();
  }
  return 0;
}

}  // namespace okuva::testing
