// Round trips through libjpeg-turbo: every sampling layout, odd sizes and every
// quality decode without a warning and come back close to the source.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jpeg/cjpeg.h"
#include "jpeg/component.h"
#include "tests/jpeg/jpeg_test_util.h"

namespace okuva::jpeg {
namespace {

using test::Decode;
using test::Dib;
using test::Psnr;

struct Layout {
  const char* name;
  int h1, v1, h2, v2, h3, v3;
  bool Grey() const { return h2 == 0; }
};

const Layout kLayouts[] = {
    {"grey", 1, 1, 0, 0, 0, 0},        {"2x2,1x1,1x1", 2, 2, 1, 1, 1, 1},
    {"1x1,1x1,1x1", 1, 1, 1, 1, 1, 1}, {"2x1,1x1,1x1", 2, 1, 1, 1, 1, 1},
    {"1x2,1x1,1x1", 1, 2, 1, 1, 1, 1}, {"1x1,2x2,1x1", 1, 1, 2, 2, 1, 1},
    {"2x2,2x2,2x2", 2, 2, 2, 2, 2, 2}, {"4x4,1x1,1x1", 4, 4, 1, 1, 1, 1},
    {"4x2,2x2,1x1", 4, 2, 2, 2, 1, 1}, {"3x1,1x1,1x1", 3, 1, 1, 1, 1, 1},
    {"1x1,1x1,4x4", 1, 1, 1, 1, 4, 4}, {"2x3,1x1,1x1", 2, 3, 1, 1, 1, 1},
};

void Configure(cJpeg& jpeg, const Layout& l, int quality) {
  jpeg.SetSamplingFrequencies(l.h1, l.v1, l.h2, l.v2, l.h3, l.v3);
  jpeg.Quality(quality);
}

// The same settings for libjpeg-turbo, taken from the configured encoder.
test::ReferenceSettings ReferenceFor(const cJpeg& jpeg) {
  test::ReferenceSettings s;
  s.components = jpeg.Components();
  std::vector<ScanEntry> entries;
  for (int c = 0; c < s.components; ++c) {
    s.h[c] = jpeg.Component(c).Hi;
    s.v[c] = jpeg.Component(c).Vi;
    entries.push_back({c, 0, 0});
  }
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      const auto z =
          static_cast<size_t>(jpeg.ZigZag()[static_cast<size_t>(x)][static_cast<size_t>(y)]);
      s.luma[y * 8 + x] = static_cast<unsigned>(jpeg.QTable(0).Qk[z]);
      s.chroma[y * 8 + x] = static_cast<unsigned>(jpeg.QTable(1).Qk[z]);
    }
  }
  std::vector<int32_t> blocks;
  for (int c = 0; c < s.components; ++c) {
    blocks.push_back(s.h[c] * s.v[c]);
  }
  for (const ScanGroup& g : GroupScans(blocks, 0, s.components - 1)) {
    s.scans.push_back({g.first, g.last});
  }
  return s;
}

std::vector<uint8_t> Rgb(const Dib& dib) {
  std::vector<uint8_t> rgb;
  for (int32_t y = 0; y < dib.Height(); ++y) {
    for (int32_t x = 0; x < dib.Width(); ++x) {
      const uint8_t* p = dib.At(x, y);
      rgb.insert(rgb.end(), {p[2], p[1], p[0]});
    }
  }
  return rgb;
}

TEST(RoundTrip, TheDecoderCheckReportsWarnings) {
  Dib dib(40, 40);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto();
  cJpeg jpeg;
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 40, 40, 0, 0), 0);
  auto bytes = jpeg.Encode();
  ASSERT_TRUE(Decode(bytes, false).ok);
  bytes.resize(bytes.size() - 30);  // cut into the coded data
  const auto d = Decode(bytes, false);
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.error.rfind("warning", 0), 0u) << d.error;
}

// Every layout at odd sizes: decodes without warning, at the right size, and as close
// to the source as libjpeg-turbo's own encoding with the same settings.
TEST(RoundTrip, EveryLayoutAndOddSize) {
  const std::pair<int, int> sizes[] = {{1, 1},   {6, 6},     {7, 3},  {17, 9},
                                       {1, 257}, {333, 777}, {64, 48}};
  for (const Layout& l : kLayouts) {
    for (auto [w, h] : sizes) {
      SCOPED_TRACE(std::string(l.name) + " " + std::to_string(w) + "x" + std::to_string(h));
      Dib dib(w, h);
      ASSERT_TRUE(dib.Ok());
      dib.FillPhoto(static_cast<uint32_t>(w * 31 + h));
      cJpeg jpeg;
      Configure(jpeg, l, 75);
      ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), w, h, 0, 0), 0);
      const auto ours = Decode(jpeg.Encode(), l.Grey());
      ASSERT_TRUE(ours.ok) << ours.error;
      ASSERT_EQ(ours.width, w);
      ASSERT_EQ(ours.height, h);
      ASSERT_EQ(ours.components, l.Grey() ? 1 : 3);
      const auto rgb = Rgb(dib);
      const auto refBytes = test::ReferenceEncode(rgb.data(), w, h, ReferenceFor(jpeg));
      ASSERT_FALSE(refBytes.empty());
      const auto ref = Decode(refBytes, l.Grey());
      ASSERT_TRUE(ref.ok) << ref.error;
      const double psnr = Psnr(dib, ours, l.Grey());
      const double refPsnr = Psnr(dib, ref, l.Grey());
      // Planes scaled to ceil-sized grids sit slightly off the decoder's upsampling
      // grid; that costs small odd-sized pictures up to about 3 dB of chroma accuracy.
      const double margin = (w < 32 || h < 32) ? 3.0 : 1.0;
      EXPECT_GE(psnr, refPsnr - margin);
    }
  }
}

// PSNR floors for the 96 x 72 test picture, calibrated on this encoder and well below
// libjpeg-turbo's figures for the same tables.
double Floor(bool grey, int q) {
  if (grey) {
    return q < 10 ? 27 : q < 20 ? 34 : q < 50 ? 36.5 : q < 90 ? 38.5 : q < 98 ? 40.5 : 47;
  }
  return q < 10 ? 22 : q < 20 ? 27.5 : q < 40 ? 31.5 : q < 90 ? 34 : q < 98 ? 36.5 : 40;
}

TEST(RoundTrip, EveryQuality) {
  Dib dib(96, 72);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto(7);
  for (const Layout& l : {kLayouts[0], kLayouts[1]}) {
    size_t previousSize = 0;
    for (int q = 1; q <= 100; ++q) {
      SCOPED_TRACE(std::string(l.name) + " q" + std::to_string(q));
      cJpeg jpeg;
      Configure(jpeg, l, q);
      ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 96, 72, 0, 0), 0);
      const auto bytes = jpeg.Encode();
      const auto d = Decode(bytes, l.Grey());
      ASSERT_TRUE(d.ok) << d.error;
      EXPECT_GE(Psnr(dib, d, l.Grey()), Floor(l.Grey(), q));
      // Finer tables never make the file much smaller.
      EXPECT_GE(bytes.size() + 16, previousSize);
      previousSize = bytes.size();
    }
  }
}

}  // namespace
}  // namespace okuva::jpeg
