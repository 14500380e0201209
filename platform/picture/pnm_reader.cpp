// Binary PNM: P5 (grey) and P6 (colour) with a maxval of 1 to 255; comments may stand
// between any two header fields. Sixteen-bit samples (maxval above 255) are refused.
#include <cstring>

#include "platform/picture/picture_internal.h"

namespace okuva::picture_detail {

namespace {

class HeaderParser {
public:
  explicit HeaderParser(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  // The next decimal field, after whitespace and comments.
  int64_t Number(const char* what) {
    SkipSpaceAndComments();
    if (pos_ >= bytes_.size()) throw PictureError(std::string("truncated PNM header: no ") + what);
    if (bytes_[pos_] < '0' || bytes_[pos_] > '9') {
      throw PictureError(std::string("malformed PNM header: ") + what + " is not a number");
    }
    int64_t value = 0;
    while (pos_ < bytes_.size() && bytes_[pos_] >= '0' && bytes_[pos_] <= '9') {
      value = value * 10 + (bytes_[pos_] - '0');
      if (value > 1000000000) throw PictureError(std::string("PNM ") + what + " is absurdly large");
      ++pos_;
    }
    return value;
  }

  // Exactly one whitespace byte separates the last field from the samples.
  size_t DataStart() {
    if (pos_ >= bytes_.size()) throw PictureError("truncated PNM header: no pixel data");
    if (!IsSpace(bytes_[pos_])) throw PictureError("malformed PNM header after maxval");
    return pos_ + 1;
  }

  void Skip(size_t n) { pos_ += n; }

private:
  static bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

  void SkipSpaceAndComments() {
    while (pos_ < bytes_.size()) {
      if (IsSpace(bytes_[pos_])) {
        ++pos_;
      } else if (bytes_[pos_] == '#') {
        while (pos_ < bytes_.size() && bytes_[pos_] != '\n' && bytes_[pos_] != '\r') ++pos_;
      } else {
        break;
      }
    }
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace

StdPicture DecodePnm(std::span<const uint8_t> bytes, int64_t maxPixels) {
  if (bytes.size() < 2 || bytes[0] != 'P' || (bytes[1] != '5' && bytes[1] != '6')) {
    throw PictureError("not a binary PGM/PPM file");
  }
  const bool colour = bytes[1] == '6';
  HeaderParser header(bytes);
  header.Skip(2);
  const int64_t width = header.Number("width");
  const int64_t height = header.Number("height");
  const int64_t maxval = header.Number("maxval");
  if (maxval < 1) throw PictureError("PNM maxval must be at least 1");
  if (maxval > 255) throw PictureError("PNM files with 16-bit samples are not supported");
  CheckSize(width, height, maxPixels);
  const size_t start = header.DataStart();
  const int64_t channels = colour ? 3 : 1;
  const ByteReader in(bytes);
  in.Need(start, static_cast<uint64_t>(width * height * channels), "PNM pixel data");

  // A lookup from sample to 0..255 that also finds samples above maxval.
  int16_t scale[256];
  for (int v = 0; v < 256; ++v) {
    scale[v] = v > maxval ? int16_t{-1} : static_cast<int16_t>((v * 255 + maxval / 2) / maxval);
  }

  gdi::RGBQUAD ramp[256];
  for (int i = 0; i < 256; ++i) {
    const auto g = static_cast<uint8_t>(i);
    ramp[i] = gdi::RGBQUAD{g, g, g, 0};
  }
  uint8_t* bits = nullptr;
  const int depth = colour ? 24 : 8;
  StdPicture picture = MakeDibSection(static_cast<int32_t>(width), static_cast<int32_t>(height), depth,
                                      colour ? nullptr : ramp, colour ? 0 : 256, &bits);
  const int64_t stride = DibStride(width, depth);
  const int64_t rowBytes = width * channels;
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* src = in.At(start + static_cast<uint64_t>(y * rowBytes), static_cast<uint64_t>(rowBytes), "PNM pixel row");
    uint8_t* dst = bits + (height - 1 - y) * stride;  // PNM rows are top-down
    for (int64_t x = 0; x < width; ++x) {
      for (int64_t c = 0; c < channels; ++c) {
        const int16_t v = scale[src[x * channels + c]];
        if (v < 0) throw PictureError("PNM sample above the file's maxval");
        // P6 stores red, green, blue; the section stores blue, green, red.
        const int64_t to = colour ? x * 3 + (2 - c) : x;
        dst[to] = static_cast<uint8_t>(v);
      }
    }
  }
  return picture;
}

}  // namespace okuva::picture_detail
