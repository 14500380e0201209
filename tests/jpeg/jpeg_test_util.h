// Helpers of the encoder tests: a 24-bit DIB section in a memory device context as the
// sampling source, decoding with libjpeg-turbo, PSNR and a marker-segment parser.
#pragma once

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/gdi/memory_dc.h"

namespace okuva::jpeg::test {

// A width x height 24-bit bottom-up DIB selected in a memory DC of its own.
class Dib {
public:
  Dib(int32_t width, int32_t height) : width_(width), height_(height) {
    dc_ = gdi::CreateCompatibleDC(0);
    const gdi::BITMAPINFOHEADER bih = gdi::DibHeader(width, height, 24);
    void* bits = nullptr;
    bitmap_ = gdi::CreateDIBSection(dc_, &bih, gdi::DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<uint8_t*>(bits);
    stride_ = (3 * width + 3) & ~3;
    previous_ = gdi::SelectObject(dc_, bitmap_);
  }
  ~Dib() {
    gdi::SelectObject(dc_, previous_);
    gdi::DeleteObject(bitmap_);
    gdi::DeleteDC(dc_);
  }
  Dib(const Dib&) = delete;
  Dib& operator=(const Dib&) = delete;

  bool Ok() const { return dc_ != 0 && bitmap_ != 0 && bits_ != nullptr; }
  gdi::HDC Dc() const { return dc_; }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  // Pixel (x, y) counted from the top: bytes blue, green, red.
  uint8_t* At(int32_t x, int32_t y) {
    return bits_ + static_cast<size_t>(height_ - 1 - y) * static_cast<size_t>(stride_) + 3 * x;
  }
  const uint8_t* At(int32_t x, int32_t y) const {
    return bits_ + static_cast<size_t>(height_ - 1 - y) * static_cast<size_t>(stride_) + 3 * x;
  }
  void Fill(const std::function<void(int32_t x, int32_t y, uint8_t* bgr)>& f) {
    for (int32_t y = 0; y < height_; ++y) {
      for (int32_t x = 0; x < width_; ++x) {
        f(x, y, At(x, y));
      }
    }
  }
  // A photograph-like test picture: smooth gradients, a few edges and mild texture.
  void FillPhoto(uint32_t seed = 1) {
    uint32_t state = seed * 2654435761u + 1;
    Fill([&](int32_t x, int32_t y, uint8_t* p) {
      state = state * 1664525u + 1013904223u;
      const int noise = static_cast<int>((state >> 24) % 9) - 4;
      const double fx = static_cast<double>(x) / (width_ > 1 ? width_ - 1 : 1);
      const double fy = static_cast<double>(y) / (height_ > 1 ? height_ - 1 : 1);
      const bool disc = (fx - 0.6) * (fx - 0.6) + (fy - 0.4) * (fy - 0.4) < 0.05;
      const double r = 60 + 150 * fx + (disc ? 40 : 0) + 20 * std::sin(fy * 9);
      const double g = 40 + 170 * fy - (disc ? 30 : 0);
      const double b = 200 - 120 * fx * fy + 25 * std::cos(fx * 7);
      const auto clamp = [](double v) {
        return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      };
      p[0] = clamp(b + noise);
      p[1] = clamp(g + noise);
      p[2] = clamp(r + noise);
    });
  }

private:
  int32_t width_;
  int32_t height_;
  gdi::HDC dc_ = 0;
  gdi::HBITMAP bitmap_ = 0;
  gdi::HGDIOBJ previous_ = 0;
  uint8_t* bits_ = nullptr;
  int32_t stride_ = 0;
};

struct Decoded {
  bool ok = false;
  std::string error;
  int width = 0;
  int height = 0;
  int components = 0;
  std::vector<uint8_t> pixels;  // RGB, or grey when decoded as grey
};

namespace detail {
struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};
inline void OnError(j_common_ptr cinfo) {
  auto* e = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, e->message);
  longjmp(e->jump, 1);
}
// Keeps the text of the first warning instead of printing it; the default
// emit_message still counts every warning in num_warnings.
inline void OnOutput(j_common_ptr cinfo) {
  auto* e = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (e->message[0] == 0) {
    (*cinfo->err->format_message)(cinfo, e->message);
  }
}
}  // namespace detail

namespace detail {
// The libjpeg part of Decode; no C++ object is created or changed between setjmp and
// a possible longjmp. The pixels come back in a malloc'ed buffer (*pixels).
inline bool DecompressRaw(const std::vector<uint8_t>& jpeg, bool grey, unsigned char** pixels,
                          int* width, int* height, int* components, long* warnings, char* message) {
  jpeg_decompress_struct cinfo{};
  ErrorManager err{};
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnError;
  err.pub.output_message = OnOutput;
  if (setjmp(err.jump) != 0) {
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
  cinfo.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&cinfo);
  *width = static_cast<int>(cinfo.output_width);
  *height = static_cast<int>(cinfo.output_height);
  *components = cinfo.num_components;
  const size_t rowBytes =
      static_cast<size_t>(cinfo.output_width) * static_cast<size_t>(cinfo.output_components);
  *pixels = static_cast<unsigned char*>(malloc(rowBytes * cinfo.output_height + 1));
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = *pixels + rowBytes * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  *warnings = err.pub.num_warnings;
  std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
  jpeg_destroy_decompress(&cinfo);
  return true;
}
}  // namespace detail

// Decodes with libjpeg-turbo's libjpeg API (accurate integer IDCT). A stream that
// raises any warning (premature end, corrupt data, extraneous bytes) counts as failed.
inline Decoded Decode(const std::vector<uint8_t>& jpeg, bool grey) {
  Decoded d;
  unsigned char* pixels = nullptr;
  long warnings = 0;
  char message[JMSG_LENGTH_MAX] = {};
  const bool ok = detail::DecompressRaw(jpeg, grey, &pixels, &d.width, &d.height, &d.components,
                                        &warnings, message);
  if (pixels != nullptr) {
    const size_t bytes = static_cast<size_t>(d.width) * static_cast<size_t>(d.height) *
                         static_cast<size_t>(grey ? 1 : 3);
    if (ok) {
      d.pixels.assign(pixels, pixels + bytes);
    }
    free(pixels);
  }
  if (!ok) {
    d.error = std::string("error: ") + message;
  } else if (warnings != 0) {
    d.error = std::string("warning: ") + message;
  } else {
    d.ok = true;
  }
  return d;
}

// PSNR of a colour decode against the source's RGB, or of a grey decode against the
// source's luminance.
inline double Psnr(const Dib& src, const Decoded& d, bool grey) {
  double sum = 0;
  size_t n = 0;
  for (int32_t y = 0; y < src.Height(); ++y) {
    for (int32_t x = 0; x < src.Width(); ++x) {
      const uint8_t* p = src.At(x, y);
      const size_t i =
          static_cast<size_t>(y) * static_cast<size_t>(d.width) + static_cast<size_t>(x);
      if (grey) {
        const double lum = 0.299 * p[2] + 0.587 * p[1] + 0.114 * p[0];
        const double e = lum - d.pixels[i];
        sum += e * e;
        ++n;
      } else {
        for (int c = 0; c < 3; ++c) {
          const double e = static_cast<double>(p[2 - c]) - d.pixels[3 * i + static_cast<size_t>(c)];
          sum += e * e;
          ++n;
        }
      }
    }
  }
  const double mse = sum / static_cast<double>(n);
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

struct Segment {
  uint8_t marker = 0;
  size_t offset = 0;              // of the FF byte
  std::vector<uint8_t> bytes;     // the whole segment, marker included
  size_t entropyBytes = 0;        // SOS only: coded bytes that follow it
};

// Splits a stream into its marker segments; the entropy-coded data after each SOS is
// skipped (stuffed FF 00 pairs included). Empty on a malformed stream.
inline std::vector<Segment> Segments(const std::vector<uint8_t>& s) {
  std::vector<Segment> out;
  size_t i = 0;
  while (i + 1 < s.size()) {
    if (s[i] != 0xFF) {
      return {};
    }
    Segment seg;
    seg.marker = s[i + 1];
    seg.offset = i;
    if (seg.marker == 0xD8 || seg.marker == 0xD9) {
      seg.bytes = {s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(i) + 2};
      out.push_back(seg);
      i += 2;
      continue;
    }
    if (i + 3 >= s.size()) {
      return {};
    }
    const size_t len = size_t{s[i + 2]} << 8 | s[i + 3];
    if (i + 2 + len > s.size()) {
      return {};
    }
    seg.bytes = {s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(i + 2 + len)};
    i += 2 + len;
    if (seg.marker == 0xDA) {
      const size_t start = i;
      while (i + 1 < s.size() && !(s[i] == 0xFF && s[i + 1] != 0x00)) {
        i += s[i] == 0xFF ? 2 : 1;
      }
      seg.entropyBytes = i - start;
    }
    out.push_back(seg);
  }
  return out;
}

}  // namespace okuva::jpeg::test

namespace okuva::jpeg::test {

// libjpeg-turbo encoding the same RGB pixels with the same quantization tables
// (natural order), sampling factors and scan grouping, float DCT and optimized
// Huffman tables: the yardstick for quality and size.
struct ReferenceSettings {
  int components = 3;
  int h[3] = {2, 1, 1};
  int v[3] = {2, 1, 1};
  unsigned int luma[64] = {};    // natural order
  unsigned int chroma[64] = {};  // natural order
  std::vector<std::pair<int, int>> scans;  // component ranges of the scans
};

namespace detail {
// The libjpeg part of ReferenceEncode; no C++ object is created or changed between
// setjmp and a possible longjmp. False on a libjpeg error; *out is then freed.
inline bool ReferenceCompress(const uint8_t* rgb, int width, int height, const ReferenceSettings& s,
                              jpeg_scan_info* script, unsigned char** out, unsigned long* outSize) {
  jpeg_compress_struct cinfo{};
  ErrorManager err{};
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnError;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    free(*out);
    *out = nullptr;
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, out, outSize);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, s.components == 1 ? JCS_GRAYSCALE : JCS_YCbCr);
  for (int c = 0; c < s.components; ++c) {
    cinfo.comp_info[c].h_samp_factor = s.h[c];
    cinfo.comp_info[c].v_samp_factor = s.v[c];
  }
  jpeg_add_quant_table(&cinfo, 0, s.luma, 100, TRUE);
  jpeg_add_quant_table(&cinfo, 1, s.chroma, 100, TRUE);
  cinfo.dct_method = JDCT_FLOAT;
  cinfo.optimize_coding = TRUE;
  if (!s.scans.empty()) {
    cinfo.scan_info = script;
    cinfo.num_scans = static_cast<int>(s.scans.size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  while (cinfo.next_scanline < cinfo.image_height) {
    auto row = const_cast<JSAMPROW>(rgb + rowBytes * cinfo.next_scanline);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}
}  // namespace detail

inline std::vector<uint8_t> ReferenceEncode(const uint8_t* rgb, int width, int height,
                                            const ReferenceSettings& s) {
  std::vector<jpeg_scan_info> script(s.scans.size());
  for (size_t k = 0; k < s.scans.size(); ++k) {
    jpeg_scan_info& si = script[k];
    si.comps_in_scan = s.scans[k].second - s.scans[k].first + 1;
    for (int j = 0; j < si.comps_in_scan; ++j) {
      si.component_index[j] = s.scans[k].first + j;
    }
    si.Ss = 0;
    si.Se = 63;
    si.Ah = 0;
    si.Al = 0;
  }
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  if (!detail::ReferenceCompress(rgb, width, height, s, script.data(), &out, &outSize)) {
    return {};
  }
  std::vector<uint8_t> result(out, out + outSize);
  free(out);
  return result;
}

}  // namespace okuva::jpeg::test
