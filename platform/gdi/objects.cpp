// The object tables of the raster layer and the calls that make, select, describe and
// free device contexts and bitmaps.
#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/gdi/raster_internal.h"

namespace okuva::gdi {
namespace detail {
namespace {

// A handle is (generation << kIndexBits) | (slot index + 1): never 0, and a freed
// slot's next occupant gets another generation so stale handles miss.
constexpr uint32_t kIndexBits = 20;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr uint32_t kMaxGeneration = (1u << (32 - kIndexBits)) - 1;
constexpr size_t kMaxSlots = kIndexMask;  // index + 1 must fit the index bits

enum class Kind : uint8_t { kFree, kBitmap, kDc };

struct Slot {
  uint32_t generation = 1;
  Kind kind = Kind::kFree;
  std::unique_ptr<Bitmap> bitmap;
  std::unique_ptr<Dc> dc;
};

struct Tables {
  std::mutex mutex;
  std::vector<Slot> slots;
  std::vector<uint32_t> freeSlots;
  HBITMAP stock = 0;
  std::unique_ptr<Bitmap> screen;
};

// Never destroyed: pictures held in static objects may free their bitmaps while the
// program exits.
Tables& Table() {
  static Tables* tables = new Tables;
  return *tables;
}

constexpr HWND kDesktopWindow = 0x00010010;

Slot* FindSlot(HANDLE32 handle, Kind kind) {
  if (handle == 0) {
    return nullptr;
  }
  const uint32_t index = (handle & kIndexMask) - 1;
  const uint32_t generation = handle >> kIndexBits;
  auto& slots = Table().slots;
  if (index >= slots.size()) {
    return nullptr;
  }
  Slot& slot = slots[index];
  if (slot.kind != kind || slot.generation != generation) {
    return nullptr;
  }
  return &slot;
}

HANDLE32 AddSlot(Kind kind, std::unique_ptr<Bitmap> bitmap, std::unique_ptr<Dc> dc) {
  Tables& t = Table();
  uint32_t index;
  if (!t.freeSlots.empty()) {
    index = t.freeSlots.back();
    t.freeSlots.pop_back();
  } else {
    if (t.slots.size() >= kMaxSlots) {
      return 0;
    }
    t.slots.emplace_back();
    index = static_cast<uint32_t>(t.slots.size() - 1);
  }
  Slot& slot = t.slots[index];
  slot.kind = kind;
  slot.bitmap = std::move(bitmap);
  slot.dc = std::move(dc);
  return slot.generation << kIndexBits | (index + 1);
}

void FreeSlot(HANDLE32 handle) {
  const uint32_t index = (handle & kIndexMask) - 1;
  Tables& t = Table();
  Slot& slot = t.slots[index];
  slot.kind = Kind::kFree;
  slot.bitmap.reset();
  slot.dc.reset();
  slot.generation = slot.generation % kMaxGeneration + 1;
  t.freeSlots.push_back(index);
}

HBITMAP StockBitmap() {
  Tables& t = Table();
  if (t.stock == 0) {
    auto b = MakeBitmap(1, 1, 1, false, false);
    b->stock = true;
    b->table = GreyRamp(1);
    t.stock = AddBitmap(std::move(b));
  }
  return t.stock;
}

Bitmap* Screen() {
  Tables& t = Table();
  if (!t.screen) {
    t.screen = MakeBitmap(kScreenWidth, kScreenHeight, kScreenBitsPerPixel, false, false);
  }
  return t.screen.get();
}

HDC AddDc(DcKind kind) {
  auto dc = std::make_unique<Dc>();
  dc->kind = kind;
  if (kind == DcKind::kScreen || kind == DcKind::kDisplay) {
    if (Screen() == nullptr) {
      return 0;
    }
  } else {
    const HBITMAP stock = StockBitmap();
    if (stock == 0) {
      return 0;
    }
    dc->selected = stock;
  }
  return AddSlot(Kind::kDc, nullptr, std::move(dc));
}

void Deselect(Dc& dc) {
  if (Bitmap* b = FindBitmap(dc.selected); b != nullptr && !b->stock) {
    --b->selectedCount;
  }
  dc.selected = 0;
}

bool ValidDepth(int bits) {
  return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

}  // namespace

std::unique_lock<std::mutex> LockTables() { return std::unique_lock<std::mutex>(Table().mutex); }

Bitmap* FindBitmap(HANDLE32 handle) {
  Slot* slot = FindSlot(handle, Kind::kBitmap);
  return slot ? slot->bitmap.get() : nullptr;
}

Dc* FindDc(HANDLE32 handle) {
  Slot* slot = FindSlot(handle, Kind::kDc);
  return slot ? slot->dc.get() : nullptr;
}

Bitmap* DcSurface(const Dc& dc) {
  if (dc.kind == DcKind::kMemory) {
    return FindBitmap(dc.selected);
  }
  return Screen();
}

int64_t RowBytes(int64_t width, int bitsPerPixel, int alignBytes) {
  const int64_t alignBits = int64_t{8} * alignBytes;
  return (width * bitsPerPixel + alignBits - 1) / alignBits * alignBytes;
}

std::unique_ptr<Bitmap> MakeBitmap(int32_t width, int32_t height, int bitsPerPixel, bool isDib,
                                   bool bottomUp) {
  if (width <= 0 || height <= 0 || !ValidDepth(bitsPerPixel)) {
    return nullptr;
  }
  const int64_t stride = RowBytes(width, bitsPerPixel, isDib ? 4 : 2);
  if (stride > std::numeric_limits<int32_t>::max()) {
    return nullptr;
  }
  const auto bytes = static_cast<uint64_t>(stride) * static_cast<uint64_t>(height);
  if (bytes > kMaxBitmapBytes) {
    return nullptr;
  }
  auto b = std::make_unique<Bitmap>();
  b->pixels = PixelMemory(static_cast<size_t>(bytes));
  if (!b->pixels) {
    return nullptr;
  }
  b->width = width;
  b->height = height;
  b->bitsPerPixel = bitsPerPixel;
  b->stride = static_cast<int32_t>(stride);
  b->isDib = isDib;
  b->bottomUp = bottomUp;
  if (bitsPerPixel <= 8) {
    b->table.assign(size_t{1} << bitsPerPixel, RGBQUAD{0, 0, 0, 0});
  }
  return b;
}

HBITMAP AddBitmap(std::unique_ptr<Bitmap> bitmap) {
  if (!bitmap) {
    return 0;
  }
  return AddSlot(Kind::kBitmap, std::move(bitmap), nullptr);
}

bool FreeBitmap(HBITMAP handle) {
  if (FindBitmap(handle) == nullptr) {
    return false;
  }
  FreeSlot(handle);
  return true;
}

std::vector<RGBQUAD> GreyRamp(int bitsPerPixel) {
  const int n = (1 << bitsPerPixel) - 1;
  std::vector<RGBQUAD> table(static_cast<size_t>(n) + 1);
  for (int i = 0; i <= n; ++i) {
    // Integer rounding of i * 255 / n; no tie occurs for 1, 4 or 8 bits.
    const auto v = static_cast<uint8_t>((i * 255 * 2 + n) / (2 * n));
    table[static_cast<size_t>(i)] = RGBQUAD{v, v, v, 0};
  }
  return table;
}

}  // namespace detail

using namespace detail;

// Device contexts -----------------------------------------------------------------

HDC CreateCompatibleDC(HDC dc) {
  auto lock = LockTables();
  if (dc != 0 && FindDc(dc) == nullptr) {
    return 0;
  }
  return AddDc(DcKind::kMemory);
}

HDC CreateDCA(const char* driver, const char*, const char*, const void*) {
  if (driver == nullptr) {
    return 0;
  }
  // Driver names are case-insensitive; only the display exists here.
  const char* expected = "DISPLAY";
  for (size_t i = 0;; ++i) {
    const char c = driver[i];
    const char u = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (u != expected[i]) {
      return 0;
    }
    if (c == '\0') {
      break;
    }
  }
  auto lock = LockTables();
  return AddDc(DcKind::kDisplay);
}

HWND GetDesktopWindow() { return kDesktopWindow; }

HDC GetDC(HWND window) {
  if (window != kDesktopWindow) {
    return 0;
  }
  auto lock = LockTables();
  return AddDc(DcKind::kScreen);
}

int ReleaseDC(HWND, HDC dc) {
  auto lock = LockTables();
  Dc* d = FindDc(dc);
  if (d == nullptr || d->kind != DcKind::kScreen) {
    return 0;
  }
  FreeSlot(dc);
  return 1;
}

bool DeleteDC(HDC dc) {
  auto lock = LockTables();
  Dc* d = FindDc(dc);
  // The desktop window's DC is given back with ReleaseDC, not deleted.
  if (d == nullptr || d->kind == DcKind::kScreen) {
    return false;
  }
  // A bitmap still selected survives its DC and becomes deletable.
  Deselect(*d);
  FreeSlot(dc);
  return true;
}

// Bitmaps ---------------------------------------------------------------------------

namespace {

HBITMAP MakeDibSection(HDC dc, const BITMAPINFOHEADER* bih, const RGBQUAD* colours, uint32_t usage,
                       void** bits) {
  if (bits != nullptr) {
    *bits = nullptr;
  }
  if (bih == nullptr || usage != DIB_RGB_COLORS) {
    return 0;
  }
  if (bih->biSize < sizeof(BITMAPINFOHEADER) || bih->biPlanes != 1 ||
      bih->biCompression != BI_RGB) {
    return 0;
  }
  const int depth = bih->biBitCount;
  if (depth != 1 && depth != 4 && depth != 8 && depth != 24) {
    return 0;
  }
  if (bih->biHeight == std::numeric_limits<int32_t>::min()) {
    return 0;
  }
  auto lock = LockTables();
  if (dc != 0 && FindDc(dc) == nullptr) {
    return 0;
  }
  const bool bottomUp = bih->biHeight > 0;
  const int32_t height = bottomUp ? bih->biHeight : -bih->biHeight;
  auto b = MakeBitmap(bih->biWidth, height, depth, true, bottomUp);
  if (!b) {
    return 0;
  }
  if (depth <= 8) {
    const size_t full = size_t{1} << depth;
    size_t used = bih->biClrUsed == 0 ? full : std::min<size_t>(bih->biClrUsed, full);
    b->table.assign(used, RGBQUAD{0, 0, 0, 0});
    if (colours != nullptr) {
      std::copy(colours, colours + used, b->table.begin());
    }
    for (RGBQUAD& q : b->table) {
      q.rgbReserved = 0;
    }
  }
  uint8_t* address = b->pixels.get();
  const HBITMAP handle = AddBitmap(std::move(b));
  if (handle != 0 && bits != nullptr) {
    *bits = address;
  }
  return handle;
}

}  // namespace

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* bmi, uint32_t usage, void** bits, void*,
                         uint32_t) {
  return MakeDibSection(dc, bmi ? &bmi->bmiHeader : nullptr, bmi ? bmi->bmiColors : nullptr, usage,
                        bits);
}

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFOHEADER* bih, uint32_t usage, void** bits, void*,
                         uint32_t) {
  return MakeDibSection(dc, bih, nullptr, usage, bits);
}

HBITMAP CreateCompatibleBitmap(HDC dc, int32_t width, int32_t height) {
  auto lock = LockTables();
  Dc* d = FindDc(dc);
  if (d == nullptr) {
    return 0;
  }
  // Screen and display DCs give the screen's format; a memory DC gives the format of
  // the bitmap selected in it (a new memory DC therefore gives monochrome).
  int depth = kScreenBitsPerPixel;
  std::vector<RGBQUAD> table;
  if (d->kind == DcKind::kMemory) {
    const Bitmap* selected = DcSurface(*d);
    if (selected == nullptr) {
      return 0;
    }
    depth = selected->bitsPerPixel;
    table = selected->table;
  }
  auto b = MakeBitmap(width, height, depth, false, false);
  if (!b) {
    return 0;
  }
  if (depth <= 8) {
    b->table = table;
  }
  return AddBitmap(std::move(b));
}

HBITMAP CreateBitmap(int32_t width, int32_t height, uint32_t planes, uint32_t bitCount,
                     const void* bits) {
  if (planes != 1 || bitCount > 32) {
    return 0;
  }
  auto b = MakeBitmap(width, height, static_cast<int>(bitCount), false, false);
  if (!b) {
    return 0;
  }
  if (b->bitsPerPixel <= 8) {
    b->table = GreyRamp(b->bitsPerPixel);
  }
  if (bits != nullptr) {
    std::memcpy(b->pixels.get(), bits,
                static_cast<size_t>(b->stride) * static_cast<size_t>(b->height));
  }
  auto lock = LockTables();
  return AddBitmap(std::move(b));
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  auto lock = LockTables();
  Dc* d = FindDc(dc);
  Bitmap* b = FindBitmap(object);
  if (d == nullptr || b == nullptr || d->kind != DcKind::kMemory || b->clipboardOwned) {
    return 0;
  }
  const HBITMAP previous = d->selected;
  Deselect(*d);
  d->selected = object;
  if (!b->stock) {
    ++b->selectedCount;
  }
  return previous;
}

bool DeleteObject(HGDIOBJ object) {
  auto lock = LockTables();
  Bitmap* b = FindBitmap(object);
  if (b == nullptr || b->selectedCount > 0 || b->clipboardOwned) {
    return false;
  }
  if (b->stock) {
    return true;  // shared by every memory DC; never freed
  }
  return FreeBitmap(object);
}

HGDIOBJ GetCurrentObject(HDC dc, uint32_t type) {
  auto lock = LockTables();
  const Dc* d = FindDc(dc);
  if (d == nullptr || d->kind != DcKind::kMemory || type != OBJ_BITMAP) {
    return 0;
  }
  return d->selected;
}

int GetObjectA(HGDIOBJ object, int size, void* out) {
  auto lock = LockTables();
  const Bitmap* b = FindBitmap(object);
  const auto room = static_cast<size_t>(std::clamp(size, 0, static_cast<int>(sizeof(BITMAP))));
  if (b == nullptr) {
    // Callers read the fields of a non-bitmap as zeros.
    if (out != nullptr) {
      std::memset(out, 0, room);
    }
    return 0;
  }
  if (out == nullptr) {
    return static_cast<int>(sizeof(BITMAP));
  }
  BITMAP bm{};
  bm.bmType = 0;
  bm.bmWidth = b->width;
  bm.bmHeight = b->height;
  bm.bmWidthBytes = b->stride;
  bm.bmPlanes = 1;
  bm.bmBitsPixel = static_cast<uint16_t>(b->bitsPerPixel);
  bm.bmBits = b->isDib ? b->pixels.get() : nullptr;
  // A caller that passes the classic 24-byte size gets every field up to bmBits.
  std::memcpy(out, &bm, room);
  return static_cast<int>(room);
}

uint32_t GetDIBColorTable(HDC dc, uint32_t start, uint32_t count, RGBQUAD* colours) {
  auto lock = LockTables();
  const Dc* d = FindDc(dc);
  if (d == nullptr || colours == nullptr) {
    return 0;
  }
  const Bitmap* b = DcSurface(*d);
  if (b == nullptr || !b->isDib || !b->HasPalette() || start >= b->table.size()) {
    return 0;
  }
  const auto n = static_cast<uint32_t>(std::min<size_t>(count, b->table.size() - start));
  std::copy_n(b->table.begin() + start, n, colours);
  return n;
}

uint32_t SetDIBColorTable(HDC dc, uint32_t start, uint32_t count, const RGBQUAD* colours) {
  auto lock = LockTables();
  const Dc* d = FindDc(dc);
  if (d == nullptr || colours == nullptr) {
    return 0;
  }
  Bitmap* b = DcSurface(*d);
  if (b == nullptr || !b->isDib || !b->HasPalette() || start >= b->table.size()) {
    return 0;
  }
  const auto n = static_cast<uint32_t>(std::min<size_t>(count, b->table.size() - start));
  std::copy_n(colours, n, b->table.begin() + start);
  for (uint32_t i = 0; i < n; ++i) {
    b->table[start + i].rgbReserved = 0;
  }
  return n;
}

int SetStretchBltMode(HDC dc, int mode) {
  auto lock = LockTables();
  Dc* d = FindDc(dc);
  if (d == nullptr || mode < BLACKONWHITE || mode > HALFTONE) {
    return 0;
  }
  const int previous = d->stretchMode;
  d->stretchMode = mode;
  return previous;
}

int GetStretchBltMode(HDC dc) {
  auto lock = LockTables();
  const Dc* d = FindDc(dc);
  return d ? d->stretchMode : 0;
}

}  // namespace okuva::gdi
