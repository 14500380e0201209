#include "surface/cdibsection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/gdi/clipboard.h"
#include "platform/gdi/memory_dc.h"
#include "platform/runtime/error.h"
#include "platform/runtime/services.h"

namespace okuva {
namespace {

// A 24-bit DIB of the raster layer selected in a memory DC, as a source or target.
struct MemSurface {
  gdi::HDC dc = 0;
  gdi::HBITMAP bmp = 0;
  gdi::HGDIOBJ old = 0;
  uint8_t* bits = nullptr;
  int32_t w = 0, h = 0, stride = 0;

  MemSurface(int32_t width, int32_t height) : w(width), h(height) {
    const gdi::BITMAPINFOHEADER bih = gdi::DibHeader(w, h, 24);
    void* p = nullptr;
    dc = gdi::CreateCompatibleDC(0);
    bmp = gdi::CreateDIBSection(dc, &bih, gdi::DIB_RGB_COLORS, &p, nullptr, 0);
    bits = static_cast<uint8_t*>(p);
    old = gdi::SelectObject(dc, bmp);
    stride = (w * 3 + 3) & ~3;
  }
  ~MemSurface() {
    gdi::SelectObject(dc, old);
    gdi::DeleteObject(bmp);
    gdi::DeleteDC(dc);
  }
  uint8_t* At(int32_t x, int32_t yTop) const { return bits + (h - 1 - yTop) * stride + 3 * x; }
};

uint8_t* PixelOf(const cDIBSection& d, int32_t x, int32_t yTop) {
  return d.DIBSectionBitsPtr() + (d.Height() - 1 - yTop) * d.BytesPerScanLine() + 3 * x;
}

void FillPattern(const MemSurface& s) {
  for (int32_t y = 0; y < s.h; ++y) {
    for (int32_t x = 0; x < s.w; ++x) {
      uint8_t* p = s.At(x, y);
      p[0] = static_cast<uint8_t>(x);
      p[1] = static_cast<uint8_t>(y);
      p[2] = 200;
    }
  }
}

class RecordingMessages : public MessageBoxService {
public:
  void Show(const std::string& text, MessageIcon icon, const std::string& title) override {
    texts.push_back(text);
    icons.push_back(icon);
    titles.push_back(title);
  }
  std::vector<std::string> texts;
  std::vector<MessageIcon> icons;
  std::vector<std::string> titles;
};

TEST(DIBSectionCreate, GeometryOfFiveByTwo) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(5, 2));
  EXPECT_EQ(d.BytesPerScanLine(), 16);
  EXPECT_EQ(d.Width(), 5);
  EXPECT_EQ(d.Height(), 2);
  EXPECT_NE(d.hdc(), 0u);
  EXPECT_NE(d.hDib(), 0u);
  ASSERT_NE(d.DIBSectionBitsPtr(), nullptr);

  gdi::BITMAP bm{};
  ASSERT_NE(gdi::GetObjectA(d.hDib(), sizeof bm, &bm), 0);
  EXPECT_EQ(bm.bmWidth, 5);
  EXPECT_EQ(bm.bmHeight, 2);
  EXPECT_EQ(bm.bmWidthBytes, 16);
  EXPECT_EQ(bm.bmBitsPixel, 24);
  EXPECT_EQ(bm.bmBits, d.DIBSectionBitsPtr());  // the DIB's own memory, not a copy
  // The whole image (2 rows of 16 bytes) is addressable and starts zeroed.
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(d.DIBSectionBitsPtr()[i], 0) << i;
  }
}

TEST(DIBSectionCreate, RowSizesArePaddedToWords) {
  const int32_t widths[] = {1, 2, 3, 4, 5, 7, 8};
  const int32_t expected[] = {4, 8, 12, 12, 16, 24, 24};
  for (size_t i = 0; i < std::size(widths); ++i) {
    cDIBSection d;
    ASSERT_TRUE(d.Create(widths[i], 1));
    EXPECT_EQ(d.BytesPerScanLine(), expected[i]) << "width " << widths[i];
  }
}

TEST(DIBSectionCreate, ZeroAndNegativeSizesFailAndLeaveNothing) {
  cDIBSection d;
  EXPECT_FALSE(d.Create(0, 0));
  EXPECT_EQ(d.hdc(), 0u);
  EXPECT_EQ(d.hDib(), 0u);
  EXPECT_EQ(d.DIBSectionBitsPtr(), nullptr);
  EXPECT_EQ(d.Width(), 0);
  EXPECT_EQ(d.Height(), 0);
  EXPECT_EQ(d.BytesPerScanLine(), 0);

  // A negative height would give top-down rows, which every user of the surface
  // would read upside down.
  EXPECT_FALSE(d.Create(4, -4));
  EXPECT_EQ(d.hDib(), 0u);
  EXPECT_FALSE(d.Create(-4, 4));
  EXPECT_EQ(d.hdc(), 0u);
}

TEST(DIBSectionCreate, OverflowingSizesRaiseSix) {
  cDIBSection d;
  try {
    d.Create(800000000, 1);  // 3 x width does not fit in 32 bits
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 6);
  }
  EXPECT_EQ(d.hDib(), 0u);
  try {
    d.Create(100000, 100000);  // the image size does not fit
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 6);
  }
  d.ClearUp();
  EXPECT_EQ(d.hdc(), 0u);
  // The object is still usable.
  EXPECT_TRUE(d.Create(3, 3));
}

TEST(DIBSectionLifecycle, SecondCreateFreesTheFirstSurface) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(5, 2));
  const gdi::HBITMAP first = d.hDib();
  const gdi::HDC firstDc = d.hdc();
  ASSERT_TRUE(d.Create(7, 3));
  gdi::BITMAP bm{};
  EXPECT_EQ(gdi::GetObjectA(first, sizeof bm, &bm), 0) << "first DIB still alive";
  EXPECT_FALSE(gdi::DeleteDC(firstDc)) << "first DC still alive";
  EXPECT_EQ(d.Width(), 7);
  ASSERT_NE(gdi::GetObjectA(d.hDib(), sizeof bm, &bm), 0);
  EXPECT_EQ(bm.bmWidth, 7);
}

TEST(DIBSectionLifecycle, ClearUpFreesOnceAndKeepsTheSize) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(5, 2));
  const gdi::HBITMAP dib = d.hDib();
  d.ClearUp();
  EXPECT_EQ(d.hdc(), 0u);
  EXPECT_EQ(d.hDib(), 0u);
  EXPECT_EQ(d.DIBSectionBitsPtr(), nullptr);
  EXPECT_EQ(d.Width(), 5);
  EXPECT_EQ(d.Height(), 2);
  gdi::BITMAP bm{};
  EXPECT_EQ(gdi::GetObjectA(dib, sizeof bm, &bm), 0);
  d.ClearUp();  // a second time changes nothing
  EXPECT_EQ(d.hdc(), 0u);
  EXPECT_EQ(d.Width(), 5);
}

TEST(DIBSectionLifecycle, DestructionFreesTheSurface) {
  gdi::HBITMAP dib = 0;
  {
    cDIBSection d;
    ASSERT_TRUE(d.Create(4, 4));
    dib = d.hDib();
  }
  gdi::BITMAP bm{};
  EXPECT_EQ(gdi::GetObjectA(dib, sizeof bm, &bm), 0);
}

TEST(DIBSectionLifecycle, CreateDibOnALiveSurfaceNeverDescribesAnotherBitmap) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 4));
  MemSurface other(2, 2);
  gdi::HBITMAP made = 0;
  ASSERT_TRUE(d.CreateDIB(other.dc, 9, 9, made));
  ASSERT_NE(made, 0u);
  // Width now says 9: the 4 x 4 surface was let go rather than mis-described, and the
  // caller's own DIB is not handed out as this object's pixel memory.
  EXPECT_EQ(d.Width(), 9);
  EXPECT_EQ(d.hDib(), 0u);
  EXPECT_EQ(d.DIBSectionBitsPtr(), nullptr);
  EXPECT_TRUE(gdi::DeleteObject(made));
}

TEST(DIBSectionBlits, LoadPictureBltCopiesToTheTopLeftAndClips) {
  MemSurface src(20, 6);
  FillPattern(src);
  cDIBSection d;
  ASSERT_TRUE(d.Create(5, 2));

  d.LoadPictureBlt(src.dc);  // -1, -1: the surface's own size
  for (int32_t y = 0; y < 2; ++y) {
    for (int32_t x = 0; x < 5; ++x) {
      const uint8_t* p = PixelOf(d, x, y);
      EXPECT_EQ(p[0], x);
      EXPECT_EQ(p[1], y);
      EXPECT_EQ(p[2], 200);
    }
  }

  // A 10-pixel-wide rectangle from (3, 2): clipped to the 5-pixel surface.
  d.LoadPictureBlt(src.dc, 3, 2, 10, -1);
  for (int32_t y = 0; y < 2; ++y) {
    for (int32_t x = 0; x < 5; ++x) {
      EXPECT_EQ(PixelOf(d, x, y)[0], x + 3);
      EXPECT_EQ(PixelOf(d, x, y)[1], y + 2);
    }
  }
  // Padding bytes beyond the pixels stay untouched.
  EXPECT_EQ(d.DIBSectionBitsPtr()[15], 0);
}

TEST(DIBSectionBlits, NarrowLoadTouchesOnlyItsColumns) {
  MemSurface src(8, 4);
  FillPattern(src);
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 2));
  d.LoadPictureBlt(src.dc, 0, 0, 2, -1);
  EXPECT_EQ(PixelOf(d, 1, 0)[2], 200);
  EXPECT_EQ(PixelOf(d, 2, 0)[2], 0);
  EXPECT_EQ(PixelOf(d, 3, 1)[2], 0);
}

TEST(DIBSectionBlits, PaintPictureDrawsAtTheGivenPlace) {
  MemSurface src(4, 3);
  FillPattern(src);
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 3));
  d.LoadPictureBlt(src.dc);

  MemSurface dst(10, 10);
  d.PaintPicture(dst.dc, 5, 6);
  EXPECT_EQ(dst.At(5, 6)[0], 0);
  EXPECT_EQ(dst.At(5, 6)[2], 200);
  EXPECT_EQ(dst.At(8, 8)[0], 3);
  EXPECT_EQ(dst.At(8, 8)[1], 2);
  EXPECT_EQ(dst.At(4, 6)[2], 0);
  EXPECT_EQ(dst.At(9, 6)[2], 0);

  // A source offset with an explicit size.
  MemSurface dst2(4, 4);
  d.PaintPicture(dst2.dc, 0, 0, 2, 1, 1, 2);
  EXPECT_EQ(dst2.At(0, 0)[0], 1);
  EXPECT_EQ(dst2.At(0, 0)[1], 2);
  EXPECT_EQ(dst2.At(1, 0)[0], 2);
  EXPECT_EQ(dst2.At(2, 0)[2], 0);
  EXPECT_EQ(dst2.At(0, 1)[2], 0);
}

TEST(DIBSectionBlits, BlitsOnAnEmptySurfaceChangeNothing) {
  MemSurface src(4, 4);
  FillPattern(src);
  MemSurface dst(4, 4);
  cDIBSection d;
  d.LoadPictureBlt(src.dc);
  d.PaintPicture(dst.dc);
  EXPECT_EQ(dst.At(3, 3)[2], 0);
}

// A palette picture, top row red and the rest blue, as pictures come from files.
StdPicture MakePalettePicture(int32_t w, int32_t h, bool topDown) {
  gdi::BITMAPINFO bmi{};
  bmi.bmiHeader = gdi::DibHeader(w, topDown ? -h : h, 8);
  bmi.bmiHeader.biClrUsed = 2;
  bmi.bmiColors[0] = {255, 0, 0, 0};  // blue
  bmi.bmiColors[1] = {0, 0, 255, 0};  // red
  void* p = nullptr;
  const gdi::HBITMAP bmp = gdi::CreateDIBSection(0, &bmi, gdi::DIB_RGB_COLORS, &p, nullptr, 0);
  if (bmp == 0) {
    return StdPicture();
  }
  auto* bits = static_cast<uint8_t*>(p);
  const int32_t stride = (w + 3) & ~3;
  const int32_t topRow = topDown ? 0 : h - 1;
  for (int32_t x = 0; x < w; ++x) {
    bits[topRow * stride + x] = 1;
  }
  return StdPicture(bmp);
}

TEST(DIBSectionFromPicture, ConvertsToTwentyFourBitsUpright) {
  for (bool topDown : {false, true}) {
    StdPicture pic = MakePalettePicture(6, 3, topDown);
    ASSERT_TRUE(pic);
    cDIBSection d;
    d.CreateFromPicture(pic);
    ASSERT_NE(d.hDib(), 0u);
    EXPECT_EQ(d.Width(), 6);
    EXPECT_EQ(d.Height(), 3);
    for (int32_t x = 0; x < 6; ++x) {
      const uint8_t* top = PixelOf(d, x, 0);
      EXPECT_EQ(top[0], 0);
      EXPECT_EQ(top[2], 255) << "top row red, topDown " << topDown;
      const uint8_t* bottom = PixelOf(d, x, 2);
      EXPECT_EQ(bottom[0], 255);
      EXPECT_EQ(bottom[2], 0);
    }
    // The picture is handed back intact: it can still be selected elsewhere.
    const gdi::HDC dc = gdi::CreateCompatibleDC(0);
    const gdi::HGDIOBJ old = gdi::SelectObject(dc, pic.Handle());
    EXPECT_NE(old, 0u);
    gdi::SelectObject(dc, old);
    gdi::DeleteDC(dc);
  }
}

TEST(DIBSectionFromPicture, PictureTooLargeForASurfaceRaisesOutOfMemory) {
  // 64 MiB as one bit per pixel, 1.5 GiB as a 24-bit surface: beyond what the raster
  // layer grants one bitmap.
  const gdi::HBITMAP mono = gdi::CreateBitmap(32768, 16384, 1, 1, nullptr);
  ASSERT_NE(mono, 0u);
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 4));
  try {
    d.CreateFromPicture(mono);
    ADD_FAILURE() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 7);
    EXPECT_EQ(e.Description(), "Out of memory");
  }
  EXPECT_EQ(d.hDib(), 0u);
  EXPECT_EQ(d.hdc(), 0u);
  EXPECT_EQ(d.DIBSectionBitsPtr(), nullptr);
  // The picture is untouched and the surface usable again.
  EXPECT_TRUE(gdi::DeleteObject(mono));
  EXPECT_TRUE(d.Create(4, 4));
}

TEST(DIBSectionFromPicture, PictureWithoutBitmapLeavesTheSurfaceEmpty) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(8, 8));
  d.CreateFromPicture(StdPicture());
  EXPECT_EQ(d.hDib(), 0u);
  EXPECT_EQ(d.hdc(), 0u);
  EXPECT_EQ(d.Width(), 0);
  EXPECT_EQ(d.Height(), 0);

  // A handle that is not a bitmap (a device context) is treated the same.
  const gdi::HDC dc = gdi::CreateCompatibleDC(0);
  d.CreateFromPicture(dc);
  EXPECT_EQ(d.hDib(), 0u);
  EXPECT_EQ(d.Width(), 0);
  gdi::DeleteDC(dc);
}

class DIBSectionClipboard : public ::testing::Test {
protected:
  void SetUp() override {
    messages_ = std::make_shared<RecordingMessages>();
    previous_ = SetMessageBoxService(messages_);
  }
  void TearDown() override { SetMessageBoxService(previous_); }
  std::shared_ptr<RecordingMessages> messages_;
  std::shared_ptr<MessageBoxService> previous_;
};

TEST_F(DIBSectionClipboard, AsDibShowsTheMessageAndCopiesNothing) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(3, 2));
  ASSERT_TRUE(gdi::OpenClipboard(0));
  gdi::EmptyClipboard();
  gdi::CloseClipboard();

  EXPECT_FALSE(d.CopyToClipboard());
  ASSERT_EQ(messages_->texts.size(), 1u);
  EXPECT_EQ(messages_->texts[0],
            "I don't know how to put a DIB on the clipboard! Copy as bitmap instead!!!");
  EXPECT_EQ(messages_->icons[0], MessageIcon::None);
  EXPECT_EQ(messages_->titles[0], AppTitle());  // the program's default title
  EXPECT_EQ(gdi::GetClipboardBitmap(), 0u);
}

TEST_F(DIBSectionClipboard, AsBitmapPlacesTheSurfacePixels) {
  MemSurface src(3, 2);
  FillPattern(src);
  cDIBSection d;
  ASSERT_TRUE(d.Create(3, 2));
  d.LoadPictureBlt(src.dc);

  ASSERT_TRUE(d.CopyToClipboard(false));
  EXPECT_TRUE(messages_->texts.empty());
  StdPicture got(gdi::GetClipboardBitmap());
  ASSERT_TRUE(got);
  EXPECT_EQ(got.Width(), 3);
  EXPECT_EQ(got.Height(), 2);
  cDIBSection back;
  back.CreateFromPicture(got);
  ASSERT_NE(back.hDib(), 0u);
  for (int32_t y = 0; y < 2; ++y) {
    for (int32_t x = 0; x < 3; ++x) {
      for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(PixelOf(back, x, y)[c], PixelOf(d, x, y)[c]) << x << "," << y;
      }
    }
  }
}

TEST_F(DIBSectionClipboard, AsBitmapOfAnEmptySurfaceFails) {
  cDIBSection d;
  EXPECT_FALSE(d.CopyToClipboard(false));
  EXPECT_TRUE(messages_->texts.empty());
}

}  // namespace
}  // namespace okuva
