// Picture objects (a bitmap handle or 0) and reading / writing them as files.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/gdi/gdi.h"

namespace okuva {

// Raised for a file that is not a picture this layer reads: malformed, truncated,
// hostile (absurd sizes) or of an unsupported kind. what() says what is wrong.
class PictureError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A picture object: owns one bitmap of the raster layer (or none). Its default
// property, the handle, is what toolkit calls take.
class StdPicture {
public:
  StdPicture() = default;
  explicit StdPicture(gdi::HBITMAP owned) : handle_(owned) {}
  StdPicture(StdPicture&& other) noexcept : handle_(other.Release()) {}
  StdPicture& operator=(StdPicture&& other) noexcept;
  StdPicture(const StdPicture&) = delete;
  StdPicture& operator=(const StdPicture&) = delete;
  ~StdPicture();

  gdi::HBITMAP Handle() const { return handle_; }
  explicit operator bool() const { return handle_ != 0; }
  int32_t Width() const;   // pixels; 0 for an empty picture
  int32_t Height() const;
  int BitsPerPixel() const;
  gdi::HBITMAP Release();  // gives up ownership

private:
  gdi::HBITMAP handle_ = 0;
};

// Reads BMP (1, 4, 8, 16, 24, 32 bits, bottom-up or top-down, BI_RGB / BI_BITFIELDS
// for 16 and 32), binary PNM (P5 grey, P6 colour, maxval 255) or baseline JPEG.
// Palette BMPs become DIB sections of their depth with their colour table; P5 becomes
// an 8-bit DIB section with the grey ramp; 24-bit and P6 and JPEG become 24-bit DIB
// sections; 16- and 32-bit BMPs become device-dependent bitmaps of that depth (a 16-bit
// file whose masks are not 5-5-5, such as 5-6-5, becomes 32 bits so no bit is lost).
// Sides above 65535 or more than 2^28 pixels are refused, as are JPEG warnings.
StdPicture DecodePicture(std::span<const uint8_t> bytes);
StdPicture LoadPicture(const std::string& path);  // PictureError, or a file error

// Writes a bitmap as BMP at its own depth (1, 4, 8 with its colour table; 16 is written
// as 24; 24; 32), bottom-up. A handle that is not a bitmap raises error 5.
std::vector<uint8_t> EncodeBmp(gdi::HBITMAP bitmap);
// Writes binary PNM: P5 when grey is true (luminance of each pixel), else P6.
std::vector<uint8_t> EncodePnm(gdi::HBITMAP bitmap, bool grey);
// Chooses by extension: .bmp, .pgm (P5), .ppm / .pnm (P6). Replaces `path` atomically.
void SavePicture(gdi::HBITMAP bitmap, const std::string& path);

}  // namespace okuva
