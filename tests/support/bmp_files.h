// BMP files built byte by byte, for tests that feed readers and tools exact input.
#pragma once

#include <cstdint>
#include <vector>

namespace okuva::testing {

// Little-endian fields.
inline void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// The fields every builder below writes; what is not named here is zero.
struct BmpHeaderFields {
  uint32_t offset = 54;    // where the pixels start
  uint32_t dataSize = 0;   // bytes of pixels (the file size is offset + dataSize)
  uint32_t headerSize = 40;
  int32_t width = 0;
  int32_t height = 0;      // negative: top-down
  uint16_t bits = 24;
  uint32_t compression = 0;
  uint32_t imageSize = 0;
  uint32_t clrUsed = 0;
};

// The 14-byte file header and the 40 bytes of the info header's fields.
inline void PutBmpHeaders(std::vector<uint8_t>& out, const BmpHeaderFields& f) {
  Put16(out, 0x4D42);
  Put32(out, f.offset + f.dataSize);
  Put32(out, 0);
  Put32(out, f.offset);
  Put32(out, f.headerSize);
  Put32(out, static_cast<uint32_t>(f.width));
  Put32(out, static_cast<uint32_t>(f.height));
  Put16(out, 1);
  Put16(out, f.bits);
  for (uint32_t v : {f.compression, f.imageSize, 0u, 0u, f.clrUsed, 0u}) {
    Put32(out, v);
  }
}

struct BmpSpec {
  int32_t width = 0;
  int32_t height = 0;  // negative: top-down
  uint16_t bits = 24;
  uint32_t compression = 0;
  std::vector<uint32_t> table;  // 0xRRGGBB entries
  uint32_t clrUsed = 0;         // written as given
  std::vector<uint32_t> masks;  // BI_BITFIELDS masks after the header
  uint32_t imageSize = 0;       // written as given
  // Rows in file order, each unpadded; padding is added here.
  std::vector<std::vector<uint8_t>> rows;
};

inline std::vector<uint8_t> MakeBmp(const BmpSpec& s) {
  const uint32_t stride = (static_cast<uint32_t>(s.width) * s.bits + 31) / 32 * 4;
  const uint32_t offset = 14 + 40 + static_cast<uint32_t>(s.masks.size() * 4 + s.table.size() * 4);
  BmpHeaderFields f;
  f.offset = offset;
  f.dataSize = stride * static_cast<uint32_t>(s.rows.size());
  f.width = s.width;
  f.height = s.height;
  f.bits = s.bits;
  f.compression = s.compression;
  f.imageSize = s.imageSize;
  f.clrUsed = s.clrUsed;
  std::vector<uint8_t> out;
  PutBmpHeaders(out, f);
  for (uint32_t m : s.masks) {
    Put32(out, m);
  }
  for (uint32_t c : s.table) {
    Put32(out, c);
  }
  for (const auto& row : s.rows) {
    std::vector<uint8_t> padded = row;
    padded.resize(stride, 0);
    out.insert(out.end(), padded.begin(), padded.end());
  }
  return out;
}

// A run-length BMP (RLE8 for 8 bits, RLE4 for 4) with its table and encoded data.
inline std::vector<uint8_t> MakeRleBmp(int32_t width, int32_t height, uint16_t bits,
                                       const std::vector<uint32_t>& table,
                                       const std::vector<uint8_t>& data) {
  BmpHeaderFields f;
  f.offset = static_cast<uint32_t>(14 + 40 + 4 * table.size());
  f.dataSize = static_cast<uint32_t>(data.size());
  f.width = width;
  f.height = height;
  f.bits = bits;
  f.compression = bits == 8 ? 1u : 2u;
  f.imageSize = f.dataSize;
  f.clrUsed = static_cast<uint32_t>(table.size());
  std::vector<uint8_t> out;
  PutBmpHeaders(out, f);
  for (uint32_t c : table) {
    Put32(out, c);
  }
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// A BMP with a header of `headerSize` bytes: the 40-byte fields, then `extra` words
// (masks and the like), zeros to the header's end, a 4-byte table and the rows as given.
inline std::vector<uint8_t> InfoBmp(uint32_t headerSize, int32_t w, int32_t h, uint16_t bits,
                                    uint32_t compression, const std::vector<uint32_t>& extra,
                                    const std::vector<uint32_t>& table,
                                    const std::vector<uint8_t>& pixels) {
  BmpHeaderFields f;
  f.offset = static_cast<uint32_t>(14 + headerSize + 4 * table.size());
  f.dataSize = static_cast<uint32_t>(pixels.size());
  f.headerSize = headerSize;
  f.width = w;
  f.height = h;
  f.bits = bits;
  f.compression = compression;
  f.clrUsed = static_cast<uint32_t>(table.size());
  std::vector<uint8_t> v;
  PutBmpHeaders(v, f);
  for (uint32_t word : extra) {
    Put32(v, word);
  }
  v.resize(14 + headerSize, 0);
  for (uint32_t c : table) {
    Put32(v, c);
  }
  v.insert(v.end(), pixels.begin(), pixels.end());
  return v;
}

}  // namespace okuva::testing
