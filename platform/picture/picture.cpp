#include "platform/picture/picture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>

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
  // The size was checked against the caps: the raster layer found no room.
  if (!picture || pixels == nullptr) Raise(kErrOutOfMemory);
  *bits = static_cast<uint8_t*>(pixels);
  return picture;
}

Input::Input(std::span<const uint8_t> memory)
    : memory_(memory), head_(memory), headIsAll_(true), size_(memory.size()) {}

Input::Input(int fd) : fd_(fd) {
  struct stat st {};
  seekable_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (seekable_) size_ = static_cast<uint64_t>(st.st_size);
  headBytes_.resize(kHeadSize);
  const size_t got = ReadFd(0, headBytes_.data(), kHeadSize);
  headBytes_.resize(got);
  headIsAll_ = got < kHeadSize;
  head_ = ByteReader(headBytes_);
}

size_t Input::ReadFd(uint64_t offset, uint8_t* to, size_t count) {
  if (!seekable_) {
    // A pipe or device: skip forward by reading; nothing behind can be read again.
    if (offset < fdPos_) throw PictureError("picture data out of order in a stream that cannot seek");
    uint8_t skip[4096];
    while (fdPos_ < offset) {
      const ssize_t n = ::read(fd_, skip, static_cast<size_t>(std::min<uint64_t>(sizeof skip, offset - fdPos_)));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw PictureError(std::string("read error: ") + std::strerror(errno));
      if (n == 0) return 0;
      fdPos_ += static_cast<uint64_t>(n);
    }
  }
  size_t done = 0;
  while (done < count) {
    const ssize_t n = seekable_ ? ::pread(fd_, to + done, count - done, static_cast<off_t>(offset + done))
                                : ::read(fd_, to + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw PictureError(std::string("read error: ") + std::strerror(errno));
    if (n == 0) break;
    done += static_cast<size_t>(n);
    if (!seekable_) fdPos_ += static_cast<uint64_t>(n);
  }
  return done;
}

size_t Input::TakeSome(uint64_t offset, uint8_t* to, size_t count) {
  if (fd_ < 0) {
    if (offset >= memory_.size()) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, memory_.size() - offset));
    std::memcpy(to, memory_.data() + offset, n);
    return n;
  }
  size_t done = 0;
  if (offset < headBytes_.size()) {
    done = static_cast<size_t>(std::min<uint64_t>(count, headBytes_.size() - offset));
    std::memcpy(to, headBytes_.data() + offset, done);
  }
  if (done == count || headIsAll_) return done;
  return done + ReadFd(offset + done, to + done, count - done);
}

bool Input::TakeRows(uint64_t offset, size_t rowBytes, uint8_t* const* rows, size_t count) {
  size_t r = 0;
  const auto at = [&](size_t row) { return offset + static_cast<uint64_t>(row) * rowBytes; };
  // Rows held in memory or in the head, and those of a stream that cannot seek: one by one.
  while (r < count && (fd_ < 0 || !seekable_ || headIsAll_ || at(r) < headBytes_.size())) {
    if (TakeSome(at(r), rows[r], rowBytes) != rowBytes) return false;
    ++r;
  }
  constexpr size_t kRowsPerRead = 1024;  // IOV_MAX on Linux
  std::array<iovec, kRowsPerRead> parts;
  while (r < count) {
    const size_t n = std::min(count - r, kRowsPerRead);
    for (size_t i = 0; i < n; ++i) parts[i] = {rows[r + i], rowBytes};
    const ssize_t got = ::preadv(fd_, parts.data(), static_cast<int>(n), static_cast<off_t>(at(r)));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw PictureError(std::string("read error: ") + std::strerror(errno));
    if (got == 0) return false;
    const size_t whole = static_cast<size_t>(got) / rowBytes;
    r += whole;
    if (whole < n) {
      // A short read: the row it ended in is read again on its own.
      if (TakeSome(at(r), rows[r], rowBytes) != rowBytes) return false;
      ++r;
    }
  }
  return true;
}

const uint8_t* Input::Take(uint64_t offset, size_t count, const char* what) {
  if (fd_ < 0) return head_.At(offset, count, what);
  if (offset <= headBytes_.size() && count <= headBytes_.size() - offset) return headBytes_.data() + offset;
  buffer_.resize(count);
  if (TakeSome(offset, buffer_.data(), count) != count) {
    throw PictureError(std::string("truncated file: ") + what + " is missing");
  }
  return buffer_.data();
}

std::span<const uint8_t> Input::Whole(uint64_t limit) {
  if (fd_ < 0) return memory_.first(static_cast<size_t>(std::min<uint64_t>(memory_.size(), limit)));
  if (headIsAll_ || headBytes_.size() >= limit) {
    return std::span<const uint8_t>(headBytes_).first(static_cast<size_t>(std::min<uint64_t>(headBytes_.size(), limit)));
  }
  buffer_ = headBytes_;
  if (size_) {
    // A file of known length: one read of what is wanted.
    const uint64_t want = std::min(*size_, limit);
    buffer_.resize(static_cast<size_t>(want));
    buffer_.resize(headBytes_.size() + ReadFd(headBytes_.size(), buffer_.data() + headBytes_.size(),
                                              static_cast<size_t>(want - headBytes_.size())));
    return buffer_;
  }
  // A pipe grows in steps, so a short one never costs the whole limit.
  while (buffer_.size() < limit) {
    const size_t before = buffer_.size();
    const size_t step = static_cast<size_t>(std::min<uint64_t>(before, limit - before));
    buffer_.resize(before + step);
    const size_t got = ReadFd(before, buffer_.data() + before, step);
    buffer_.resize(before + got);
    if (got < step) break;
  }
  return buffer_;
}

uint64_t Input::DataFrom(uint64_t offset) const {
  if (fd_ < 0 || !seekable_ || offset <= headBytes_.size()) return offset;
  const off_t data = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) return errno == ENXIO ? std::max(offset, size_.value_or(offset)) : offset;
  return std::max(offset, static_cast<uint64_t>(data));
}

Sink::Sink(const PictureHeader& header, const PicturePrepare& prepare) : header_(header) {
  dest_ = prepare(header_);
  if (dest_.bits == nullptr) Raise(kErrOutOfMemory);
  if (dest_.bitsPerPixel != 24 && dest_.bitsPerPixel != header_.bitsPerPixel) {
    throw PictureError("a " + std::to_string(header_.bitsPerPixel) + "-bit picture cannot be read into " +
                       std::to_string(dest_.bitsPerPixel) + " bits");
  }
  const int64_t rowBytes = (int64_t{header_.width} * dest_.bitsPerPixel + 7) / 8;
  if (dest_.stride < rowBytes && -dest_.stride < rowBytes) {
    throw PictureError("destination rows of " + std::to_string(dest_.stride) + " bytes cannot hold " +
                       std::to_string(header_.width) + " pixels");
  }
  shortTable_ = header_.bitsPerPixel <= 8 && header_.colourCount < (1u << header_.bitsPerPixel);
}

void Sink::CheckIndex(uint32_t index) const {
  if (index >= header_.colourCount) {
    throw PictureError("pixel uses colour " + std::to_string(index) + " of a table with " +
                       std::to_string(header_.colourCount) + " entries");
  }
}

void Sink::Indices(int64_t top, const uint8_t* indices) {
  const int64_t width = header_.width;
  if (shortTable_) {
    for (int64_t x = 0; x < width; ++x) CheckIndex(indices[x]);
  }
  uint8_t* row = Row(top);
  const int bits = dest_.bitsPerPixel;
  if (bits == 24) {
    for (int64_t x = 0; x < width; ++x) {
      const gdi::RGBQUAD& c = header_.colours[indices[x]];
      row[3 * x] = c.rgbBlue;
      row[3 * x + 1] = c.rgbGreen;
      row[3 * x + 2] = c.rgbRed;
    }
  } else if (bits == 8) {
    std::memcpy(row, indices, static_cast<size_t>(width));
  } else {
    const int perByte = 8 / bits;
    for (int64_t x = 0; x < width; x += perByte) {
      uint8_t byte = 0;
      for (int k = 0; k < perByte; ++k) {
        const uint8_t v = x + k < width ? indices[x + k] : uint8_t{0};
        byte = static_cast<uint8_t>(byte | v << (8 - bits * (k + 1)));
      }
      row[x / perByte] = byte;
    }
  }
}

void Sink::Packed(int64_t top, const uint8_t* packed) {
  const int64_t width = header_.width;
  const int bits = header_.bitsPerPixel;
  const uint32_t mask = (1u << bits) - 1u;
  const auto index = [&](int64_t x) {
    const int64_t bit = x * bits;
    return (packed[bit / 8] >> (8 - bits - bit % 8)) & mask;
  };
  if (shortTable_) {
    for (int64_t x = 0; x < width; ++x) CheckIndex(index(x));
  }
  uint8_t* row = Row(top);
  if (dest_.bitsPerPixel == bits) {
    std::memcpy(row, packed, static_cast<size_t>((width * bits + 7) / 8));
    return;
  }
  for (int64_t x = 0; x < width; ++x) {
    const gdi::RGBQUAD& c = header_.colours[index(x)];
    row[3 * x] = c.rgbBlue;
    row[3 * x + 1] = c.rgbGreen;
    row[3 * x + 2] = c.rgbRed;
  }
}

void Sink::Bgr(int64_t top, const uint8_t* bgr) {
  uint8_t* row = Row(top);
  const int64_t width = header_.width;
  if (dest_.bitsPerPixel == 24) {
    if (row != bgr) std::memcpy(row, bgr, static_cast<size_t>(width * 3));
    return;
  }
  for (int64_t x = 0; x < width; ++x) {
    row[4 * x] = bgr[3 * x];
    row[4 * x + 1] = bgr[3 * x + 1];
    row[4 * x + 2] = bgr[3 * x + 2];
    row[4 * x + 3] = 0;
  }
}

void Sink::Raw555(int64_t top, const uint8_t* pixels) {
  uint8_t* row = Row(top);
  const int64_t width = header_.width;
  for (int64_t x = 0; x < width; ++x) {
    const uint32_t w = static_cast<uint32_t>(pixels[2 * x] | (pixels[2 * x + 1] & 0x7F) << 8);
    if (dest_.bitsPerPixel == 16) {
      row[2 * x] = static_cast<uint8_t>(w);
      row[2 * x + 1] = static_cast<uint8_t>(w >> 8);
      continue;
    }
    // Each 5-bit channel widened by repeating its top bits, as the raster layer does.
    const uint32_t b = w & 31u, g = (w >> 5) & 31u, r = (w >> 10) & 31u;
    row[3 * x] = static_cast<uint8_t>(b << 3 | b >> 2);
    row[3 * x + 1] = static_cast<uint8_t>(g << 3 | g >> 2);
    row[3 * x + 2] = static_cast<uint8_t>(r << 3 | r >> 2);
  }
}

void ReadAnyPicture(Input& in, int64_t maxPixels, const PicturePrepare& prepare) {
  const ByteReader& head = in.Head();
  const auto at = [&](size_t i) { return head.Size() > i ? int{head.U8(i, "signature")} : -1; };
  if (at(0) == 'B' && at(1) == 'M') return ReadBmp(in, maxPixels, prepare);
  if (at(0) == 'P' && (at(1) == '5' || at(1) == '6')) return ReadPnm(in, maxPixels, prepare);
  if (at(0) == 0xFF && at(1) == 0xD8 && at(2) == 0xFF) return ReadJpeg(in, maxPixels, prepare);
  if (at(0) == 0x89 && at(1) == 'P' && at(2) == 'N' && at(3) == 'G') return ReadPng(in, maxPixels, prepare);
  if (head.Size() == 0) throw PictureError("empty file: not a picture");
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
    if (!picture) Raise(kErrOutOfMemory);
  }
  return picture;
}

// An open file descriptor, closed with its scope.
class OpenFile {
public:
  explicit OpenFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) RaiseFileError(errno, path);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      const int e = errno;
      ::close(fd_);
      RaiseFileError(e, path);
    }
    if (S_ISDIR(st.st_mode)) {
      ::close(fd_);
      Raise(kErrPathFileAccess, {}, path);
    }
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() { ::close(fd_); }
  int Get() const { return fd_; }

private:
  int fd_;
};

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
  const picture_detail::OpenFile file(path);
  picture_detail::Input in(file.Get());
  return picture_detail::ReadObject(in, picture_detail::kDefaultMaxPixels);
}

void ReadPictureInto(const std::string& path, const PicturePrepare& prepare) {
  const picture_detail::OpenFile file(path);
  picture_detail::Input in(file.Get());
  picture_detail::ReadAnyPicture(in, picture_detail::kDefaultMaxPixels, prepare);
}

void DecodePictureInto(std::span<const uint8_t> bytes, const PicturePrepare& prepare) {
  picture_detail::Input in(bytes);
  picture_detail::ReadAnyPicture(in, picture_detail::kDefaultMaxPixels, prepare);
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
