// Golden outputs: the SHA-256 of every file of a fixed corpus (every sampling layout,
// odd sizes, qualities 1/50/75/100, a photograph-like picture and noise). Any change
// of one output byte fails here. The subsampled planes come from the raster layer's
// HALFTONE stretch, so a change there changes these hashes too.
//
// To re-record after an intended change: OKUVA_GOLDEN_PRINT=1 test_jpeg
// --gtest_filter=Golden.* prints the table.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "jpeg/cjpeg.h"
#include "tests/jpeg/jpeg_test_util.h"
#include "tests/jpeg/sha256.h"

namespace okuva::jpeg {
namespace {

struct Layout {
  const char* name;
  int f[6];
};
const Layout kLayouts[] = {
    {"grey", {1, 1, 0, 0, 0, 0}},         {"2x2,1x1,1x1", {2, 2, 1, 1, 1, 1}},
    {"1x1,1x1,1x1", {1, 1, 1, 1, 1, 1}},  {"2x1,1x1,1x1", {2, 1, 1, 1, 1, 1}},
    {"1x2,1x1,1x1", {1, 2, 1, 1, 1, 1}},  {"1x1,2x2,1x1", {1, 1, 2, 2, 1, 1}},
    {"2x2,2x2,2x2", {2, 2, 2, 2, 2, 2}},  {"4x4,1x1,1x1", {4, 4, 1, 1, 1, 1}},
    {"4x2,2x2,1x1", {4, 2, 2, 2, 1, 1}},  {"3x1,1x1,1x1", {3, 1, 1, 1, 1, 1}},
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
  const Picture pictures[] = {{"photo", 1, 1}, {"photo", 17, 9}, {"photo", 333, 97},
                              {"noise", 64, 40}, {"photo", 640, 480},
                              // Surface and stores large enough for huge-page buffers.
                              {"photo", 1280, 960}};
  for (const Picture& p : pictures) {
    test::Dib dib(p.w, p.h);
    if (!dib.Ok()) return {};
    if (std::string(p.kind) == "noise") {
      FillNoise(dib);
    } else {
      dib.FillPhoto(static_cast<uint32_t>(p.w));
    }
    for (const Layout& l : kLayouts) {
      // The large pictures only with the default layout, to keep the run short.
      if (p.w >= 640 && std::string(l.name) != "2x2,1x1,1x1") continue;
      for (int q : {1, 50, 75, 100}) {
        if (p.w > 640 && q != 75) continue;
        cJpeg jpeg;
        jpeg.SetSamplingFrequencies(l.f[0], l.f[1], l.f[2], l.f[3], l.f[4], l.f[5]);
        jpeg.Quality(q);
        if (jpeg.SampleHDC(dib.Dc(), p.w, p.h, 0, 0) != 0) return {};
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
    for (const auto& [name, hash] : corpus) std::printf("    {\"%s\", \"%s\"},\n", name.c_str(), hash.c_str());
  }
  ASSERT_EQ(corpus.size(), std::size(kGoldenHashes));
  for (size_t i = 0; i < corpus.size(); ++i) {
    EXPECT_EQ(corpus[i].first, kGoldenHashes[i].name);
    EXPECT_EQ(corpus[i].second, kGoldenHashes[i].sha256) << corpus[i].first;
  }
}

// The scalar and the AVX2-only paths must give the same files as the default one:
// the corpus test is run again in child processes with those paths forced.
TEST(Golden, EveryKernelPathGivesTheSameFiles) {
  if (std::getenv("OKUVA_GOLDEN_CHILD") != nullptr) GTEST_SKIP() << "running as a child";
  char self[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  for (const char* force : {"OKUVA_JPEG_SCALAR=1", "OKUVA_JPEG_NO_AVX512=1"}) {
    const std::string cmd = std::string("OKUVA_GOLDEN_CHILD=1 ") + force + " '" + self +
                            "' --gtest_filter=Golden.EveryCorpusFileIsByteForByteUnchanged >/dev/null 2>&1";
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << force;
  }
}

}  // namespace
}  // namespace okuva::jpeg
