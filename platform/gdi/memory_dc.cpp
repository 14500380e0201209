#include "platform/gdi/memory_dc.h"

namespace okuva::gdi {

BITMAPINFOHEADER DibHeader(int32_t width, int32_t height, int bitsPerPixel) {
  BITMAPINFOHEADER h{};
  h.biSize = sizeof(BITMAPINFOHEADER);
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = static_cast<uint16_t>(bitsPerPixel);
  h.biCompression = BI_RGB;
  return h;
}

MemoryDc::MemoryDc(HDC reference) : dc_(CreateCompatibleDC(reference)) {}

MemoryDc::MemoryDc(MemoryDc&& other) noexcept
    : dc_(other.dc_), bitmap_(other.bitmap_), previous_(other.previous_), owned_(other.owned_) {
  other.dc_ = 0;
  other.bitmap_ = 0;
  other.previous_ = 0;
  other.owned_ = false;
}

MemoryDc& MemoryDc::operator=(MemoryDc&& other) noexcept {
  if (this != &other) {
    Reset();
    dc_ = other.dc_;
    bitmap_ = other.bitmap_;
    previous_ = other.previous_;
    owned_ = other.owned_;
    other.dc_ = 0;
    other.bitmap_ = 0;
    other.previous_ = 0;
    other.owned_ = false;
  }
  return *this;
}

bool MemoryDc::Select(HBITMAP bitmap, Ownership ownership) {
  Deselect();
  bitmap_ = bitmap;
  owned_ = ownership == kOwned;
  previous_ = dc_ != 0 ? SelectObject(dc_, bitmap) : 0;
  return previous_ != 0;
}

void MemoryDc::Deselect() {
  if (previous_ != 0) {
    SelectObject(dc_, previous_);
  }
  if (owned_ && bitmap_ != 0) {
    DeleteObject(bitmap_);
  }
  bitmap_ = 0;
  previous_ = 0;
  owned_ = false;
}

void MemoryDc::Reset() {
  Deselect();
  if (dc_ != 0) {
    DeleteDC(dc_);
  }
  dc_ = 0;
}

}  // namespace okuva::gdi
