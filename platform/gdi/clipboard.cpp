// The clipboard calls of the raster layer over an installable backend, and the
// in-process backend used when no desktop clipboard is installed.
#include "platform/gdi/clipboard.h"

#include <cstring>
#include <mutex>

#include "platform/gdi/raster_internal.h"

namespace okuva::gdi {

using namespace detail;

namespace {

class InProcessClipboard final : public ClipboardBackend {
public:
  bool Open() override {
    std::lock_guard lock(mutex_);
    if (open_) {
      return false;
    }
    open_ = true;
    return true;
  }
  void Close() override {
    std::lock_guard lock(mutex_);
    open_ = false;
  }
  void Clear() override {
    std::lock_guard lock(mutex_);
    image_.reset();
  }
  bool SetImage(const ClipboardImage& image) override {
    std::lock_guard lock(mutex_);
    image_ = image;
    return true;
  }
  std::optional<ClipboardImage> GetImage() override {
    std::lock_guard lock(mutex_);
    return image_;
  }

private:
  std::mutex mutex_;
  bool open_ = false;
  std::optional<ClipboardImage> image_;
};

struct ClipboardState {
  std::mutex mutex;
  std::shared_ptr<ClipboardBackend> backend = std::make_shared<InProcessClipboard>();
  bool open = false;   // opened through OpenClipboard and not yet closed
  HBITMAP owned = 0;   // the bitmap handed over by the last SetClipboardData
};

ClipboardState& State() {
  static ClipboardState* state = new ClipboardState;
  return *state;
}

// Frees the bitmap the clipboard holds (the clipboard's data was replaced or emptied).
void ReleaseOwned(ClipboardState& s) {
  if (s.owned == 0) {
    return;
  }
  auto lock = LockTables();
  if (Bitmap* b = FindBitmap(s.owned); b != nullptr) {
    b->clipboardOwned = false;
    FreeBitmap(s.owned);
  }
  s.owned = 0;
}

ClipboardImage ToImage(const Bitmap& b) {
  ClipboardImage image;
  image.width = b.width;
  image.height = b.height;
  image.bgrx.resize(static_cast<size_t>(b.width) * static_cast<size_t>(b.height) * 4);
  std::vector<Colour> row(static_cast<size_t>(b.width));
  for (int32_t y = 0; y < b.height; ++y) {
    ReadColours(b, y, 0, b.width, row.data());
    uint8_t* out = image.bgrx.data() + static_cast<size_t>(y) * static_cast<size_t>(b.width) * 4;
    for (int32_t x = 0; x < b.width; ++x, out += 4) {
      out[0] = static_cast<uint8_t>(row[x]);
      out[1] = static_cast<uint8_t>(row[x] >> 8);
      out[2] = static_cast<uint8_t>(row[x] >> 16);
      out[3] = 0;
    }
  }
  return image;
}

}  // namespace

std::shared_ptr<ClipboardBackend> SetClipboardBackend(std::shared_ptr<ClipboardBackend> backend) {
  ClipboardState& s = State();
  std::lock_guard lock(s.mutex);
  if (!backend) {
    backend = std::make_shared<InProcessClipboard>();
  }
  std::swap(s.backend, backend);
  return backend;
}

bool OpenClipboard(HWND) {
  ClipboardState& s = State();
  std::lock_guard lock(s.mutex);
  if (s.open || !s.backend->Open()) {
    return false;
  }
  s.open = true;
  return true;
}

bool EmptyClipboard() {
  ClipboardState& s = State();
  std::lock_guard lock(s.mutex);
  if (!s.open) {
    return false;
  }
  s.backend->Clear();
  ReleaseOwned(s);
  return true;
}

HANDLE32 SetClipboardData(uint32_t format, HANDLE32 data) {
  ClipboardState& s = State();
  std::lock_guard lock(s.mutex);
  if (!s.open || format != CF_BITMAP) {
    return 0;
  }
  ClipboardImage image;
  {
    auto tables = LockTables();
    const Bitmap* b = FindBitmap(data);
    if (b == nullptr || b->stock || b->selectedCount > 0 || b->clipboardOwned) {
      return 0;
    }
    image = ToImage(*b);
  }
  if (!s.backend->SetImage(image)) {
    return 0;
  }
  ReleaseOwned(s);
  auto tables = LockTables();
  // The bitmap may not have been freed meanwhile: this is the one user-interface thread.
  if (Bitmap* b = FindBitmap(data); b != nullptr) {
    b->clipboardOwned = true;
  }
  s.owned = data;
  return data;
}

bool CloseClipboard() {
  ClipboardState& s = State();
  std::lock_guard lock(s.mutex);
  if (!s.open) {
    return false;
  }
  s.backend->Close();
  s.open = false;
  return true;
}

HBITMAP GetClipboardBitmap() {
  ClipboardState& s = State();
  std::optional<ClipboardImage> image;
  {
    std::lock_guard lock(s.mutex);
    // Reading needs the clipboard open; one already open through OpenClipboard serves.
    if (s.open) {
      image = s.backend->GetImage();
    } else {
      if (!s.backend->Open()) {
        return 0;
      }
      image = s.backend->GetImage();
      s.backend->Close();
    }
  }
  if (!image || image->width <= 0 || image->height <= 0 ||
      image->bgrx.size() !=
          static_cast<size_t>(image->width) * static_cast<size_t>(image->height) * 4) {
    return 0;
  }
  auto b = MakeBitmap(image->width, image->height, 32, false, false);
  if (!b) {
    return 0;
  }
  for (int32_t y = 0; y < b->height; ++y) {
    std::memcpy(b->Row(y), image->bgrx.data() + static_cast<size_t>(y) * b->width * 4,
                static_cast<size_t>(b->width) * 4);
  }
  auto lock = LockTables();
  return AddBitmap(std::move(b));
}

}  // namespace okuva::gdi
