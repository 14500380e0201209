// The encoder reads a 24-bit DIB section in place and draws every other source (and the
// scaled planes) through the raster layer. Both routes must give the same file for the
// same pixels: the drawn route is the reference the in-place reading is held to. Sizes
// whose scaled planes divide the height evenly are drawn and sampled in bands.
#include <gtest/gtest.h>

#include <vector>

#include "jpeg/cjpeg.h"
#include "tests/jpeg/jpeg_test_util.h"

namespace okuva::jpeg {
namespace {

// A 24-bit bitmap of another kind holding the same pixels as dib, selected in a DC:
// device-dependent (no pixel address, so it is drawn) or a top-down DIB section.
class OtherSource {
public:
  OtherSource(const test::Dib& dib, bool topDownDib) {
    dc_ = gdi::CreateCompatibleDC(0);
    const int32_t w = dib.Width(), h = dib.Height();
    if (topDownDib) {
      const gdi::BITMAPINFOHEADER bih = gdi::DibHeader(w, -h, 24);
      void* bits = nullptr;
      bitmap_ = gdi::CreateDIBSection(dc_, &bih, gdi::DIB_RGB_COLORS, &bits, nullptr, 0);
      const int32_t stride = (3 * w + 3) & ~3;
      for (int32_t y = 0; y < h && bits != nullptr; ++y) {
        for (int32_t x = 0; x < 3 * w; ++x) {
          static_cast<uint8_t*>(bits)[static_cast<size_t>(y * stride + x)] = dib.At(0, y)[x];
        }
      }
    } else {
      // Top-down rows padded to 2 bytes.
      const int32_t stride = (3 * w + 1) & ~1;
      std::vector<uint8_t> rows(static_cast<size_t>(stride) * static_cast<size_t>(h));
      for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < 3 * w; ++x) {
          rows[static_cast<size_t>(y * stride + x)] = dib.At(0, y)[x];
        }
      }
      bitmap_ = gdi::CreateBitmap(w, h, 1, 24, rows.data());
    }
    if (bitmap_ != 0) {
      previous_ = gdi::SelectObject(dc_, bitmap_);
    }
  }
  ~OtherSource() {
    if (bitmap_ != 0) {
      gdi::SelectObject(dc_, previous_);
      gdi::DeleteObject(bitmap_);
    }
    gdi::DeleteDC(dc_);
  }
  OtherSource(const OtherSource&) = delete;
  OtherSource& operator=(const OtherSource&) = delete;
  bool Ok() const { return bitmap_ != 0 && previous_ != 0; }
  gdi::HDC Dc() const { return dc_; }

private:
  gdi::HDC dc_ = 0;
  gdi::HBITMAP bitmap_ = 0;
  gdi::HGDIOBJ previous_ = 0;
};

std::vector<uint8_t> EncodeFrom(gdi::HDC dc, int32_t w, int32_t h, int32_t left, int32_t top,
                                const int (&f)[6], int quality) {
  cJpeg jpeg;
  jpeg.SetSamplingFrequencies(f[0], f[1], f[2], f[3], f[4], f[5]);
  jpeg.Quality(quality);
  if (jpeg.SampleHDC(dc, w, h, left, top) != 0) {
    return {};
  }
  return jpeg.Encode();
}

TEST(SamplingSource, InPlaceReadingMatchesTheDrawnReference) {
  const int layouts[][6] = {{1, 1, 0, 0, 0, 0}, {2, 2, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1},
                            {1, 1, 2, 2, 1, 1}, {4, 2, 2, 2, 1, 1}, {3, 1, 1, 1, 1, 1}};
  const int sizes[][2] = {{1, 1},
                          {7, 3},
                          {17, 9},
                          {16, 16},
                          {41, 23},
                          {1, 33},
                          {42, 32},
                          {41, 48},
                          // 4:2:0 planes halved in place, past the vector step and its tail
                          {178, 16}};
  for (const auto& size : sizes) {
    test::Dib dib(size[0], size[1]);
    ASSERT_TRUE(dib.Ok());
    dib.FillPhoto(static_cast<uint32_t>(size[0] * 31 + size[1]));
    OtherSource drawn(dib, false), topDown(dib, true);
    ASSERT_TRUE(drawn.Ok());
    ASSERT_TRUE(topDown.Ok());
    for (const auto& f : layouts) {
      SCOPED_TRACE(::testing::Message() << size[0] << "x" << size[1] << " layout " << f[0] << f[1]
                                        << "," << f[2] << f[3] << "," << f[4] << f[5]);
      const auto reference = EncodeFrom(drawn.Dc(), size[0], size[1], 0, 0, f, 75);
      ASSERT_FALSE(reference.empty());
      EXPECT_EQ(EncodeFrom(dib.Dc(), size[0], size[1], 0, 0, f, 75), reference);
      EXPECT_EQ(EncodeFrom(topDown.Dc(), size[0], size[1], 0, 0, f, 75), reference);
    }
  }
}

// 4:2:0 chroma of noise (every rounding of the 2 x 2 means) sampled in place, in groups
// of eight blocks with a remainder and repeated last rows, against the drawn reference.
TEST(SamplingSource, HalvedChromaOfNoiseMatchesTheDrawnReference) {
  test::Dib dib(272, 36);
  ASSERT_TRUE(dib.Ok());
  uint32_t state = 17;
  dib.Fill([&](int32_t, int32_t, uint8_t* p) {
    for (int c = 0; c < 3; ++c) {
      state = state * 1664525u + 1013904223u;
      p[c] = static_cast<uint8_t>(state >> 24);
    }
  });
  OtherSource drawn(dib, false);
  ASSERT_TRUE(drawn.Ok());
  const int f[6] = {2, 2, 1, 1, 1, 1};
  for (int quality : {50, 100}) {
    const auto reference = EncodeFrom(drawn.Dc(), 272, 36, 0, 0, f, quality);
    ASSERT_FALSE(reference.empty());
    EXPECT_EQ(EncodeFrom(dib.Dc(), 272, 36, 0, 0, f, quality), reference) << quality;
  }
}

// A rectangle inside the picture is read in place; one reaching past its edge is drawn
// (the part outside reads black). Both must agree with the drawn reference.
TEST(SamplingSource, SubRectanglesMatchTheDrawnReference) {
  test::Dib dib(37, 29);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto(5);
  OtherSource drawn(dib, false), topDown(dib, true);
  ASSERT_TRUE(drawn.Ok());
  ASSERT_TRUE(topDown.Ok());
  const int f[6] = {2, 2, 1, 1, 1, 1};
  const int rects[][4] = {
      {3, 5, 19, 13}, {0, 0, 37, 29}, {36, 28, 1, 1}, {30, 20, 12, 15}, {-2, -3, 10, 9}};
  for (const auto& r : rects) {
    SCOPED_TRACE(::testing::Message() << r[0] << "," << r[1] << " " << r[2] << "x" << r[3]);
    const auto reference = EncodeFrom(drawn.Dc(), r[2], r[3], r[0], r[1], f, 50);
    ASSERT_FALSE(reference.empty());
    EXPECT_EQ(EncodeFrom(dib.Dc(), r[2], r[3], r[0], r[1], f, 50), reference);
    EXPECT_EQ(EncodeFrom(topDown.Dc(), r[2], r[3], r[0], r[1], f, 50), reference);
  }
}

}  // namespace
}  // namespace okuva::jpeg
