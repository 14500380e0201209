// Resampling and random fill: both work on the surface's bytes in place through
// bounds-checked byte views, so a wrong index raises 9 instead of touching memory
// outside the surface.
#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/runtime/checked.h"
#include "platform/runtime/program.h"
#include "surface/cdibsection.h"

namespace okuva {

namespace {

// V(c, r) over a surface's stored rows; empty (every access raises 9) without bits.
ByteView2D ViewOf(const cDIBSection& dib) {
  uint8_t* bits = dib.DIBSectionBitsPtr();
  if (bits == nullptr || dib.Height() <= 0) {
    return {};
  }
  const int32_t stride = dib.BytesPerScanLine();
  return ByteView2D(bits, stride, dib.Height(), stride);
}

// Round to the nearest integer, ties to even (the runtime's conversion rule).
inline double Nearest(double v) { return std::nearbyint(v); }

inline uint8_t ToByte(double v) {
  v = Nearest(v);
  if (v < 0.0) {
    return 0;
  }
  if (v > 255.0) {
    return 255;
  }
  return static_cast<uint8_t>(v);
}

}  // namespace

std::unique_ptr<cDIBSection> cDIBSection::Resample(int32_t lNewHeight, int32_t lNewWidth) const {
  auto target = std::make_unique<cDIBSection>();
  if (!target->Create(lNewWidth, lNewHeight)) {
    return nullptr;
  }
  if (lNewWidth == Width() && lNewHeight == Height()) {
    target->LoadPictureBlt(hdc(), 0, 0, -1, -1, gdi::SRCCOPY);
  } else {
    // An error leaves through here; the unique_ptr releases the new surface.
    BilinearResample(*target);
  }
  return target;
}

void cDIBSection::BilinearResample(cDIBSection& target) const {
  const int32_t ws = Width();
  const int32_t hs = Height();
  const int32_t wd = target.Width();
  const int32_t hd = target.Height();
  const ByteView2D vs = ViewOf(*this);
  const ByteView2D vt = ViewOf(target);

  // Sample positions stay below ws - 1 (and hs - 1), so the right and upper
  // neighbours exist whenever the source is at least 2 x 2.
  const float xScale = static_cast<float>(static_cast<double>(ws - 1) / wd);
  const float yScale = static_cast<float>(static_cast<double>(hs - 1) / hd);

  // The column positions are the same on every row: work them out once.
  std::vector<int32_t> offsets(static_cast<size_t>(wd));
  std::vector<float> txs(static_cast<size_t>(wd));
  for (int32_t x = 0; x < wd; ++x) {
    const float px = static_cast<float>(static_cast<double>(xScale) * x);
    const int32_t x0 = static_cast<int32_t>(std::floor(px));
    txs[static_cast<size_t>(x)] = static_cast<float>(static_cast<double>(px) - x0);
    offsets[static_cast<size_t>(x)] = CheckedMul(x0, 3);
  }

  for (int32_t y = 0; y < hd; ++y) {
    const float py = static_cast<float>(static_cast<double>(yScale) * y);
    const int32_t y0 = static_cast<int32_t>(std::floor(py));
    const float ty = static_cast<float>(static_cast<double>(py) - y0);
    const double wy1 = ty;
    const double wy0 = 1.0 - wy1;
    for (int32_t x = 0; x < wd; ++x) {
      const double wx1 = txs[static_cast<size_t>(x)];
      const double wx0 = 1.0 - wx1;
      const int32_t o = offsets[static_cast<size_t>(x)];
      // The twelve bytes are bytes o..o+5 of stored rows y0 and y0+1: testing the two
      // far corners against the view bounds-tests every one of them.
      vs(o + 5, y0 + 1);
      const uint8_t* lower = &vs(o, y0);
      const uint8_t* upper = &vs(o, y0 + 1);
      vt(3 * x + 2, y);
      uint8_t* out = &vt(3 * x, y);
      for (int32_t c = 0; c < 3; ++c) {
        // The blend between the rows is rounded before the blend between the columns.
        const double nearCol = Nearest(wy0 * lower[c] + wy1 * upper[c]);
        const double farCol = Nearest(wy0 * lower[3 + c] + wy1 * upper[3 + c]);
        out[c] = ToByte(wx0 * nearCol + wx1 * farCol);
      }
    }
  }
}

void cDIBSection::RandomiseBits(bool bGray) {
  ByteView2D v = ViewOf(*this);
  if (v.Rows() == 0) {
    return;  // no bits: nothing to fill
  }
  RandomizeFromTimeOfDay();
  const int32_t xEnd = CheckedMul(CheckedSub(Width(), 1), 3);
  const int32_t rows = Height();

  if (bGray) {
    for (int32_t r = 0; r < rows; ++r) {
      for (int32_t c = 0; c <= xEnd; c += 3) {
        const uint8_t g = ToByte(Rnd() * 255.0);
        v(c, r) = g;
        v(c + 1, r) = g;
        v(c + 2, r) = g;
      }
    }
  } else {
    for (int32_t c = 0; c <= xEnd; c += 3) {
      for (int32_t r = 0; r < rows; ++r) {
        v(c, r) = 0;
        v(c + 1, r) = ToByte(Rnd() * 255.0);
        v(c + 2, r) = ToByte(Rnd() * 255.0);
      }
    }
  }
  v.Detach();
}

}  // namespace okuva
