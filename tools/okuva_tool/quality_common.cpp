#include "tools/okuva_tool/quality_common.h"

#include <new>

#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "tools/okuva_tool/picture_input.h"

namespace okuva::tool {

Canvas ReadCanvas(const std::string& path) {
  Canvas canvas;
  ReadPictureInto(path, [&](const PictureHeader& header) {
    canvas = Canvas(header.width, header.height);
    PictureDestination d;
    // Top-down rows: the bottom row is the last one and each next row lies before it.
    const int64_t stride = int64_t{canvas.Width()} * 3;
    d.bits = canvas.Height() > 0 ? canvas.Row(canvas.Height() - 1) : nullptr;
    d.stride = -stride;
    d.bitsPerPixel = 24;
    return d;
  });
  return canvas;
}

iris::GreyImage ReadGreyInput(const std::string& path) {
  return GreyOf(ReadingInput(path, [&] { return ReadCanvas(path); }));
}

iris::GreyImage GreyOf(const Canvas& canvas) {
  iris::GreyImage grey;
  grey.width = canvas.Width();
  grey.height = canvas.Height();
  try {
    grey.pixels.resize(static_cast<size_t>(grey.width) * static_cast<size_t>(grey.height));
  } catch (const std::bad_alloc&) {
    Raise(kErrOutOfMemory);
  }
  uint8_t* out = grey.pixels.data();
  for (int32_t y = 0; y < canvas.Height(); ++y) {
    const uint8_t* p = canvas.Row(y);
    for (int32_t x = 0; x < canvas.Width(); ++x, p += 3) {
      *out++ = iris::Luma(p[2], p[1], p[0]);
    }
  }
  return grey;
}

}  // namespace okuva::tool
