// End-to-end runs of `okuva-tool image`: BMP files in, BMP files out.
#include <gtest/gtest.h>
#include <png.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/picture/picture.h"
#include "tests/platform/picture/picture_test_util.h"
#include "tests/tools/tool_test_util.h"

namespace {

namespace fs = std::filesystem;

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

uint32_t Get32(const std::vector<uint8_t>& v, size_t at) {
  return v[at] | v[at + 1] << 8 | v[at + 2] << 16 | uint32_t(v[at + 3]) << 24;
}
uint16_t Get16(const std::vector<uint8_t>& v, size_t at) {
  return uint16_t(v[at] | v[at + 1] << 8);
}

// A bottom-up BI_RGB BMP. `pixel` gives a table index at palette depths, else a colour.
std::vector<uint8_t> MakeBmp(int w, int h, int bits, const std::vector<Rgb>& table,
                             const std::function<uint32_t(int, int)>& index,
                             const std::function<Rgb(int, int)>& colour) {
  okuva::testing::BmpSpec spec;
  spec.width = w;
  spec.height = h;
  spec.bits = uint16_t(bits);
  for (const Rgb& c : table) {
    spec.table.push_back(uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b);
  }
  spec.clrUsed = uint32_t(table.size());
  for (int row = h - 1; row >= 0; --row) {
    std::vector<uint8_t>& line = spec.rows.emplace_back(size_t((w * bits + 7) / 8), 0);
    for (int x = 0; x < w; ++x) {
      if (bits == 24 || bits == 32) {
        const Rgb c = colour(x, row);
        const size_t at = size_t(x * bits / 8);
        line[at] = c.b;
        line[at + 1] = c.g;
        line[at + 2] = c.r;
      } else {
        const uint32_t i = index(x, row);
        const int bit = x * bits;
        line[size_t(bit / 8)] |= uint8_t(i << (8 - bits - bit % 8));
      }
    }
  }
  return okuva::testing::MakeBmp(spec);
}

struct Bmp {
  int w = 0, h = 0, bits = 0;
  std::vector<Rgb> table;
  std::vector<uint8_t> data;
  uint32_t offset = 0;

  uint32_t Index(int x, int y) const {
    const int stride = ((w * bits + 31) / 32) * 4;
    const size_t row = offset + size_t(stride) * size_t(h - 1 - y);
    const int bit = x * bits;
    return (data[row + size_t(bit / 8)] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
  }
  Rgb At(int x, int y) const {
    if (bits != 24) {
      return table.at(Index(x, y));
    }
    const int stride = ((w * 24 + 31) / 32) * 4;
    const size_t p = offset + size_t(stride) * size_t(h - 1 - y) + size_t(3 * x);
    return {data[p + 2], data[p + 1], data[p]};
  }
};

Bmp ReadBmp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  Bmp b;
  b.data.assign(std::istreambuf_iterator<char>(in), {});
  EXPECT_GE(b.data.size(), 54u);
  if (b.data.size() < 54) {
    return b;
  }
  EXPECT_EQ(Get16(b.data, 0), 0x4D42);
  b.offset = Get32(b.data, 10);
  const uint32_t headerSize = Get32(b.data, 14);
  b.w = int(Get32(b.data, 18));
  b.h = int(Get32(b.data, 22));
  EXPECT_GT(b.h, 0) << "expected a bottom-up BMP";
  b.bits = Get16(b.data, 28);
  uint32_t used = Get32(b.data, 46);
  if (b.bits <= 8 && used == 0) {
    used = 1u << b.bits;
  }
  for (uint32_t i = 0; i < used; ++i) {
    const size_t at = 14 + headerSize + 4 * i;
    b.table.push_back({b.data[at + 2], b.data[at + 1], b.data[at]});
  }
  return b;
}

Rgb Distinct(int x, int y) { return {uint8_t(10 + 40 * x), uint8_t(20 + 50 * y), uint8_t(99)}; }

std::vector<Rgb> Palette16() {
  std::vector<Rgb> t;
  for (int i = 0; i < 16; ++i) {
    t.push_back({uint8_t(i * 16), uint8_t(255 - i * 9), uint8_t(i % 3 * 100)});
  }
  return t;
}

class ImageTool : public okuva::testing::ToolTest {
protected:
  void SetUp() override {
    ToolTest::SetUp();
    const auto none = [](int, int) { return 0u; };
    const auto noColour = [](int, int) { return Rgb{}; };
    Write("rgb.bmp", MakeBmp(3, 2, 24, {}, none, Distinct));
    Write("pal4.bmp", MakeBmp(
                          5, 3, 4, Palette16(),
                          [](int x, int y) { return uint32_t(x + 5 * y) % 16; }, noColour));
    Write("wide.bmp", MakeBmp(2, 2, 32, {}, none, Distinct));
  }
  fs::path P(const std::string& name) const { return dir_ / name; }

  int Run(const std::string& args) { return RunTool("image " + args); }
};

TEST_F(ImageTool, RotateWritesTheTurnedPicture) {
  ASSERT_EQ(Run(P("rgb.bmp").string() + " " + P("r90.bmp").string() + " rotate 90"), 0) << stderr_;
  const Bmp out = ReadBmp(P("r90.bmp"));
  ASSERT_EQ(out.bits, 24);
  ASSERT_EQ(out.w, 2);
  ASSERT_EQ(out.h, 3);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(out.At(y, 2 - x), Distinct(x, y)) << x << "," << y;
    }
  }

  ASSERT_EQ(Run(P("rgb.bmp").string() + " " + P("r-90.bmp").string() + " rotate -90"), 0)
      << stderr_;
  const Bmp back = ReadBmp(P("r-90.bmp"));
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(back.At(1 - y, x), Distinct(x, y));
    }
  }
}

TEST_F(ImageTool, NonQuarterTurnWritesNothing) {
  EXPECT_EQ(Run(P("rgb.bmp").string() + " " + P("r45.bmp").string() + " rotate 45"), 1);
  EXPECT_NE(stderr_.find("no image was made"), std::string::npos) << stderr_;
  EXPECT_FALSE(fs::exists(P("r45.bmp")));
  EXPECT_EQ(Run(P("rgb.bmp").string() + " " + P("r0.bmp").string() + " rotate 0"), 1);
  EXPECT_FALSE(fs::exists(P("r0.bmp")));
}

TEST_F(ImageTool, PalettePictureKeepsDepthAndTable) {
  ASSERT_EQ(Run(P("pal4.bmp").string() + " " + P("m.bmp").string() + " mirror vertical"), 0)
      << stderr_;
  const Bmp out = ReadBmp(P("m.bmp"));
  ASSERT_EQ(out.bits, 4);
  ASSERT_EQ(out.w, 5);
  ASSERT_EQ(out.h, 3);
  ASSERT_GE(out.table.size(), 16u);
  EXPECT_EQ(std::vector<Rgb>(out.table.begin(), out.table.begin() + 16), Palette16());
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 5; ++x) {
      EXPECT_EQ(out.At(x, 2 - y), Palette16()[uint32_t(x + 5 * y) % 16]) << x << "," << y;
    }
  }

  ASSERT_EQ(Run(P("pal4.bmp").string() + " " + P("h.bmp").string() + " mirror horizontal"), 0);
  const Bmp flipped = ReadBmp(P("h.bmp"));
  EXPECT_EQ(flipped.At(4, 0), Palette16()[0]);
}

TEST_F(ImageTool, GreyscaleResampleAndDepth) {
  ASSERT_EQ(Run(P("rgb.bmp").string() + " " + P("g.bmp").string() + " greyscale"), 0) << stderr_;
  const Bmp grey = ReadBmp(P("g.bmp"));
  ASSERT_EQ(grey.bits, 8);
  ASSERT_EQ(grey.table.size(), 256u);
  EXPECT_EQ(grey.table[131], (Rgb{131, 131, 131}));
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      const Rgb c = grey.At(x, y);
      EXPECT_TRUE(c.r == c.g && c.g == c.b);
    }
  }

  ASSERT_EQ(Run(P("pal4.bmp").string() + " " + P("big.bmp").string() + " resample 10 6 --depth 24"),
            0)
      << stderr_;
  const Bmp big = ReadBmp(P("big.bmp"));
  EXPECT_EQ(big.bits, 24);
  EXPECT_EQ(big.w, 10);
  EXPECT_EQ(big.h, 6);
  EXPECT_EQ(big.At(1, 1), Palette16()[0]);

  // The 32-bit picture taken as 1 bit.
  ASSERT_EQ(
      Run("--depth 1 " + P("wide.bmp").string() + " " + P("one.bmp").string() + " rotate 180"), 0)
      << stderr_;
  EXPECT_EQ(ReadBmp(P("one.bmp")).bits, 1);
}

TEST_F(ImageTool, BadRequestsExitOneAndWriteNothing) {
  const std::string in = P("rgb.bmp").string();
  const std::string out = P("out.bmp").string();
  for (const std::string& args :
       {in + " " + out + " blur", in + " " + out + " resample 5", in + " " + out + " resample 0 4",
        in + " " + out + " resample x 4", in + " " + out + " mirror sideways",
        in + " " + out + " rotate ninety", in + " " + out + " greyscale --depth 16",
        in + " " + out + " greyscale --depth", in + " " + out,
        P("missing.bmp").string() + " " + out + " greyscale",
        dir_.string() + " " + out + " greyscale"}) {
    EXPECT_EQ(Run(args), 1) << args;
    EXPECT_FALSE(stderr_.empty()) << args;
    EXPECT_FALSE(fs::exists(out)) << args;
  }
}

TEST_F(ImageTool, ThirtyTwoBitAnd565PicturesWorkAs24Bits) {
  ASSERT_EQ(Run(P("wide.bmp").string() + " " + P("w.bmp").string() + " mirror horizontal"), 0)
      << stderr_;
  const Bmp wide = ReadBmp(P("w.bmp"));
  EXPECT_EQ(wide.bits, 24);
  EXPECT_EQ(wide.At(0, 1), Distinct(1, 1));

  // 2 x 1, BI_BITFIELDS 5-6-5: pure red, pure green.
  okuva::testing::BmpSpec rgb565;
  rgb565.width = 2;
  rgb565.height = 1;
  rgb565.bits = 16;
  rgb565.compression = 3;
  rgb565.masks = {0xF800, 0x07E0, 0x001F};
  rgb565.rows = {{0x00, 0xF8, 0xE0, 0x07}};
  Write("565.bmp", okuva::testing::MakeBmp(rgb565));
  ASSERT_EQ(Run(P("565.bmp").string() + " " + P("c.bmp").string() + " rotate 180"), 0) << stderr_;
  const Bmp turned = ReadBmp(P("c.bmp"));
  EXPECT_EQ(turned.bits, 24);
  EXPECT_EQ(turned.At(0, 0), (Rgb{0, 255, 0}));
  EXPECT_EQ(turned.At(1, 0), (Rgb{255, 0, 0}));
}

// A PNG of any colour type, depth and interlacing; sample(x, y, channel) gives each
// sample (0 .. 2^depth - 1). Palette files get `paletteSize` entries.
std::vector<uint8_t> MakePng(int type, int depth, bool interlaced, int w, int h,
                             const std::function<uint32_t(int, int, int)>& sample,
                             int paletteSize = 0) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep data, size_t n) {
        auto* v = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
        v->insert(v->end(), data, data + n);
      },
      nullptr);
  png_set_IHDR(png, info, uint32_t(w), uint32_t(h), depth, type,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> palette;
  for (int i = 0; i < paletteSize; ++i) {
    palette.push_back({uint8_t(i * 37), uint8_t(255 - i), uint8_t(i * 11)});
  }
  if (type == PNG_COLOR_TYPE_PALETTE) {
    png_set_PLTE(png, info, palette.data(), paletteSize);
  }
  png_write_info(png, info);
  const int channels = png_get_channels(png, info);
  std::vector<std::vector<uint8_t>> rows(size_t(h),
                                         std::vector<uint8_t>(png_get_rowbytes(png, info), 0));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < channels; ++c) {
        const uint32_t v = sample(x, y, c);
        const size_t at = size_t(x * channels + c);
        if (depth == 16) {
          rows[size_t(y)][2 * at] = uint8_t(v >> 8);
          rows[size_t(y)][2 * at + 1] = uint8_t(v);
        } else {
          const size_t bit = at * size_t(depth);
          rows[size_t(y)][bit / 8] |= uint8_t(v << (8 - depth - bit % 8));
        }
      }
    }
  }
  std::vector<png_bytep> pointers;
  for (auto& r : rows) {
    pointers.push_back(r.data());
  }
  png_write_image(png, pointers.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

// The picture in a file as 0xRRGGBB per pixel, top row first, through the reader.
std::vector<uint32_t> ColoursOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<uint8_t> rows;
  int32_t width = 0;
  okuva::DecodePictureInto(bytes, [&](const okuva::PictureHeader& h) {
    width = h.width;
    rows.assign(size_t(h.width) * 3 * size_t(h.height), 0);
    okuva::PictureDestination d;
    d.bits = rows.data() + size_t(h.width) * 3 * size_t(h.height - 1);  // top-down memory
    d.stride = -int64_t{h.width} * 3;
    return d;
  });
  std::vector<uint32_t> colours;
  for (size_t i = 0; i + 2 < rows.size(); i += 3) {
    colours.push_back(uint32_t(rows[i + 2]) << 16 | rows[i + 1] << 8 | rows[i]);
  }
  EXPECT_GT(width, 0);
  return colours;
}

TEST_F(ImageTool, EveryPngKindReadsAndRoundTrips) {
  const int w = 7, h = 5;
  const auto sample = [](int x, int y, int c) {
    return uint32_t(x * 7919 + y * 104729 + c * 31337) * 2654435761u >> 7;
  };
  struct Kind {
    int type, depth;
    bool interlaced;
  };
  const Kind kinds[] = {
      {PNG_COLOR_TYPE_GRAY, 1, false},        {PNG_COLOR_TYPE_GRAY, 2, false},
      {PNG_COLOR_TYPE_GRAY, 4, true},         {PNG_COLOR_TYPE_GRAY, 8, false},
      {PNG_COLOR_TYPE_GRAY, 16, false},       {PNG_COLOR_TYPE_PALETTE, 1, false},
      {PNG_COLOR_TYPE_PALETTE, 2, false},     {PNG_COLOR_TYPE_PALETTE, 4, false},
      {PNG_COLOR_TYPE_PALETTE, 8, true},      {PNG_COLOR_TYPE_RGB, 8, false},
      {PNG_COLOR_TYPE_RGB, 16, true},         {PNG_COLOR_TYPE_GRAY_ALPHA, 8, false},
      {PNG_COLOR_TYPE_GRAY_ALPHA, 16, false}, {PNG_COLOR_TYPE_RGB_ALPHA, 8, false},
      {PNG_COLOR_TYPE_RGB_ALPHA, 16, true}};
  for (const Kind& k : kinds) {
    const std::string name =
        "t" + std::to_string(k.type) + "d" + std::to_string(k.depth) + (k.interlaced ? "i" : "");
    const uint32_t max = (1u << k.depth) - 1;
    const int paletteSize = k.type == PNG_COLOR_TYPE_PALETTE ? std::min(int(max) + 1, 200) : 0;
    const auto value = [&](int x, int y, int c) {
      return k.type == PNG_COLOR_TYPE_PALETTE ? sample(x, y, c) % uint32_t(paletteSize)
                                              : sample(x, y, c) & max;
    };
    Write(name + ".png", MakePng(k.type, k.depth, k.interlaced, w, h, value, paletteSize));
    // What each pixel must read as: samples scaled to 8 bits (rounded), palette entries
    // looked up, alpha ignored.
    const auto scale = [&](uint32_t v) { return (v * 255 + max / 2) / max; };
    std::vector<uint32_t> expected;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        uint32_t rgb = 0;
        if (k.type == PNG_COLOR_TYPE_PALETTE) {
          const uint32_t i = value(x, y, 0);
          rgb = (i * 37 & 255) << 16 | (255 - i) << 8 | (i * 11 & 255);
        } else if ((k.type & PNG_COLOR_MASK_COLOR) == 0) {
          const uint32_t g = scale(value(x, y, 0));
          rgb = g << 16 | g << 8 | g;
        } else {
          rgb = scale(value(x, y, 0)) << 16 | scale(value(x, y, 1)) << 8 | scale(value(x, y, 2));
        }
        expected.push_back(rgb);
      }
    }
    EXPECT_EQ(ColoursOf(P(name + ".png")), expected) << name;
    // Through the tool and back: a same-size resample is an exact copy at the same depth.
    ASSERT_EQ(
        Run(P(name + ".png").string() + " " + P(name + "-out.png").string() + " resample 7 5"), 0)
        << name << ": " << stderr_;
    EXPECT_EQ(ColoursOf(P(name + "-out.png")), expected) << name;
  }
}

TEST_F(ImageTool, MalformedPngAndRunLengthFilesExitOneAndWriteNothing) {
  const auto sample = [](int x, int y, int c) { return uint32_t(x * 3 + y * 5 + c) % 10; };
  const std::vector<uint8_t> good = MakePng(PNG_COLOR_TYPE_RGB, 8, false, 6, 4, sample);
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  files.emplace_back("truncated.png",
                     std::vector<uint8_t>(good.begin(), good.begin() + long(good.size() / 2)));
  std::vector<uint8_t> badCrc = good;
  badCrc[good.size() - 20] ^= 0x40;  // inside the image data, whose checksum then fails
  files.emplace_back("crc.png", badCrc);
  for (uint32_t side : {100000u, 65535u}) {
    std::vector<uint8_t> bomb = good;  // IHDR sides at 16 and 20, its checksum at 29
    for (int i = 0; i < 4; ++i) {
      bomb[16 + i] = bomb[20 + i] = uint8_t(side >> (24 - 8 * i));
    }
    const uint32_t crc = okuva::picture_test::PngCrc(bomb.data() + 12, 17);
    for (int i = 0; i < 4; ++i) {
      bomb[29 + i] = uint8_t(crc >> (24 - 8 * i));
    }
    files.emplace_back("bomb" + std::to_string(side) + ".png", bomb);
  }
  files.emplace_back("index.png", MakePng(PNG_COLOR_TYPE_PALETTE, 8, false, 6, 4, sample, 9));
  const std::vector<uint32_t> table = {0, 0xFFFFFF};
  files.emplace_back("run.bmp", okuva::picture_test::MakeRleBmp(4, 2, 8, table, {5, 1, 0, 1}));
  files.emplace_back("delta.bmp",
                     okuva::picture_test::MakeRleBmp(4, 2, 8, table, {0, 2, 0, 2, 0, 1}));
  files.emplace_back("short.bmp", okuva::picture_test::MakeRleBmp(4, 2, 4, table, {4, 0x10, 0}));
  files.emplace_back("rleindex.bmp",
                     okuva::picture_test::MakeRleBmp(4, 2, 4, table, {4, 0x12, 0, 1}));
  for (const auto& [name, bytes] : files) {
    Write(name, bytes);
    for (const std::string& command :
         {"image '" + P(name).string() + "' '" + P("out.bmp").string() + "' greyscale",
          "export '" + P(name).string() + "' '" + P("out.jpg").string() + "'"}) {
      EXPECT_EQ(RunTool(command), 1) << command;
      EXPECT_FALSE(stderr_.empty()) << command;
      EXPECT_FALSE(fs::exists(P("out.bmp")) || fs::exists(P("out.jpg"))) << command;
    }
  }
}

}  // namespace
