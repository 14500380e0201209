// Pictures that show an analysis instead of printing it: an RGB canvas with the few
// drawing operations the overlays need (tinted pixels, circles, boxes, a text band
// under the picture in a small bitmap font of our own), written as PNG. Used by
// `quality --overlay` and `match --overlay`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "iris/circles.h"
#include "iris/grey.h"
#include "iris/iris_code.h"
#include "iris/quality.h"

namespace okuva::tool {

struct Rgb {
  uint8_t red = 0, green = 0, blue = 0;
  bool operator==(const Rgb&) const = default;
};

// The capture window's colours for a verdict (its iris overlay's circles).
constexpr Rgb kPassColour{40, 220, 90};
constexpr Rgb kFailColour{255, 60, 40};

// A picture in memory: rows top to bottom, 3 bytes a pixel in blue, green, red order
// (the order pictures are read in), no row padding. Drawing is clipped to the canvas.
class Canvas {
public:
  Canvas() = default;
  // Raises error 7 "Out of memory" when the pixels find no room.
  Canvas(int32_t width, int32_t height, Rgb fill = {});

  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  uint8_t* Row(int32_t y) {
    return bgr_.data() + static_cast<size_t>(y) * static_cast<size_t>(width_) * 3;
  }
  const uint8_t* Row(int32_t y) const {
    return bgr_.data() + static_cast<size_t>(y) * static_cast<size_t>(width_) * 3;
  }

  Rgb At(int32_t x, int32_t y) const;
  // Mixes `colour` into pixel (x, y): alpha 255 replaces it, 0 leaves it.
  void Blend(int32_t x, int32_t y, Rgb colour, int alpha = 255);
  void FillRect(int32_t left, int32_t top, int32_t width, int32_t height, Rgb colour,
                int alpha = 255);
  // The pixels whose centres lie within thickness / 2 of the circle.
  void StrokeCircle(double x, double y, double radius, double thickness, Rgb colour);
  // A dashed outline of the box [left, right) x [top, bottom), in picture coordinates.
  void DashedBox(double left, double top, double right, double bottom, int32_t thickness,
                 Rgb colour);
  // Draws `text` (ASCII; other bytes as '?') with its top-left corner at (x, y), each
  // font pixel `scale` x `scale`; returns the x after its last character.
  int32_t DrawText(int32_t x, int32_t y, std::string_view text, int32_t scale, Rgb colour);
  // Copies `other` with its top-left corner at (x, y).
  void Paste(const Canvas& other, int32_t x, int32_t y);

private:
  int32_t width_ = 0;
  int32_t height_ = 0;
  std::vector<uint8_t> bgr_;
};

// The bitmap font's cell: 6 x 11 pixels at scale 1 (5 x 7 glyphs, two rows of
// descenders, a column and a row of spacing above the descenders).
constexpr int32_t kGlyphAdvance = 6;
constexpr int32_t kLineHeight = 11;
int32_t TextWidth(std::string_view text, int32_t scale);
// The font scale that keeps text readable on a picture `width` pixels wide.
int32_t TextScale(int32_t width);

// One piece of a band's line; pieces of a line wrap to the next line as whole pieces.
struct BandPiece {
  std::string text;
  Rgb colour;
};
using BandLine = std::vector<BandPiece>;

// `picture` with a dark band under it that lists `lines` (wrapped to its width).
Canvas WithBand(const Canvas& picture, const std::vector<BandLine>& lines);

// The quality overlay: `picture` with the part of the iris ring the mask takes away
// tinted (lids amber, lashes magenta, highlights cyan), the margins the metric asks for
// as a dashed box (green when margin_adequacy passes, red when not), the pupil and iris
// circles in the verdict's colour, and a band with the verdict and each failing metric
// with its value and recommended range (or that no eye was found).
Canvas QualityOverlay(const Canvas& picture, const iris::Quality& quality);

// One side of a comparison: a name for the band, the picture, its circles and template.
struct MatchSide {
  std::string name;
  iris::GreyPlane picture;
  iris::Circle pupil;
  iris::Circle iris;
  const iris::IrisCode* code = nullptr;
};

// The match overlay, kMatchColumnWidth pixels per template column: A's iris ring
// unwrapped as the template reads it (pupil side at the top, the angle growing
// clockwise from the right), B's below it turned by the comparison's rotation so the
// two line up, then the template bits compared there, one row per bit (in the
// template's order: filter, radius, real and imaginary part): white where they differ,
// black where they agree, grey where either mask leaves the bit out; and a band with
// the distance, bits, rotation and decision.
constexpr int32_t kMatchColumnWidth = 3;
Canvas MatchOverlay(const MatchSide& a, const MatchSide& b, const iris::IrisComparison& comparison);

// Writes the canvas as a 24-bit PNG; `path` is replaced only once the file is complete.
void WritePng(const Canvas& canvas, const std::string& path);

}  // namespace okuva::tool
