// The release step shared by the objects that keep a DIB section selected in a memory
// DC of their own (cDIBSection, cImage).
#pragma once

#include "platform/gdi/gdi.h"

namespace okuva::gdi {

// Puts back the bitmap the DC held before the DIB section was selected, deletes the
// DIB section and the DC, and zeroes the handles and the pixel address. Harmless when
// the DC is already 0.
template <typename BitsPointer>
void ReleaseDibInDC(HDC& memDC, HBITMAP& dib, HGDIOBJ& oldBitmap, BitsPointer& bits) {
  if (memDC != 0) {
    if (dib != 0) {
      SelectObject(memDC, oldBitmap);
      DeleteObject(dib);
    }
    DeleteDC(memDC);
  }
  memDC = 0;
  dib = 0;
  oldBitmap = 0;
  bits = nullptr;
}

}  // namespace okuva::gdi
