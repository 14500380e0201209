// Writing bitmaps as BMP, PNG (through libpng's memory writer) and binary PNM. Pixels are read
// through GetDIBits, so any bitmap of the raster layer (DIB section or device-dependent) can be
// written.
#include <png.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/gdi/memory_dc.h"
#include "platform/picture/picture_internal.h"
#include "platform/runtime/error.h"

namespace okuva {

namespace {

using picture_detail::DibStride;

constexpr int32_t kPixelsPerMetre72Dpi = 2835;

gdi::BITMAP DescribeOrRaise(gdi::HBITMAP bitmap) {
  gdi::BITMAP bm{};
  if (bitmap == 0 || gdi::GetObjectA(bitmap, sizeof bm, &bm) == 0 || bm.bmWidth <= 0 ||
      bm.bmHeight == 0) {
    Raise(kErrInvalidCall);  // not a bitmap of the raster layer
  }
  if (bm.bmHeight < 0) {
    bm.bmHeight = -bm.bmHeight;
  }
  return bm;
}

// The bitmap's pixels in `bits` per pixel; rows bottom-up unless topDown. For palette
// depths bmi receives the bitmap's own colour table.
std::vector<uint8_t> ReadPixels(gdi::HBITMAP bitmap, const gdi::BITMAP& bm, int bits, bool topDown,
                                gdi::BITMAPINFO& bmi) {
  bmi = gdi::BITMAPINFO{};
  bmi.bmiHeader = gdi::DibHeader(bm.bmWidth, topDown ? -bm.bmHeight : bm.bmHeight, bits);
  std::vector<uint8_t> pixels(static_cast<size_t>(DibStride(bm.bmWidth, bits) * bm.bmHeight));
  const gdi::MemoryDc dc(0);
  if (dc.Dc() == 0 || gdi::GetDIBits(dc.Dc(), bitmap, 0, static_cast<uint32_t>(bm.bmHeight),
                                     pixels.data(), &bmi, gdi::DIB_RGB_COLORS) != bm.bmHeight) {
    throw PictureError("could not read the picture's pixels");
  }
  return pixels;
}

// How many colour-table entries a palette bitmap has: read through a DC when the
// bitmap can be selected, else the full table its depth can index.
uint32_t ColourCount(gdi::HBITMAP bitmap, int bits) {
  const uint32_t full = 1u << bits;
  gdi::MemoryDc dc(0);
  if (dc.Dc() == 0) {
    return full;
  }
  if (!dc.Select(bitmap, gdi::MemoryDc::kBorrowed)) {
    return full;  // selected in another DC
  }
  gdi::RGBQUAD table[256];
  const uint32_t count = gdi::GetDIBColorTable(dc.Dc(), 0, full, table);
  return count == 0 || count > full ? full : count;
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

}  // namespace

std::vector<uint8_t> EncodeBmp(gdi::HBITMAP bitmap) {
  const gdi::BITMAP bm = DescribeOrRaise(bitmap);
  int bits = bm.bmBitsPixel;
  if (bits == 16) {
    bits = 24;
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) {
    throw PictureError("cannot write a " + std::to_string(bits) + "-bit picture as BMP");
  }
  const uint32_t colours = bits <= 8 ? ColourCount(bitmap, bits) : 0;
  gdi::BITMAPINFO bmi;
  const std::vector<uint8_t> pixels = ReadPixels(bitmap, bm, bits, false, bmi);

  const uint64_t headers = 14 + 40 + uint64_t{colours} * 4;
  const uint64_t fileSize = headers + pixels.size();
  if (fileSize > 0xFFFFFFFFu) {
    throw PictureError("picture too large for a BMP file");
  }
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(fileSize));
  // BITMAPFILEHEADER
  Put16(out, 0x4D42);  // "BM"
  Put32(out, static_cast<uint32_t>(fileSize));
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(headers));
  // BITMAPINFOHEADER, bottom-up rows
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(bm.bmWidth));
  Put32(out, static_cast<uint32_t>(bm.bmHeight));
  Put16(out, 1);
  Put16(out, static_cast<uint32_t>(bits));
  Put32(out, gdi::BI_RGB);
  Put32(out, static_cast<uint32_t>(pixels.size()));
  Put32(out, kPixelsPerMetre72Dpi);
  Put32(out, kPixelsPerMetre72Dpi);
  Put32(out, colours);
  Put32(out, 0);
  for (uint32_t i = 0; i < colours; ++i) {
    const gdi::RGBQUAD& q = bmi.bmiColors[i];
    out.insert(out.end(), {q.rgbBlue, q.rgbGreen, q.rgbRed, uint8_t{0}});
  }
  out.insert(out.end(), pixels.begin(), pixels.end());
  return out;
}

std::vector<uint8_t> EncodePnm(gdi::HBITMAP bitmap, bool grey) {
  const gdi::BITMAP bm = DescribeOrRaise(bitmap);
  gdi::BITMAPINFO bmi;
  const std::vector<uint8_t> pixels = ReadPixels(bitmap, bm, 24, true, bmi);
  const std::string header = std::string(grey ? "P5" : "P6") + "\n" + std::to_string(bm.bmWidth) +
                             " " + std::to_string(bm.bmHeight) + "\n255\n";
  const size_t width = static_cast<size_t>(bm.bmWidth);
  const size_t height = static_cast<size_t>(bm.bmHeight);
  const size_t stride = static_cast<size_t>(DibStride(bm.bmWidth, 24));
  std::vector<uint8_t> out(header.begin(), header.end());
  out.reserve(header.size() + width * height * (grey ? 1 : 3));
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* row = pixels.data() + y * stride;
    for (size_t x = 0; x < width; ++x) {
      const uint32_t b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2];
      if (grey) {
        // Rec. 601 luma, rounded; a grey pixel keeps its exact level.
        out.push_back(static_cast<uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000));
      } else {
        out.insert(out.end(),
                   {static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)});
      }
    }
  }
  return out;
}

std::vector<uint8_t> EncodePng(gdi::HBITMAP bitmap) {
  const gdi::BITMAP bm = DescribeOrRaise(bitmap);
  const int bits = bm.bmBitsPixel;
  const auto width = static_cast<size_t>(bm.bmWidth);
  const auto height = static_cast<size_t>(bm.bmHeight);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  std::vector<uint8_t> samples;
  std::vector<uint8_t> colormap;
  gdi::BITMAPINFO bmi;
  if (bits == 1 || bits == 4 || bits == 8) {
    const uint32_t tableSize = ColourCount(bitmap, bits);
    const std::vector<uint8_t> pixels = ReadPixels(bitmap, bm, bits, true, bmi);
    const size_t stride = static_cast<size_t>(DibStride(bm.bmWidth, bits));
    samples.resize(width * height);
    const uint32_t mask = (1u << bits) - 1u;
    uint32_t highest = 0;
    for (size_t y = 0; y < height; ++y) {
      const uint8_t* row = pixels.data() + y * stride;
      for (size_t x = 0; x < width; ++x) {
        const size_t bit = x * static_cast<size_t>(bits);
        const auto index = static_cast<uint8_t>((row[bit / 8] >> (8 - bits - bit % 8)) & mask);
        samples[y * width + x] = index;
        highest = std::max<uint32_t>(highest, index);
      }
    }
    bool greyRamp = bits == 8 && tableSize == 256;
    for (uint32_t i = 0; greyRamp && i < 256; ++i) {
      const gdi::RGBQUAD& q = bmi.bmiColors[i];
      greyRamp = q.rgbRed == i && q.rgbGreen == i && q.rgbBlue == i;
    }
    if (greyRamp) {
      image.format = PNG_FORMAT_GRAY;
    } else {
      // An index past a short table reads as black in the raster layer; keep it so.
      const uint32_t colours = std::max(tableSize, highest + 1);
      colormap.resize(size_t{colours} * 3, 0);
      for (uint32_t i = 0; i < tableSize; ++i) {
        const gdi::RGBQUAD& q = bmi.bmiColors[i];
        colormap[3 * i] = q.rgbRed;
        colormap[3 * i + 1] = q.rgbGreen;
        colormap[3 * i + 2] = q.rgbBlue;
      }
      image.format = PNG_FORMAT_RGB_COLORMAP;
      image.colormap_entries = colours;
    }
  } else {
    const std::vector<uint8_t> pixels = ReadPixels(bitmap, bm, 24, true, bmi);
    const size_t stride = static_cast<size_t>(DibStride(bm.bmWidth, 24));
    samples.resize(width * height * 3);
    for (size_t y = 0; y < height; ++y) {
      std::memcpy(samples.data() + y * width * 3, pixels.data() + y * stride, width * 3);
    }
    image.format = PNG_FORMAT_BGR;
  }
  const png_int_32 rowStride = static_cast<png_int_32>(PNG_IMAGE_ROW_STRIDE(image));
  png_alloc_size_t size = 0;
  if (png_image_write_to_memory(&image, nullptr, &size, 0, samples.data(), rowStride,
                                colormap.empty() ? nullptr : colormap.data()) == 0) {
    throw PictureError(std::string("could not write the picture as PNG: ") + image.message);
  }
  std::vector<uint8_t> out(size);
  if (png_image_write_to_memory(&image, out.data(), &size, 0, samples.data(), rowStride,
                                colormap.empty() ? nullptr : colormap.data()) == 0) {
    throw PictureError(std::string("could not write the picture as PNG: ") + image.message);
  }
  out.resize(size);
  return out;
}

}  // namespace okuva
