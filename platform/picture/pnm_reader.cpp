// Binary PNM: P5 (grey) and P6 (colour) with a maxval of 1 to 255; comments may stand
// between any two header fields. Sixteen-bit samples (maxval above 255) are refused.
#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/picture/picture_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace okuva::picture_detail {

namespace {

class HeaderParser {
public:
  explicit HeaderParser(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  // The next decimal field, after whitespace and comments.
  int64_t Number(const char* what) {
    SkipSpaceAndComments();
    if (pos_ >= bytes_.size()) {
      throw PictureError(std::string("truncated PNM header: no ") + what);
    }
    if (bytes_[pos_] < '0' || bytes_[pos_] > '9') {
      throw PictureError(std::string("malformed PNM header: ") + what + " is not a number");
    }
    int64_t value = 0;
    while (pos_ < bytes_.size() && bytes_[pos_] >= '0' && bytes_[pos_] <= '9') {
      value = value * 10 + (bytes_[pos_] - '0');
      if (value > 1000000000) {
        throw PictureError(std::string("PNM ") + what + " is absurdly large");
      }
      ++pos_;
    }
    return value;
  }

  // Exactly one whitespace byte separates the last field from the samples.
  size_t DataStart() {
    if (pos_ >= bytes_.size()) {
      throw PictureError("truncated PNM header: no pixel data");
    }
    if (!IsSpace(bytes_[pos_])) {
      throw PictureError("malformed PNM header after maxval");
    }
    return pos_ + 1;
  }

  void Skip(size_t n) { pos_ += n; }

private:
  static bool IsSpace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }

  void SkipSpaceAndComments() {
    while (pos_ < bytes_.size()) {
      if (IsSpace(bytes_[pos_])) {
        ++pos_;
      } else if (bytes_[pos_] == '#') {
        while (pos_ < bytes_.size() && bytes_[pos_] != '\n' && bytes_[pos_] != '\r') {
          ++pos_;
        }
      } else {
        break;
      }
    }
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

// Exchanges the first and third byte of each of `count` 3-byte pixels in place.
void SwapRedAndBlueScalar(uint8_t* px, int64_t count) {
  for (int64_t x = 0; x < count; ++x) {
    std::swap(px[3 * x], px[3 * x + 2]);
  }
}

#if defined(__x86_64__)
// Five pixels (15 bytes) a step through one 16-byte shuffle whose 16th byte is stored
// back as it was loaded. Each step's load comes before the store of the step before,
// which overlaps it by that byte: the load never waits on the store.
__attribute__((target("ssse3"))) void SwapRedAndBlueSsse3(uint8_t* px, int64_t count) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  // Steps whose 16 bytes stay inside the row.
  const int64_t steps = count >= 6 ? (3 * count - 16) / 15 + 1 : 0;
  if (steps > 0) {
    __m128i current = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px));
    for (int64_t k = 0; k + 1 < steps; ++k) {
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + 15 * (k + 1)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(px + 15 * k), _mm_shuffle_epi8(current, order));
      current = next;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(px + 15 * (steps - 1)),
                     _mm_shuffle_epi8(current, order));
  }
  SwapRedAndBlueScalar(px + 15 * steps, count - 5 * steps);
}
#endif

void SwapRedAndBlue(uint8_t* px, int64_t count) {
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) {
    return SwapRedAndBlueSsse3(px, count);
  }
#endif
  SwapRedAndBlueScalar(px, count);
}

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
  if (maxval < 1) {
    throw PictureError("PNM maxval must be at least 1");
  }
  if (maxval > 255) {
    throw PictureError("PNM files with 16-bit samples are not supported");
  }
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
  if (colour && maxval == 255 && sink.DestinationBits() == 24) {
    // Every sample is its own level: the rows are read straight into their places, a
    // band at a time, and turned from red, green, blue into blue, green, red there
    // while the band is still in the cache.
    constexpr int64_t kBandRows = 32;
    std::array<uint8_t*, kBandRows> band;
    for (int64_t y = 0; y < height; y += kBandRows) {
      const int64_t n = std::min(kBandRows, height - y);
      for (int64_t i = 0; i < n; ++i) {
        band[static_cast<size_t>(i)] = sink.Row(y + i);
      }
      if (!in.TakeRows(start + static_cast<uint64_t>(y * rowBytes), static_cast<size_t>(rowBytes),
                       band.data(), static_cast<size_t>(n))) {
        throw PictureError("truncated file: PNM pixel row is missing");
      }
      for (int64_t i = 0; i < n; ++i) {
        SwapRedAndBlue(band[static_cast<size_t>(i)], width);
      }
    }
    return;
  }
  std::vector<uint8_t> grey(colour ? 0 : static_cast<size_t>(width));
  for (int64_t y = 0; y < height; ++y) {  // PNM rows are top-down
    const uint8_t* src = in.Take(start + static_cast<uint64_t>(y * rowBytes),
                                 static_cast<size_t>(rowBytes), "PNM pixel row");
    uint8_t* dst = colour && sink.DestinationBits() == 24 ? sink.Row(y) : grey.data();
    for (int64_t x = 0; x < width; ++x) {
      for (int64_t c = 0; c < channels; ++c) {
        const int16_t v = scale[src[x * channels + c]];
        if (v < 0) {
          throw PictureError("PNM sample above the file's maxval");
        }
        // P6 stores red, green, blue; the destination takes blue, green, red.
        dst[colour ? x * 3 + (2 - c) : x] = static_cast<uint8_t>(v);
      }
    }
    if (!colour) {
      sink.Indices(y, grey.data());
    }
  }
}

}  // namespace okuva::picture_detail
