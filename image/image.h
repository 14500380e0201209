// cImage: an off-screen picture of 1, 4, 8 or 24 bits per pixel, held as a DIB section
// selected into a memory device context the object owns, with a colour table (a grey
// ramp unless another table is given). Every pixel operation is a raster-layer call;
// the object never reads or writes pixel bytes itself.
//
// Pixel layout is the DIB one: rows of BytesPerScanLine bytes, bottom row first for a
// positive height; 24 bits = blue, green, red; 4 bits = left pixel in the high nibble;
// 1 bit = left pixel in the most significant bit.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/gdi/gdi.h"
#include "platform/gdi/memory_dc.h"
#include "platform/picture/picture.h"

namespace okuva {

class cImage {
public:
  // A new object is empty: every member 0, no surface.
  cImage() = default;
  ~cImage();
  cImage(const cImage&) = delete;
  cImage& operator=(const cImage&) = delete;

  // Header values of the last Create that got as far as writing the header; an
  // emptied object keeps reporting them.
  int32_t Width() const;      // pixels
  int32_t Height() const;     // pixels; positive = bottom row stored first
  int16_t BitCount() const;   // 1, 4, 8 or 24 (0 before any Create)
  gdi::HDC hdc() const;       // the memory DC holding the surface; 0 when empty
  void* DIBitsPtr() const;    // first byte of the pixel bits; null when empty
  // Bytes per row for the current width and depth, padded to 4 bytes (0 at width 0
  // for 8 and 24 bits, 4 for 1 and 4 bits). Raises error 6 on 32-bit overflow.
  int32_t BytesPerScanLine() const;

  // Empties the object, then makes a blank lWidth x lHeight surface of iBitCount bits
  // (1, 4, 8: grey-ramp colour table; 24). Content is left as the raster layer makes
  // it. False for any other depth or when the layer refuses; error 6 on overflow of
  // the row or image size (the object then holds only the call's new memory DC).
  bool Create(int32_t lWidth, int32_t lHeight, int16_t iBitCount);

  // Copies a picture. With iBitCount 0 the depth is the picture's own (16 becomes
  // 24) and is written back to the caller's variable; palette pictures then bring
  // their colour table. False when the depth is refused, the picture holds no bitmap
  // or the layer refuses a device context.
  bool CopyStdPicture(const StdPicture& TheStdPicture, int16_t& iBitCount);
  bool CopyStdPicture(const StdPicture& TheStdPicture, int16_t&& iBitCount = 0);

  // Copies lWidth x lHeight pixels from (lSrcLeft, lSrcTop) of lhDC. With iBitCount 0
  // the depth follows the size of the colour table selected in lhDC (none: 24) and
  // the table is carried over; otherwise colours are matched to the grey ramp.
  // False when the surface could not be made.
  bool CopyHDC(gdi::HDC lhDC, int32_t lWidth, int32_t lHeight, int16_t iBitCount = 0,
               int32_t lSrcLeft = 0, int32_t lSrcTop = 0);

  // Takes the colour table of the bitmap selected in lhDC. True when every entry read
  // was set; false (table unchanged) when lhDC has no colour table.
  bool CopyPalletHDC(gdi::HDC lhDC);

  // Blits the whole image to (lDestLeft, lDestTop) of lhDC with raster operation eRop.
  // A refused blit is not reported.
  void PaintHDC(gdi::HDC lhDC, int32_t lDestLeft = 0, int32_t lDestTop = 0,
                uint32_t eRop = gdi::SRCCOPY) const;

  // Transforms. Each returns a new object the caller owns and leaves this one as it
  // is. When the new surface cannot be made the result is an empty object (hdc 0).

  // An 8-bit copy on the grey ramp: each pixel becomes the grey level the raster
  // layer's colour matching picks for it.
  std::unique_ptr<cImage> Greyscale() const;
  // A copy at lWidth x lHeight, same depth and colour table: exact at the same size,
  // otherwise area-averaged (nearest pixel where averaging is unavailable).
  std::unique_ptr<cImage> Resample(int32_t lWidth, int32_t lHeight) const;
  // A flipped copy: Vertical true flips top to bottom, false left to right.
  std::unique_ptr<cImage> Mirror(bool Vertical) const;
  // A copy turned counter-clockwise by Degrees (any multiple of 90 except whole
  // turns); nullptr for any other angle, with no error.
  std::unique_ptr<cImage> Rotate(int32_t Degrees) const;

private:
  void DestroyImage();
  // The common frame of the transforms: a new image of the given size and depth,
  // carrying this image's colour table when it is a palette image and keepTable.
  std::unique_ptr<cImage> NewLike(int32_t lWidth, int32_t lHeight, int16_t iBitCount,
                                  bool keepTable) const;
  std::unique_ptr<cImage> PlgCopy(int32_t lWidth, int32_t lHeight,
                                  const gdi::POINT points[3]) const;

  // The image's own memory DC with the DIB section selected in it.
  gdi::MemoryDc m_surface;
  void* m_lBitsPtr = nullptr;
  gdi::BITMAPINFO m_tBI{};
  gdi::RGBQUAD m_tPal[256]{};
};

}  // namespace okuva
