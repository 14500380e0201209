// Reading a command's input picture in one pass, straight into the surface or image the
// command works on, and the one exit rule for inputs: a missing or unreadable file is a
// bad input (exit 1, one line), like a malformed one.
#pragma once

#include <string>

#include "image/image.h"
#include "platform/gdi/gdi.h"
#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "surface/cdibsection.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/quote.h"

namespace okuva::tool {

// Runs `read`, turning the file errors of a missing or unreadable input into exit 1.
// A destination that finds no room is the toolkit's error 7, as where a surface is made
// from a picture object, not a fault of the input.
template <typename Read>
auto ReadingInput(const std::string& path, const Read& read) {
  try {
    return read();
  } catch (const RuntimeError& e) {
    if (e.Number() == kErrOutOfMemory) {
      throw;
    }
    throw UsageError{"cannot read " + Quoted(path) + ": " + e.Description()};
  }
}

// Reads the picture at `path`; `prepare` receives its header and makes the destination.
inline void ReadInput(const std::string& path, const PicturePrepare& prepare) {
  ReadingInput(path, [&] { ReadPictureInto(path, prepare); });
}

// A new 24-bit surface of the picture's size as the destination. The reader has
// checked the size against its caps, so a surface that cannot be made found no room:
// error 7 "Out of memory".
inline PictureDestination SurfaceDestination(cDIBSection& dib, const PictureHeader& header) {
  PictureDestination d;
  if (!dib.Create(header.width, header.height)) {
    Raise(kErrOutOfMemory);
  }
  d.bits = dib.DIBSectionBitsPtr();
  d.stride = dib.BytesPerScanLine();
  d.bitsPerPixel = 24;
  return d;
}

// A new image of the picture's size at `depth` (24, or the picture's own palette depth,
// which then carries the picture's colour table) as the destination; error 7 when it
// finds no room.
inline PictureDestination ImageDestination(cImage& image, const PictureHeader& header,
                                           int16_t depth) {
  PictureDestination d;
  if (!image.Create(header.width, header.height, depth)) {
    Raise(kErrOutOfMemory);
  }
  if (depth <= 8) {
    gdi::SetDIBColorTable(image.hdc(), 0, header.colourCount, header.colours);
  }
  d.bits = static_cast<uint8_t*>(image.DIBitsPtr());
  d.stride = image.BytesPerScanLine();
  d.bitsPerPixel = depth;
  return d;
}

// The picture at `path` in a new 24-bit surface.
inline void LoadSurface(const std::string& path, cDIBSection& dib) {
  ReadInput(path, [&](const PictureHeader& header) { return SurfaceDestination(dib, header); });
}

}  // namespace okuva::tool
