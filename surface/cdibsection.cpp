#include "surface/cdibsection.h"

#include "platform/runtime/checked.h"
#include "platform/runtime/error.h"
#include "platform/runtime/services.h"

namespace okuva {

namespace {
constexpr uint16_t kBitsPerPixel = 24;
constexpr int32_t kBytesPerPixel = 3;
}  // namespace

cDIBSection::~cDIBSection() { ClearUp(); }

int32_t cDIBSection::BytesPerScanLine() const {
  // Rows are padded to whole 32-bit words.
  return CheckedAdd(CheckedMul(m_tBIH.biWidth, kBytesPerPixel), 3) & ~int32_t{3};
}

bool cDIBSection::CreateDIB(gdi::HDC lhDC, int32_t lWidth, int32_t lHeight, gdi::HBITMAP& hDib) {
  // A header that describes another bitmap than the one selected would send every
  // reader of the pixel memory past its end: let go of a live surface first.
  if (m_surface.Bitmap() != 0) {
    ClearUp();
  }

  m_tBIH = gdi::DibHeader(lWidth, lHeight, kBitsPerPixel);
  m_tBIH.biSizeImage = static_cast<uint32_t>(CheckedMul(lHeight, BytesPerScanLine()));

  hDib = 0;
  m_lBitsPtr = nullptr;
  // A negative height would make top-down rows, which no user of the surface expects.
  if (lWidth <= 0 || lHeight <= 0) {
    return false;
  }

  void* bits = nullptr;
  hDib = gdi::CreateDIBSection(lhDC, &m_tBIH, gdi::DIB_RGB_COLORS, &bits, nullptr, 0);
  m_lBitsPtr = hDib != 0 ? static_cast<uint8_t*>(bits) : nullptr;
  return hDib != 0;
}

bool cDIBSection::Create(int32_t lWidth, int32_t lHeight) {
  ClearUp();
  m_surface = gdi::MemoryDc(0);
  if (m_surface.Dc() == 0) {
    return false;
  }
  gdi::HBITMAP dib = 0;
  if (CreateDIB(m_surface.Dc(), lWidth, lHeight, dib)) {
    m_surface.Select(dib, gdi::MemoryDc::kOwned);
    return true;
  }
  m_surface.Reset();
  return false;
}

void cDIBSection::CreateFromPicture(const StdPicture& picThis) {
  CreateFromPicture(picThis.Handle());
}

void cDIBSection::CreateFromPicture(gdi::HBITMAP picThis) {
  gdi::BITMAP bm{};
  gdi::GetObjectA(picThis, static_cast<int>(sizeof(bm)), &bm);
  // Not a bitmap: the surface is left empty, as callers expect.
  if (bm.bmWidth <= 0 || bm.bmHeight <= 0) {
    Create(bm.bmWidth, bm.bmHeight);
    return;
  }
  // A real picture that finds no room would otherwise leave a header without pixels,
  // and every later reader would fail with an error that hides the cause.
  if (!Create(bm.bmWidth, bm.bmHeight)) {
    Raise(kErrOutOfMemory);
  }

  const gdi::HWND desktop = gdi::GetDesktopWindow();
  const gdi::HDC screen = gdi::GetDC(desktop);
  gdi::MemoryDc source = screen != 0 ? gdi::MemoryDc(screen) : gdi::MemoryDc();
  if (screen != 0) {
    gdi::ReleaseDC(desktop, screen);
  }
  if (source.Dc() == 0) {
    // A black surface in place of the picture would pass for a copy of it.
    ClearUp();
    Raise(kErrOutOfMemory);
  }

  source.Select(picThis, gdi::MemoryDc::kBorrowed);
  LoadPictureBlt(source.Dc(), 0, 0, -1, -1, gdi::SRCCOPY);
}

void cDIBSection::LoadPictureBlt(gdi::HDC lhDC, int32_t lSrcLeft, int32_t lSrcTop,
                                 int32_t lSrcWidth, int32_t lSrcHeight, uint32_t eRop) {
  if (lSrcWidth < 0) {
    lSrcWidth = Width();
  }
  if (lSrcHeight < 0) {
    lSrcHeight = Height();
  }
  gdi::BitBlt(hdc(), 0, 0, lSrcWidth, lSrcHeight, lhDC, lSrcLeft, lSrcTop, eRop);
}

void cDIBSection::PaintPicture(gdi::HDC lhDC, int32_t lDestLeft, int32_t lDestTop,
                               int32_t lDestWidth, int32_t lDestHeight, int32_t lSrcLeft,
                               int32_t lSrcTop, uint32_t eRop) const {
  if (lDestWidth < 0) {
    lDestWidth = Width();
  }
  if (lDestHeight < 0) {
    lDestHeight = Height();
  }
  gdi::BitBlt(lhDC, lDestLeft, lDestTop, lDestWidth, lDestHeight, hdc(), lSrcLeft, lSrcTop, eRop);
}

bool cDIBSection::CopyToClipboard(bool bAsDIB) {
  const gdi::HWND desktop = gdi::GetDesktopWindow();
  const gdi::HDC screen = gdi::GetDC(desktop);
  if (screen == 0) {
    return false;
  }
  gdi::MemoryDc memDC(screen);
  if (memDC.Dc() == 0) {
    gdi::ReleaseDC(desktop, screen);
    return false;
  }

  bool placed = false;
  if (bAsDIB) {
    MsgBox("I don't know how to put a DIB on the clipboard! Copy as bitmap instead!!!",
           MessageIcon::None);
  } else {
    const gdi::HBITMAP bitmap = gdi::CreateCompatibleBitmap(screen, Width(), Height());
    if (bitmap != 0) {
      memDC.Select(bitmap, gdi::MemoryDc::kBorrowed);
      PaintPicture(memDC.Dc(), 0, 0, -1, -1, 0, 0, gdi::SRCCOPY);
      // The clipboard refuses a bitmap still selected.
      memDC.Deselect();
      if (gdi::OpenClipboard(0)) {
        gdi::EmptyClipboard();
        placed = gdi::SetClipboardData(gdi::CF_BITMAP, bitmap) != 0;
        gdi::CloseClipboard();
      }
      // The clipboard owns the bitmap only when it took it.
      if (!placed) {
        gdi::DeleteObject(bitmap);
      }
    }
  }

  memDC.Reset();
  gdi::ReleaseDC(desktop, screen);
  return placed;
}

void cDIBSection::ClearUp() {
  m_surface.Reset();
  m_lBitsPtr = nullptr;
}

}  // namespace okuva
