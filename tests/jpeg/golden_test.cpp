// Golden outputs: the SHA-256 of every file of a fixed corpus (every sampling layout,
// odd sizes, qualities 1/50/75/100, a photograph-like picture and noise). Any change
// of one output byte fails here. The subsampled planes come from the raster layer's
// HALFTONE stretch, so a change there changes these hashes too (planes of exactly half
// the size of a picture read in place are averaged by the encoder itself; the source
// tests hold them to the stretch).
//
// To re-record after an intended change: OKUVA_GOLDEN_PRINT=1 test_jpeg
// --gtest_filter=Golden.* prints the table.
//
// The hashes only say that nothing changed. The Reference tests say that the numbers are
// right: a plain model written here from the definitions (colour conversion, the
// scaled AAN transform step by step, the T.81 DCT sum, quantization rounded half to
// even) must give exactly the coefficients of every kernel and of SampleHDC.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "jpeg/cjpeg.h"
#include "jpeg/dct.h"
#include "jpeg/quantization.h"
#include "tests/jpeg/jpeg_test_util.h"
#include "tests/jpeg/sha256.h"

namespace okuva::jpeg {
namespace {

struct Layout {
  const char* name;
  int f[6];
};
const Layout kLayouts[] = {
    {"grey", {1, 1, 0, 0, 0, 0}},        {"2x2,1x1,1x1", {2, 2, 1, 1, 1, 1}},
    {"1x1,1x1,1x1", {1, 1, 1, 1, 1, 1}}, {"2x1,1x1,1x1", {2, 1, 1, 1, 1, 1}},
    {"1x2,1x1,1x1", {1, 2, 1, 1, 1, 1}}, {"1x1,2x2,1x1", {1, 1, 2, 2, 1, 1}},
    {"2x2,2x2,2x2", {2, 2, 2, 2, 2, 2}}, {"4x4,1x1,1x1", {4, 4, 1, 1, 1, 1}},
    {"4x2,2x2,1x1", {4, 2, 2, 2, 1, 1}}, {"3x1,1x1,1x1", {3, 1, 1, 1, 1, 1}},
};

void FillNoise(test::Dib& dib) {
  uint32_t state = 99;
  dib.Fill([&](int32_t, int32_t, uint8_t* p) {
    for (int c = 0; c < 3; ++c) {
      state = state * 1664525u + 1013904223u;
      p[c] = static_cast<uint8_t>(state >> 24);
    }
  });
}

// The corpus, in a fixed order: one line "name hash" per file.
std::vector<std::pair<std::string, std::string>> Corpus() {
  std::vector<std::pair<std::string, std::string>> out;
  struct Picture {
    const char* kind;
    int w, h;
  };
  const Picture pictures[] = {{"photo", 1, 1},
                              {"photo", 17, 9},
                              {"photo", 333, 97},
                              {"noise", 64, 40},
                              {"photo", 640, 480},
                              // Surface and stores large enough for huge-page buffers.
                              {"photo", 1280, 960}};
  for (const Picture& p : pictures) {
    test::Dib dib(p.w, p.h);
    if (!dib.Ok()) {
      return {};
    }
    if (std::string(p.kind) == "noise") {
      FillNoise(dib);
    } else {
      dib.FillPhoto(static_cast<uint32_t>(p.w));
    }
    for (const Layout& l : kLayouts) {
      // The large pictures only with the default layout, to keep the run short.
      if (p.w >= 640 && std::string(l.name) != "2x2,1x1,1x1") {
        continue;
      }
      for (int q : {1, 50, 75, 100}) {
        if (p.w > 640 && q != 75) {
          continue;
        }
        cJpeg jpeg;
        jpeg.SetSamplingFrequencies(l.f[0], l.f[1], l.f[2], l.f[3], l.f[4], l.f[5]);
        jpeg.Quality(q);
        if (jpeg.SampleHDC(dib.Dc(), p.w, p.h, 0, 0) != 0) {
          return {};
        }
        out.push_back({std::string(p.kind) + "/" + std::to_string(p.w) + "x" + std::to_string(p.h) +
                           "/" + l.name + "/q" + std::to_string(q),
                       test::Sha256(jpeg.Encode())});
      }
    }
  }
  return out;
}

#include "tests/jpeg/golden_hashes.inc"

TEST(Golden, Sha256KnownVectors) {
  EXPECT_EQ(test::Sha256({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(test::Sha256({'a', 'b', 'c'}),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Golden, EveryCorpusFileIsByteForByteUnchanged) {
  const auto corpus = Corpus();
  ASSERT_FALSE(corpus.empty());
  if (std::getenv("OKUVA_GOLDEN_PRINT") != nullptr) {
    for (const auto& [name, hash] : corpus) {
      std::printf("    {\"%s\", \"%s\"},\n", name.c_str(), hash.c_str());
    }
  }
  ASSERT_EQ(corpus.size(), std::size(kGoldenHashes));
  for (size_t i = 0; i < corpus.size(); ++i) {
    EXPECT_EQ(corpus[i].first, kGoldenHashes[i].name);
    EXPECT_EQ(corpus[i].second, kGoldenHashes[i].sha256) << corpus[i].first;
  }
}

// The scalar and the AVX2-only paths must give the same files as the default one:
// the corpus and reference tests are run again in child processes with those paths
// forced.
TEST(Golden, EveryKernelPathGivesTheSameFiles) {
  if (std::getenv("OKUVA_GOLDEN_CHILD") != nullptr) {
    GTEST_SKIP() << "running as a child";
  }
  char self[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  for (const char* force : {"OKUVA_JPEG_SCALAR=1", "OKUVA_JPEG_NO_AVX512=1"}) {
    const std::string cmd =
        std::string("OKUVA_GOLDEN_CHILD=1 ") + force + " '" + self +
        "' --gtest_filter=Golden.EveryCorpusFileIsByteForByteUnchanged:Reference.* "
        ">/dev/null 2>&1";
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << force;
  }
}

// ---- The reference model ----
namespace ref {

// 1 / (2 sqrt 2) for k = 0, 1 / (4 cos(k pi / 16)) otherwise.
double DctScale(int k) {
  const double pi = std::acos(-1.0);
  return k == 0 ? 1.0 / (2.0 * std::sqrt(2.0)) : 1.0 / (4.0 * std::cos(k * pi / 16.0));
}

// The anti-diagonal walk: on odd diagonals x falls, on even ones it rises.
int ZigZag(int x, int y) {
  int z = 0;
  for (int s = 0; s < 15; ++s) {
    for (int i = 0; i < 8; ++i) {
      const int xx = s % 2 == 0 ? i : s - i;
      const int yy = s - xx;
      if (xx < 0 || xx > 7 || yy < 0 || yy > 7) {
        continue;
      }
      if (xx == x && yy == y) {
        return z;
      }
      ++z;
    }
  }
  return -1;
}

// Y level-shifted, Cb, Cr: float coefficients, the sum in double, stored as float.
float Colour(int component, uint8_t b, uint8_t g, uint8_t r) {
  static const float w[3][4] = {{0.299f, 0.587f, 0.114f, -128.0f},
                                {-0.16874f, -0.33126f, 0.5f, 0.0f},
                                {0.5f, -0.41869f, -0.08131f, 0.0f}};
  const float* c = w[component];
  return static_cast<float>(static_cast<double>(static_cast<float>(r)) * c[0] +
                            static_cast<double>(static_cast<float>(g)) * c[1] +
                            static_cast<double>(static_cast<float>(b)) * c[2] + c[3]);
}

// One pass of the scaled AAN transform: every assignment rounded to float.
void Aan(float* e[8]) {
  const double C4 = 0.707106781186548, C6 = 0.382683432365091;
  const double K2 = 0.541196100146196, K6 = 1.30656296487638;
  auto f = [](double v) { return static_cast<float>(v); };
  float a0 = f(double(*e[7]) + *e[0]), a1 = f(double(*e[0]) - *e[7]);
  float a2 = f(double(*e[6]) + *e[1]), a3 = f(double(*e[1]) - *e[6]);
  float a4 = f(double(*e[5]) + *e[2]), a5 = f(double(*e[2]) - *e[5]);
  float a6 = f(double(*e[4]) + *e[3]), a7 = f(double(*e[3]) - *e[4]);
  a7 = f(double(a5) + a7);
  const float a8 = f(double(a0) - a6);
  a6 = f(double(a0) + a6);
  a0 = f(double(a4) + a2);
  a2 = f((double(a2) - a4 + a8) * C4);
  a4 = f(double(a3) + a1);
  a3 = f((double(a5) + a3) * C4);
  a5 = f((double(a4) - a7) * C6);
  a7 = f(double(a7) * K2 - a5);
  a4 = f(double(a4) * K6 - a5);
  a5 = f(double(a3) + a1);
  a1 = f(double(a1) - a3);
  *e[0] = f(double(a6) + a0);
  *e[4] = f(double(a6) - a0);
  *e[1] = f(double(a5) + a4);
  *e[7] = f(double(a5) - a4);
  *e[2] = f(double(a8) + a2);
  *e[6] = f(double(a8) - a2);
  *e[5] = f(double(a7) + a1);
  *e[3] = f(double(a1) - a7);
}

// Multiplier of zigzag index z: scale(x) scale(y) / Q, stored as float.
std::array<float, 64> Multipliers(const std::array<int16_t, 64>& qk) {
  std::array<float, 64> m{};
  for (int x = 0; x < 8; ++x) {
    for (int y = 0; y < 8; ++y) {
      const int z = ZigZag(x, y);
      m[size_t(z)] = static_cast<float>(DctScale(x) * DctScale(y) / qk[size_t(z)]);
    }
  }
  return m;
}

// in[y * 8 + x] level-shifted samples -> 64 quantized coefficients in zigzag order.
std::array<int16_t, 64> Quantized(const float* in, const std::array<float, 64>& mult) {
  float b[64];
  std::copy(in, in + 64, b);
  for (int x = 0; x < 8; ++x) {
    float* col[8];
    for (int y = 0; y < 8; ++y) {
      col[y] = &b[y * 8 + x];
    }
    Aan(col);
  }
  for (int y = 0; y < 8; ++y) {
    float* row[8];
    for (int x = 0; x < 8; ++x) {
      row[x] = &b[y * 8 + x];
    }
    Aan(row);
  }
  std::array<int16_t, 64> out{};
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      const int z = ZigZag(x, y);
      // nearbyint in the default mode rounds half to even.
      out[size_t(z)] = static_cast<int16_t>(std::nearbyint(double(b[y * 8 + x]) * mult[size_t(z)]));
    }
  }
  return out;
}

// T.81 A.3.3 straight from its sum, in double: coefficient (u, v), natural order.
double Definition(const float* in, int u, int v) {
  const double pi = std::acos(-1.0);
  const double cu = u == 0 ? 1 / std::sqrt(2.0) : 1, cv = v == 0 ? 1 / std::sqrt(2.0) : 1;
  double sum = 0;
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      sum +=
          in[y * 8 + x] * std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16);
    }
  }
  return cu * cv * sum / 4;
}

}  // namespace ref

// The model itself is checked against the DCT's definition: the quantized values agree
// wherever the exact quotient is not within a hair of a rounding boundary.
void ExpectModelFollowsTheDefinition(const float* in, const std::array<int16_t, 64>& qk,
                                     const std::array<int16_t, 64>& model, int& nearTies) {
  for (int v = 0; v < 8; ++v) {
    for (int u = 0; u < 8; ++u) {
      const size_t z = size_t(ref::ZigZag(u, v));
      const double exact = ref::Definition(in, u, v) / qk[z];
      const double frac = std::abs(exact - std::trunc(exact));
      if (std::abs(frac - 0.5) < 1e-3) {
        ++nearTies;
        EXPECT_LE(std::abs(model[z] - exact), 0.501);
        continue;
      }
      ASSERT_EQ(model[z], std::nearbyint(exact)) << "(" << u << "," << v << ") exact " << exact;
    }
  }
}

TEST(Reference, EveryKernelGivesTheModelsCoefficientsOnRandomBlocks) {
  ASSERT_EQ(std::fegetround(), FE_TONEAREST);
  const ZigZagTable zigzag = BuildZigZag();
  for (int x = 0; x < 8; ++x) {
    for (int y = 0; y < 8; ++y) {
      ASSERT_EQ(zigzag[size_t(x)][size_t(y)], ref::ZigZag(x, y));
    }
  }
  std::mt19937 random(20260401);
  std::uniform_int_distribution<int> byte(0, 255), quant(1, 255), component(0, 2), kind(0, 9);
  int nearTies = 0;
  const bool avx2 = CpuHasAvx2(), avx512 = CpuHasAvx512();
  for (int round = 0; round < 300; ++round) {
    // A quantization table as Quality makes them, or any values of 1..255.
    QuantTable table;
    if (round % 2 == 0) {
      for (auto& q : table.Qk) {
        q = int16_t(quant(random));
      }
    } else {
      const int32_t S = QualityScaleFactor(1 + round % 100);
      ScaleBaseTable(round % 4 == 1 ? kBaseQLuminance : kBaseQChrominance, S, table);
    }
    ScaleQuantTable(table, zigzag);
    const std::array<float, 64> mult = ref::Multipliers(table.Qk);
    ASSERT_EQ(table.FScale, mult);
    // Eight blocks: colour-converted random pixels, flat blocks and extremes.
    float blocks[8][64];
    for (auto& block : blocks) {
      const int c = component(random), k = kind(random);
      const uint8_t flat[3] = {uint8_t(byte(random)), uint8_t(byte(random)), uint8_t(byte(random))};
      for (int i = 0; i < 64; ++i) {
        uint8_t b = uint8_t(byte(random)), g = uint8_t(byte(random)), r = uint8_t(byte(random));
        if (k == 0) {
          b = g = r = flat[0];  // flat grey
        }
        if (k == 1) {
          b = flat[0], g = flat[1], r = flat[2];  // flat colour
        }
        if (k == 2) {
          b = g = r = uint8_t((i % 8 + i / 8) % 2 ? 255 : 0);  // checkerboard
        }
        block[i] = ref::Colour(c, b, g, r);
      }
    }
    std::array<int16_t, 64> model[8];
    for (int k = 0; k < 8; ++k) {
      model[k] = ref::Quantized(blocks[k], mult);
      ExpectModelFollowsTheDefinition(blocks[k], table.Qk, model[k], nearTies);
    }
    const auto check = [&](const char* kernel, int k, const int16_t* got) {
      for (size_t z = 0; z < 64; ++z) {
        ASSERT_EQ(got[z], model[k][z])
            << kernel << " round " << round << " block " << k << " z " << z;
      }
    };
    for (int k = 0; k < 8; ++k) {
      int16_t out[64];
      DctQuantizeScalar(blocks[k], zigzag, mult, out);
      check("scalar", k, out);
      if (avx2) {
        DctQuantizeAvx2(blocks[k], zigzag, mult, out);
        check("avx2", k, out);
      }
    }
    const PreparedQuant prepared = PrepareQuant(zigzag, mult);
    if (avx2) {
      for (int first : {0, 4}) {
        float in4[256];
        int16_t out[256];
        for (int i = 0; i < 64; ++i) {
          for (int k = 0; k < 4; ++k) {
            in4[i * 4 + k] = blocks[first + k][i];
          }
        }
        DctQuantize4Avx2(in4, prepared, out);
        for (int k = 0; k < 4; ++k) {
          check("avx2 x4", first + k, out + 64 * k);
        }
      }
    }
    if (avx512) {
      float in8[512];
      int16_t out[512];
      for (int i = 0; i < 64; ++i) {
        for (int k = 0; k < 8; ++k) {
          in8[i * 8 + k] = blocks[k][i];
        }
      }
      DctQuantize8Avx512(in8, prepared, out);
      for (int k = 0; k < 8; ++k) {
        check("avx512 x8", k, out + 64 * k);
      }
    }
  }
  EXPECT_LT(nearTies, 300 * 8 * 64 / 100) << "the model drifts from the definition";
  if (!avx512) {
    std::printf("[ note ] no AVX-512 on this processor: the 8-block kernel was not run\n");
  }
}

// Whole pictures through SampleHDC (in the kernel path this process selected): every
// plane drawn at full size must hold exactly the model's coefficients, the last column
// and row repeated out to whole blocks.
TEST(Reference, SampledFullSizePlanesHoldTheModelsCoefficients) {
  std::mt19937 random(7);
  struct Case {
    int w, h, f[6];
  };
  const Case cases[] = {{1, 1, {1, 1, 1, 1, 1, 1}},    {17, 9, {1, 1, 1, 1, 1, 1}},
                        {64, 40, {1, 1, 0, 0, 0, 0}},  {333, 97, {1, 1, 1, 1, 1, 1}},
                        {333, 97, {2, 2, 1, 1, 1, 1}}, {100, 60, {1, 2, 1, 2, 1, 1}}};
  for (const Case& c : cases) {
    test::Dib dib(c.w, c.h);
    ASSERT_TRUE(dib.Ok());
    const bool smooth = c.w % 2 == 1;
    if (smooth) {
      dib.FillPhoto(uint32_t(c.w));
    } else {
      std::uniform_int_distribution<int> byte(0, 255);
      dib.Fill([&](int32_t, int32_t, uint8_t* p) {
        for (int k = 0; k < 3; ++k) {
          p[k] = uint8_t(byte(random));
        }
      });
    }
    for (int quality : {1, 37, 75, 100}) {
      cJpeg jpeg;
      jpeg.SetSamplingFrequencies(c.f[0], c.f[1], c.f[2], c.f[3], c.f[4], c.f[5]);
      jpeg.Quality(quality);
      ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), c.w, c.h, 0, 0), 0);
      int checked = 0;
      for (int i = 0; i < jpeg.Components(); ++i) {
        const Component& comp = jpeg.Component(i);
        if (comp.Hi != jpeg.Hmax() || comp.Vi != jpeg.Vmax()) {
          continue;  // a scaled plane
        }
        const std::array<float, 64> mult = ref::Multipliers(jpeg.QTable(comp.Tqi).Qk);
        const int bw = (c.w + 7) / 8, bh = (c.h + 7) / 8;
        ASSERT_EQ(comp.Data.size(), size_t(bw) * size_t(bh) * 64);
        for (int by = 0; by < bh; ++by) {
          for (int bx = 0; bx < bw; ++bx) {
            float block[64];
            for (int y = 0; y < 8; ++y) {
              for (int x = 0; x < 8; ++x) {
                const uint8_t* p =
                    dib.At(std::min(bx * 8 + x, c.w - 1), std::min(by * 8 + y, c.h - 1));
                block[y * 8 + x] = ref::Colour(i, p[0], p[1], p[2]);
              }
            }
            const std::array<int16_t, 64> model = ref::Quantized(block, mult);
            const int16_t* got = comp.Data.data() + (size_t(by) * size_t(bw) + size_t(bx)) * 64;
            for (size_t z = 0; z < 64; ++z) {
              ASSERT_EQ(got[z], model[z]) << c.w << "x" << c.h << " q" << quality << " component "
                                          << i << " block " << bx << "," << by << " z " << z;
            }
          }
        }
        ++checked;
      }
      EXPECT_GE(checked, 1);
    }
  }
}

}  // namespace
}  // namespace okuva::jpeg
