// BMP files: the OS/2 1.x header (12 bytes), the OS/2 2.x header (16 to 64 bytes, a
// multiple of 4) and BITMAPINFOHEADER with its later extensions (40, 52, 56, 108 = V4,
// 124 = V5 bytes); no other header size;
// 1, 4, 8, 24 bits BI_RGB; RLE8 and RLE4; 16 and 32 bits BI_RGB or BI_BITFIELDS (and
// BI_ALPHABITFIELDS, whose alpha mask is ignored). Embedded JPEG/PNG and the OS/2
// Huffman and RLE24 kinds are refused.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/picture/picture_internal.h"

namespace okuva::picture_detail {

namespace {

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kOs2MinHeaderSize = 16;
constexpr uint32_t kOs2HeaderSize = 64;
constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiAlphaBitfields = 6;

// One channel of a BI_BITFIELDS mask: where it starts and how many bits it has.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  int width = 0;

  static Channel Of(uint32_t mask) {
    Channel c;
    c.mask = mask;
    if (mask == 0) {
      return c;
    }
    while (((mask >> c.shift) & 1u) == 0) {
      ++c.shift;
    }
    while (c.shift + c.width < 32 && ((mask >> (c.shift + c.width)) & 1u) != 0) {
      ++c.width;
    }
    if ((mask >> c.shift) != (c.width == 32 ? ~0u : (1u << c.width) - 1u)) {
      throw PictureError("BMP colour mask is not one run of bits");
    }
    return c;
  }
  // The channel of a pixel widened or narrowed to 0..255.
  uint32_t Extract(uint32_t pixel) const {
    if (width == 0) {
      return 0;
    }
    const uint64_t max = (uint64_t{1} << width) - 1;
    const uint64_t value = (pixel & mask) >> shift;
    return static_cast<uint32_t>((value * 255 + max / 2) / max);
  }
};

struct Header {
  int64_t width = 0;
  int64_t height = 0;  // positive; the orientation is in topDown
  bool topDown = false;
  int bits = 0;
  uint32_t compression = kBiRgb;
  uint32_t colourCount = 0;  // table entries, palette depths only
  uint32_t imageSize = 0;    // biSizeImage: the length of RLE data, 0 when not given
  uint64_t tableOffset = 0;
  uint32_t tableEntrySize = 4;
  uint64_t headersEnd = 0;  // where the headers, masks and colour table end
  uint32_t masks[3] = {0, 0, 0};  // red, green, blue
};

[[noreturn]] void RefuseCompression(uint32_t compression) {
  throw PictureError("compressed BMP files of this kind are not supported (compression " +
                     std::to_string(compression) + ")");
}

Header ReadHeader(const ByteReader& in, int64_t maxPixels) {
  Header h;
  const uint32_t headerSize = in.U32(kFileHeaderSize, "BMP header size");
  const uint64_t infoStart = kFileHeaderSize;
  // OS/2 2.x headers may stop after any field past the first 16 bytes; 40 is taken as
  // the Windows header, which has the same fields in the same places.
  const bool os2v2 = headerSize >= kOs2MinHeaderSize && headerSize <= kOs2HeaderSize &&
                     headerSize % 4 == 0 && headerSize != kInfoHeaderSize && headerSize != 52 &&
                     headerSize != 56;
  if (headerSize == kCoreHeaderSize) {
    h.width = in.U16(infoStart + 4, "BMP width");
    h.height = in.U16(infoStart + 6, "BMP height");
    if (in.U16(infoStart + 8, "BMP planes") != 1) {
      throw PictureError("BMP planes field is not 1");
    }
    h.bits = in.U16(infoStart + 10, "BMP bit count");
    h.tableEntrySize = 3;
  } else if (os2v2 || headerSize == kInfoHeaderSize || headerSize == 52 || headerSize == 56 ||
             headerSize == 108 || headerSize == 124) {
    in.Need(infoStart, headerSize, "BMP header");
    h.width = in.I32(infoStart + 4, "BMP width");
    const int64_t height = in.I32(infoStart + 8, "BMP height");
    h.topDown = height < 0;
    h.height = height < 0 ? -height : height;
    if (in.U16(infoStart + 12, "BMP planes") != 1) {
      throw PictureError("BMP planes field is not 1");
    }
    h.bits = in.U16(infoStart + 14, "BMP bit count");
    if (headerSize >= 20) {
      h.compression = in.U32(infoStart + 16, "BMP compression");
    }
    if (headerSize >= 24) {
      h.imageSize = in.U32(infoStart + 20, "BMP image size");
    }
    if (headerSize >= 36) {
      h.colourCount = in.U32(infoStart + 32, "BMP colour count");
    }
    // OS/2 2.x numbers 3 and 4 are Huffman 1D and RLE24, not bit fields.
    if (os2v2 && h.compression >= kBiBitfields) {
      RefuseCompression(h.compression);
    }
  } else {
    throw PictureError("unknown BMP header size " + std::to_string(headerSize));
  }
  in.Need(infoStart, headerSize, "BMP header");
  h.tableOffset = infoStart + headerSize;

  switch (h.bits) {
    case 1:
    case 24:
      if (h.compression != kBiRgb) {
        RefuseCompression(h.compression);
      }
      break;
    case 4:
      if (h.compression != kBiRgb && h.compression != kBiRle4) {
        RefuseCompression(h.compression);
      }
      break;
    case 8:
      if (h.compression != kBiRgb && h.compression != kBiRle8) {
        RefuseCompression(h.compression);
      }
      break;
    case 16:
    case 32:
      if (h.compression != kBiRgb && h.compression != kBiBitfields &&
          h.compression != kBiAlphaBitfields) {
        RefuseCompression(h.compression);
      }
      break;
    default:
      throw PictureError("BMP depth of " + std::to_string(h.bits) + " bits is not supported");
  }
  if ((h.compression == kBiRle8 || h.compression == kBiRle4) && h.topDown) {
    throw PictureError("a run-length BMP cannot be top-down");
  }
  CheckSize(h.width, h.height, maxPixels);

  if (h.bits <= 8) {
    const uint32_t full = 1u << h.bits;
    // 0 means the full table; a larger count than the depth can index is clamped.
    if (h.colourCount == 0 || h.colourCount > full) {
      h.colourCount = full;
    }
    in.Need(h.tableOffset, uint64_t{h.colourCount} * h.tableEntrySize, "BMP colour table");
    h.headersEnd = h.tableOffset + uint64_t{h.colourCount} * h.tableEntrySize;
  } else if (h.compression == kBiBitfields || h.compression == kBiAlphaBitfields) {
    // The masks follow a 40-byte header, or are its extension's first fields.
    for (int i = 0; i < 3; ++i) {
      h.masks[i] = in.U32(infoStart + kInfoHeaderSize + 4 * i, "BMP colour masks");
    }
    const uint64_t masksEnd =
        infoStart + kInfoHeaderSize + (h.compression == kBiAlphaBitfields ? 16 : 12);
    h.headersEnd = std::max(h.tableOffset, masksEnd);
  } else if (h.bits == 16) {
    h.masks[0] = 0x7C00;
    h.masks[1] = 0x03E0;
    h.masks[2] = 0x001F;
  } else {
    h.masks[0] = 0x00FF0000;
    h.masks[1] = 0x0000FF00;
    h.masks[2] = 0x000000FF;
  }
  if (h.headersEnd == 0) {
    h.headersEnd = h.tableOffset;
  }
  return h;
}

PictureHeader Describe(const ByteReader& in, const Header& h, int outBits) {
  PictureHeader p;
  p.width = static_cast<int32_t>(h.width);
  p.height = static_cast<int32_t>(h.height);
  p.bitsPerPixel = outBits;
  if (h.bits <= 8) {
    p.colourCount = h.colourCount;
    for (uint32_t i = 0; i < h.colourCount; ++i) {
      const uint8_t* e =
          in.At(h.tableOffset + uint64_t{i} * h.tableEntrySize, 3, "BMP colour table");
      p.colours[i] = gdi::RGBQUAD{e[0], e[1], e[2], 0};
    }
  }
  return p;
}

// Uncompressed rows, in file order; file row i is the picture's row i from the top in
// a top-down file and from the bottom in a bottom-up one.
template <typename PerRow>
void ForEachRow(Input& in, const Header& h, uint64_t dataOffset, PerRow&& perRow) {
  const int64_t stride = DibStride(h.width, h.bits);
  for (int64_t i = 0; i < h.height; ++i) {
    const uint8_t* src = in.Take(dataOffset + static_cast<uint64_t>(i * stride),
                                 static_cast<size_t>(stride), "BMP pixel row");
    perRow(h.topDown ? i : h.height - 1 - i, src);
  }
}

// 16- and 32-bit files: 5-5-5 files stay 16 bits; any other 16-bit layout (5-6-5 and the
// like) becomes 32 bits so no bit is lost.
void ReadDirect(Input& in, const Header& h, uint64_t dataOffset, const PicturePrepare& prepare) {
  const Channel red = Channel::Of(h.masks[0]);
  const Channel green = Channel::Of(h.masks[1]);
  const Channel blue = Channel::Of(h.masks[2]);
  if ((red.mask & green.mask) != 0 || (red.mask & blue.mask) != 0 ||
      (green.mask & blue.mask) != 0) {
    throw PictureError("BMP colour masks overlap");
  }
  if (h.bits == 16 && (red.mask | green.mask | blue.mask) > 0xFFFF) {
    throw PictureError("BMP colour mask wider than a 16-bit pixel");
  }
  const bool is555 =
      h.bits == 16 && red.mask == 0x7C00 && green.mask == 0x03E0 && blue.mask == 0x001F;
  Sink sink(Describe(in.Head(), h, is555 ? 16 : 32), prepare);
  if (is555) {
    ForEachRow(in, h, dataOffset, [&](int64_t top, const uint8_t* src) { sink.Raw555(top, src); });
    return;
  }
  std::vector<uint8_t> bgr(static_cast<size_t>(h.width * 3));
  ForEachRow(in, h, dataOffset, [&](int64_t top, const uint8_t* src) {
    for (int64_t x = 0; x < h.width; ++x) {
      uint32_t pixel = 0;
      if (h.bits == 16) {
        pixel = static_cast<uint32_t>(src[2 * x] | src[2 * x + 1] << 8);
      } else {
        const uint8_t* p = src + 4 * x;
        pixel = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
      }
      bgr[3 * x] = static_cast<uint8_t>(blue.Extract(pixel));
      bgr[3 * x + 1] = static_cast<uint8_t>(green.Extract(pixel));
      bgr[3 * x + 2] = static_cast<uint8_t>(red.Extract(pixel));
    }
    sink.Bgr(top, bgr.data());
  });
}

// Run-length data read a byte at a time through a small window; it may not run past
// biSizeImage when that is given, nor past what the picture could need.
class RleBytes {
public:
  RleBytes(Input& in, uint64_t start, uint64_t limit) : in_(in), pos_(start), end_(start + limit) {}
  uint8_t Next() {
    if (at_ == got_) {
      if (pos_ >= end_) {
        throw PictureError("truncated file: BMP run-length data ends before its picture");
      }
      got_ = in_.TakeSome(pos_, window_,
                          static_cast<size_t>(std::min<uint64_t>(sizeof window_, end_ - pos_)));
      at_ = 0;
      if (got_ == 0) {
        throw PictureError("truncated file: BMP run-length data ends before its picture");
      }
      pos_ += got_;
    }
    return window_[at_++];
  }

private:
  Input& in_;
  uint64_t pos_;
  uint64_t end_;
  uint8_t window_[4096];
  size_t at_ = 0;
  size_t got_ = 0;
};

// RLE8 and RLE4: encoded runs, absolute runs and the escapes end of line, end of
// bitmap and delta. Pixels a delta or an early end skips keep colour 0. A run or a
// delta that would leave the row or the picture is refused.
void ReadRle(Input& in, const Header& h, uint64_t dataOffset, const PicturePrepare& prepare) {
  Sink sink(Describe(in.Head(), h, h.bits), prepare);
  const bool four = h.bits == 4;
  // Two bytes per pixel and per row end, plus the end of bitmap, is the most a run-length
  // encoder needs; a longer stream is no longer describing this picture.
  const uint64_t bound =
      2 * static_cast<uint64_t>(h.width + 2) * static_cast<uint64_t>(h.height) + 2 + 4096;
  RleBytes data(in, dataOffset, h.imageSize != 0 ? std::min<uint64_t>(h.imageSize, bound) : bound);
  std::vector<uint8_t> row(static_cast<size_t>(h.width), 0);
  int64_t x = 0;
  int64_t y = 0;  // from the bottom
  const auto emit = [&] {
    sink.Indices(h.height - 1 - y, row.data());
    std::fill(row.begin(), row.end(), uint8_t{0});
    ++y;
    x = 0;
  };
  const auto room = [&](int64_t count, const char* what) {
    if (y >= h.height) {
      throw PictureError(std::string("BMP ") + what + " leaves the picture");
    }
    if (count > h.width - x) {
      throw PictureError(std::string("BMP ") + what + " leaves the row");
    }
  };
  while (y < h.height) {
    const uint8_t count = data.Next();
    const uint8_t value = data.Next();
    if (count > 0) {
      room(count, "run");
      for (int k = 0; k < count; ++k) {
        row[static_cast<size_t>(x++)] =
            four ? static_cast<uint8_t>(k % 2 == 0 ? value >> 4 : value & 15) : value;
      }
      continue;
    }
    switch (value) {
      case 0:  // end of line
        emit();
        break;
      case 1:  // end of bitmap: the rest stays colour 0
        while (y < h.height) {
          emit();
        }
        break;
      case 2: {  // delta: right and up
        const uint8_t dx = data.Next();
        const uint8_t dy = data.Next();
        if (dx > h.width - x) {
          throw PictureError("BMP delta leaves the row");
        }
        if (dy > 0 && dy >= h.height - y) {
          throw PictureError("BMP delta leaves the picture");
        }
        const int64_t newX = x + dx;
        for (int k = 0; k < dy; ++k) {
          emit();
        }
        x = newX;
        break;
      }
      default: {  // absolute run of `value` pixels, padded to a whole word
        room(value, "run");
        const int bytes = four ? (value + 1) / 2 : value;
        for (int k = 0; k < bytes; ++k) {
          const uint8_t b = data.Next();
          if (four) {
            row[static_cast<size_t>(x++)] = static_cast<uint8_t>(b >> 4);
            if (2 * k + 1 < value) {
              row[static_cast<size_t>(x++)] = static_cast<uint8_t>(b & 15);
            }
          } else {
            row[static_cast<size_t>(x++)] = b;
          }
        }
        if (bytes % 2 != 0) {
          data.Next();
        }
        break;
      }
    }
  }
}

}  // namespace

void ReadBmp(Input& in, int64_t maxPixels, const PicturePrepare& prepare) {
  const ByteReader& head = in.Head();
  if (head.U16(0, "BMP signature") != 0x4D42) {
    throw PictureError("not a BMP file");
  }
  const uint32_t dataOffset = head.U32(10, "BMP data offset");
  const Header h = ReadHeader(head, maxPixels);
  // Pixels that start inside the headers would read them as the picture's rows.
  if (dataOffset < h.headersEnd) {
    throw PictureError("malformed BMP: pixel data at byte " + std::to_string(dataOffset) +
                       " starts inside its headers and colour table, which end at byte " +
                       std::to_string(h.headersEnd));
  }
  if (h.compression == kBiRle8 || h.compression == kBiRle4) {
    return ReadRle(in, h, dataOffset, prepare);
  }
  const int64_t stride = DibStride(h.width, h.bits);
  // For a file we can measure, all rows must be present before anything is allocated.
  if (const auto size = in.KnownSize()) {
    const uint64_t need = static_cast<uint64_t>(stride * h.height);
    if (dataOffset > *size || need > *size - dataOffset) {
      throw PictureError("truncated file: BMP pixel data is missing");
    }
  }
  if (h.bits <= 8) {
    Sink sink(Describe(head, h, h.bits), prepare);
    ForEachRow(in, h, dataOffset, [&](int64_t top, const uint8_t* src) { sink.Packed(top, src); });
  } else if (h.bits == 24) {
    Sink sink(Describe(head, h, 24), prepare);
    ForEachRow(in, h, dataOffset, [&](int64_t top, const uint8_t* src) { sink.Bgr(top, src); });
  } else {
    ReadDirect(in, h, dataOffset, prepare);
  }
}

}  // namespace okuva::picture_detail
