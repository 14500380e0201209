// End-to-end runs of `okuva-tool encode`: BMP files in, JPEG files out through cJpeg.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/tools/tool_test_util.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A bottom-up BMP of 24 bits, or of 8 bits with the grey ramp; value(x, y) is the grey
// level (both depths) so the two encode the same picture.
Bytes MakeBmp(int w, int h, int bits, int (*value)(int, int)) {
  okuva::testing::BmpSpec spec;
  spec.width = w;
  spec.height = h;
  spec.bits = uint16_t(bits);
  for (uint32_t i = 0; bits == 8 && i < 256; ++i) {
    spec.table.push_back(i * 0x010101);
  }
  spec.clrUsed = uint32_t(spec.table.size());
  for (int row = h - 1; row >= 0; --row) {
    Bytes& line = spec.rows.emplace_back();
    for (int x = 0; x < w; ++x) {
      line.insert(line.end(), size_t(bits / 8), uint8_t(value(x, row)));
    }
  }
  return okuva::testing::MakeBmp(spec);
}

int Ramp(int x, int y) { return (x * 3 + y * 2) % 256; }

class EncodeTool : public okuva::testing::ToolTest {
protected:
  static Bytes Read(const std::string& path) { return ReadBytes(path); }
  int Run(const std::string& args) { return RunTool("encode " + args); }
  std::string Stderr() const { return stderr_; }
};

struct Image {
  int w = 0, h = 0, subsamp = -1;
  Bytes grey;
};

Image DecodeGrey(const Bytes& jpeg) {
  Image im;
  tjhandle t = tjInitDecompress();
  int cs = 0;
  if (tjDecompressHeader3(t, jpeg.data(), jpeg.size(), &im.w, &im.h, &im.subsamp, &cs) == 0) {
    im.grey.resize(size_t(im.w) * size_t(im.h));
    if (tjDecompress2(t, jpeg.data(), jpeg.size(), im.grey.data(), im.w, 0, im.h, TJPF_GRAY, 0) !=
        0) {
      im.grey.clear();
    }
  }
  tjDestroy(t);
  return im;
}

double MaxError(const Image& im) {
  double worst = 0;
  for (int y = 0; y < im.h; ++y) {
    for (int x = 0; x < im.w; ++x) {
      worst = std::max(worst, std::abs(double(im.grey[size_t(y * im.w + x)]) - Ramp(x, y)));
    }
  }
  return worst;
}

TEST_F(EncodeTool, EncodesWithDefaultsAndOptions) {
  Write("in24.bmp", MakeBmp(61, 43, 24, Ramp));
  Write("in8.bmp", MakeBmp(61, 43, 8, Ramp));
  ASSERT_EQ(Run(Path("in24.bmp") + " " + Path("a.jpg")), 0) << Stderr();
  Image a = DecodeGrey(Read(Path("a.jpg")));
  ASSERT_EQ(a.grey.size(), 61u * 43u);
  EXPECT_EQ(a.subsamp, TJSAMP_420);
  EXPECT_LT(MaxError(a), 40);

  ASSERT_EQ(Run(Path("in8.bmp") + " " + Path("b.jpg") + " --grey --quality 100 --comment 'eye 1'"),
            0)
      << Stderr();
  const Bytes b = Read(Path("b.jpg"));
  Image bi = DecodeGrey(b);
  EXPECT_EQ(bi.subsamp, TJSAMP_GRAY);
  EXPECT_LE(MaxError(bi), 2);  // a palette picture comes through its grey levels
  const std::string text(b.begin(), b.end());
  EXPECT_NE(text.find("\xFF\xFE"
                      "\x00\x07"
                      "eye 1",
                      0, 9),
            std::string::npos);

  ASSERT_EQ(Run(Path("in24.bmp") + " " + Path("c.jpg") + " --sampling 1x1,1x1,1x1"), 0) << Stderr();
  EXPECT_EQ(DecodeGrey(Read(Path("c.jpg"))).subsamp, TJSAMP_444);
}

TEST_F(EncodeTool, ExitCodes) {
  Write("in.bmp", MakeBmp(16, 16, 24, Ramp));
  Write("exists.jpg", Bytes{'o', 'l', 'd'});
  EXPECT_EQ(Run(Path("in.bmp") + " " + Path("exists.jpg")), 2);
  EXPECT_EQ(Read(Path("exists.jpg")), (Bytes{'o', 'l', 'd'}));

  EXPECT_EQ(Run(Path("in.bmp") + " " + Path("s.jpg") + " --sampling 5x1,1x1,1x1"), 3);
  EXPECT_NE(Stderr().find("Error 1: Invalid Sampling Value"), std::string::npos) << Stderr();
  EXPECT_FALSE(fs::exists(Path("s.jpg")));
  // Zero factors would make a greyscale file behind the operator's back.
  EXPECT_EQ(Run(Path("in.bmp") + " " + Path("s.jpg") + " --sampling 1x1,0x0,0x0"), 3);
  EXPECT_NE(Stderr().find("Error 1: Invalid Sampling Value"), std::string::npos) << Stderr();
  EXPECT_FALSE(fs::exists(Path("s.jpg")));
  // Ratios that are not whole numbers: written, with one warning line.
  ASSERT_EQ(Run(Path("in.bmp") + " " + Path("odd.jpg") + " --sampling 2x3,3x2,1x1"), 0);
  EXPECT_TRUE(fs::exists(Path("odd.jpg")));
  const std::string warning = Stderr();
  EXPECT_NE(warning.find("warning: "), std::string::npos) << warning;
  EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1) << warning;
  ASSERT_EQ(Run(Path("in.bmp") + " " + Path("even.jpg") + " --sampling 4x2,2x1,1x1"), 0);
  EXPECT_EQ(Stderr(), "");

  EXPECT_EQ(Run(Path("in.bmp") + " " + Path("c.jpg") + " --comment " + std::string(65534, 'x')), 3);
  EXPECT_NE(Stderr().find("Error 1: Illegal Comment Length"), std::string::npos);
  EXPECT_FALSE(fs::exists(Path("c.jpg")));
  // Overlong forms (a NUL, an "A"), a lone continuation byte, a surrogate.
  for (const char* bad : {"\\300\\200", "\\301\\201", "a\\200", "\\355\\240\\200"}) {
    EXPECT_EQ(Run(Path("in.bmp") + " " + Path("u.jpg") + " --comment \"$(printf '" + bad + "')\""),
              1)
        << bad;
  }
  EXPECT_NE(Stderr().find("UTF-8"), std::string::npos) << Stderr();
  EXPECT_FALSE(fs::exists(Path("u.jpg")));

  EXPECT_EQ(Run(Path("missing.bmp") + " " + Path("m.jpg")), 1);
  EXPECT_EQ(Run(Path("in.bmp") + " " + Path("q.jpg") + " --quality 0"), 1);
  EXPECT_EQ(Run(Path("in.bmp") + " " + Path("g.jpg") + " --grey --sampling 1x1,1x1,1x1"), 1);
  EXPECT_EQ(Run(Path("in.bmp") + " " + Path("f.jpg") + " --sampling 2x2"), 1);
  EXPECT_EQ(Run(Path("in.bmp")), 1);
  EXPECT_FALSE(fs::exists(Path("q.jpg")));
}

}  // namespace
