// The clipboard calls: ownership of the handed-over bitmap, refusals, round trip
// through the in-process backend and an installed one.
#include <gtest/gtest.h>

#include "platform/gdi/clipboard.h"
#include "tests/platform/gdi/gdi_helpers.h"

namespace okuva::gdi {
namespace {

using testing::Dib;

// A 3 x 2 screen-format bitmap with distinct pixels; the caller owns it.
HBITMAP MakePicture() {
  Dib src(3, 2, 24);
  for (int32_t y = 0; y < 2; ++y) {
    for (int32_t x = 0; x < 3; ++x) {
      src.Set(x, y, static_cast<uint32_t>(0x102030 * (y * 3 + x + 1)));
    }
  }
  HDC screen = GetDC(GetDesktopWindow());
  HBITMAP b = CreateCompatibleBitmap(screen, 3, 2);
  ReleaseDC(GetDesktopWindow(), screen);
  HDC dc = CreateCompatibleDC(0);
  HGDIOBJ old = SelectObject(dc, b);
  BitBlt(dc, 0, 0, 3, 2, src.dc(), 0, 0, SRCCOPY);
  SelectObject(dc, old);
  DeleteDC(dc);
  return b;
}

std::vector<uint32_t> Read(HBITMAP b, int32_t w, int32_t h) {
  Dib out(w, h, 24);
  HDC dc = CreateCompatibleDC(0);
  HGDIOBJ old = SelectObject(dc, b);
  BitBlt(out.dc(), 0, 0, w, h, dc, 0, 0, SRCCOPY);
  SelectObject(dc, old);
  DeleteDC(dc);
  return out.Pixels();
}

void ClearClipboard() {
  ASSERT_TRUE(OpenClipboard(0));
  ASSERT_TRUE(EmptyClipboard());
  ASSERT_TRUE(CloseClipboard());
}

TEST(GdiClipboard, RoundTripAndOwnership) {
  ClearClipboard();
  EXPECT_EQ(GetClipboardBitmap(), 0u);
  HBITMAP picture = MakePicture();
  const std::vector<uint32_t> expected = Read(picture, 3, 2);
  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_FALSE(OpenClipboard(0));  // already open
  ASSERT_TRUE(EmptyClipboard());
  EXPECT_NE(SetClipboardData(CF_BITMAP, picture), 0u);
  // The clipboard owns it now: the caller can neither delete nor select it.
  EXPECT_FALSE(DeleteObject(picture));
  HDC dc = CreateCompatibleDC(0);
  EXPECT_EQ(SelectObject(dc, picture), 0u);
  DeleteDC(dc);
  ASSERT_TRUE(CloseClipboard());
  EXPECT_FALSE(CloseClipboard());

  HBITMAP copy = GetClipboardBitmap();
  ASSERT_NE(copy, 0u);
  BITMAP bm{};
  GetObjectA(copy, sizeof bm, &bm);
  EXPECT_EQ(bm.bmWidth, 3);
  EXPECT_EQ(bm.bmHeight, 2);
  EXPECT_EQ(bm.bmBitsPixel, 32);
  EXPECT_EQ(Read(copy, 3, 2), expected);
  EXPECT_TRUE(DeleteObject(copy));

  // Emptying the clipboard frees the bitmap it owned.
  ClearClipboard();
  EXPECT_EQ(GetObjectA(picture, sizeof bm, &bm), 0);
  EXPECT_EQ(GetClipboardBitmap(), 0u);
}

TEST(GdiClipboard, Refusals) {
  ClearClipboard();
  HBITMAP picture = MakePicture();
  EXPECT_EQ(SetClipboardData(CF_BITMAP, picture), 0u);  // not open
  EXPECT_FALSE(EmptyClipboard());
  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_EQ(SetClipboardData(8, picture), 0u);  // only bitmaps
  EXPECT_EQ(SetClipboardData(CF_BITMAP, 0), 0u);
  HBITMAP stale = CreateBitmap(1, 1, 1, 32, nullptr);
  ASSERT_TRUE(DeleteObject(stale));
  EXPECT_EQ(SetClipboardData(CF_BITMAP, stale), 0u);
  HDC dc = CreateCompatibleDC(0);
  HGDIOBJ old = SelectObject(dc, picture);
  EXPECT_EQ(SetClipboardData(CF_BITMAP, picture), 0u);  // still selected
  SelectObject(dc, old);
  DeleteDC(dc);
  CloseClipboard();
  // After the refusals the caller still owns the bitmap.
  EXPECT_TRUE(DeleteObject(picture));
  EXPECT_EQ(GetClipboardBitmap(), 0u);
}

class RefusingBackend : public ClipboardBackend {
public:
  bool Open() override { return true; }
  void Close() override {}
  void Clear() override { ++clears; }
  bool SetImage(const ClipboardImage& image) override {
    last = image;
    return accept;
  }
  std::optional<ClipboardImage> GetImage() override { return last; }
  bool accept = false;
  int clears = 0;
  std::optional<ClipboardImage> last;
};

TEST(GdiClipboard, InstalledBackendReceivesTheImage) {
  auto backend = std::make_shared<RefusingBackend>();
  auto previous = SetClipboardBackend(backend);
  HBITMAP picture = MakePicture();
  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_TRUE(EmptyClipboard());
  EXPECT_EQ(backend->clears, 1);
  EXPECT_EQ(SetClipboardData(CF_BITMAP, picture), 0u);  // the backend refused
  backend->accept = true;
  EXPECT_NE(SetClipboardData(CF_BITMAP, picture), 0u);
  CloseClipboard();
  ASSERT_TRUE(backend->last.has_value());
  EXPECT_EQ(backend->last->width, 3);
  EXPECT_EQ(backend->last->height, 2);
  ASSERT_EQ(backend->last->bgrx.size(), 24u);
  // Top-down rows, blue first: pixel (1, 0) holds 0x102030 * 2.
  EXPECT_EQ(backend->last->bgrx[4], 0x60);
  EXPECT_EQ(backend->last->bgrx[5], 0x40);
  EXPECT_EQ(backend->last->bgrx[6], 0x20);
  // A malformed image from a backend is no picture.
  backend->last->bgrx.resize(5);
  EXPECT_EQ(GetClipboardBitmap(), 0u);
  SetClipboardBackend(previous);
  ClearClipboard();
}

}  // namespace
}  // namespace okuva::gdi
