// Binary PNM: P5 (grey) and P6 (colour) with a maxval of 1 to 255; comments may stand
// between any two header fields. Sixteen-bit samples (maxval above 255) are refused.
#include <cstring>
#include <vector>

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

void ReadPnm(Input& in, int64_t maxPixels, const PicturePrepare& prepare) {
  const ByteReader& head = in.Head();
  std::span<const uint8_t> bytes(head.At(0, head.Size(), "PNM header"), head.Size());
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
  const uint64_t dataSize = static_cast<uint64_t>(width * height * channels);
  if (const auto size = in.KnownSize(); size && (start > *size || dataSize > *size - start)) {
    throw PictureError("truncated file: PNM pixel data is missing");
  }

  // A lookup from sample to 0..255 that also finds samples above maxval.
  int16_t scale[256];
  for (int v = 0; v < 256; ++v) {
    scale[v] = v > maxval ? int16_t{-1} : static_cast<int16_t>((v * 255 + maxval / 2) / maxval);
  }

  PictureHeader picture;
  picture.width = static_cast<int32_t>(width);
  picture.height = static_cast<int32_t>(height);
  picture.bitsPerPixel = colour ? 24 : 8;
  if (!colour) {
    picture.colourCount = 256;
    for (int i = 0; i < 256; ++i) {
      const auto g = static_cast<uint8_t>(i);
      picture.colours[i] = gdi::RGBQUAD{g, g, g, 0};
    }
  }
  Sink sink(picture, prepare);
  const int64_t rowBytes = width * channels;
  std::vector<uint8_t> grey(colour ? 0 : static_cast<size_t>(width));
  for (int64_t y = 0; y < height; ++y) {  // PNM rows are top-down
    const uint8_t* src = in.Take(start + static_cast<uint64_t>(y * rowBytes), static_cast<size_t>(rowBytes), "PNM pixel row");
    uint8_t* dst = colour && sink.DestinationBits() == 24 ? sink.Row(y) : grey.data();
    for (int64_t x = 0; x < width; ++x) {
      for (int64_t c = 0; c < channels; ++c) {
        const int16_t v = scale[src[x * channels + c]];
        if (v < 0) throw PictureError("PNM sample above the file's maxval");
        // P6 stores red, green, blue; the destination takes blue, green, red.
        dst[colour ? x * 3 + (2 - c) : x] = static_cast<uint8_t>(v);
      }
    }
    if (!colour) sink.Indices(y, grey.data());
  }
}

}  // namespace okuva::picture_detail
