// Picture objects (a bitmap handle or 0) and reading / writing them as files.
#pragma once

#include <cstdint>
#include <functional>
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

// Reads BMP (1, 4, 8, 16, 24, 32 bits, bottom-up or top-down; BI_RGB, BI_BITFIELDS for
// 16 and 32, RLE8 and RLE4; Windows headers of 40 to 124 bytes and OS/2 1.x and 2.x
// headers), binary PNM (P5 grey, P6 colour, maxval up to 255), baseline or progressive
// JPEG, and PNG of every colour type and bit depth (interlaced too).
// Palette BMPs become DIB sections of their depth with their colour table; P5 and grey
// PNGs become palette DIB sections on the grey ramp (1 bit: 2 greys, 2 and 4 bits: a
// 4-bit section, 8 and 16 bits: 8 bits, 16-bit samples rounded to 8); palette PNGs keep
// their palette (2-bit ones in a 4-bit section); 24-bit BMPs, P6, JPEG and colour PNGs
// become 24-bit DIB sections; 16- and 32-bit BMPs become device-dependent bitmaps of
// that depth (a 16-bit file whose masks are not 5-5-5, such as 5-6-5, becomes 32 bits
// so no bit is lost). Alpha, in 32-bit BMPs and PNGs alike, is ignored: each pixel keeps
// its stored colour, nothing is blended.
// Sides above 65535 or more than 2^28 pixels are refused before any pixel memory is
// taken, as are JPEG warnings and JPEGs of more than 500 scans.
StdPicture DecodePicture(std::span<const uint8_t> bytes);
// Reads only what the file's header declares (plus trailing chunks a PNG needs), so a
// huge or endless input costs no more than its picture. PictureError, or a file error.
StdPicture LoadPicture(const std::string& path);

// What a picture file declares, known from its header before any pixel is decoded.
struct PictureHeader {
  int32_t width = 0;
  int32_t height = 0;
  // The depth DecodePicture gives this file: 1, 4 or 8 (with `colours`), 16 (5-5-5),
  // 24 or 32 (blue, green, red, 0).
  int bitsPerPixel = 24;
  uint32_t colourCount = 0;  // entries of `colours` used; palette depths only
  gdi::RGBQUAD colours[256]{};
};

// Where the pixels go: rows of `stride` bytes, `bits` pointing at the bottom row's first
// byte and each next row `stride` bytes further (negative for top-down memory). The
// depth is 24 (blue, green, red) or the header's own; palette depths take the indices
// into the header's table. Padding bytes at row ends are left as they are.
struct PictureDestination {
  uint8_t* bits = nullptr;
  int64_t stride = 0;
  int bitsPerPixel = 24;
};

// Called once, with the header, before any pixel is read; returns the destination.
// A null `bits` means it could not be made (error 7 "Out of memory").
using PicturePrepare = std::function<PictureDestination(const PictureHeader&)>;

// One pass from file to destination: the header is read first, the caller makes its
// surface, and the rows are decoded and converted straight into it with no full-size
// copy in between. On a PictureError the destination may hold part of the picture.
void ReadPictureInto(const std::string& path, const PicturePrepare& prepare);
void DecodePictureInto(std::span<const uint8_t> bytes, const PicturePrepare& prepare);

// Writes a bitmap as BMP at its own depth (1, 4, 8 with its colour table; 16 is written
// as 24; 24; 32), bottom-up. A handle that is not a bitmap raises error 5.
std::vector<uint8_t> EncodeBmp(gdi::HBITMAP bitmap);
// Writes binary PNM: P5 when grey is true (luminance of each pixel), else P6.
std::vector<uint8_t> EncodePnm(gdi::HBITMAP bitmap, bool grey);
// Writes PNG: 8-bit grey for an 8-bit bitmap on the full grey ramp, a palette for other
// palette bitmaps (1, 2, 4 or 8 bits by table size), else 8-bit RGB.
std::vector<uint8_t> EncodePng(gdi::HBITMAP bitmap);
// The extension of the path's file name, lower-cased, without its dot; "" when the
// name has none. What a written picture's format is chosen by.
std::string ExtensionOf(const std::string& path);
// Chooses by extension: .bmp, .png, .pgm (P5), .ppm / .pnm (P6). Replaces `path`
// atomically.
void SavePicture(gdi::HBITMAP bitmap, const std::string& path);

}  // namespace okuva
