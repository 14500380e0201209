// PNG files through libpng, row by row straight into the destination: grey 1 to 16
// bits, palette, RGB 8 and 16, grey and RGB with alpha, interlaced or not. Alpha and
// tRNS are ignored (each pixel keeps its stored colour, as for 32-bit BMPs); 16-bit
// samples are rounded to 8. The declared size is checked before any pixel memory is
// taken, the stream may not run past what a picture of that size could need (optional
// chunks before the data included), and compressed data past the picture's last row is
// read no further than kSurplus bytes (a few milliseconds of inflating): a stream that
// runs on for longer is refused rather than inflated to its end.
//
// libpng reports errors by longjmp; every libpng call that may fail runs inside
// Guarded, whose frame and the callbacks' frames hold no object with a destructor.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/picture/picture_internal.h"

namespace okuva::picture_detail {

namespace {

struct PngState {
  Input* in = nullptr;
  uint64_t pos = 0;
  uint64_t limit = ~uint64_t{0};
  uint64_t rowsLeft = 0;  // rows libpng has still to decode, over every pass
  bool rowsDone = false;   // the last row is decoded; reading is up to surplusEnd
  uint64_t surplusEnd = 0;
  char message[256] = {};
};

void OnError(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(state->message, sizeof state->message, "%s", message);
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Reads `length` bytes through the Input, turning its refusals into a libpng error.
bool ReadSome(PngState* state, png_bytep data, size_t length) {
  try {
    if (state->rowsDone && length > state->surplusEnd - std::min(state->pos, state->surplusEnd)) {
      std::snprintf(state->message, sizeof state->message, "%s",
                    "PNG data runs on past its last row");
      return false;
    }
    if (length > state->limit - state->pos) {
      std::snprintf(state->message, sizeof state->message, "%s",
                    "PNG data runs past what its picture could need");
      return false;
    }
    const size_t got = state->in->TakeSome(state->pos, data, length);
    state->pos += got;
    if (got < length) {
      std::snprintf(state->message, sizeof state->message, "%s",
                    "truncated file: PNG data ends early");
    }
    return got == length;
  } catch (const PictureError& e) {
    std::snprintf(state->message, sizeof state->message, "%s", e.what());
    return false;
  }
}

void OnRead(png_structp png, png_bytep data, size_t length) {
  auto* state = static_cast<PngState*>(png_get_io_ptr(png));
  if (!ReadSome(state, data, length)) {
    png_longjmp(png, 1);
  }
}

// Called by libpng for each decoded row (of each pass) before it reaches the caller's
// buffer; after the last one no byte more is wanted.
constexpr uint64_t kSurplus = 16 * 1024;

void OnRowDecoded(png_structp png, png_row_infop, png_bytep) {
  auto* state = static_cast<PngState*>(png_get_io_ptr(png));
  if (state->rowsLeft > 0 && --state->rowsLeft == 0) {
    state->rowsDone = true;
    state->surplusEnd = state->pos + kSurplus;
  }
}

// At most 8 bytes a pixel (RGB with alpha, 16 bits) and a filter byte a row, twice over
// for deflate's worst case, and 16 MiB for metadata chunks.
uint64_t StreamLimit(uint64_t width, uint64_t height) {
  // Sides past the largest accepted are refused later; here they only must not overflow.
  width = std::min<uint64_t>(width, kMaxSide + 1);
  height = std::min<uint64_t>(height, kMaxSide + 1);
  return (uint64_t{16} << 20) + 2 * (uint64_t{8} * width + 1) * height;
}

template <typename Call>
bool Guarded(png_structp png, const Call& call) {
  if (setjmp(png_jmpbuf(png)) != 0) {
    return false;
  }
  call();
  return true;
}

class ReadStruct {
public:
  explicit ReadStruct(PngState* state)
      : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, state, OnError, OnWarning)),
        info_(png_ != nullptr ? png_create_info_struct(png_) : nullptr) {
    if (png_ == nullptr || info_ == nullptr) {
      throw PictureError("PNG decoder could not start");
    }
  }
  ReadStruct(const ReadStruct&) = delete;
  ReadStruct& operator=(const ReadStruct&) = delete;
  ~ReadStruct() { png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr); }
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

private:
  png_structp png_;
  png_infop info_;
};

}  // namespace

void ReadPng(Input& in, int64_t maxPixels, const PicturePrepare& prepare) {
  PngState state;
  state.in = &in;
  ReadStruct read(&state);
  png_structp png = read.png();
  png_infop info = read.info();
  const auto fail = [&](const char* doing) {
    throw PictureError(std::string(doing) + ": " + state.message);
  };
  png_set_read_fn(png, &state, OnRead);
  // The header comes first: its size bounds the whole stream, optional chunks before
  // the data included, before libpng reads any of them.
  const ByteReader& head = in.Head();
  if (head.Size() >= 24 && std::memcmp(head.At(12, 4, "PNG header"), "IHDR", 4) == 0) {
    const uint8_t* size = head.At(16, 8, "PNG header");
    const auto be32 = [](const uint8_t* p) {
      return uint64_t{p[0]} << 24 | uint64_t{p[1]} << 16 | uint64_t{p[2]} << 8 | p[3];
    };
    state.limit = StreamLimit(be32(size), be32(size + 4));
  }
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int depth = 0;
  int type = 0;
  int interlace = 0;
  if (!Guarded(png, [&] {
        png_read_info(png, info);
        png_get_IHDR(png, info, &width, &height, &depth, &type, &interlace, nullptr, nullptr);
      })) {
    fail("malformed PNG header");
  }
  CheckSize(width, height, maxPixels);

  PictureHeader header;
  header.width = static_cast<int32_t>(width);
  header.height = static_cast<int32_t>(height);
  const bool indexed = (type & PNG_COLOR_MASK_COLOR) == 0 || type == PNG_COLOR_TYPE_PALETTE;
  bool ok = true;
  if (type == PNG_COLOR_TYPE_PALETTE) {
    png_colorp palette = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &palette, &count) == 0 || count <= 0) {
      throw PictureError("malformed PNG: a palette picture without a palette");
    }
    header.bitsPerPixel = depth == 1 ? 1 : depth <= 4 ? 4 : 8;
    header.colourCount = static_cast<uint32_t>(std::min(count, 1 << depth));
    for (uint32_t i = 0; i < header.colourCount; ++i) {
      header.colours[i] = gdi::RGBQUAD{palette[i].blue, palette[i].green, palette[i].red, 0};
    }
    ok = Guarded(png, [&] {
      if (depth < 8) {
        png_set_packing(png);
      }
    });
  } else if (indexed) {  // grey, with or without alpha
    const int levels = 1 << std::min(depth, 8);
    header.bitsPerPixel = depth == 1 ? 1 : depth <= 4 ? 4 : 8;
    header.colourCount = static_cast<uint32_t>(levels);
    for (int i = 0; i < levels; ++i) {
      const auto g = static_cast<uint8_t>(i * 255 / (levels - 1));
      header.colours[i] = gdi::RGBQUAD{g, g, g, 0};
    }
    ok = Guarded(png, [&] {
      if (depth < 8) {
        png_set_packing(png);
      }
      if (depth == 16) {
        png_set_scale_16(png);
      }
      if ((type & PNG_COLOR_MASK_ALPHA) != 0) {
        png_set_strip_alpha(png);
      }
    });
  } else {  // RGB, with or without alpha
    header.bitsPerPixel = 24;
    ok = Guarded(png, [&] {
      if (depth == 16) {
        png_set_scale_16(png);
      }
      if ((type & PNG_COLOR_MASK_ALPHA) != 0) {
        png_set_strip_alpha(png);
      }
      png_set_bgr(png);
    });
  }
  int passes = 1;
  if (ok) {
    ok = Guarded(png, [&] {
      passes = png_set_interlace_handling(png);
      png_set_read_user_transform_fn(png, OnRowDecoded);
      png_read_update_info(png, info);
    });
  }
  if (!ok) {
    fail("malformed PNG");
  }
  const size_t rowBytes = png_get_rowbytes(png, info);
  if (rowBytes != static_cast<size_t>(width) * (indexed ? 1 : 3)) {
    throw PictureError("PNG rows of an unexpected size");
  }
  state.limit = std::min(state.limit, state.pos + StreamLimit(width, height));
  if (passes == 1) {
    state.rowsLeft = height;
  } else {
    for (int pass = 0; pass < 7; ++pass) {
      if (PNG_PASS_COLS(width, pass) > 0) {
        state.rowsLeft += PNG_PASS_ROWS(height, pass);
      }
    }
  }
  const auto readRow = [&](png_bytep target) {
    if (!Guarded(png, [&] { png_read_row(png, target, nullptr); })) {
      fail("unreadable PNG data");
    }
  };

  Sink sink(header, prepare);
  if (passes == 1) {
    std::vector<uint8_t> row(rowBytes);
    for (png_uint_32 y = 0; y < height; ++y) {
      uint8_t* target = !indexed && sink.DestinationBits() == 24 ? sink.Row(y) : row.data();
      readRow(target);
      if (indexed) {
        sink.Indices(y, target);
      } else {
        sink.Bgr(y, target);
      }
    }
  } else {
    // Interlaced rows are complete only after the last pass: decode them whole first.
    std::vector<uint8_t> pixels(rowBytes * height);
    std::vector<png_bytep> rows(height);
    for (png_uint_32 y = 0; y < height; ++y) {
      rows[y] = pixels.data() + y * rowBytes;
    }
    for (int pass = 0; pass < passes; ++pass) {
      for (png_uint_32 y = 0; y < height; ++y) {
        readRow(rows[y]);
      }
    }
    for (png_uint_32 y = 0; y < height; ++y) {
      if (indexed) {
        sink.Indices(y, rows[y]);
      } else {
        sink.Bgr(y, rows[y]);
      }
    }
  }
  // The chunks after the image data, up to the end, with their checksums.
  state.rowsDone = false;
  if (!Guarded(png, [&] { png_read_end(png, nullptr); })) {
    fail("unreadable PNG data");
  }
}

}  // namespace okuva::picture_detail
