#include "platform/picture/picture.h"

#include <algorithm>
#include <cctype>

#include "platform/gdi/memory_dc.h"
#include "platform/picture/picture_internal.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"

namespace okuva {

StdPicture& StdPicture::operator=(StdPicture&& other) noexcept {
  if (this != &other) {
    if (handle_ != 0) {
      gdi::DeleteObject(handle_);
    }
    handle_ = other.Release();
  }
  return *this;
}

StdPicture::~StdPicture() {
  // A bitmap still selected somewhere is refused by DeleteObject; nothing else can be
  // done from a destructor, and the raster layer keeps its tables consistent.
  if (handle_ != 0) {
    gdi::DeleteObject(handle_);
  }
}

namespace {

gdi::BITMAP Describe(gdi::HBITMAP handle) {
  gdi::BITMAP bm{};
  if (handle == 0 || gdi::GetObjectA(handle, sizeof bm, &bm) == 0) {
    bm = gdi::BITMAP{};
  }
  return bm;
}

}  // namespace

int32_t StdPicture::Width() const { return Describe(handle_).bmWidth; }
int32_t StdPicture::Height() const { return Describe(handle_).bmHeight; }
int StdPicture::BitsPerPixel() const { return Describe(handle_).bmBitsPixel; }

gdi::HBITMAP StdPicture::Release() {
  const gdi::HBITMAP handle = handle_;
  handle_ = 0;
  return handle;
}

namespace picture_detail {

void CheckSize(int64_t width, int64_t height, int64_t maxPixels) {
  if (width <= 0 || height <= 0) {
    throw PictureError("picture has no pixels (width or height is 0)");
  }
  if (width > kMaxSide || height > kMaxSide || width * height > maxPixels) {
    throw PictureError("picture too large: " + std::to_string(width) + " x " +
                       std::to_string(height) + " pixels");
  }
}

StdPicture MakeDibSection(int32_t width, int32_t height, int bitsPerPixel,
                          const gdi::RGBQUAD* colours, uint32_t colourCount, uint8_t** bits) {
  gdi::BITMAPINFO bmi{};
  bmi.bmiHeader = gdi::DibHeader(width, height, bitsPerPixel);
  bmi.bmiHeader.biClrUsed = colourCount;
  if (colourCount > 0) {
    std::copy_n(colours, std::min<uint32_t>(colourCount, 256), bmi.bmiColors);
  }
  void* pixels = nullptr;
  StdPicture picture(gdi::CreateDIBSection(0, &bmi, gdi::DIB_RGB_COLORS, &pixels, nullptr, 0));
  // The size was checked against the caps: the raster layer found no room.
  if (!picture || pixels == nullptr) {
    Raise(kErrOutOfMemory);
  }
  *bits = static_cast<uint8_t*>(pixels);
  return picture;
}

void ReadAnyPicture(Input& in, int64_t maxPixels, const PicturePrepare& prepare) {
  const ByteReader& head = in.Head();
  const auto at = [&](size_t i) { return head.Size() > i ? int{head.U8(i, "signature")} : -1; };
  if (at(0) == 'B' && at(1) == 'M') {
    return ReadBmp(in, maxPixels, prepare);
  }
  if (at(0) == 'P' && (at(1) == '5' || at(1) == '6')) {
    return ReadPnm(in, maxPixels, prepare);
  }
  if (at(0) == 0xFF && at(1) == 0xD8 && at(2) == 0xFF) {
    return ReadJpeg(in, maxPixels, prepare);
  }
  if (at(0) == 0x89 && at(1) == 'P' && at(2) == 'N' && at(3) == 'G') {
    return ReadPng(in, maxPixels, prepare);
  }
  if (head.Size() == 0) {
    throw PictureError("empty file: not a picture");
  }
  throw PictureError("not a picture this program reads (BMP, PNG, binary PGM/PPM or JPEG)");
}

namespace {

// The picture-object path: a DIB section of the header's depth, or for 16 and 32 bits
// a device-dependent bitmap made from top-down rows.
StdPicture ReadObject(Input& in, int64_t maxPixels) {
  StdPicture picture;
  std::vector<uint8_t> ddb;
  PictureHeader header;
  ReadAnyPicture(in, maxPixels, [&](const PictureHeader& h) {
    header = h;
    PictureDestination d;
    d.bitsPerPixel = h.bitsPerPixel;
    if (h.bitsPerPixel == 16 || h.bitsPerPixel == 32) {
      const int64_t stride = int64_t{h.width} * (h.bitsPerPixel / 8);  // a multiple of 2
      ddb.assign(static_cast<size_t>(stride * h.height), 0);
      d.bits = ddb.data() + (h.height - 1) * stride;
      d.stride = -stride;
      return d;
    }
    picture = MakeDibSection(h.width, h.height, h.bitsPerPixel, h.colours, h.colourCount, &d.bits);
    d.stride = DibStride(h.width, h.bitsPerPixel);
    return d;
  });
  if (!ddb.empty()) {
    picture = StdPicture(gdi::CreateBitmap(header.width, header.height, 1,
                                           static_cast<uint32_t>(header.bitsPerPixel), ddb.data()));
    if (!picture) {
      Raise(kErrOutOfMemory);
    }
  }
  return picture;
}

}  // namespace

StdPicture DecodePictureWithin(std::span<const uint8_t> bytes, int64_t maxPixels) {
  Input in(bytes);
  return ReadObject(in, maxPixels);
}

}  // namespace picture_detail

StdPicture DecodePicture(std::span<const uint8_t> bytes) {
  return picture_detail::DecodePictureWithin(bytes, picture_detail::kDefaultMaxPixels);
}

StdPicture LoadPicture(const std::string& path) {
  const files::Descriptor file = files::OpenForReading(path);
  picture_detail::Input in(file.Get());
  return picture_detail::ReadObject(in, picture_detail::kDefaultMaxPixels);
}

void ReadPictureInto(const std::string& path, const PicturePrepare& prepare) {
  const files::Descriptor file = files::OpenForReading(path);
  picture_detail::Input in(file.Get());
  picture_detail::ReadAnyPicture(in, picture_detail::kDefaultMaxPixels, prepare);
}

void DecodePictureInto(std::span<const uint8_t> bytes, const PicturePrepare& prepare) {
  picture_detail::Input in(bytes);
  picture_detail::ReadAnyPicture(in, picture_detail::kDefaultMaxPixels, prepare);
}

std::string ExtensionOf(const std::string& path) {
  const auto dot = path.find_last_of('.');
  const auto slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return {};
  }
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return extension;
}

void SavePicture(gdi::HBITMAP bitmap, const std::string& path) {
  const std::string extension = ExtensionOf(path);
  std::vector<uint8_t> bytes;
  if (extension == "bmp") {
    bytes = EncodeBmp(bitmap);
  } else if (extension == "png") {
    bytes = EncodePng(bitmap);
  } else if (extension == "pgm") {
    bytes = EncodePnm(bitmap, true);
  } else if (extension == "ppm" || extension == "pnm") {
    bytes = EncodePnm(bitmap, false);
  } else {
    throw PictureError("cannot save \"" + path + "\": use a .bmp, .png, .pgm, .ppm or .pnm name");
  }
  // Encoded in full before the file is touched: a failure leaves any old file as it was.
  files::ReplaceFile(path, [&](int fd) { files::WriteAll(fd, bytes, path); });
}

}  // namespace okuva
