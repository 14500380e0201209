#include "tools/okuva_tool/overlay.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <numbers>

#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"
#include "surface/cdibsection.h"
#include "tools/okuva_tool/quality_common.h"

namespace okuva::tool {
namespace {

// Printable ASCII, 32 to 126: nine rows of five pixels each (bit 4 the leftmost);
// rows 0 to 6 stand on the baseline, rows 7 and 8 hold descenders.
using Glyph = std::array<uint8_t, 9>;
constexpr std::array<Glyph, 95> kFont = {{
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // space
    {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04, 0x00, 0x00},  // !
    {0x0A, 0x0A, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // "
    {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A, 0x00, 0x00},  // #
    {0x04, 0x0F, 0x14, 0x0E, 0x05, 0x1E, 0x04, 0x00, 0x00},  // $
    {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03, 0x00, 0x00},  // %
    {0x0C, 0x12, 0x14, 0x08, 0x15, 0x12, 0x0D, 0x00, 0x00},  // &
    {0x04, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // '
    {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02, 0x00, 0x00},  // (
    {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08, 0x00, 0x00},  // )
    {0x00, 0x04, 0x15, 0x0E, 0x15, 0x04, 0x00, 0x00, 0x00},  // *
    {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00, 0x00, 0x00},  // +
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x06, 0x02, 0x04},  // ,
    {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00, 0x00, 0x00},  // -
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C, 0x00, 0x00},  // .
    {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00, 0x00, 0x00},  // /
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E, 0x00, 0x00},  // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E, 0x00, 0x00},  // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F, 0x00, 0x00},  // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E, 0x00, 0x00},  // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02, 0x00, 0x00},  // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E, 0x00, 0x00},  // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E, 0x00, 0x00},  // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08, 0x00, 0x00},  // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E, 0x00, 0x00},  // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C, 0x00, 0x00},  // 9
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00, 0x00, 0x00},  // :
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x04, 0x08, 0x00, 0x00},  // ;
    {0x02, 0x04, 0x08, 0x10, 0x08, 0x04, 0x02, 0x00, 0x00},  // <
    {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00, 0x00, 0x00},  // =
    {0x08, 0x04, 0x02, 0x01, 0x02, 0x04, 0x08, 0x00, 0x00},  // >
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04, 0x00, 0x00},  // ?
    {0x0E, 0x11, 0x01, 0x0D, 0x15, 0x15, 0x0E, 0x00, 0x00},  // @
    {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00, 0x00},  // A
    {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E, 0x00, 0x00},  // B
    {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E, 0x00, 0x00},  // C
    {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C, 0x00, 0x00},  // D
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F, 0x00, 0x00},  // E
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10, 0x00, 0x00},  // F
    {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F, 0x00, 0x00},  // G
    {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00, 0x00},  // H
    {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E, 0x00, 0x00},  // I
    {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C, 0x00, 0x00},  // J
    {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11, 0x00, 0x00},  // K
    {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F, 0x00, 0x00},  // L
    {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11, 0x00, 0x00},  // M
    {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x00, 0x00},  // N
    {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E, 0x00, 0x00},  // O
    {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10, 0x00, 0x00},  // P
    {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D, 0x00, 0x00},  // Q
    {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11, 0x00, 0x00},  // R
    {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E, 0x00, 0x00},  // S
    {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x00},  // T
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E, 0x00, 0x00},  // U
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04, 0x00, 0x00},  // V
    {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A, 0x00, 0x00},  // W
    {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11, 0x00, 0x00},  // X
    {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x00, 0x00},  // Y
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F, 0x00, 0x00},  // Z
    {0x0E, 0x08, 0x08, 0x08, 0x08, 0x08, 0x0E, 0x00, 0x00},  // [
    {0x00, 0x10, 0x08, 0x04, 0x02, 0x01, 0x00, 0x00, 0x00},  // backslash
    {0x0E, 0x02, 0x02, 0x02, 0x02, 0x02, 0x0E, 0x00, 0x00},  // ]
    {0x04, 0x0A, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // ^
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F, 0x00},  // _
    {0x08, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // `
    {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F, 0x00, 0x00},  // a
    {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x1E, 0x00, 0x00},  // b
    {0x00, 0x00, 0x0E, 0x10, 0x10, 0x11, 0x0E, 0x00, 0x00},  // c
    {0x01, 0x01, 0x0D, 0x13, 0x11, 0x11, 0x0F, 0x00, 0x00},  // d
    {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E, 0x00, 0x00},  // e
    {0x06, 0x09, 0x08, 0x1C, 0x08, 0x08, 0x08, 0x00, 0x00},  // f
    {0x00, 0x00, 0x0F, 0x11, 0x11, 0x11, 0x0F, 0x01, 0x0E},  // g
    {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x11, 0x00, 0x00},  // h
    {0x04, 0x00, 0x0C, 0x04, 0x04, 0x04, 0x0E, 0x00, 0x00},  // i
    {0x02, 0x00, 0x06, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C},  // j
    {0x10, 0x10, 0x12, 0x14, 0x18, 0x14, 0x12, 0x00, 0x00},  // k
    {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E, 0x00, 0x00},  // l
    {0x00, 0x00, 0x1A, 0x15, 0x15, 0x15, 0x15, 0x00, 0x00},  // m
    {0x00, 0x00, 0x16, 0x19, 0x11, 0x11, 0x11, 0x00, 0x00},  // n
    {0x00, 0x00, 0x0E, 0x11, 0x11, 0x11, 0x0E, 0x00, 0x00},  // o
    {0x00, 0x00, 0x1E, 0x11, 0x11, 0x11, 0x1E, 0x10, 0x10},  // p
    {0x00, 0x00, 0x0F, 0x11, 0x11, 0x11, 0x0F, 0x01, 0x01},  // q
    {0x00, 0x00, 0x16, 0x19, 0x10, 0x10, 0x10, 0x00, 0x00},  // r
    {0x00, 0x00, 0x0F, 0x10, 0x0E, 0x01, 0x1E, 0x00, 0x00},  // s
    {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06, 0x00, 0x00},  // t
    {0x00, 0x00, 0x11, 0x11, 0x11, 0x13, 0x0D, 0x00, 0x00},  // u
    {0x00, 0x00, 0x11, 0x11, 0x11, 0x0A, 0x04, 0x00, 0x00},  // v
    {0x00, 0x00, 0x11, 0x11, 0x15, 0x15, 0x0A, 0x00, 0x00},  // w
    {0x00, 0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x00, 0x00},  // x
    {0x00, 0x00, 0x11, 0x11, 0x11, 0x11, 0x0F, 0x01, 0x0E},  // y
    {0x00, 0x00, 0x1F, 0x02, 0x04, 0x08, 0x1F, 0x00, 0x00},  // z
    {0x02, 0x04, 0x04, 0x08, 0x04, 0x04, 0x02, 0x00, 0x00},  // {
    {0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x00},  // |
    {0x08, 0x04, 0x04, 0x02, 0x04, 0x04, 0x08, 0x00, 0x00},  // }
    {0x00, 0x00, 0x08, 0x15, 0x02, 0x00, 0x00, 0x00, 0x00},  // ~
}};

const Glyph& GlyphOf(char c) {
  const auto code = static_cast<unsigned char>(c);
  return kFont[code >= 32 && code <= 126 ? code - 32 : '?' - 32];
}

// What the mask takes away, by kind; kOutside and kIris stay as they are.
constexpr Rgb kLidTint{255, 176, 0};
constexpr Rgb kLashTint{230, 0, 230};
constexpr Rgb kHighlightTint{0, 220, 255};
constexpr int kTintAlpha = 128;

constexpr Rgb kBandColour{24, 24, 24};
constexpr Rgb kLegendColour{200, 200, 200};

}  // namespace

Canvas::Canvas(int32_t width, int32_t height, Rgb fill)
    : width_(std::max(width, 0)), height_(std::max(height, 0)) {
  try {
    bgr_.resize(static_cast<size_t>(width_) * static_cast<size_t>(height_) * 3);
  } catch (const std::bad_alloc&) {
    Raise(kErrOutOfMemory);
  }
  if (fill == Rgb{}) {
    return;  // already black
  }
  for (size_t i = 0; i < bgr_.size(); i += 3) {
    bgr_[i] = fill.blue;
    bgr_[i + 1] = fill.green;
    bgr_[i + 2] = fill.red;
  }
}

Rgb Canvas::At(int32_t x, int32_t y) const {
  const uint8_t* p = Row(y) + static_cast<size_t>(x) * 3;
  return {p[2], p[1], p[0]};
}

void Canvas::Blend(int32_t x, int32_t y, Rgb colour, int alpha) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) {
    return;
  }
  uint8_t* p = Row(y) + static_cast<size_t>(x) * 3;
  const auto mix = [alpha](uint8_t old, uint8_t now) {
    return static_cast<uint8_t>((old * (255 - alpha) + now * alpha + 127) / 255);
  };
  p[0] = mix(p[0], colour.blue);
  p[1] = mix(p[1], colour.green);
  p[2] = mix(p[2], colour.red);
}

void Canvas::FillRect(int32_t left, int32_t top, int32_t width, int32_t height, Rgb colour,
                      int alpha) {
  const int32_t x0 = std::max(left, 0), y0 = std::max(top, 0);
  const int32_t x1 = static_cast<int32_t>(std::min<int64_t>(int64_t{left} + width, width_));
  const int32_t y1 = static_cast<int32_t>(std::min<int64_t>(int64_t{top} + height, height_));
  for (int32_t y = y0; y < y1; ++y) {
    for (int32_t x = x0; x < x1; ++x) {
      Blend(x, y, colour, alpha);
    }
  }
}

void Canvas::StrokeCircle(double x, double y, double radius, double thickness, Rgb colour) {
  const double half = thickness / 2, outer = radius + half;
  if (!std::isfinite(outer) || radius < 0) {
    return;
  }
  const auto clampTo = [](double v, int32_t hi) {
    return static_cast<int32_t>(std::clamp(v, 0.0, double(hi)));
  };
  const int32_t x0 = clampTo(std::floor(x - outer), width_),
                x1 = clampTo(std::ceil(x + outer), width_);
  const int32_t y0 = clampTo(std::floor(y - outer), height_),
                y1 = clampTo(std::ceil(y + outer), height_);
  for (int32_t j = y0; j < y1; ++j) {
    for (int32_t i = x0; i < x1; ++i) {
      const double d = std::hypot(i + 0.5 - x, j + 0.5 - y);
      if (std::abs(d - radius) <= half) {
        Blend(i, j, colour);
      }
    }
  }
}

void Canvas::DashedBox(double left, double top, double right, double bottom, int32_t thickness,
                       Rgb colour) {
  if (!std::isfinite(left) || !std::isfinite(top) || !std::isfinite(right) ||
      !std::isfinite(bottom)) {
    return;
  }
  // Rounded to pixels and kept within a pixel of the canvas, so a box far beyond it costs nothing.
  const auto pixel = [](double v, int32_t hi) {
    return static_cast<int32_t>(std::clamp(std::round(v), -1.0, double(hi)));
  };
  const int32_t x0 = pixel(left, width_), x1 = pixel(right, width_) - 1;
  const int32_t y0 = pixel(top, height_), y1 = pixel(bottom, height_) - 1;
  const int32_t dash = 4 * thickness, period = 7 * thickness;
  for (int32_t x = x0; x <= x1; ++x) {
    if ((x - x0) % period < dash) {
      for (int32_t t = 0; t < thickness; ++t) {
        Blend(x, y0 + t, colour);
        Blend(x, y1 - t, colour);
      }
    }
  }
  for (int32_t y = y0; y <= y1; ++y) {
    if ((y - y0) % period < dash) {
      for (int32_t t = 0; t < thickness; ++t) {
        Blend(x0 + t, y, colour);
        Blend(x1 - t, y, colour);
      }
    }
  }
}

int32_t Canvas::DrawText(int32_t x, int32_t y, std::string_view text, int32_t scale, Rgb colour) {
  for (const char c : text) {
    const Glyph& glyph = GlyphOf(c);
    for (int32_t row = 0; row < static_cast<int32_t>(glyph.size()); ++row) {
      for (int32_t column = 0; column < 5; ++column) {
        if (glyph[static_cast<size_t>(row)] & (0x10 >> column)) {
          FillRect(x + column * scale, y + row * scale, scale, scale, colour);
        }
      }
    }
    x += kGlyphAdvance * scale;
  }
  return x;
}

void Canvas::Paste(const Canvas& other, int32_t x, int32_t y) {
  const int32_t i0 = std::max(0, -x), i1 = std::min(other.width_, width_ - x);
  if (i1 <= i0) {
    return;
  }
  for (int32_t j = std::max(0, -y); j < other.height_ && y + j < height_; ++j) {
    std::copy_n(other.Row(j) + static_cast<size_t>(i0) * 3, static_cast<size_t>(i1 - i0) * 3,
                Row(y + j) + static_cast<size_t>(x + i0) * 3);
  }
}

int32_t TextWidth(std::string_view text, int32_t scale) {
  return static_cast<int32_t>(text.size()) * kGlyphAdvance * scale;
}

int32_t TextScale(int32_t width) { return std::clamp(width / 320, 1, 4); }

Canvas WithBand(const Canvas& picture, const std::vector<BandLine>& lines) {
  const int32_t scale = TextScale(picture.Width());
  const int32_t margin = 4 * scale, line = kLineHeight * scale, space = TextWidth(" ", scale);
  const int32_t right = std::max(picture.Width() - margin, margin + 1);
  // Lay the pieces out first: the band's height follows from the lines they fill.
  struct Placed {
    const BandPiece* piece;
    int32_t x, row;
  };
  std::vector<Placed> placed;
  int32_t row = -1;
  for (const BandLine& pieces : lines) {
    int32_t x = right;  // a full row: the first piece starts a new one
    for (const BandPiece& piece : pieces) {
      const int32_t width = TextWidth(piece.text, scale);
      if (x > margin && x + width > right) {
        ++row;
        x = margin;
      }
      placed.push_back({&piece, x, row});
      x += width + space;
    }
  }
  const int32_t band = (row + 1) * line + 2 * margin;
  Canvas out(picture.Width(), picture.Height() + band, kBandColour);
  out.Paste(picture, 0, 0);
  for (const Placed& p : placed) {
    out.DrawText(p.x, picture.Height() + margin + p.row * line, p.piece->text, scale,
                 p.piece->colour);
  }
  return out;
}

Canvas QualityOverlay(const Canvas& picture, const iris::Quality& quality) {
  Canvas canvas = picture;
  const auto& pupil = quality.circles.pupil;
  const auto& iris = quality.circles.iris;
  const Rgb verdict = quality.pass ? kPassColour : kFailColour;
  const double thickness =
      std::max(2.0, std::round(std::min(picture.Width(), picture.Height()) / 240.0));
  const iris::OcclusionMask& mask = quality.mask;
  for (int32_t y = 0; y < mask.height; ++y) {
    for (int32_t x = 0; x < mask.width; ++x) {
      const iris::Occlusion kind =
          mask.cells[static_cast<size_t>(y) * static_cast<size_t>(mask.width) + x];
      const Rgb* tint = kind == iris::Occlusion::kUpperLid || kind == iris::Occlusion::kLowerLid
                            ? &kLidTint
                        : kind == iris::Occlusion::kLash      ? &kLashTint
                        : kind == iris::Occlusion::kHighlight ? &kHighlightTint
                                                              : nullptr;
      if (tint != nullptr) {
        canvas.Blend(mask.left + x, mask.top + y, *tint, kTintAlpha);
      }
    }
  }
  if (iris) {
    const double R = iris->radius;
    const Rgb margins = quality.Passed(iris::Metric::kMarginAdequacy) ? kPassColour : kFailColour;
    canvas.DashedBox(iris->x - 1.6 * R, iris->y - 1.2 * R, iris->x + 1.6 * R, iris->y + 1.2 * R,
                     std::max<int32_t>(1, static_cast<int32_t>(thickness / 2)), margins);
    canvas.StrokeCircle(iris->x, iris->y, R, thickness, verdict);
  }
  if (pupil) {
    canvas.StrokeCircle(pupil->x, pupil->y, pupil->radius, thickness, verdict);
  }

  std::vector<BandLine> lines;
  if (!iris) {
    lines.push_back({{"FAIL: no eye found", kFailColour}});
  } else if (quality.pass) {
    lines.push_back({{"PASS: every metric within its recommended range", kPassColour}});
  } else {
    lines.push_back(
        {{"FAIL: " + std::to_string(quality.failed.size()) + " of " +
              std::to_string(iris::kMetricCount) + " metrics outside the recommended range",
          kFailColour}});
    BandLine failing;
    for (const iris::Metric m : quality.failed) {
      const iris::Threshold& t = iris::ThresholdOf(m);
      const double v = quality.Value(m);
      std::string value = std::isnan(v) ? "not measured" : Number(v);
      if (!std::isnan(v)) {
        value.resize(value.size() - 1);  // two decimals are plenty here
      }
      failing.push_back({std::string(t.name) + " " + value + " (" + Range(t) + ")", kFailColour});
    }
    lines.push_back(std::move(failing));
  }
  if (iris) {
    lines.push_back({{"masked:", kLegendColour},
                     {"lids", kLidTint},
                     {"lashes", kLashTint},
                     {"highlights", kHighlightTint},
                     {" box: margins wanted", kLegendColour}});
  }
  return WithBand(canvas, lines);
}

namespace {

constexpr int32_t kRingRows = 128;  // unwrapped ring, pupil to limbus
constexpr int32_t kBitRows = 2;  // each template bit's row
constexpr int32_t kGap = 6;

// The ring between the circles, sampled along the line from the pupil's boundary point
// to the iris's at each angle (the template's rubber sheet); column c of the band
// reads the angle of template column c / kMatchColumnWidth + turn.
void Unwrap(Canvas& out, int32_t top, const MatchSide& side, int32_t turn) {
  const int32_t columns = out.Width();
  for (int32_t c = 0; c < columns; ++c) {
    const double angle = 2 * std::numbers::pi * (c + kMatchColumnWidth * turn + 0.5) / columns;
    const double cs = std::cos(angle), sn = std::sin(angle);
    const double px = side.pupil.x + side.pupil.radius * cs,
                 py = side.pupil.y + side.pupil.radius * sn;
    const double ix = side.iris.x + side.iris.radius * cs, iy = side.iris.y + side.iris.radius * sn;
    for (int32_t r = 0; r < kRingRows; ++r) {
      const double t = (r + 0.5) / kRingRows;
      const auto level = static_cast<uint8_t>(
          std::lround(iris::Sample(side.picture, px + t * (ix - px), py + t * (iy - py))));
      out.Blend(c, top + r, {level, level, level});
    }
  }
}

}  // namespace

Canvas MatchOverlay(const MatchSide& a, const MatchSide& b,
                    const iris::IrisComparison& comparison) {
  const int32_t width = iris::kCodeAngles * kMatchColumnWidth;
  const int32_t bits = 64;  // one word per template column
  Canvas canvas(width, 2 * kRingRows + bits * kBitRows + 2 * kGap, kBandColour);
  // The turn the comparison chose, in whole template columns: column j + shift of B
  // showed what column j of A showed.
  const auto shift =
      static_cast<int32_t>(std::lround(-comparison.rotation / iris::kDegreesPerStep));
  Unwrap(canvas, 0, a, 0);
  Unwrap(canvas, kRingRows + kGap, b, shift);
  const int32_t top = 2 * (kRingRows + kGap);
  for (int32_t j = 0; j < iris::kCodeAngles; ++j) {
    const auto k = static_cast<size_t>(j),
               m = static_cast<size_t>((j + shift) & (iris::kCodeAngles - 1));
    const uint64_t differ = a.code->bits[k] ^ b.code->bits[m],
                   both = a.code->mask[k] & b.code->mask[m];
    for (int32_t bit = 0; bit < bits; ++bit) {
      const Rgb colour = !((both >> bit) & 1)  ? Rgb{128, 128, 128}
                         : (differ >> bit) & 1 ? Rgb{255, 255, 255}
                                               : Rgb{0, 0, 0};
      canvas.FillRect(j * kMatchColumnWidth, top + bit * kBitRows, kMatchColumnWidth, kBitRows,
                      colour);
    }
  }

  const bool same = comparison.decision == iris::MatchDecision::kSameEye;
  const Rgb verdict = same ? kPassColour : kFailColour;
  char distance[64], turn[64], threshold[64];
  std::snprintf(distance, sizeof distance, "distance %.4f over %d bits,", comparison.distance,
                comparison.bits);
  std::snprintf(turn, sizeof turn, "turned %.1f degrees:", comparison.rotation);
  std::snprintf(threshold, sizeof threshold, "(same at or below %.2f)", iris::kSameEyeThreshold);
  const char* decision = same ? "same eye"
                         : comparison.decision == iris::MatchDecision::kDifferentEye
                             ? "different eyes"
                             : "too few bits to compare";
  return WithBand(
      canvas, {{{distance, verdict}, {turn, verdict}, {decision, verdict}, {threshold, verdict}},
               {{"top:", kLegendColour}, {a.name, kLegendColour}},
               {{"middle:", kLegendColour},
                {b.name + ",", kLegendColour},
                {"turned to line up", kLegendColour}},
               {{"bits: white differ, black agree, grey masked", kLegendColour}}});
}

void WritePng(const Canvas& canvas, const std::string& path) {
  cDIBSection dib;
  if (!dib.Create(canvas.Width(), canvas.Height())) {
    Raise(kErrOutOfMemory);
  }
  const int32_t stride = dib.BytesPerScanLine();
  for (int32_t y = 0; y < canvas.Height(); ++y) {  // the section's rows run bottom-up
    std::copy_n(canvas.Row(y), static_cast<size_t>(canvas.Width()) * 3,
                dib.DIBSectionBitsPtr() + static_cast<ptrdiff_t>(canvas.Height() - 1 - y) * stride);
  }
  const std::vector<uint8_t> bytes = EncodePng(dib.hDib());
  files::ReplaceFile(path, [&](int fd) { files::WriteAll(fd, bytes, path); });
}

}  // namespace okuva::tool
