// cImage: surface lifetime, header, colour tables and the copies in and out.

#include "image/image.h"

#include <algorithm>
#include <cmath>

#include "platform/gdi/memory_dc.h"
#include "platform/runtime/checked.h"

namespace okuva {

namespace {

constexpr uint32_t kTableEntries = 256;  // room in m_tPal and in m_tBI's colour table

// Rows are padded to a whole number of 32-bit words.
int32_t ClearLowBits(int32_t value) { return value & ~int32_t{3}; }

// The colour-table depth that holds `entries` colours (0: no table, a 24-bit image).
int16_t DepthForEntries(uint32_t entries) {
  if (entries >= 1 && entries <= 2) {
    return 1;
  }
  if (entries >= 3 && entries <= 16) {
    return 4;
  }
  if (entries >= 17 && entries <= 256) {
    return 8;
  }
  return 24;
}

}  // namespace

cImage::~cImage() { DestroyImage(); }

int32_t cImage::Width() const { return m_tBI.bmiHeader.biWidth; }

int32_t cImage::Height() const { return m_tBI.bmiHeader.biHeight; }

int16_t cImage::BitCount() const { return static_cast<int16_t>(m_tBI.bmiHeader.biBitCount); }

gdi::HDC cImage::hdc() const { return m_surface.Dc(); }

void* cImage::DIBitsPtr() const { return m_lBitsPtr; }

int32_t cImage::BytesPerScanLine() const {
  const int32_t w = Width();
  switch (BitCount()) {
    case 1: return ClearLowBits(CheckedAdd(CheckedSub(w, 1) / 8, 4));
    case 4: return ClearLowBits(CheckedAdd(CheckedSub(w, 1) / 2, 4));
    case 8: return ClearLowBits(CheckedAdd(w, 3));
    default:  // 24, and 0 in an object never created
      return ClearLowBits(CheckedAdd(CheckedMul(3, w), 3));
  }
}

bool cImage::Create(int32_t lWidth, int32_t lHeight, int16_t iBitCount) {
  DestroyImage();

  switch (iBitCount) {
    case 1:
    case 4:
    case 8: {
      // Palette depths: a DC of the display, as the classic interface requires.
      const gdi::HDC display = gdi::CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
      m_surface = gdi::MemoryDc(display);
      gdi::DeleteDC(display);
      break;
    }
    case 24: m_surface = gdi::MemoryDc(0); break;
    default: break;
  }
  if (m_surface.Dc() == 0) {
    return false;
  }

  // A whole new header: a conversion into this one may have filled fields such as
  // biClrUsed, and a stale one would cut the colour table of the next surface short.
  gdi::BITMAPINFOHEADER& h = m_tBI.bmiHeader;
  h = gdi::DibHeader(lWidth, lHeight, iBitCount);
  // An overflow leaves with error 6; the new memory DC stays in the object, as in
  // cDIBSection, until the next Create or the object's end releases it.
  h.biSizeImage = static_cast<uint32_t>(CheckedMul(lHeight, BytesPerScanLine()));

  if (iBitCount != 24) {
    const int n = (1 << iBitCount) - 1;
    for (int i = 0; i <= n; ++i) {
      const uint8_t grey = CByte(static_cast<double>(i) * 255.0 / n);
      m_tBI.bmiColors[i].rgbBlue = grey;
      m_tBI.bmiColors[i].rgbGreen = grey;
      m_tBI.bmiColors[i].rgbRed = grey;
    }
  }

  const gdi::HBITMAP dib =
      gdi::CreateDIBSection(m_surface.Dc(), &m_tBI, gdi::DIB_RGB_COLORS, &m_lBitsPtr, nullptr, 0);
  if (dib != 0) {
    m_surface.Select(dib, gdi::MemoryDc::kOwned);
    return true;
  }
  m_surface.Reset();
  m_lBitsPtr = nullptr;
  return false;
}

void cImage::DestroyImage() {
  m_surface.Reset();
  m_lBitsPtr = nullptr;
}

bool cImage::CopyStdPicture(const StdPicture& TheStdPicture, int16_t&& iBitCount) {
  return CopyStdPicture(TheStdPicture, iBitCount);
}

bool cImage::CopyStdPicture(const StdPicture& TheStdPicture, int16_t& iBitCount) {
  const gdi::HBITMAP picture = TheStdPicture.Handle();
  gdi::BITMAP bm{};  // stays zero when the handle is not a bitmap
  gdi::GetObjectA(picture, static_cast<int>(sizeof bm), &bm);

  const bool depthFromPicture = iBitCount == 0;
  if (depthFromPicture) {
    iBitCount = bm.bmBitsPixel == 16 ? int16_t{24} : static_cast<int16_t>(bm.bmBitsPixel);
  }
  if (!Create(bm.bmWidth, bm.bmHeight, iBitCount)) {
    return false;
  }

  // A screen DC to make the memory DC that holds the picture's bitmap.
  gdi::HWND desktop = 0;
  gdi::HDC screen = 0;
  if (iBitCount == 24) {
    desktop = gdi::GetDesktopWindow();
    screen = gdi::GetDC(desktop);
  } else {
    screen = gdi::CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  }
  if (screen == 0) {
    return false;
  }
  gdi::MemoryDc source(screen);
  if (iBitCount == 24) {
    gdi::ReleaseDC(desktop, screen);
  } else {
    gdi::DeleteDC(screen);
  }
  if (source.Dc() == 0) {
    return false;
  }
  // A bitmap held by another DC cannot be copied: no copy is reported.
  if (!source.Select(picture, gdi::MemoryDc::kBorrowed)) {
    return false;
  }

  if (iBitCount == 24) {
    gdi::BitBlt(hdc(), 0, 0, Width(), Height(), source.Dc(), 0, 0, gdi::SRCCOPY);
  } else {
    const uint32_t entries = 1u << iBitCount;
    if (depthFromPicture) {
      const uint32_t got = gdi::GetDIBColorTable(source.Dc(), 0, entries, m_tPal);
      if (got > 0) {
        gdi::SetDIBColorTable(hdc(), 0, got, m_tPal);
      }
    }
    const uint32_t lines = bm.bmHeight < 0 ? 0u - static_cast<uint32_t>(bm.bmHeight)
                                           : static_cast<uint32_t>(bm.bmHeight);
    const int copied =
        gdi::GetDIBits(source.Dc(), picture, 0, lines, m_lBitsPtr, &m_tBI, gdi::DIB_RGB_COLORS);
    // At equal depths the conversion copies the picture's indices and writes its
    // table into the header; the surface must carry that table too, or the indices
    // would be read against the grey ramp.
    if (copied > 0) {
      gdi::SetDIBColorTable(hdc(), 0, entries, m_tBI.bmiColors);
    }
  }

  return true;
}

bool cImage::CopyHDC(gdi::HDC lhDC, int32_t lWidth, int32_t lHeight, int16_t iBitCount,
                     int32_t lSrcLeft, int32_t lSrcTop) {
  uint32_t entries = 0;
  int16_t depth = iBitCount;
  if (iBitCount == 0) {
    entries = gdi::GetDIBColorTable(lhDC, 0, kTableEntries, m_tPal);
    depth = DepthForEntries(entries);
  }
  if (!Create(lWidth, lHeight, depth)) {
    return false;
  }
  if (entries > 0) {
    gdi::SetDIBColorTable(hdc(), 0, entries, m_tPal);
  }
  gdi::BitBlt(hdc(), 0, 0, lWidth, lHeight, lhDC, lSrcLeft, lSrcTop, gdi::SRCCOPY);
  return true;
}

bool cImage::CopyPalletHDC(gdi::HDC lhDC) {
  // 2^BitCount entries are asked for (16777216 for a 24-bit image), but never more
  // than the buffer holds: no colour table is larger than 256 entries.
  const int32_t wanted = CLng(std::pow(2.0, BitCount()));
  const uint32_t count = std::min(static_cast<uint32_t>(wanted), kTableEntries);
  const uint32_t got = gdi::GetDIBColorTable(lhDC, 0, count, m_tPal);
  if (got == 0) {
    return false;
  }
  return gdi::SetDIBColorTable(hdc(), 0, got, m_tPal) == got;
}

void cImage::PaintHDC(gdi::HDC lhDC, int32_t lDestLeft, int32_t lDestTop, uint32_t eRop) const {
  gdi::BitBlt(lhDC, lDestLeft, lDestTop, Width(), Height(), hdc(), 0, 0, eRop);
}

}  // namespace okuva
