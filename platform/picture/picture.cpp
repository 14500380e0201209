#include "platform/picture/picture.h"

#include <algorithm>
#include <cctype>

#include "platform/picture/picture_internal.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"

namespace okuva {

StdPicture& StdPicture::operator=(StdPicture&& other) noexcept {
  if (this != &other) {
    if (handle_ != 0) gdi::DeleteObject(handle_);
    handle_ = other.Release();
  }
  return *this;
}

StdPicture::~StdPicture() {
  // A bitmap still selected somewhere is refused by DeleteObject; nothing else can be
  // done from a destructor, and the raster layer keeps its tables consistent.
  if (handle_ != 0) gdi::DeleteObject(handle_);
}

namespace {

gdi::BITMAP Describe(gdi::HBITMAP handle) {
  gdi::BITMAP bm{};
  if (handle == 0 || gdi::GetObjectA(handle, sizeof bm, &bm) == 0) bm = gdi::BITMAP{};
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
  if (width <= 0 || height <= 0) throw PictureError("picture has no pixels (width or height is 0)");
  if (width > kMaxSide || height > kMaxSide || width * height > maxPixels) {
    throw PictureError("picture too large: " + std::to_string(width) + " x " +
                       std::to_string(height) + " pixels");
  }
}

void ByteReader::Need(uint64_t offset, uint64_t count, const char* what) const {
  if (offset > bytes_.size() || count > bytes_.size() - offset) {
    throw PictureError(std::string("truncated file: ") + what + " is missing");
  }
}

uint8_t ByteReader::U8(uint64_t offset, const char* what) const { return *At(offset, 1, what); }

uint16_t ByteReader::U16(uint64_t offset, const char* what) const {
  const uint8_t* p = At(offset, 2, what);
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t ByteReader::U32(uint64_t offset, const char* what) const {
  const uint8_t* p = At(offset, 4, what);
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

StdPicture MakeDibSection(int32_t width, int32_t height, int bitsPerPixel,
                          const gdi::RGBQUAD* colours, uint32_t colourCount, uint8_t** bits) {
  gdi::BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof(gdi::BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = width;
  bmi.bmiHeader.biHeight = height;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = static_cast<uint16_t>(bitsPerPixel);
  bmi.bmiHeader.biCompression = gdi::BI_RGB;
  bmi.bmiHeader.biClrUsed = colourCount;
  if (colourCount > 0) std::copy_n(colours, std::min<uint32_t>(colourCount, 256), bmi.bmiColors);
  void* pixels = nullptr;
  StdPicture picture(gdi::CreateDIBSection(0, &bmi, gdi::DIB_RGB_COLORS, &pixels, nullptr, 0));
  if (!picture || pixels == nullptr) {
    throw PictureError("not enough memory for a " + std::to_string(width) + " x " +
                       std::to_string(height) + " picture");
  }
  *bits = static_cast<uint8_t*>(pixels);
  return picture;
}

StdPicture DecodePictureWithin(std::span<const uint8_t> bytes, int64_t maxPixels) {
  if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return DecodeBmp(bytes, maxPixels);
  if (bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '6')) {
    return DecodePnm(bytes, maxPixels);
  }
  if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) {
    return DecodeJpeg(bytes, maxPixels);
  }
  if (bytes.empty()) throw PictureError("empty file: not a picture");
  throw PictureError("not a picture this program reads (BMP, binary PGM/PPM or JPEG)");
}

}  // namespace picture_detail

StdPicture DecodePicture(std::span<const uint8_t> bytes) {
  return picture_detail::DecodePictureWithin(bytes, picture_detail::kDefaultMaxPixels);
}

StdPicture LoadPicture(const std::string& path) {
  const std::string data = files::ReadFile(path);
  return DecodePicture(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
}

void SavePicture(gdi::HBITMAP bitmap, const std::string& path) {
  std::string extension;
  const auto dot = path.find_last_of('.');
  const auto slash = path.find_last_of('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  }
  std::vector<uint8_t> bytes;
  if (extension == "bmp") {
    bytes = EncodeBmp(bitmap);
  } else if (extension == "pgm") {
    bytes = EncodePnm(bitmap, true);
  } else if (extension == "ppm" || extension == "pnm") {
    bytes = EncodePnm(bitmap, false);
  } else {
    throw PictureError("cannot save \"" + path + "\": use a .bmp, .pgm, .ppm or .pnm name");
  }
  // Encoded in full before the file is touched: a failure leaves any old file as it was.
  files::ReplaceFile(path, [&](int fd) { files::WriteAll(fd, bytes, path); });
}

}  // namespace okuva
