// The images inside a record: 8-bit grey PNG through libpng and lossless JPEG 2000
// through OpenJPEG, written from memory into memory; read back as grey levels with the
// header's size checked before the pixels' memory is taken.
#include <openjpeg.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "platform/picture/picture.h"
#include "record/iris_record.h"

namespace okuva::record {
namespace {

// The largest picture a record's image may hold, as for every picture this station
// reads (a 16384 x 16384 square).
constexpr uint64_t kMaxPixels = uint64_t{1} << 28;
// Resolution levels of the wavelet: OpenJPEG's default, fewer for small images (each
// level halves the smallest side).
constexpr int kJp2Resolutions = 6;

constexpr uint8_t kJp2Signature[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
constexpr uint8_t kJ2kSignature[4] = {0xFF, 0x4F, 0xFF, 0x51};

[[noreturn]] void ImageError(const std::string& what) {
  throw RecordError(RecordError::Kind::kImage, what);
}

void CheckSize(uint64_t width, uint64_t height, const Representation& r, const char* format) {
  if (width != r.width || height != r.height) {
    ImageError(std::string("the ") + format + " image is " + std::to_string(width) + " x " +
               std::to_string(height) + ", the record says " + std::to_string(r.width) + " x " +
               std::to_string(r.height));
  }
  if (width == 0 || height == 0 || width * height > kMaxPixels) {
    ImageError("an image of " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels is not read");
  }
}

iris::GreyImage DecodePng(const Representation& r) {
  iris::GreyImage grey;
  std::vector<uint8_t> bgr;
  bool direct = false;
  try {
    DecodePictureInto(r.image, [&](const PictureHeader& header) {
      CheckSize(static_cast<uint64_t>(header.width), static_cast<uint64_t>(header.height), r,
                "PNG");
      grey.width = header.width;
      grey.height = header.height;
      const size_t pixels =
          size_t{static_cast<uint32_t>(header.width)} * static_cast<uint32_t>(header.height);
      grey.pixels.resize(pixels);
      direct = header.bitsPerPixel == 8 && header.colourCount == 256;
      for (uint32_t i = 0; direct && i < 256; ++i) {
        const gdi::RGBQUAD& q = header.colours[i];
        direct = q.rgbRed == i && q.rgbGreen == i && q.rgbBlue == i;
      }
      PictureDestination d;
      // Rows top-down in memory: the bottom row is the last.
      if (direct) {
        d.bitsPerPixel = 8;
        d.stride = -int64_t{header.width};
        d.bits = grey.pixels.data() + (pixels - static_cast<size_t>(header.width));
      } else {
        bgr.resize(pixels * 3);
        d.bitsPerPixel = 24;
        d.stride = -int64_t{header.width} * 3;
        d.bits = bgr.data() + (pixels - static_cast<size_t>(header.width)) * 3;
      }
      return d;
    });
  } catch (const PictureError& e) {
    ImageError(std::string("the PNG image cannot be read: ") + e.what());
  }
  if (!direct) {
    for (size_t i = 0; i < grey.pixels.size(); ++i) {
      grey.pixels[i] = iris::Luma(bgr[3 * i + 2], bgr[3 * i + 1], bgr[3 * i]);
    }
  }
  return grey;
}

iris::GreyImage DecodeRaw(const Representation& r) {
  if (r.bitDepth != 8) {
    ImageError("raw images of " + std::to_string(r.bitDepth) + " bits are not read");
  }
  CheckSize(r.width, r.height, r, "raw");
  if (r.image.size() != size_t{r.width} * r.height) {
    ImageError("a raw image of " + std::to_string(r.width) + " x " + std::to_string(r.height) +
               " needs " + std::to_string(size_t{r.width} * r.height) + " bytes, it has " +
               std::to_string(r.image.size()));
  }
  iris::GreyImage grey;
  grey.width = r.width;
  grey.height = r.height;
  grey.pixels = r.image;
  return grey;
}

// OpenJPEG's streams over memory: reading a span, or writing a growing buffer that the
// JP2 writer seeks back into to fill in box lengths.
struct MemoryStream {
  std::span<const uint8_t> input;
  std::vector<uint8_t>* output = nullptr;
  size_t at = 0;
  size_t Size() const { return output != nullptr ? output->size() : input.size(); }
};

OPJ_SIZE_T StreamRead(void* buffer, OPJ_SIZE_T count, void* data) {
  auto* s = static_cast<MemoryStream*>(data);
  if (s->at >= s->input.size()) {
    return static_cast<OPJ_SIZE_T>(-1);
  }
  const size_t n = std::min<size_t>(count, s->input.size() - s->at);
  std::memcpy(buffer, s->input.data() + s->at, n);
  s->at += n;
  return n;
}

OPJ_SIZE_T StreamWrite(void* buffer, OPJ_SIZE_T count, void* data) {
  auto* s = static_cast<MemoryStream*>(data);
  if (s->output->size() < s->at + count) {
    s->output->resize(s->at + count);
  }
  std::memcpy(s->output->data() + s->at, buffer, count);
  s->at += count;
  return count;
}

OPJ_OFF_T StreamSkip(OPJ_OFF_T count, void* data) {
  auto* s = static_cast<MemoryStream*>(data);
  if (count < 0 && static_cast<size_t>(-count) > s->at) {
    return -1;
  }
  const size_t target = static_cast<size_t>(static_cast<OPJ_OFF_T>(s->at) + count);
  if (s->output == nullptr && target > s->input.size()) {
    return -1;
  }
  s->at = target;
  return count;
}

OPJ_BOOL StreamSeek(OPJ_OFF_T to, void* data) {
  auto* s = static_cast<MemoryStream*>(data);
  if (to < 0 || (s->output == nullptr && static_cast<uint64_t>(to) > s->input.size())) {
    return OPJ_FALSE;
  }
  s->at = static_cast<size_t>(to);
  return OPJ_TRUE;
}

struct StreamDeleter {
  void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct CodecDeleter {
  void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct ImageDeleter {
  void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
using StreamPtr = std::unique_ptr<opj_stream_t, StreamDeleter>;
using CodecPtr = std::unique_ptr<opj_codec_t, CodecDeleter>;
using ImagePtr = std::unique_ptr<opj_image_t, ImageDeleter>;

StreamPtr MakeStream(MemoryStream& memory, bool input) {
  StreamPtr stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, input ? OPJ_TRUE : OPJ_FALSE));
  if (!stream) {
    ImageError("OpenJPEG could not make a stream");
  }
  opj_stream_set_user_data(stream.get(), &memory, nullptr);
  if (input) {
    opj_stream_set_user_data_length(stream.get(), memory.input.size());
    opj_stream_set_read_function(stream.get(), StreamRead);
  } else {
    opj_stream_set_write_function(stream.get(), StreamWrite);
  }
  opj_stream_set_skip_function(stream.get(), StreamSkip);
  opj_stream_set_seek_function(stream.get(), StreamSeek);
  return stream;
}

// OpenJPEG's messages: errors are kept for the one line we raise, the rest dropped.
void KeepMessage(const char* text, void* data) {
  auto* kept = static_cast<std::string*>(data);
  if (kept->empty() && text != nullptr) {
    *kept = text;
    while (!kept->empty() && (kept->back() == '\n' || kept->back() == ' ')) {
      kept->pop_back();
    }
  }
}
void DropMessage(const char*, void*) {}

void Quiet(opj_codec_t* codec, std::string& error) {
  opj_set_error_handler(codec, KeepMessage, &error);
  opj_set_warning_handler(codec, DropMessage, nullptr);
  opj_set_info_handler(codec, DropMessage, nullptr);
}

// A component's sample as an 8-bit level: signed samples shifted to unsigned, other
// precisions scaled to 0..255.
uint8_t Level(int32_t v, const opj_image_comp_t& c) {
  const uint32_t prec = std::clamp<uint32_t>(c.prec, 1, 31);
  int64_t u = c.sgnd ? int64_t{v} + (int64_t{1} << (prec - 1)) : int64_t{v};
  const int64_t top = (int64_t{1} << prec) - 1;
  u = std::clamp<int64_t>(u, 0, top);
  if (prec == 8) {
    return static_cast<uint8_t>(u);
  }
  return static_cast<uint8_t>((u * 255 + top / 2) / top);
}

iris::GreyImage DecodeJpeg2000(const Representation& r) {
  const std::span<const uint8_t> bytes(r.image);
  OPJ_CODEC_FORMAT format;
  if (bytes.size() >= sizeof kJp2Signature &&
      std::memcmp(bytes.data(), kJp2Signature, sizeof kJp2Signature) == 0) {
    format = OPJ_CODEC_JP2;
  } else if (bytes.size() >= sizeof kJ2kSignature &&
             std::memcmp(bytes.data(), kJ2kSignature, sizeof kJ2kSignature) == 0) {
    format = OPJ_CODEC_J2K;
  } else {
    ImageError("the JPEG 2000 image is neither a JP2 file nor a codestream");
  }
  std::string error;
  CodecPtr codec(opj_create_decompress(format));
  if (!codec) {
    ImageError("OpenJPEG could not make a decoder");
  }
  Quiet(codec.get(), error);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  MemoryStream memory{bytes};
  StreamPtr stream = MakeStream(memory, true);
  opj_image_t* read = nullptr;
  auto fail = [&](const char* step) {
    ImageError(std::string("the JPEG 2000 image cannot be ") + step +
               (error.empty() ? "" : ": " + error));
  };
  if (!opj_setup_decoder(codec.get(), &parameters)) {
    fail("decoded");
  }
  const bool headerRead = opj_read_header(stream.get(), codec.get(), &read) != 0;
  ImagePtr image(read);
  if (!headerRead || !image) {
    fail("read");
  }
  if (image->numcomps != 1 && image->numcomps < 3) {
    ImageError("a JPEG 2000 image of " + std::to_string(image->numcomps) +
               " components is not read");
  }
  const uint32_t used = image->numcomps == 1 ? 1 : 3;
  for (uint32_t i = 0; i < used; ++i) {
    const opj_image_comp_t& c = image->comps[i];
    if (c.dx != 1 || c.dy != 1) {
      ImageError("subsampled JPEG 2000 components are not read");
    }
  }
  CheckSize(uint64_t{image->x1} - image->x0, uint64_t{image->y1} - image->y0, r, "JPEG 2000");
  if (!opj_decode(codec.get(), stream.get(), image.get()) ||
      !opj_end_decompress(codec.get(), stream.get())) {
    fail("decoded");
  }
  iris::GreyImage grey;
  grey.width = r.width;
  grey.height = r.height;
  const size_t pixels = size_t{r.width} * r.height;
  for (uint32_t i = 0; i < used; ++i) {
    const opj_image_comp_t& c = image->comps[i];
    if (c.data == nullptr || c.w != r.width || c.h != r.height) {
      ImageError("the JPEG 2000 image has no full plane");
    }
  }
  grey.pixels.resize(pixels);
  const opj_image_comp_t* c = image->comps;
  for (size_t i = 0; i < pixels; ++i) {
    grey.pixels[i] = used == 1 ? Level(c[0].data[i], c[0])
                               : iris::Luma(Level(c[0].data[i], c[0]), Level(c[1].data[i], c[1]),
                                            Level(c[2].data[i], c[2]));
  }
  return grey;
}

}  // namespace

iris::GreyImage DecodeImage(const Representation& representation) {
  switch (static_cast<ImageFormat>(representation.imageFormat)) {
    case ImageFormat::kPng: return DecodePng(representation);
    case ImageFormat::kJpeg2000: return DecodeJpeg2000(representation);
    case ImageFormat::kRaw: return DecodeRaw(representation);
  }
  ImageError("images of format " + ImageFormatName(representation.imageFormat) + " are not read");
}

std::vector<uint8_t> EncodePngGrey(const iris::GreyPlane& plane) {
  if (!plane.Valid()) {
    ImageError("no image to write");
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(plane.width);
  image.height = static_cast<png_uint_32>(plane.height);
  image.format = PNG_FORMAT_GRAY;
  const auto stride = static_cast<png_int_32>(plane.stride);
  png_alloc_size_t size = 0;
  if (png_image_write_get_memory_size(image, size, 0, plane.pixels, stride, nullptr) == 0) {
    ImageError(std::string("the image cannot be written as PNG: ") + image.message);
  }
  std::vector<uint8_t> out(size);
  if (png_image_write_to_memory(&image, out.data(), &size, 0, plane.pixels, stride, nullptr) == 0) {
    ImageError(std::string("the image cannot be written as PNG: ") + image.message);
  }
  out.resize(size);
  return out;
}

std::vector<uint8_t> EncodeJp2Grey(const iris::GreyPlane& plane) {
  if (!plane.Valid()) {
    ImageError("no image to write");
  }
  const auto width = static_cast<uint32_t>(plane.width),
             height = static_cast<uint32_t>(plane.height);
  opj_image_cmptparm_t component{};
  component.dx = component.dy = 1;
  component.w = width;
  component.h = height;
  component.prec = 8;
  component.sgnd = 0;
  ImagePtr image(opj_image_create(1, &component, OPJ_CLRSPC_GRAY));
  if (!image) {
    ImageError("OpenJPEG could not make an image");
  }
  image->x0 = image->y0 = 0;
  image->x1 = width;
  image->y1 = height;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      image->comps[0].data[size_t{y} * width + x] =
          plane.At(static_cast<int32_t>(x), static_cast<int32_t>(y));
    }
  }

  opj_cparameters_t parameters;
  opj_set_default_encoder_parameters(&parameters);
  // One layer at rate 0 with the reversible 5/3 wavelet: lossless.
  parameters.tcp_numlayers = 1;
  parameters.tcp_rates[0] = 0;
  parameters.cp_disto_alloc = 1;
  parameters.irreversible = 0;
  int resolutions = 1;
  while (resolutions < kJp2Resolutions && (std::min(width, height) >> resolutions) > 0) {
    ++resolutions;
  }
  parameters.numresolution = resolutions;

  std::string error;
  CodecPtr codec(opj_create_compress(OPJ_CODEC_JP2));
  if (!codec) {
    ImageError("OpenJPEG could not make an encoder");
  }
  Quiet(codec.get(), error);
  std::vector<uint8_t> out;
  MemoryStream memory;
  memory.output = &out;
  StreamPtr stream = MakeStream(memory, false);
  if (!opj_setup_encoder(codec.get(), &parameters, image.get()) ||
      !opj_start_compress(codec.get(), image.get(), stream.get()) ||
      !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get())) {
    ImageError("the image cannot be written as JPEG 2000" +
               (error.empty() ? std::string() : ": " + error));
  }
  stream.reset();  // flushes what the stream still buffers
  return out;
}

}  // namespace okuva::record
