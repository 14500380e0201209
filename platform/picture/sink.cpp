#include "platform/picture/sink.h"

#include <cstring>
#include <string>

#include "platform/runtime/error.h"

namespace okuva::picture_detail {

Sink::Sink(const PictureHeader& header, const PicturePrepare& prepare) : header_(header) {
  dest_ = prepare(header_);
  if (dest_.bits == nullptr) {
    Raise(kErrOutOfMemory);
  }
  if (dest_.bitsPerPixel != 24 && dest_.bitsPerPixel != header_.bitsPerPixel) {
    throw PictureError("a " + std::to_string(header_.bitsPerPixel) +
                       "-bit picture cannot be read into " + std::to_string(dest_.bitsPerPixel) +
                       " bits");
  }
  const int64_t rowBytes = (int64_t{header_.width} * dest_.bitsPerPixel + 7) / 8;
  if (dest_.stride < rowBytes && -dest_.stride < rowBytes) {
    throw PictureError("destination rows of " + std::to_string(dest_.stride) +
                       " bytes cannot hold " + std::to_string(header_.width) + " pixels");
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
    for (int64_t x = 0; x < width; ++x) {
      CheckIndex(indices[x]);
    }
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
    for (int64_t x = 0; x < width; ++x) {
      CheckIndex(index(x));
    }
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
    if (row != bgr) {
      std::memcpy(row, bgr, static_cast<size_t>(width * 3));
    }
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

}  // namespace okuva::picture_detail
