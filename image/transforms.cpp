// cImage transforms: each is one blit from this image's DC into a new image's DC.
// Coordinates are device coordinates: origin at the top-left pixel, y downwards.
#include "image/image.h"

namespace okuva {

std::unique_ptr<cImage> cImage::NewLike(int32_t lWidth, int32_t lHeight, int16_t iBitCount,
                                        bool keepTable) const {
  auto image = std::make_unique<cImage>();
  // A refused surface still gives an object: the caller gets an empty image (hdc 0)
  // and the blits into it do nothing.
  image->Create(lWidth, lHeight, iBitCount);
  if (keepTable && BitCount() != 24) {
    image->CopyPalletHDC(hdc());
  }
  return image;
}

std::unique_ptr<cImage> cImage::PlgCopy(int32_t lWidth, int32_t lHeight,
                                        const gdi::POINT points[3]) const {
  auto image = NewLike(lWidth, lHeight, BitCount(), true);
  gdi::PlgBlt(image->hdc(), points, hdc(), 0, 0, Width(), Height(), 0, 0, 0);
  return image;
}

std::unique_ptr<cImage> cImage::Greyscale() const {
  // The grey ramp of a new 8-bit image makes the layer's colour matching pick a grey
  // level for every pixel; the source's own table is deliberately not carried over.
  auto image = NewLike(Width(), Height(), 8, false);
  gdi::BitBlt(image->hdc(), 0, 0, Width(), Height(), hdc(), 0, 0, gdi::SRCCOPY);
  return image;
}

std::unique_ptr<cImage> cImage::Resample(int32_t lWidth, int32_t lHeight) const {
  auto image = NewLike(lWidth, lHeight, BitCount(), true);
  if (lWidth == Width() && lHeight == Height()) {
    gdi::BitBlt(image->hdc(), 0, 0, lWidth, lHeight, hdc(), 0, 0, gdi::SRCCOPY);
    return image;
  }
  if (gdi::SetStretchBltMode(image->hdc(), gdi::HALFTONE) == 0) {
    gdi::SetStretchBltMode(image->hdc(), gdi::COLORONCOLOR);
  }
  gdi::StretchBlt(image->hdc(), 0, 0, lWidth, lHeight, hdc(), 0, 0, Width(), Height(),
                  gdi::SRCCOPY);
  return image;
}

std::unique_ptr<cImage> cImage::Mirror(bool Vertical) const {
  const int32_t w = Width();
  const int32_t h = Height();
  // Where the source's upper-left, upper-right and lower-left corners go.
  const gdi::POINT vertical[3] = {{0, h}, {w, h}, {0, 0}};    // (x, y) -> (x, h-1-y)
  const gdi::POINT horizontal[3] = {{w, 0}, {0, 0}, {w, h}};  // (x, y) -> (w-1-x, y)
  return PlgCopy(w, h, Vertical ? vertical : horizontal);
}

std::unique_ptr<cImage> cImage::Rotate(int32_t Degrees) const {
  const int32_t w = Width();
  const int32_t h = Height();
  int32_t d = Degrees % 360;  // the remainder takes the sign of Degrees
  if (d < 0) {
    d += 360;
  }
  switch (d) {
    case 90: {  // counter-clockwise: (x, y) -> (y, w-1-x)
      const gdi::POINT points[3] = {{0, w}, {0, 0}, {h, w}};
      return PlgCopy(h, w, points);
    }
    case 180: {  // (x, y) -> (w-1-x, h-1-y)
      const gdi::POINT points[3] = {{w, h}, {0, h}, {w, 0}};
      return PlgCopy(w, h, points);
    }
    case 270: {  // clockwise: (x, y) -> (h-1-y, x)
      const gdi::POINT points[3] = {{h, 0}, {h, w}, {0, 0}};
      return PlgCopy(h, w, points);
    }
    default:
      // Only quarter turns are supported; a whole turn is not a turn either.
      return nullptr;
  }
}

}  // namespace okuva
