// Where the raster layer's clipboard calls put and find pictures. The toolkit knows
// only this interface; the window installs the desktop clipboard, tests and tools use
// the in-process one (the default).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/gdi/gdi.h"

namespace okuva::gdi {

// A picture in transit: top-down rows of 4 bytes per pixel (blue, green, red, unused).
struct ClipboardImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> bgrx;
};

class ClipboardBackend {
public:
  virtual ~ClipboardBackend() = default;
  virtual bool Open() = 0;  // false when another owner holds it
  virtual void Close() = 0;
  virtual void Clear() = 0;
  virtual bool SetImage(const ClipboardImage& image) = 0;
  virtual std::optional<ClipboardImage> GetImage() = 0;
};

// Installs a backend (nullptr restores the in-process one); returns the previous one.
std::shared_ptr<ClipboardBackend> SetClipboardBackend(std::shared_ptr<ClipboardBackend> backend);

// "Read the clipboard's picture without naming a format": a new 32-bit bitmap (the
// caller owns it) holding the clipboard's picture, or 0 when it holds none.
HBITMAP GetClipboardBitmap();

}  // namespace okuva::gdi
