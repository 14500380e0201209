// BMP files: BITMAPCOREHEADER (12 bytes) and BITMAPINFOHEADER with its later
// extensions (40, 52, 56, 108, 124 bytes); 1, 4, 8, 24 bits BI_RGB; 16 and 32 bits
// BI_RGB or BI_BITFIELDS. Compressed kinds (RLE, embedded JPEG/PNG) are refused.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/picture/picture_internal.h"

namespace okuva::picture_detail {

namespace {

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;

// One channel of a BI_BITFIELDS mask: where it starts and how many bits it has.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  int width = 0;

  static Channel Of(uint32_t mask) {
    Channel c;
    c.mask = mask;
    if (mask == 0) return c;
    while (((mask >> c.shift) & 1u) == 0) ++c.shift;
    while (c.shift + c.width < 32 && ((mask >> (c.shift + c.width)) & 1u) != 0) ++c.width;
    if ((mask >> c.shift) != (c.width == 32 ? ~0u : (1u << c.width) - 1u)) {
      throw PictureError("BMP colour mask is not one run of bits");
    }
    return c;
  }
  // The channel of a pixel widened or narrowed to 0..255.
  uint32_t Extract(uint32_t pixel) const {
    if (width == 0) return 0;
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
  uint64_t tableOffset = 0;
  uint32_t tableEntrySize = 4;
  uint32_t masks[3] = {0, 0, 0};  // red, green, blue
};

Header ReadHeader(const ByteReader& in, int64_t maxPixels) {
  Header h;
  const uint32_t headerSize = in.U32(kFileHeaderSize, "BMP header size");
  const uint64_t infoStart = kFileHeaderSize;
  if (headerSize == kCoreHeaderSize) {
    h.width = in.U16(infoStart + 4, "BMP width");
    h.height = in.U16(infoStart + 6, "BMP height");
    if (in.U16(infoStart + 8, "BMP planes") != 1) throw PictureError("BMP planes field is not 1");
    h.bits = in.U16(infoStart + 10, "BMP bit count");
    h.tableEntrySize = 3;
  } else if (headerSize >= kInfoHeaderSize && headerSize <= 4096) {
    h.width = in.I32(infoStart + 4, "BMP width");
    const int64_t height = in.I32(infoStart + 8, "BMP height");
    h.topDown = height < 0;
    h.height = height < 0 ? -height : height;
    if (in.U16(infoStart + 12, "BMP planes") != 1) throw PictureError("BMP planes field is not 1");
    h.bits = in.U16(infoStart + 14, "BMP bit count");
    h.compression = in.U32(infoStart + 16, "BMP compression");
    h.colourCount = in.U32(infoStart + 32, "BMP colour count");
  } else {
    throw PictureError("unknown BMP header size " + std::to_string(headerSize));
  }
  in.Need(infoStart, headerSize, "BMP header");
  h.tableOffset = infoStart + headerSize;

  switch (h.bits) {
    case 1:
    case 4:
    case 8:
    case 24:
      if (h.compression != kBiRgb) {
        throw PictureError("compressed BMP files are not supported (compression " +
                           std::to_string(h.compression) + ")");
      }
      break;
    case 16:
    case 32:
      if (h.compression != kBiRgb && h.compression != kBiBitfields) {
        throw PictureError("compressed BMP files are not supported (compression " +
                           std::to_string(h.compression) + ")");
      }
      break;
    default:
      throw PictureError("BMP depth of " + std::to_string(h.bits) + " bits is not supported");
  }
  CheckSize(h.width, h.height, maxPixels);

  if (h.bits <= 8) {
    const uint32_t full = 1u << h.bits;
    // 0 means the full table; a larger count than the depth can index is clamped.
    if (h.colourCount == 0 || h.colourCount > full) h.colourCount = full;
    in.Need(h.tableOffset, uint64_t{h.colourCount} * h.tableEntrySize, "BMP colour table");
  } else if (h.compression == kBiBitfields) {
    // The three masks follow a 40-byte header, or are its extension's first fields.
    for (int i = 0; i < 3; ++i) h.masks[i] = in.U32(infoStart + kInfoHeaderSize + 4 * i, "BMP colour masks");
  } else if (h.bits == 16) {
    h.masks[0] = 0x7C00;
    h.masks[1] = 0x03E0;
    h.masks[2] = 0x001F;
  } else {
    h.masks[0] = 0x00FF0000;
    h.masks[1] = 0x0000FF00;
    h.masks[2] = 0x000000FF;
  }
  return h;
}

// The picture's rows in file order, each checked to lie inside the file.
struct Rows {
  const ByteReader& in;
  uint64_t start;
  int64_t stride;
  const uint8_t* FileRow(int64_t i) const {
    return in.At(start + static_cast<uint64_t>(i * stride), static_cast<uint64_t>(stride), "BMP pixel row");
  }
};

StdPicture DecodePalette(const ByteReader& in, const Header& h, const Rows& rows) {
  gdi::RGBQUAD table[256]{};
  for (uint32_t i = 0; i < h.colourCount; ++i) {
    const uint8_t* e = in.At(h.tableOffset + uint64_t{i} * h.tableEntrySize, 3, "BMP colour table");
    table[i] = gdi::RGBQUAD{e[0], e[1], e[2], 0};
  }
  uint8_t* bits = nullptr;
  StdPicture picture = MakeDibSection(static_cast<int32_t>(h.width), static_cast<int32_t>(h.height),
                                      h.bits, table, h.colourCount, &bits);
  const int64_t stride = DibStride(h.width, h.bits);
  const bool shortTable = h.colourCount < (1u << h.bits);
  const uint32_t indexMask = (1u << h.bits) - 1u;
  for (int64_t i = 0; i < h.height; ++i) {
    const uint8_t* src = rows.FileRow(i);
    if (shortTable) {
      for (int64_t x = 0; x < h.width; ++x) {
        const int64_t bit = x * h.bits;
        const uint32_t index = (src[bit / 8] >> (8 - h.bits - bit % 8)) & indexMask;
        if (index >= h.colourCount) {
          throw PictureError("BMP pixel uses colour " + std::to_string(index) +
                             " of a table with " + std::to_string(h.colourCount) + " entries");
        }
      }
    }
    // The section is bottom-up: file row i lands at stored row i for a bottom-up
    // file and at the mirrored row for a top-down one.
    const int64_t stored = h.topDown ? h.height - 1 - i : i;
    std::memcpy(bits + stored * stride, src, static_cast<size_t>(stride));
  }
  return picture;
}

StdPicture Decode24(const Header& h, const Rows& rows) {
  uint8_t* bits = nullptr;
  StdPicture picture = MakeDibSection(static_cast<int32_t>(h.width), static_cast<int32_t>(h.height),
                                      24, nullptr, 0, &bits);
  const int64_t stride = DibStride(h.width, 24);
  for (int64_t i = 0; i < h.height; ++i) {
    const int64_t stored = h.topDown ? h.height - 1 - i : i;
    std::memcpy(bits + stored * stride, rows.FileRow(i), static_cast<size_t>(stride));
  }
  return picture;
}

// 16- and 32-bit files become device-dependent bitmaps: 5-5-5 files stay 16 bits;
// any other 16-bit layout (5-6-5 and the like) becomes 32 bits so no bit is lost.
StdPicture DecodeDirect(const Header& h, const Rows& rows) {
  const Channel red = Channel::Of(h.masks[0]);
  const Channel green = Channel::Of(h.masks[1]);
  const Channel blue = Channel::Of(h.masks[2]);
  if ((red.mask & green.mask) != 0 || (red.mask & blue.mask) != 0 || (green.mask & blue.mask) != 0) {
    throw PictureError("BMP colour masks overlap");
  }
  if (h.bits == 16 && (red.mask | green.mask | blue.mask) > 0xFFFF) {
    throw PictureError("BMP colour mask wider than a 16-bit pixel");
  }
  const bool is555 = h.bits == 16 && red.mask == 0x7C00 && green.mask == 0x03E0 && blue.mask == 0x001F;
  const int outBits = is555 ? 16 : 32;
  const int64_t outStride = h.width * (outBits / 8);  // already a multiple of 2
  std::vector<uint8_t> out(static_cast<size_t>(outStride * h.height));
  for (int64_t i = 0; i < h.height; ++i) {
    const uint8_t* src = rows.FileRow(i);
    // CreateBitmap takes top-down rows.
    const int64_t y = h.topDown ? i : h.height - 1 - i;
    uint8_t* dst = out.data() + y * outStride;
    if (is555) {
      for (int64_t x = 0; x < h.width; ++x) {
        dst[2 * x] = src[2 * x];
        dst[2 * x + 1] = static_cast<uint8_t>(src[2 * x + 1] & 0x7F);
      }
      continue;
    }
    for (int64_t x = 0; x < h.width; ++x) {
      uint32_t pixel = 0;
      if (h.bits == 16) {
        pixel = static_cast<uint32_t>(src[2 * x] | src[2 * x + 1] << 8);
      } else {
        const uint8_t* p = src + 4 * x;
        pixel = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
      }
      dst[4 * x] = static_cast<uint8_t>(blue.Extract(pixel));
      dst[4 * x + 1] = static_cast<uint8_t>(green.Extract(pixel));
      dst[4 * x + 2] = static_cast<uint8_t>(red.Extract(pixel));
      dst[4 * x + 3] = 0;
    }
  }
  StdPicture picture(gdi::CreateBitmap(static_cast<int32_t>(h.width), static_cast<int32_t>(h.height), 1,
                                       static_cast<uint32_t>(outBits), out.data()));
  if (!picture) {
    throw PictureError("not enough memory for a " + std::to_string(h.width) + " x " +
                       std::to_string(h.height) + " picture");
  }
  return picture;
}

}  // namespace

StdPicture DecodeBmp(std::span<const uint8_t> bytes, int64_t maxPixels) {
  const ByteReader in(bytes);
  if (in.U16(0, "BMP signature") != 0x4D42) throw PictureError("not a BMP file");
  const uint32_t dataOffset = in.U32(10, "BMP data offset");
  const Header h = ReadHeader(in, maxPixels);
  const int64_t stride = DibStride(h.width, h.bits);
  // All rows must be present before anything is allocated for them.
  in.Need(dataOffset, static_cast<uint64_t>(stride * h.height), "BMP pixel data");
  const Rows rows{in, dataOffset, stride};
  if (h.bits <= 8) return DecodePalette(in, h, rows);
  if (h.bits == 24) return Decode24(h, rows);
  return DecodeDirect(h, rows);
}

}  // namespace okuva::picture_detail
