// Test helpers for the raster layer: DIB sections selected in memory DCs, with pixel
// access written from the DIB layout itself (bottom-up rows padded to 4 bytes).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/gdi/memory_dc.h"

namespace okuva::gdi::testing {

inline int32_t DibStride(int32_t width, int bpp) { return (width * bpp + 31) / 32 * 4; }

inline RGBQUAD Quad(uint8_t r, uint8_t g, uint8_t b) { return RGBQUAD{b, g, r, 0}; }

// A colour as 0xRRGGBB for readable expectations.
inline uint32_t Rgb(const RGBQUAD& q) {
  return static_cast<uint32_t>(q.rgbRed) << 16 | static_cast<uint32_t>(q.rgbGreen) << 8 | q.rgbBlue;
}

// A DIB section in its own memory DC; frees both.
class Dib {
public:
  Dib(int32_t width, int32_t height, int bpp, const std::vector<RGBQUAD>& table = {})
      : width_(width), height_(height < 0 ? -height : height), bpp_(bpp), topDown_(height < 0) {
    BITMAPINFO bmi{};
    bmi.bmiHeader = DibHeader(width, height, bpp);
    bmi.bmiHeader.biClrUsed = static_cast<uint32_t>(table.size());
    for (size_t i = 0; i < table.size(); ++i) {
      bmi.bmiColors[i] = table[i];
    }
    dc_ = CreateCompatibleDC(0);
    bitmap_ = CreateDIBSection(dc_, &bmi, DIB_RGB_COLORS, &bits_, nullptr, 0);
    if (bitmap_ != 0) {
      old_ = SelectObject(dc_, bitmap_);
    }
  }
  ~Dib() {
    if (bitmap_ != 0) {
      SelectObject(dc_, old_);
      DeleteObject(bitmap_);
    }
    DeleteDC(dc_);
  }
  Dib(const Dib&) = delete;
  Dib& operator=(const Dib&) = delete;

  HDC dc() const { return dc_; }
  HBITMAP bitmap() const { return bitmap_; }
  uint8_t* bits() const { return static_cast<uint8_t*>(bits_); }
  int32_t stride() const { return DibStride(width_, bpp_); }

  uint8_t* Row(int32_t y) const {
    return bits() +
           static_cast<size_t>(topDown_ ? y : height_ - 1 - y) * static_cast<size_t>(stride());
  }
  // Raw value: index for palette depths, 0xRRGGBB for 24 bits.
  uint32_t Get(int32_t x, int32_t y) const {
    const uint8_t* r = Row(y);
    switch (bpp_) {
      case 1: return (r[x / 8] >> (7 - x % 8)) & 1u;
      case 4: return (x % 2) ? r[x / 2] & 15u : r[x / 2] >> 4;
      case 8: return r[x];
      default:
        return static_cast<uint32_t>(r[3 * x + 2]) << 16 |
               static_cast<uint32_t>(r[3 * x + 1]) << 8 | r[3 * x];
    }
  }
  void Set(int32_t x, int32_t y, uint32_t v) const {
    uint8_t* r = Row(y);
    switch (bpp_) {
      case 1: {
        const auto mask = static_cast<uint8_t>(0x80 >> (x % 8));
        r[x / 8] = static_cast<uint8_t>(v ? (r[x / 8] | mask) : (r[x / 8] & ~mask));
        break;
      }
      case 4:
        r[x / 2] = (x % 2) ? static_cast<uint8_t>((r[x / 2] & 0xF0) | v)
                           : static_cast<uint8_t>((r[x / 2] & 0x0F) | v << 4);
        break;
      case 8: r[x] = static_cast<uint8_t>(v); break;
      default:
        r[3 * x] = static_cast<uint8_t>(v);
        r[3 * x + 1] = static_cast<uint8_t>(v >> 8);
        r[3 * x + 2] = static_cast<uint8_t>(v >> 16);
    }
  }
  void Fill(uint32_t v) const {
    for (int32_t y = 0; y < height_; ++y) {
      for (int32_t x = 0; x < width_; ++x) {
        Set(x, y, v);
      }
    }
  }
  // Every pixel, row by row from the top.
  std::vector<uint32_t> Pixels() const {
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < height_; ++y) {
      for (int32_t x = 0; x < width_; ++x) {
        out.push_back(Get(x, y));
      }
    }
    return out;
  }

private:
  int32_t width_, height_;
  int bpp_;
  bool topDown_;
  HDC dc_ = 0;
  HBITMAP bitmap_ = 0;
  HGDIOBJ old_ = 0;
  void* bits_ = nullptr;
};

}  // namespace okuva::gdi::testing
