// Sampling stage: draws each component's plane into a 24-bit working bitmap (plain or
// area-averaging stretch copy, edges replicated by one-pixel copies), converts its
// pixels to the component's colour value and hands 8 x 8 blocks to the DCT stage.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "jpeg/component.h"
#include "jpeg/quantization.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/memory_dc.h"

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

// Pixels of a plane as the sampling stage reads them: row r (0 = top) of the plane at
// top + (r - firstRow) * step, 3 bytes per pixel (b, g, r). Only width x height pixels
// are read; beyond them the last column and row stand in, so the source needs no
// padding. A band of the plane starts at its row firstRow and holds only the rows the
// block rows sampled from it read.
struct PlaneSource {
  const uint8_t* top = nullptr;
  ptrdiff_t step = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t firstRow = 0;
};

// The working bitmap of one SampleHDC call: a 24-bit bottom-up DIB section of Wb x Hb
// pixels selected into a memory device context of its own, both freed with it.
class SamplingSurface {
public:
  SamplingSurface() = default;
  SamplingSurface(const SamplingSurface&) = delete;
  SamplingSurface& operator=(const SamplingSurface&) = delete;

  // False when the memory device context or the bitmap cannot be created (nothing is
  // held then). Wb and Hb must be positive.
  bool Create(int32_t Wb, int32_t Hb);

  // Draws the source rectangle (srcLeft, srcTop, X x Y) of src as the plane of g: at
  // the bitmap's bottom-left Wp x Hp area, scaled to Wc x Hc when that differs from
  // X x Y, the last column and row repeated out to Wp x Hp. Copy results are not
  // tested: what the bitmap then holds is sampled.
  void DrawPlane(gdi::HDC src, int32_t X, int32_t Y, int32_t srcLeft, int32_t srcTop,
                 const PlaneGeometry& g);

  // Stretches the source rectangle to w x h pixels at the bitmap's top-left corner
  // (nothing replicated: Scaled's reader repeats the edges).
  void DrawScaled(gdi::HDC src, int32_t X, int32_t Y, int32_t srcLeft, int32_t srcTop, int32_t w,
                  int32_t h);
  // Rows firstRow..endRow-1 of that drawing alone, at the bitmap's top, for Y a whole
  // multiple of h: each row then averages its own source rows, so drawing in bands
  // gives the same pixels, and a bitmap of one band's height serves the whole plane.
  void DrawScaledRows(gdi::HDC src, int32_t X, int32_t Y, int32_t srcLeft, int32_t srcTop,
                      int32_t w, int32_t h, int32_t firstRow, int32_t endRow);
  // What DrawScaled drew, as a plane of w x h pixels.
  PlaneSource Scaled(int32_t w, int32_t h) const;
  // What DrawScaledRows last drew, as the band of a w x h plane from its row firstRow.
  PlaneSource ScaledBand(int32_t w, int32_t h, int32_t firstRow) const;

  const uint8_t* Bits() const { return bits_; }
  int32_t Stride() const { return stride_; }
  gdi::HDC Dc() const { return dc_; }

private:
  gdi::MemoryDc surface_;
  gdi::HDC dc_ = 0;  // surface_'s, drawn into
  uint8_t* bits_ = nullptr;
  int32_t Hb_ = 0;
  int32_t stride_ = 0;
};

// The rectangle (srcLeft, srcTop, X x Y) of the 24-bit DIB section selected in dc, read
// in place; nullopt when dc holds no such bitmap or the rectangle does not lie wholly
// inside it (then the pixels are drawn through the raster layer instead).
std::optional<PlaneSource> DirectSource(gdi::HDC dc, int32_t X, int32_t Y, int32_t srcLeft,
                                        int32_t srcTop);

// Converts, transforms and quantizes the plane of g into store (Wp x Hp entries, blocks
// in raster order), the edge replicated out to Wp x Hp from src's width x height. Only
// block rows firstBlockRow..endBlockRow-1 (-1: to the last), and in them the block
// columns from firstBlockColumn, are done; they read only plane rows up to
// 8 * endBlockRow - 1 (clamped to the source's last).
void SamplePlane(const PlaneSource& src, const PlaneGeometry& g, const ColourWeights& weights,
                 const ZigZagTable& zigzag, const QuantTable& table, int16_t* store,
                 int32_t firstBlockRow = 0, int32_t endBlockRow = -1, int32_t firstBlockColumn = 0);

// Rows firstRow..endRow-1 of the plane of w x h pixels that halves src in both
// directions (src is 2w x 2h): each channel of a pixel is the mean of its 2 x 2 source
// pixels rounded half up, (sum + 2) / 4, the area average the raster layer's HALFTONE
// stretch gives for this ratio. Written to out, 3 * w bytes per row, rows one after
// another. The vector kernel gives the same bytes as the scalar one, selected alike
// (OKUVA_JPEG_SCALAR rules it out).
// Columns from firstColumn only (the others are left as they are).
void HalvePlaneRows(const PlaneSource& src, int32_t w, int32_t firstRow, int32_t endRow,
                    uint8_t* out, int32_t firstColumn = 0);

// Two components' planes halving src (each as HalvePlaneRows would give it, of the
// size of g) sampled as SamplePlane would sample them, straight from src's pixels:
// the means are formed in registers and converted for both components from the same
// values. Done in groups of eight whole blocks where the eight-block kernels run;
// returns the block columns done (a multiple of 8, 0 elsewhere), the rest being left
// to SamplePlane from that column.
int32_t SampleHalvedPairWide(const PlaneSource& src, const PlaneGeometry& g,
                             const ColourWeights& w1, const ColourWeights& w2,
                             const ZigZagTable& zigzag, const QuantTable& t1, const QuantTable& t2,
                             int16_t* store1, int16_t* store2, int32_t firstBlockRow,
                             int32_t endBlockRow);
void HalveRowScalar(const uint8_t* a, const uint8_t* b, int32_t w, uint8_t* out);

// Vector colour conversion (x86 only, simd_x86.cpp; called only where the selected
// kernels are that wide): `lanes` adjacent blocks whose pixel row y starts at rows[y],
// stored as group[(y * 8 + x) * lanes + k] for block k, the same floats as the scalar
// expression gives. ConvertGroup4 needs AVX2, ConvertGroup8 the eight-block set.
void ConvertGroup4(const uint8_t* const* rows, const ColourWeights& w, float* group);
void ConvertGroup8(const uint8_t* const* rows, const ColourWeights& w, float* group);
// Eight blocks of two halved planes at once: chroma row y from source rows a[y] and
// b[y] (from byte offset at), converted for each weight set from the same means.
void ConvertHalvedGroup8(const uint8_t* const* a, const uint8_t* const* b, size_t at,
                         const ColourWeights& w1, const ColourWeights& w2, float* group1,
                         float* group2);
// AVX2 only where the processor has it: the pixels it leaves (at most 8) are the
// scalar kernel's.
void HalveRowAvx2(const uint8_t* a, const uint8_t* b, int32_t w, uint8_t* out);

// The plane of g as DrawPlane left it in a bitmap: memory row 0 is its bottom row, the
// plane occupies memory rows 0..Hp-1 with its top row at Hp-1.
PlaneSource DrawnPlane(const uint8_t* bits, int32_t stride, const PlaneGeometry& g);

}  // namespace okuva::jpeg
