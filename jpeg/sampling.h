// Sampling stage: draws each component's plane into a 24-bit working bitmap (plain or
// area-averaging stretch copy, edges replicated by one-pixel copies), converts its
// pixels to the component's colour value and hands 8 x 8 blocks to the DCT stage.
#pragma once

#include <array>
#include <cstdint>

#include "jpeg/component.h"
#include "jpeg/quantization.h"
#include "platform/gdi/gdi.h"

namespace okuva::jpeg {

// Colour conversion of one component: value = red*r + green*g + blue*b + offset,
// coefficients held as floats, evaluated in double, stored as float.
struct ColourWeights {
  float red;
  float green;
  float blue;
  float offset;
};
// Y (level-shifted by -128), Cb and Cr (both centred on 0), per component index.
extern const std::array<ColourWeights, 3> kColourWeights;

// The working bitmap of one SampleHDC call: a 24-bit bottom-up DIB section of Wb x Hb
// pixels selected into a memory device context of its own. Frees both (and restores
// the context's previous object) when destroyed.
class SamplingSurface {
public:
  SamplingSurface() = default;
  ~SamplingSurface();
  SamplingSurface(const SamplingSurface&) = delete;
  SamplingSurface& operator=(const SamplingSurface&) = delete;

  // False when the memory device context or the bitmap cannot be created (nothing is
  // held then). Wb and Hb must be positive multiples of 8.
  bool Create(int32_t Wb, int32_t Hb);

  // Draws the source rectangle (srcLeft, srcTop, X x Y) of src as the plane of g: at
  // the bitmap's bottom-left Wp x Hp area, scaled to Wc x Hc when that differs from
  // X x Y, the last column and row repeated out to Wp x Hp. Copy results are not
  // tested: what the bitmap then holds is sampled.
  void DrawPlane(gdi::HDC src, int32_t X, int32_t Y, int32_t srcLeft, int32_t srcTop,
                 const PlaneGeometry& g);

  const uint8_t* Bits() const { return bits_; }
  int32_t Stride() const { return stride_; }
  gdi::HDC Dc() const { return dc_; }

private:
  gdi::HDC dc_ = 0;
  gdi::HBITMAP bitmap_ = 0;
  gdi::HGDIOBJ previous_ = 0;
  uint8_t* bits_ = nullptr;
  int32_t Hb_ = 0;
  int32_t stride_ = 0;
};

// Converts, transforms and quantizes the plane of g into store (Wp x Hp entries, blocks
// in raster order). bits is the bitmap's memory row 0 (its bottom row); the plane
// occupies memory rows 0..Hp-1 with its top row at Hp-1, 3 bytes per pixel (b, g, r).
// Reads nothing outside those rows' Wp pixels.
void SamplePlane(const uint8_t* bits, int32_t stride, const PlaneGeometry& g,
                 const ColourWeights& weights, const ZigZagTable& zigzag,
                 const QuantTable& table, int16_t* store);

}  // namespace okuva::jpeg
