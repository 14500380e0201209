// The raster layer's helpers for callers that draw into or read out of a bitmap: the
// header of a plain DIB, and the owner of a bitmap selected into a memory DC.
#pragma once

#include <cstdint>

#include "platform/gdi/gdi.h"

namespace okuva::gdi {

// The header of an uncompressed DIB of width x height pixels at bitsPerPixel (a
// negative height: top-down rows). Every other field is 0, biSizeImage too: a caller
// that wants it sets it with the arithmetic it answers for.
BITMAPINFOHEADER DibHeader(int32_t width, int32_t height, int bitsPerPixel);

// A memory DC and the bitmap selected into it. Reset, or the end of its scope, puts
// back what the DC held before, deletes the bitmap when it was handed over owned, and
// deletes the DC, in that order (a selected bitmap cannot be deleted).
class MemoryDc {
public:
  enum Ownership { kBorrowed, kOwned };

  MemoryDc() = default;  // none: Dc() is 0
  // A new memory DC compatible with `reference` (0: the screen); Dc() is 0 when the
  // layer refuses it.
  explicit MemoryDc(HDC reference);
  MemoryDc(MemoryDc&& other) noexcept;
  MemoryDc& operator=(MemoryDc&& other) noexcept;
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  ~MemoryDc() { Reset(); }

  HDC Dc() const { return dc_; }
  // The bitmap handed to Select; 0 before and after Deselect.
  HBITMAP Bitmap() const { return bitmap_; }

  // Selects `bitmap` into the DC, after putting back any bitmap selected before. An
  // owned bitmap is this object's from then on, even when the layer refuses the
  // selection (no DC, a stale handle, a bitmap the clipboard owns: false), so it is
  // never lost.
  bool Select(HBITMAP bitmap, Ownership ownership);
  // Puts back what the DC held before Select and deletes an owned bitmap; the DC stays.
  void Deselect();
  // Deselect, then deletes the DC.
  void Reset();

private:
  HDC dc_ = 0;
  HBITMAP bitmap_ = 0;
  HGDIOBJ previous_ = 0;
  bool owned_ = false;
};

}  // namespace okuva::gdi
