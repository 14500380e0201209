#include "capture/mdlCapturarImagen.h"

namespace okuva::mdlCapturarImagen {

gdi::HWND hCapWnd = 0;
int16_t bConectado = kFalse;

}  // namespace okuva::mdlCapturarImagen
