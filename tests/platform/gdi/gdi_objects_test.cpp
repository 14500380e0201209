// Device contexts, bitmaps, handles, GetObjectA and colour tables of the raster layer.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "platform/runtime/big_buffer.h"
#include "tests/platform/gdi/gdi_helpers.h"

namespace okuva::gdi {
namespace {

using testing::Dib;
using testing::Quad;
using testing::Rgb;

BITMAPINFO Header(int32_t w, int32_t h, int bpp) {
  BITMAPINFO bmi{};
  bmi.bmiHeader = DibHeader(w, h, bpp);
  return bmi;
}

TEST(GdiDibSection, LayoutAndDescriptionPerDepth) {
  struct Case {
    int bpp;
    int32_t stride;
  } cases[] = {{1, 4}, {4, 4}, {8, 8}, {24, 16}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bpp);
    Dib dib(5, 3, c.bpp);
    ASSERT_NE(dib.bitmap(), 0u);
    ASSERT_NE(dib.bits(), nullptr);
    BITMAP bm{};
    EXPECT_EQ(GetObjectA(dib.bitmap(), sizeof(BITMAP), &bm), static_cast<int>(sizeof(BITMAP)));
    EXPECT_EQ(bm.bmWidth, 5);
    EXPECT_EQ(bm.bmHeight, 3);
    EXPECT_EQ(bm.bmWidthBytes, c.stride);
    EXPECT_EQ(bm.bmPlanes, 1);
    EXPECT_EQ(bm.bmBitsPixel, c.bpp);
    EXPECT_EQ(bm.bmBits, dib.bits());
    // A new DIB section is black and its whole memory (stride x height) is writable.
    for (int i = 0; i < c.stride * 3; ++i) {
      ASSERT_EQ(dib.bits()[i], 0);
    }
    std::memset(dib.bits(), 0xAB, static_cast<size_t>(c.stride) * 3);
  }
}

TEST(GdiDibSection, RowsAreBottomUpForPositiveHeightAndTopDownForNegative) {
  for (int32_t h : {2, -2}) {
    SCOPED_TRACE(h);
    Dib src(1, h, 24);
    Dib dest(1, 2, 24);
    // First stored row: the bottom row when bottom-up, the top row when top-down.
    src.bits()[0] = 0x11;
    src.bits()[4] = 0x22;
    ASSERT_TRUE(BitBlt(dest.dc(), 0, 0, 1, 2, src.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(dest.Get(0, 0), h > 0 ? 0x22u : 0x11u);
    EXPECT_EQ(dest.Get(0, 1), h > 0 ? 0x11u : 0x22u);
  }
}

TEST(GdiDibSection, RefusesBadFormatsAndSizes) {
  HDC dc = CreateCompatibleDC(0);
  void* bits = reinterpret_cast<void*>(1);
  for (int bpp : {0, 2, 16, 32, 48}) {
    BITMAPINFO bmi = Header(4, 4, bpp);
    EXPECT_EQ(CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0), 0u) << bpp;
    EXPECT_EQ(bits, nullptr);
  }
  const int32_t sizes[][2] = {{0, 4},           {4, 0},         {-4, 4},
                              {100000, 100000}, {INT32_MAX, 1}, {4, INT32_MIN}};
  for (const auto& s : sizes) {
    BITMAPINFO bmi = Header(s[0], s[1], 24);
    EXPECT_EQ(CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0), 0u);
  }
  BITMAPINFO compressed = Header(4, 4, 8);
  compressed.bmiHeader.biCompression = 1;
  EXPECT_EQ(CreateDIBSection(dc, &compressed, DIB_RGB_COLORS, &bits, nullptr, 0), 0u);
  BITMAPINFO ok = Header(4, 4, 8);
  EXPECT_EQ(CreateDIBSection(dc, &ok, 1u, &bits, nullptr, 0), 0u);
  EXPECT_EQ(CreateDIBSection(dc, static_cast<const BITMAPINFO*>(nullptr), DIB_RGB_COLORS, &bits,
                             nullptr, 0),
            0u);
  // The header-only form gives a palette depth a black table.
  HBITMAP b = CreateDIBSection(dc, &ok.bmiHeader, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(b, 0u);
  HGDIOBJ old = SelectObject(dc, b);
  RGBQUAD table[256];
  ASSERT_EQ(GetDIBColorTable(dc, 0, 256, table), 256u);
  EXPECT_EQ(Rgb(table[255]), 0u);
  SelectObject(dc, old);
  EXPECT_TRUE(DeleteObject(b));
  EXPECT_TRUE(DeleteDC(dc));
}

TEST(GdiDibSection, LargeSectionsStartBlackOnHugePageBoundaries) {
  // 4.5 MB of pixels: beyond the size that gets a mapping of its own.
  Dib big(1500, 1000, 24);
  ASSERT_NE(big.bits(), nullptr);
  const size_t bytes = size_t{4500} * 1000;
  if (memory::UsesOwnMapping(bytes)) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(big.bits()) % (uintptr_t{2} << 20), 0u);
  }
  EXPECT_EQ(big.bits()[0], 0);
  EXPECT_EQ(big.bits()[bytes / 2], 0);
  EXPECT_EQ(big.bits()[bytes - 1], 0);
  // Every byte is writable and a copy through another large section is exact.
  for (size_t i = 0; i < bytes; ++i) {
    big.bits()[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
  }
  Dib copy(1500, 1000, 24);
  ASSERT_TRUE(BitBlt(copy.dc(), 0, 0, 1500, 1000, big.dc(), 0, 0, SRCCOPY));
  EXPECT_EQ(std::memcmp(copy.bits(), big.bits(), bytes), 0);
  // Down by one row onto itself (rows are stored bottom-up): each stored row takes the
  // one above it in memory.
  ASSERT_TRUE(BitBlt(big.dc(), 0, 1, 1500, 999, big.dc(), 0, 0, SRCCOPY));
  EXPECT_EQ(std::memcmp(big.bits(), copy.bits() + 4500, bytes - 4500), 0);
}

TEST(GdiDibSection, PixelMemoryKeptForReuseComesBackZeroedWhenAsked) {
  const size_t bytes = memory::kLargeBufferBytes + 12345;
  void* first = nullptr;
  for (int round = 0; round < 3; ++round) {
    auto* p = static_cast<uint8_t*>(round % 2 == 1 ? memory::AllocateZeroed(bytes)
                                                   : memory::Allocate(bytes, false));
    ASSERT_NE(p, nullptr);
    if (round == 0) {
      first = p;
    }
    // The buffer kept is the one handed out again.
    if (memory::UsesOwnMapping(bytes)) {
      EXPECT_EQ(p, first) << "round " << round;
    }
    if (round % 2 == 1) {
      size_t nonZero = 0;
      for (size_t i = 0; i < bytes; ++i) {
        nonZero += p[i] != 0;
      }
      EXPECT_EQ(nonZero, 0u) << "round " << round;
    }
    std::memset(p, 0xFF, bytes);
    memory::Free(p, bytes, round < 2);  // the last is given back: none outlives the test
  }
}

// True when every page of [p, p + bytes) is mapped in this process.
bool Mapped(const void* p, size_t bytes) {
  return msync(const_cast<void*>(p), bytes, MS_ASYNC) == 0;
}

TEST(GdiDibSection, PixelMemoryKeptIsBoundedAndNoReservationIsLeftOver) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer heap: no mappings of its own";
#endif
  ASSERT_TRUE(memory::UsesOwnMapping(memory::kLargeBufferBytes));
  const size_t mib = size_t{1} << 20, page = 4096;
  // With no room for the 2 MiB more reserved to find the boundary, the buffer still comes.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t room = static_cast<rlim_t>(pages) * page + 9 * mib;
    const rlimit limit{room, room};
    auto* q = setrlimit(RLIMIT_AS, &limit) == 0
                  ? static_cast<uint8_t*>(memory::Allocate(8 * mib, false))
                  : nullptr;
    if (q != nullptr) {
      q[8 * mib - 1] = 1;
    }
    _exit(q != nullptr ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  // From 2 MiB on a buffer is a mapping of its own on a 2 MiB boundary; of the 2 MiB
  // more reserved to find that boundary nothing stays mapped around it.
  auto* two = static_cast<uint8_t*>(memory::Allocate(2 * mib, false));
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(two) % (2 * mib), 0u);
  EXPECT_TRUE(Mapped(two, 2 * mib));
  EXPECT_FALSE(Mapped(two + 2 * mib, page));
  EXPECT_FALSE(Mapped(two - page, page));
  memory::FreeZeroed(two, 2 * mib);  // never kept
  EXPECT_FALSE(Mapped(two, page));
  // A byte less comes from the heap, whose large blocks start just past a page boundary.
  void* heap = memory::Allocate(2 * mib - 1, false);
  EXPECT_NE(reinterpret_cast<uintptr_t>(heap) % page, 0u);
  memory::Free(heap, 2 * mib - 1, true);

  // Six buffers at most are kept (a size nothing else uses)...
  const size_t three = 3 * mib + 3 * page;
  std::vector<void*> p(7);
  for (void*& q : p) {
    q = memory::Allocate(three, false);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(q) % (2 * mib), 0u);
  }
  for (void* q : p) {
    memory::Free(q, three, true);
  }
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(Mapped(p[static_cast<size_t>(i)], three)) << i;
  }
  EXPECT_FALSE(Mapped(p[6], page));
  // ... handed out again for their own size only ...
  void* other = memory::Allocate(three + page, false);
  EXPECT_EQ(std::count(p.begin(), p.begin() + 6, other), 0);
  memory::Free(other, three + page, false);
  std::set<void*> again;
  for (int i = 0; i < 6; ++i) {
    again.insert(memory::Allocate(three, false));
  }
  EXPECT_EQ(again, std::set<void*>(p.begin(), p.begin() + 6));
  for (void* q : again) {
    memory::Free(q, three, false);
  }
  for (void* q : again) {
    EXPECT_FALSE(Mapped(q, page));
  }

  // ... and 64 MiB in all: four of 16 MiB fill it and a fifth is unmapped; taken and
  // kept again, the same four fit again.
  std::set<void*> kept;
  for (int round = 0; round < 2; ++round) {
    std::vector<void*> big(5);
    for (void*& q : big) {
      q = memory::Allocate(16 * mib, false);
    }
    if (round == 1) {
      EXPECT_EQ(std::set<void*>(big.begin(), big.begin() + 4), kept);
    }
    for (void* q : big) {
      memory::Free(q, 16 * mib, true);
    }
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_TRUE(Mapped(big[i], 16 * mib)) << round << " " << i;
    }
    EXPECT_FALSE(Mapped(big[4], page)) << round;
    kept = std::set<void*>(big.begin(), big.begin() + 4);
  }
  for (int i = 0; i < 4; ++i) {
    memory::Free(memory::Allocate(16 * mib, false), 16 * mib, false);
  }
  // The bound is exact: with 63 MiB kept there is no room for 2 MiB more.
  const size_t sizes[] = {16 * mib, 16 * mib, 16 * mib, 15 * mib, 2 * mib};
  std::vector<void*> fill;
  for (const size_t s : sizes) {
    fill.push_back(memory::Allocate(s, false));
  }
  for (size_t i = 0; i < fill.size(); ++i) {
    memory::Free(fill[i], sizes[i], true);
  }
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(Mapped(fill[i], sizes[i])) << i;
  }
  EXPECT_FALSE(Mapped(fill[4], page));
  for (size_t i = 0; i < 4; ++i) {
    memory::Free(memory::Allocate(sizes[i], false), sizes[i], false);
  }
}

TEST(GdiDibSection, PixelMemoryMovesWholeAndFailsEmpty) {
  memory::BigBuffer moved(memory::kLargeBufferBytes);
  ASSERT_TRUE(moved);
  moved.get()[memory::kLargeBufferBytes - 1] = 1;
  memory::BigBuffer taken = std::move(moved);
  EXPECT_FALSE(moved);
  EXPECT_EQ(taken.size(), memory::kLargeBufferBytes);
  EXPECT_EQ(taken.get()[memory::kLargeBufferBytes - 1], 1);

  // Sizes whose page rounding overflows, or that no system maps, fail cleanly.
  if (!memory::UsesOwnMapping(SIZE_MAX)) {
    GTEST_SKIP() << "sanitizer heap: it aborts instead";
  }
  EXPECT_EQ(memory::AllocateZeroed(SIZE_MAX - 100), nullptr);
  const memory::BigBuffer absurd(size_t{1} << 62);
  EXPECT_FALSE(absurd);
  EXPECT_EQ(absurd.size(), 0u);
}

TEST(GdiHandles, ZeroAndStaleHandlesFailEverywhere) {
  HDC deadDc = CreateCompatibleDC(0);
  ASSERT_TRUE(DeleteDC(deadDc));
  BITMAPINFO bmi = Header(2, 2, 24);
  HBITMAP deadBmp = CreateDIBSection(0, &bmi, DIB_RGB_COLORS, nullptr, nullptr, 0);
  ASSERT_TRUE(DeleteObject(deadBmp));
  // Reusing the freed slots must not revive the old handles.
  HDC liveDc = CreateCompatibleDC(0);
  HBITMAP liveBmp = CreateDIBSection(0, &bmi, DIB_RGB_COLORS, nullptr, nullptr, 0);
  EXPECT_NE(liveDc, deadDc);
  EXPECT_NE(liveBmp, deadBmp);
  Dib ok(2, 2, 24);
  const POINT pts[3] = {{0, 0}, {2, 0}, {0, 2}};
  RGBQUAD table[2] = {};
  BITMAP bm{};
  std::vector<uint8_t> buf(64);
  for (HDC dc : {HDC{0}, deadDc}) {
    SCOPED_TRACE(dc);
    EXPECT_FALSE(DeleteDC(dc));
    EXPECT_EQ(ReleaseDC(GetDesktopWindow(), dc), 0);
    EXPECT_EQ(CreateCompatibleBitmap(dc, 2, 2), 0u);
    EXPECT_EQ(SelectObject(dc, liveBmp), 0u);
    EXPECT_EQ(GetDIBColorTable(dc, 0, 2, table), 0u);
    EXPECT_EQ(SetDIBColorTable(dc, 0, 2, table), 0u);
    EXPECT_EQ(SetStretchBltMode(dc, HALFTONE), 0);
    EXPECT_EQ(GetStretchBltMode(dc), 0);
    EXPECT_FALSE(BitBlt(dc, 0, 0, 2, 2, ok.dc(), 0, 0, SRCCOPY));
    EXPECT_FALSE(BitBlt(ok.dc(), 0, 0, 2, 2, dc, 0, 0, SRCCOPY));
    EXPECT_FALSE(StretchBlt(dc, 0, 0, 2, 2, ok.dc(), 0, 0, 1, 1, SRCCOPY));
    EXPECT_FALSE(StretchBlt(ok.dc(), 0, 0, 2, 2, dc, 0, 0, 1, 1, SRCCOPY));
    EXPECT_FALSE(PlgBlt(dc, pts, ok.dc(), 0, 0, 2, 2, 0, 0, 0));
    EXPECT_FALSE(PlgBlt(ok.dc(), pts, dc, 0, 0, 2, 2, 0, 0, 0));
    EXPECT_EQ(GetDIBits(dc, ok.bitmap(), 0, 2, buf.data(), &bmi, DIB_RGB_COLORS), 0);
    if (dc != 0) {  // 0 means the screen for these two
      EXPECT_EQ(CreateCompatibleDC(dc), 0u);
      EXPECT_EQ(CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, nullptr, nullptr, 0), 0u);
    }
  }
  for (HBITMAP b : {HBITMAP{0}, deadBmp}) {
    SCOPED_TRACE(b);
    EXPECT_EQ(SelectObject(liveDc, b), 0u);
    EXPECT_FALSE(DeleteObject(b));
    bm.bmWidth = 7;
    EXPECT_EQ(GetObjectA(b, sizeof(BITMAP), &bm), 0);
    EXPECT_EQ(bm.bmWidth, 0);  // reads as zeros
    EXPECT_EQ(GetDIBits(liveDc, b, 0, 2, buf.data(), &bmi, DIB_RGB_COLORS), 0);
  }
  // Handles of the wrong kind.
  EXPECT_FALSE(DeleteObject(liveDc));
  EXPECT_FALSE(DeleteDC(liveBmp));
  EXPECT_EQ(GetObjectA(liveDc, sizeof(BITMAP), &bm), 0);
  EXPECT_EQ(SelectObject(liveDc, liveDc), 0u);
  EXPECT_TRUE(DeleteObject(liveBmp));
  EXPECT_TRUE(DeleteDC(liveDc));
}

TEST(GdiHandles, SelectionAndDeletion) {
  HDC dc = CreateCompatibleDC(0);
  HDC other = CreateCompatibleDC(0);
  BITMAPINFO bmi = Header(3, 3, 24);
  HBITMAP a = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, nullptr, nullptr, 0);
  HBITMAP b = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, nullptr, nullptr, 0);
  // The first selection returns the stock 1 x 1 monochrome bitmap.
  HGDIOBJ stock = SelectObject(dc, a);
  BITMAP bm{};
  ASSERT_NE(GetObjectA(stock, sizeof(BITMAP), &bm), 0);
  EXPECT_EQ(bm.bmWidth, 1);
  EXPECT_EQ(bm.bmHeight, 1);
  EXPECT_EQ(bm.bmBitsPixel, 1);
  EXPECT_EQ(bm.bmBits, nullptr);
  EXPECT_FALSE(DeleteObject(a));  // selected
  EXPECT_EQ(SelectObject(dc, b), a);
  EXPECT_FALSE(DeleteObject(b));
  EXPECT_TRUE(DeleteObject(a));   // no longer selected
  // A bitmap held by two DCs stays undeletable until both let go.
  EXPECT_EQ(SelectObject(other, b), stock);
  EXPECT_EQ(SelectObject(dc, stock), b);
  EXPECT_FALSE(DeleteObject(b));
  // Deleting a DC deselects its bitmap and leaves it alive.
  EXPECT_TRUE(DeleteDC(other));
  EXPECT_NE(GetObjectA(b, sizeof(BITMAP), &bm), 0);
  EXPECT_TRUE(DeleteObject(b));
  // The stock bitmap survives being "deleted".
  EXPECT_TRUE(DeleteObject(stock));
  EXPECT_NE(GetObjectA(stock, sizeof(BITMAP), &bm), 0);
  EXPECT_TRUE(DeleteDC(dc));
}

TEST(GdiHandles, ScreenAndDisplayContexts) {
  HWND desktop = GetDesktopWindow();
  ASSERT_NE(desktop, 0u);
  EXPECT_EQ(GetDC(desktop + 1), 0u);
  HDC screen = GetDC(desktop);
  ASSERT_NE(screen, 0u);
  EXPECT_FALSE(DeleteDC(screen));  // given back with ReleaseDC
  HDC display = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  HDC lower = CreateDCA("display", nullptr, nullptr, nullptr);
  EXPECT_NE(display, 0u);
  EXPECT_NE(lower, 0u);
  EXPECT_EQ(CreateDCA("PRINTER", nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(CreateDCA("DISPLAYX", nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(CreateDCA(nullptr, nullptr, nullptr, nullptr), 0u);
  // Bitmaps compatible with the screen have its 32-bit format.
  for (HDC dc : {screen, display}) {
    HBITMAP b = CreateCompatibleBitmap(dc, 5, 2);
    BITMAP bm{};
    ASSERT_NE(GetObjectA(b, sizeof(BITMAP), &bm), 0);
    EXPECT_EQ(bm.bmBitsPixel, kScreenBitsPerPixel);
    EXPECT_EQ(bm.bmWidthBytes, 20);
    EXPECT_EQ(bm.bmBits, nullptr);
    EXPECT_EQ(SelectObject(dc, b), 0u);  // only memory DCs take bitmaps
    EXPECT_TRUE(DeleteObject(b));
  }
  EXPECT_EQ(CreateCompatibleBitmap(screen, 0, 5), 0u);
  EXPECT_EQ(CreateCompatibleBitmap(screen, 5, -1), 0u);
  EXPECT_EQ(CreateCompatibleBitmap(screen, 100000, 100000), 0u);
  // A blit off the screen's edge is clipped to its 1920 x 1080 pixels.
  Dib probe(4, 1, 24);
  probe.Fill(0x123456);
  EXPECT_TRUE(BitBlt(probe.dc(), 0, 0, 4, 1, screen, kScreenWidth - 2, 0, SRCCOPY));
  EXPECT_EQ(probe.Get(1, 0), 0u);
  EXPECT_EQ(probe.Get(2, 0), 0x123456u);
  EXPECT_TRUE(DeleteDC(display));
  EXPECT_TRUE(DeleteDC(lower));
  EXPECT_EQ(ReleaseDC(desktop, screen), 1);
  EXPECT_EQ(ReleaseDC(desktop, screen), 0);
}

TEST(GdiBitmaps, DeviceDependentFormats) {
  // A memory DC makes bitmaps in the format of what it holds.
  HDC dc = CreateCompatibleDC(0);
  HBITMAP mono = CreateCompatibleBitmap(dc, 3, 1);
  BITMAP bm{};
  GetObjectA(mono, sizeof(BITMAP), &bm);
  EXPECT_EQ(bm.bmBitsPixel, 1);
  EXPECT_EQ(bm.bmWidthBytes, 2);  // rows of device-dependent bitmaps are padded to 2 bytes
  EXPECT_TRUE(DeleteObject(mono));
  Dib pal(2, 2, 4, {Quad(1, 2, 3), Quad(4, 5, 6), Quad(7, 8, 9)});
  HBITMAP same = CreateCompatibleBitmap(pal.dc(), 2, 2);
  GetObjectA(same, sizeof(BITMAP), &bm);
  EXPECT_EQ(bm.bmBitsPixel, 4);
  EXPECT_TRUE(DeleteObject(same));

  for (uint32_t bpp : {1u, 4u, 8u, 16u, 24u, 32u}) {
    HBITMAP b = CreateBitmap(3, 2, 1, bpp, nullptr);
    ASSERT_NE(b, 0u) << bpp;
    GetObjectA(b, sizeof(BITMAP), &bm);
    EXPECT_EQ(bm.bmBitsPixel, bpp);
    EXPECT_EQ(bm.bmWidthBytes, static_cast<int32_t>((3 * bpp + 15) / 16 * 2));
    EXPECT_TRUE(DeleteObject(b));
  }
  EXPECT_EQ(CreateBitmap(3, 2, 2, 8, nullptr), 0u);
  EXPECT_EQ(CreateBitmap(3, 2, 1, 12, nullptr), 0u);
  EXPECT_EQ(CreateBitmap(0, 2, 1, 8, nullptr), 0u);
  EXPECT_TRUE(DeleteDC(dc));
}

TEST(GdiBitmaps, GetObjectHonoursTheGivenSize) {
  Dib dib(4, 4, 8);
  unsigned char record[sizeof(BITMAP)];
  std::memset(record, 0xEE, sizeof record);
  EXPECT_EQ(GetObjectA(dib.bitmap(), 24, record), 24);
  BITMAP bm;
  std::memcpy(&bm, record, sizeof bm);
  EXPECT_EQ(bm.bmWidth, 4);
  EXPECT_EQ(bm.bmBitsPixel, 8);
  for (size_t i = 24; i < sizeof record; ++i) {
    EXPECT_EQ(record[i], 0xEE) << i;
  }
  EXPECT_EQ(GetObjectA(dib.bitmap(), 0, record), 0);
  EXPECT_EQ(GetObjectA(dib.bitmap(), 0, nullptr), static_cast<int>(sizeof(BITMAP)));
}

TEST(GdiColourTables, GetAndSet) {
  Dib pal(4, 4, 8, {Quad(10, 20, 30), Quad(40, 50, 60)});
  RGBQUAD got[256] = {};
  // Only the entries the section was made with exist.
  ASSERT_EQ(GetDIBColorTable(pal.dc(), 0, 256, got), 2u);
  EXPECT_EQ(Rgb(got[0]), 0x0A141Eu);
  EXPECT_EQ(Rgb(got[1]), 0x28323Cu);
  EXPECT_EQ(GetDIBColorTable(pal.dc(), 1, 16777216, got), 1u);
  EXPECT_EQ(Rgb(got[0]), 0x28323Cu);
  EXPECT_EQ(GetDIBColorTable(pal.dc(), 2, 1, got), 0u);
  const RGBQUAD fresh[3] = {Quad(1, 1, 1), Quad(2, 2, 2), Quad(3, 3, 3)};
  EXPECT_EQ(SetDIBColorTable(pal.dc(), 1, 3, fresh), 1u);
  ASSERT_EQ(GetDIBColorTable(pal.dc(), 0, 2, got), 2u);
  EXPECT_EQ(Rgb(got[0]), 0x0A141Eu);
  EXPECT_EQ(Rgb(got[1]), 0x010101u);
  EXPECT_EQ(GetDIBColorTable(pal.dc(), 0, 2, nullptr), 0u);

  // No table: 24-bit sections, device-dependent bitmaps, the screen.
  Dib rgb(2, 2, 24);
  EXPECT_EQ(GetDIBColorTable(rgb.dc(), 0, 256, got), 0u);
  EXPECT_EQ(SetDIBColorTable(rgb.dc(), 0, 1, fresh), 0u);
  HDC dc = CreateCompatibleDC(0);
  EXPECT_EQ(GetDIBColorTable(dc, 0, 256, got), 0u);  // the stock bitmap
  HDC screen = GetDC(GetDesktopWindow());
  EXPECT_EQ(GetDIBColorTable(screen, 0, 256, got), 0u);
  ReleaseDC(GetDesktopWindow(), screen);
  DeleteDC(dc);
}

TEST(GdiHandles, TablesSurviveCallsFromSeveralThreads) {
  constexpr int kThreads = 4, kRounds = 300;
  std::vector<std::vector<HANDLE32>> kept(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &kept, &failures] {
      for (int i = 0; i < kRounds; ++i) {
        HDC dc = CreateCompatibleDC(0);
        HBITMAP b = CreateBitmap(4, 4, 1, 24, nullptr);
        HGDIOBJ old = SelectObject(dc, b);
        if (dc == 0 || b == 0 || old == 0 || !BitBlt(dc, 0, 0, 4, 4, 0, 0, 0, WHITENESS)) {
          ++failures[t];
        }
        SelectObject(dc, old);
        if (i % 3 == 0) {
          kept[t].push_back(b);  // freed after the threads finish
        } else if (!DeleteObject(b)) {
          ++failures[t];
        }
        if (!DeleteDC(dc)) {
          ++failures[t];
        }
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  std::set<HANDLE32> unique;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0);
    for (HANDLE32 h : kept[t]) {
      unique.insert(h);
    }
  }
  EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads * ((kRounds + 2) / 3)));
  for (HANDLE32 h : unique) {
    EXPECT_TRUE(DeleteObject(h));
  }
}

TEST(GdiStretchMode, SetReturnsThePreviousMode) {
  HDC dc = CreateCompatibleDC(0);
  EXPECT_EQ(GetStretchBltMode(dc), BLACKONWHITE);
  EXPECT_EQ(SetStretchBltMode(dc, HALFTONE), BLACKONWHITE);
  EXPECT_EQ(SetStretchBltMode(dc, 0), 0);
  EXPECT_EQ(SetStretchBltMode(dc, 5), 0);
  EXPECT_EQ(SetStretchBltMode(dc, COLORONCOLOR), HALFTONE);
  EXPECT_EQ(GetStretchBltMode(dc), COLORONCOLOR);
  DeleteDC(dc);
}

TEST(GdiMemoryDc, OwnsTheDcAndAnOwnedBitmapAndPutsBackWhatTheDcHeld) {
  const BITMAPINFOHEADER h = DibHeader(5, -3, 8);
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biWidth, 5);
  EXPECT_EQ(h.biHeight, -3);
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 8);
  EXPECT_EQ(h.biSizeImage, 0u);
  const auto newDib = [] {
    const BITMAPINFO bmi = Header(4, 2, 24);
    void* bits = nullptr;
    return CreateDIBSection(0, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  };
  BITMAP bm{};
  // Owned: deleted after the DC's stock bitmap is put back, then the DC goes.
  const HBITMAP owned = newDib();
  HDC dc = 0;
  {
    MemoryDc first(0);
    dc = first.Dc();
    ASSERT_TRUE(first.Select(owned, MemoryDc::kOwned));
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), owned);
    MemoryDc second = std::move(first);
    EXPECT_EQ(first.Dc(), 0u);
    EXPECT_EQ(first.Bitmap(), 0u);
    EXPECT_EQ(second.Bitmap(), owned);
    // A handle the layer refuses is reported, and the DC keeps what it held.
    const HBITMAP gone = newDib();
    ASSERT_TRUE(DeleteObject(gone));
    MemoryDc other(0);
    const HGDIOBJ stock = GetCurrentObject(other.Dc(), OBJ_BITMAP);
    EXPECT_FALSE(other.Select(gone, MemoryDc::kBorrowed));
    EXPECT_EQ(GetCurrentObject(other.Dc(), OBJ_BITMAP), stock);
    first = std::move(second);
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), owned);
  }
  EXPECT_EQ(GetObjectA(owned, sizeof bm, &bm), 0);
  EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), 0u);
  // Borrowed: put back and left alive, free to be selected elsewhere.
  const HBITMAP borrowed = newDib();
  MemoryDc dcOf(0);
  const HGDIOBJ stock = GetCurrentObject(dcOf.Dc(), OBJ_BITMAP);
  ASSERT_TRUE(dcOf.Select(borrowed, MemoryDc::kBorrowed));
  dcOf.Deselect();
  EXPECT_EQ(dcOf.Bitmap(), 0u);
  EXPECT_EQ(GetCurrentObject(dcOf.Dc(), OBJ_BITMAP), stock);
  EXPECT_TRUE(DeleteObject(borrowed));
}

}  // namespace
}  // namespace okuva::gdi
