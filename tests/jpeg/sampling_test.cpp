// Sampling, colour conversion, forward DCT and quantization into the stores.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "jpeg/cjpeg.h"
#include "jpeg/dct.h"
#include "jpeg/sampling.h"
#include "tests/jpeg/jpeg_test_util.h"

namespace okuva::jpeg {
namespace {

using test::Dib;

void Uniform(Dib& dib, uint8_t b, uint8_t g, uint8_t r) {
  dib.Fill([&](int32_t, int32_t, uint8_t* p) {
    p[0] = b;
    p[1] = g;
    p[2] = r;
  });
}

TEST(Sampling, UniformRegionsQuantizeToTheirDcOnly) {
  struct Case {
    uint8_t value;
    int16_t lumaDc;
  };
  for (const Case c : {Case{255, 127}, Case{0, -128}, Case{128, 0}}) {
    Dib dib(40, 24);
    ASSERT_TRUE(dib.Ok());
    Uniform(dib, c.value, c.value, c.value);
    cJpeg jpeg;
    ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 40, 24, 0, 0), 0);
    const auto& y = jpeg.Component(0).Data;
    ASSERT_EQ(y.size(), 40u * 24u);
    for (size_t i = 0; i < y.size(); ++i) {
      ASSERT_EQ(y[i], i % 64 == 0 ? c.lumaDc : 0) << "value " << int{c.value} << " at " << i;
    }
    for (int k : {1, 2}) {
      for (int16_t v : jpeg.Component(k).Data) {
        ASSERT_EQ(v, 0) << "value " << int{c.value};
      }
    }
  }
}

TEST(Sampling, StoreSizesFollowTheComponentGeometry) {
  Dib dib(17, 9);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto();
  cJpeg jpeg;
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 17, 9, 0, 0), 0);
  EXPECT_EQ(jpeg.Component(0).Data.size(), 384u);  // 3 x 2 blocks
  EXPECT_EQ(jpeg.Component(1).Data.size(), 128u);  // 2 x 1 blocks
  EXPECT_EQ(jpeg.Component(2).Data.size(), 128u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(jpeg.Component(i).Ci, i + 1);
  }
  EXPECT_EQ(jpeg.Width(), 17);
  EXPECT_EQ(jpeg.Height(), 9);
  EXPECT_EQ(jpeg.Precision(), 8);

  jpeg.SetSamplingFrequencies(1, 1, 0, 0, 0, 0);
  EXPECT_TRUE(jpeg.Component(0).Data.empty());  // a new layout discards the stores
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 17, 9, 0, 0), 0);
  EXPECT_EQ(jpeg.Component(0).Data.size(), 24u * 16u);  // greyscale: full resolution
}

TEST(Sampling, SinglePixelFillsEveryBlock) {
  Dib dib(1, 1);
  ASSERT_TRUE(dib.Ok());
  Uniform(dib, 10, 200, 90);
  cJpeg jpeg;
  jpeg.Quality(100);
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 1, 1, 0, 0), 0);
  for (int i = 0; i < 3; ++i) {
    const auto& d = jpeg.Component(i).Data;
    ASSERT_EQ(d.size(), 64u);
    // A block filled with one value has only a DC coefficient: 8 times the level.
    const auto w = kColourWeights[static_cast<size_t>(i)];
    const double level = 90.0 * w.red + 200.0 * w.green + 10.0 * w.blue + w.offset;
    EXPECT_NEAR(d[0], 8 * level, 1.0) << i;
    for (size_t k = 1; k < 64; ++k) {
      EXPECT_EQ(d[k], 0) << i << " " << k;
    }
  }
}

TEST(Sampling, SmallChromaPlaneIsDrawnAtItsOwnSize) {
  // 6 x 6 with 2x2 luminance: chrominance is drawn at 3 x 3, then replicated. A picture
  // whose right half is red would otherwise give a different chroma block.
  Dib dib(6, 6);
  ASSERT_TRUE(dib.Ok());
  dib.Fill([](int32_t x, int32_t, uint8_t* p) {
    p[0] = 0;
    p[1] = 0;
    p[2] = x >= 3 ? 255 : 0;
  });
  cJpeg jpeg;
  jpeg.Quality(100);
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 6, 6, 0, 0), 0);
  // The 3 x 3 plane: column 0 black, column 1 half red, column 2 red; replicated to 8
  // columns, six are red. Cr of red is 127.5, so the DC (8 x the mean at quality 100)
  // is (0 + 63.75 + 6 x 127.5) = 829. The 6 x 6 plane taken over from luminance would
  // give five red columns of eight: 637.5.
  const auto& cr = jpeg.Component(2).Data;
  ASSERT_EQ(cr.size(), 64u);
  EXPECT_NEAR(cr[0], 829, 8);
  // Luminance: 6 x 6 copied and replicated to 8 x 8: columns 3..7 red.
  const double redY = 255 * 0.299 - 128;
  const double expectedDc = (5 * 8 * redY + 3 * 8 * -128.0) / 8.0;
  EXPECT_NEAR(jpeg.Component(0).Data[0], expectedDc, 1.0);
}

TEST(Sampling, SourceOffsetSelectsTheRectangle) {
  Dib dib(32, 32);
  ASSERT_TRUE(dib.Ok());
  dib.Fill([](int32_t x, int32_t y, uint8_t* p) {
    const uint8_t v = (x >= 16 && y >= 8) ? 255 : 0;
    p[0] = p[1] = p[2] = v;
  });
  cJpeg jpeg;
  jpeg.SetSamplingFrequencies(1, 1, 0, 0, 0, 0);
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 16, 16, 16, 8), 0);
  for (size_t i = 0; i < jpeg.Component(0).Data.size(); ++i) {
    ASSERT_EQ(jpeg.Component(0).Data[i], i % 64 == 0 ? 127 : 0) << i;
  }
}

TEST(Sampling, RefusesEmptyRectanglesWithoutChangingState) {
  Dib dib(16, 16);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto();
  cJpeg jpeg;
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 16, 16, 0, 0), 0);
  const auto before = jpeg.Component(0).Data;
  EXPECT_EQ(jpeg.SampleHDC(dib.Dc(), 0, 16, 0, 0), 1);
  EXPECT_EQ(jpeg.SampleHDC(dib.Dc(), 16, -3, 0, 0), 1);
  EXPECT_EQ(jpeg.Width(), 16);
  EXPECT_EQ(jpeg.Height(), 16);
  EXPECT_EQ(jpeg.Component(0).Data, before);
  // A bitmap the raster layer refuses (far too large) is reported the same way.
  EXPECT_EQ(jpeg.SampleHDC(dib.Dc(), 60000, 60000, 0, 0), 1);
  EXPECT_EQ(jpeg.SampleHDC(dib.Dc(), 2147483647, 8, 0, 0), 1);
  EXPECT_EQ(jpeg.Width(), 16);
  EXPECT_EQ(jpeg.Component(0).Data, before);
}

// The T.81 A.3.3 forward DCT, computed directly.
double ReferenceDct(const Block& in, int u, int v) {
  const double pi = std::acos(-1.0);
  const double cu = u == 0 ? 1 / std::sqrt(2.0) : 1;
  const double cv = v == 0 ? 1 / std::sqrt(2.0) : 1;
  double sum = 0;
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      sum +=
          in.at(x, y) * std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16);
    }
  }
  return 0.25 * cu * cv * sum;
}

TEST(ForwardDct, MatchesTheDefinitionUpToItsScale) {
  uint32_t state = 12345;
  for (int trial = 0; trial < 20; ++trial) {
    Block in;
    for (float& f : in.v) {
      state = state * 1664525u + 1013904223u;
      f = static_cast<float>(static_cast<int>(state >> 24) - 128);
    }
    Block out = in;
    ForwardDCT(out);
    for (int v = 0; v < 8; ++v) {
      for (int u = 0; u < 8; ++u) {
        const double scaled =
            out.at(u, v) * kDctScale[static_cast<size_t>(u)] * kDctScale[static_cast<size_t>(v)];
        ASSERT_NEAR(scaled, ReferenceDct(in, u, v), 1e-3) << u << "," << v;
      }
    }
  }
}

TEST(Quantize, RoundsHalvesToEvenInZigzagOrder) {
  const ZigZagTable zz = BuildZigZag();
  Block b;
  std::array<float, 64> mult{};
  mult.fill(1.0f);
  b.at(0, 0) = 2.5f;   // -> 2
  b.at(1, 0) = 3.5f;   // zigzag 1 -> 4
  b.at(0, 1) = -2.5f;  // zigzag 2 -> -2
  b.at(7, 7) = 0.49f;  // zigzag 63 -> 0
  b.at(7, 6) = -0.51f; // zigzag 61 -> -1
  std::array<int16_t, 64> out{};
  QuantizeBlock(b, zz, mult, out.data());
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(out[1], 4);
  EXPECT_EQ(out[2], -2);
  EXPECT_EQ(out[63], 0);
  EXPECT_EQ(out[61], -1);
}

}  // namespace
}  // namespace okuva::jpeg

namespace okuva::jpeg {
namespace {

TEST(DctKernels, VectorPathMatchesScalarBitForBit) {
  if (!CpuHasAvx2()) {
    GTEST_SKIP() << "no AVX2 on this processor";
  }
  const ZigZagTable zz = BuildZigZag();
  uint32_t state = 77;
  std::vector<std::vector<float>> blocks;
  for (int q : {1, 50, 75, 100}) {
    QuantTable t;
    ScaleBaseTable(kBaseQLuminance, QualityScaleFactor(q), t);
    ScaleQuantTable(t, zz);
    for (int trial = 0; trial < 500; ++trial) {
      alignas(32) float in[64];
      for (float& f : in) {
        state = state * 1664525u + 1013904223u;
        // Level-shifted samples with fractional parts, and the extremes.
        f = trial % 50 == 0
                ? (trial % 100 == 0 ? 127.0f : -128.0f)
                : static_cast<float>(static_cast<int>(state >> 16) % 25600) / 100.0f - 128.0f;
      }
      std::array<int16_t, 64> scalar{}, vector{};
      DctQuantizeScalar(in, zz, t.FScale, scalar.data());
      DctQuantizeAvx2(in, zz, t.FScale, vector.data());
      ASSERT_EQ(scalar, vector) << "quality " << q << " trial " << trial;
      blocks.push_back(std::vector<float>(in, in + 64));
    }
    // Four blocks per call, lane k holding block k.
    const PreparedQuant prepared = PrepareQuant(zz, t.FScale);
    for (size_t b = 0; b + 4 <= blocks.size(); b += 4) {
      alignas(32) float quad[256];
      for (size_t k = 0; k < 4; ++k) {
        for (size_t i = 0; i < 64; ++i) {
          quad[i * 4 + k] = blocks[b + k][i];
        }
      }
      std::array<int16_t, 256> four{};
      DctQuantize4Avx2(quad, prepared, four.data());
      for (size_t k = 0; k < 4; ++k) {
        std::array<int16_t, 64> scalar{};
        DctQuantizeScalar(blocks[b + k].data(), zz, t.FScale, scalar.data());
        ASSERT_TRUE(
            std::equal(scalar.begin(), scalar.end(), four.begin() + static_cast<long>(64 * k)))
            << "quality " << q << " block " << b + k;
      }
    }
    // Eight blocks per call where the processor has AVX-512.
    for (size_t b = 0; CpuHasAvx512() && b + 8 <= blocks.size(); b += 8) {
      alignas(64) float group[512];
      for (size_t k = 0; k < 8; ++k) {
        for (size_t i = 0; i < 64; ++i) {
          group[i * 8 + k] = blocks[b + k][i];
        }
      }
      std::array<int16_t, 512> eight{};
      DctQuantize8Avx512(group, prepared, eight.data());
      for (size_t k = 0; k < 8; ++k) {
        std::array<int16_t, 64> scalar{};
        DctQuantizeScalar(blocks[b + k].data(), zz, t.FScale, scalar.data());
        ASSERT_TRUE(
            std::equal(scalar.begin(), scalar.end(), eight.begin() + static_cast<long>(64 * k)))
            << "quality " << q << " block " << b + k;
      }
    }
    blocks.clear();
  }
}

// 2 x 2 halving: the vector kernel against the scalar one on random rows of every
// width around its 8-pixel step (rounding of every sum mod 4 and the tail included),
// and the scalar one against sums worked here.
TEST(HalvingKernels, VectorPathMatchesScalarAndTheRoundedMean) {
  uint32_t state = 31;
  for (int32_t w = 1; w <= 41; ++w) {
    std::vector<uint8_t> a(6 * static_cast<size_t>(w)), b(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
      state = state * 1664525u + 1013904223u;
      a[i] = static_cast<uint8_t>(state >> 24);
      b[i] = static_cast<uint8_t>(state >> 16);
    }
    if (w == 9) {  // the largest sums
      std::fill(a.begin(), a.end(), uint8_t{255});
      std::fill(b.begin(), b.end(), uint8_t{255});
    }
    std::vector<uint8_t> scalar(3 * static_cast<size_t>(w)), vector(scalar.size());
    HalveRowScalar(a.data(), b.data(), w, scalar.data());
    for (int32_t i = 0; i < w; ++i) {
      for (int c = 0; c < 3; ++c) {
        const size_t j = 6 * static_cast<size_t>(i) + static_cast<size_t>(c);
        const int sum = a[j] + a[j + 3] + b[j] + b[j + 3];
        ASSERT_EQ(scalar[3 * static_cast<size_t>(i) + static_cast<size_t>(c)], (sum + 2) / 4)
            << "width " << w << " pixel " << i;
      }
    }
    if (!CpuHasAvx2()) {
      continue;
    }
    HalveRowAvx2(a.data(), b.data(), w, vector.data());
    ASSERT_EQ(vector, scalar) << "width " << w;
  }
}

// The eight-lane kernel does its two-operand steps in float and relies on that equalling
// the rounded double result; full-mantissa inputs of every sign and scale test that.
TEST(DctKernels, EightLanesMatchScalarOnFullMantissaInputs) {
  if (!CpuHasAvx512()) {
    GTEST_SKIP() << "no AVX-512 on this processor";
  }
  const ZigZagTable zz = BuildZigZag();
  QuantTable t;
  ScaleBaseTable(kBaseQLuminance, QualityScaleFactor(100), t);
  ScaleQuantTable(t, zz);
  const PreparedQuant prepared = PrepareQuant(zz, t.FScale);
  uint64_t state = 12345;
  const auto next = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<uint32_t>(state >> 32);
  };
  for (int trial = 0; trial < 2000; ++trial) {
    // Magnitudes from 2^-20 to 2^7 so that sums cancel and round at every scale.
    alignas(64) float group[512];
    std::vector<float> blocks(512);
    for (size_t i = 0; i < 512; ++i) {
      const float mantissa = static_cast<float>(next()) / 4294967296.0f;
      const int exponent = static_cast<int>(next() % 28) - 20;
      const float sign = (next() & 1) != 0 ? -1.0f : 1.0f;
      blocks[i] = sign * std::ldexp(1.0f + mantissa, exponent);
    }
    for (size_t k = 0; k < 8; ++k) {
      for (size_t i = 0; i < 64; ++i) {
        group[i * 8 + k] = blocks[k * 64 + i];
      }
    }
    std::array<int16_t, 512> eight{};
    DctQuantize8Avx512(group, prepared, eight.data());
    for (size_t k = 0; k < 8; ++k) {
      std::array<int16_t, 64> scalar{};
      DctQuantizeScalar(blocks.data() + 64 * k, zz, t.FScale, scalar.data());
      ASSERT_TRUE(
          std::equal(scalar.begin(), scalar.end(), eight.begin() + static_cast<long>(64 * k)))
          << "trial " << trial << " block " << k;
    }
  }
}

}  // namespace
}  // namespace okuva::jpeg
