// cDIBSection: the program's 24-bit pixel surface. A DIB section kept selected in a
// memory device context of its own, so blits draw into it and out of it, while its
// pixel memory is addressed in place.
//
// Pixel layout, shared with every user of the surface: three bytes per pixel (blue,
// green, red); rows of BytesPerScanLine() bytes, padded to a multiple of 4 with bytes
// that hold no pixel; rows stored bottom-up (the first row in memory is the picture's
// bottom row).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/gdi/gdi.h"
#include "platform/gdi/memory_dc.h"
#include "platform/picture/picture.h"

namespace okuva {

class cDIBSection {
public:
  cDIBSection() = default;
  // Runs ClearUp.
  ~cDIBSection();
  // A surface owns its device context and bitmap; it is neither copied nor moved
  // (callers hold it by value or through the unique_ptr Resample returns).
  cDIBSection(const cDIBSection&) = delete;
  cDIBSection& operator=(const cDIBSection&) = delete;

  // Puts a copy on the clipboard. With bAsDIB true (the default) it only shows the
  // message "I don't know how to put a DIB on the clipboard! Copy as bitmap instead!!!"
  // and returns false; with false it places a screen-format bitmap of the surface's
  // size and returns true when the clipboard accepted it.
  bool CopyToClipboard(bool bAsDIB = true);

  // Fills the header for a lWidth x lHeight 24-bit bottom-up DIB and makes the DIB
  // section on lhDC; hDib receives the handle (0 on failure). Does not select the new
  // section; a live surface is freed first so that the header never describes another
  // bitmap than the selected one. The header changes even on failure; a size that is
  // not positive fails. Raises 6 when the row or image size does not fit in 32 bits.
  bool CreateDIB(gdi::HDC lhDC, int32_t lWidth, int32_t lHeight, gdi::HBITMAP& hDib);

  // Makes the surface the picture's pixel size and blits the picture into it
  // (converted to 24 bits). A picture without a bitmap leaves the surface empty with
  // Width and Height 0. Raises 7 "Out of memory" (the surface left empty) when the
  // platform has no room for a surface of the picture's size; 6 when its row or image
  // size does not fit in 32 bits.
  void CreateFromPicture(const StdPicture& picThis);
  void CreateFromPicture(gdi::HBITMAP picThis);  // the same for a bare picture handle

  // Frees any surface, then makes a new lWidth x lHeight one (pixel bytes zeroed by
  // the platform). False when the platform refuses (e.g. a size of 0); raises 6 when
  // the sizes overflow 32 bits.
  bool Create(int32_t lWidth, int32_t lHeight);

  // Bytes per stored row: (3 x Width + 3) with the two low bits cleared; raises 6 on
  // overflow. Width 1 gives 4, 5 gives 16.
  int32_t BytesPerScanLine() const;
  // The size last passed to CreateDIB, also after ClearUp (0 for a new object).
  int32_t Width() const { return m_tBIH.biWidth; }
  int32_t Height() const { return m_tBIH.biHeight; }

  // Blits from lhDC into the surface's top-left corner; a negative width or height
  // means the surface's own. Reports nothing; the platform clips to both surfaces.
  void LoadPictureBlt(gdi::HDC lhDC, int32_t lSrcLeft = 0, int32_t lSrcTop = 0,
                      int32_t lSrcWidth = -1, int32_t lSrcHeight = -1,
                      uint32_t eRop = gdi::SRCCOPY);
  // Blits out of the surface into lhDC, unstretched; a negative width or height means
  // the surface's own. Reports nothing.
  void PaintPicture(gdi::HDC lhDC, int32_t lDestLeft = 0, int32_t lDestTop = 0,
                    int32_t lDestWidth = -1, int32_t lDestHeight = -1, int32_t lSrcLeft = 0,
                    int32_t lSrcTop = 0, uint32_t eRop = gdi::SRCCOPY) const;

  // The surface's own memory device context (0 when empty); callers never free it.
  gdi::HDC hdc() const { return m_surface.Dc(); }
  // The DIB section (0 when empty); callers never free it.
  gdi::HBITMAP hDib() const { return m_surface.Bitmap(); }
  // First byte of the pixel memory (the bottom row), or null when the object holds no
  // surface of its own. Valid until the next Create, CreateDIB or ClearUp.
  uint8_t* DIBSectionBitsPtr() const { return m_surface.Bitmap() != 0 ? m_lBitsPtr : nullptr; }

  // Fills every pixel with random colours (blue 0, green and red random) or, with
  // bGray, random grey levels; the row padding is never written. Re-seeds the
  // runtime's generator from the time of day.
  void RandomiseBits(bool bGray = false);

  // Frees the surface and its device context; harmless when already empty. Keeps the
  // header, so Width and Height still report the last size.
  void ClearUp();

  // A new surface of lNewWidth x lNewHeight (height first) made by bilinear
  // interpolation, or a byte-exact copy at the same size; null when the new surface
  // cannot be created. Raises 9 (and frees the new surface) when this surface is
  // narrower or lower than 2 pixels, or empty, and the size differs.
  std::unique_ptr<cDIBSection> Resample(int32_t lNewHeight, int32_t lNewWidth) const;

private:
  void BilinearResample(cDIBSection& target) const;

  // The surface's own memory DC with the DIB section selected in it.
  gdi::MemoryDc m_surface;
  uint8_t* m_lBitsPtr = nullptr;
  gdi::BITMAPINFOHEADER m_tBIH{};
};

}  // namespace okuva
