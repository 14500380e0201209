// The capture station's process-wide state: the capture window and whether the capture
// runs. Read and written only by the window's handlers, on the user-interface thread.
#pragma once

#include <cstdint>

#include "platform/gdi/gdi.h"

namespace okuva {

// The 16-bit Boolean of the window's state: True is -1, and tests compare with it exactly.
constexpr int16_t kTrue = -1;
constexpr int16_t kFalse = 0;

namespace mdlCapturarImagen {

// The capture window; 0 before the first start or when none could be made. Only the
// start action writes it; the stop action leaves it as it was.
extern gdi::HWND hCapWnd;

// kTrue while the capture runs: set by a start that created and connected the capture
// window, cleared by the stop action and when the camera goes away.
extern int16_t bConectado;

}  // namespace mdlCapturarImagen
}  // namespace okuva
