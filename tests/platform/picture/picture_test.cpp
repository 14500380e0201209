#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"
#include "tests/platform/picture/picture_test_util.h"
#include "tests/support/temp_folder.h"

namespace okuva {
namespace {

using picture_test::BmpSpec;
using picture_test::Colours;
using picture_test::JpegOf;
using picture_test::MakeBmp;

StdPicture Decode(const std::vector<uint8_t>& bytes) { return DecodePicture(bytes); }

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }
// A literal's bytes, embedded zeros included.
template <size_t N>
std::vector<uint8_t> Bytes(const char (&s)[N]) {
  return {s, s + N - 1};
}

// The PictureError message for bytes that must be refused, or "" if they were read.
std::string RefusalOf(const std::vector<uint8_t>& bytes) {
  try {
    StdPicture p = DecodePicture(bytes);
  } catch (const PictureError& e) {
    return e.what();
  }
  return "";
}

std::vector<gdi::RGBQUAD> TableOf(gdi::HBITMAP bitmap) {
  const gdi::HDC dc = gdi::CreateCompatibleDC(0);
  const gdi::HGDIOBJ old = gdi::SelectObject(dc, bitmap);
  std::vector<gdi::RGBQUAD> table(256);
  table.resize(gdi::GetDIBColorTable(dc, 0, 256, table.data()));
  gdi::SelectObject(dc, old);
  gdi::DeleteDC(dc);
  return table;
}

// A 24-bit DIB section with a pattern of distinct colours.
StdPicture Pattern24(int32_t width, int32_t height) {
  gdi::BITMAPINFO bmi{};
  bmi.bmiHeader = {sizeof(gdi::BITMAPINFOHEADER), width, height, 1, 24, gdi::BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  StdPicture p(gdi::CreateDIBSection(0, &bmi, gdi::DIB_RGB_COLORS, &bits, nullptr, 0));
  auto* px = static_cast<uint8_t*>(bits);
  const int32_t stride = (width * 3 + 3) & ~3;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      px[y * stride + 3 * x] = static_cast<uint8_t>(x * 37 + y);
      px[y * stride + 3 * x + 1] = static_cast<uint8_t>(y * 53 + 7);
      px[y * stride + 3 * x + 2] = static_cast<uint8_t>(x * y + 11);
    }
  }
  return p;
}

// A palette DIB section of `bits` with a table of `count` colours and index pattern.
StdPicture PatternPalette(int bits, int32_t width, int32_t height, uint32_t count) {
  gdi::BITMAPINFO bmi{};
  bmi.bmiHeader = {sizeof(gdi::BITMAPINFOHEADER),
                   width,
                   height,
                   1,
                   static_cast<uint16_t>(bits),
                   gdi::BI_RGB,
                   0,
                   0,
                   0,
                   count,
                   0};
  for (uint32_t i = 0; i < count; ++i) {
    bmi.bmiColors[i] = {static_cast<uint8_t>(i * 3), static_cast<uint8_t>(255 - i),
                        static_cast<uint8_t>(i * 7), 0};
  }
  void* raw = nullptr;
  StdPicture p(gdi::CreateDIBSection(0, &bmi, gdi::DIB_RGB_COLORS, &raw, nullptr, 0));
  auto* px = static_cast<uint8_t*>(raw);
  const int32_t stride = (width * bits + 31) / 32 * 4;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const uint32_t index = static_cast<uint32_t>(x * 5 + y * 3) % count;
      const int32_t bit = x * bits;
      px[y * stride + bit / 8] |= static_cast<uint8_t>(index << (8 - bits - bit % 8));
    }
  }
  return p;
}

TEST(Picture, PaletteBmpsReadBothOrientationsWithTheirTables) {
  for (int bitCount : {1, 4, 8}) {
    const auto bits = static_cast<uint16_t>(bitCount);
    for (bool topDown : {false, true}) {
      BmpSpec s;
      s.width = 3;
      s.height = topDown ? -2 : 2;
      s.bits = bits;
      s.table = {0x102030, 0xA0B0C0};
      s.clrUsed = 2;
      // File rows: first row index pattern 0 1 0, second 1 1 0.
      auto row = [&](std::vector<int> idx) {
        std::vector<uint8_t> r(4, 0);
        for (size_t x = 0; x < idx.size(); ++x) {
          const size_t bit = x * bits;
          r[bit / 8] |= static_cast<uint8_t>(idx[x] << (8 - bits - bit % 8));
        }
        return r;
      };
      s.rows = {row({0, 1, 0}), row({1, 1, 0})};
      StdPicture p = Decode(MakeBmp(s));
      ASSERT_TRUE(p) << bits;
      EXPECT_EQ(p.Width(), 3);
      EXPECT_EQ(p.Height(), 2);
      EXPECT_EQ(p.BitsPerPixel(), bits);
      const auto table = TableOf(p.Handle());
      ASSERT_EQ(table.size(), 2u);
      EXPECT_EQ(table[1].rgbRed, 0xA0);
      EXPECT_EQ(table[1].rgbBlue, 0xC0);
      const uint32_t a = 0x102030, b = 0xA0B0C0;
      // Bottom-up files store the bottom row first.
      const std::vector<uint32_t> first = {a, b, a}, second = {b, b, a};
      const auto& top = topDown ? first : second;
      const auto& bottom = topDown ? second : first;
      std::vector<uint32_t> expected(top);
      expected.insert(expected.end(), bottom.begin(), bottom.end());
      EXPECT_EQ(Colours(p.Handle()), expected) << bits << (topDown ? " top-down" : " bottom-up");
    }
  }
}

TEST(Picture, DirectColourBmpsReadEveryLayout) {
  const uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kWhite = 0xFFFFFF;
  struct Case {
    uint16_t bits;
    uint32_t compression;
    std::vector<uint32_t> masks;
    std::vector<uint8_t> row;  // red, green, blue, white pixels
    int expectedBits;
  };
  const std::vector<Case> cases = {
      {16, 0, {}, {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0xFF, 0x7F}, 16},
      {16, 3, {0x7C00, 0x03E0, 0x001F}, {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0xFF, 0x7F}, 16},
      {16, 3, {0xF800, 0x07E0, 0x001F}, {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF}, 32},
      {24, 0, {}, {0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255}, 24},
      {32, 0, {}, {0, 0, 255, 9, 0, 255, 0, 9, 255, 0, 0, 9, 255, 255, 255, 9}, 32},
      // Red in the low byte: the masks say where each channel is.
      {32,
       3,
       {0x000000FF, 0x0000FF00, 0x00FF0000},
       {255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 255, 255, 255, 0},
       32},
  };
  for (const Case& c : cases) {
    for (bool topDown : {false, true}) {
      BmpSpec s;
      s.width = 4;
      s.height = topDown ? -2 : 2;
      s.bits = c.bits;
      s.compression = c.compression;
      s.masks = c.masks;
      std::vector<uint8_t> black(c.row.size(), 0);
      s.rows = {c.row, black};  // first file row coloured, second black
      StdPicture p = Decode(MakeBmp(s));
      EXPECT_EQ(p.BitsPerPixel(), c.expectedBits) << c.bits << "/" << c.compression;
      std::vector<uint32_t> coloured = {kRed, kGreen, kBlue, kWhite}, dark(4, 0);
      std::vector<uint32_t> expected = topDown ? coloured : dark;
      const auto& rest = topDown ? dark : coloured;
      expected.insert(expected.end(), rest.begin(), rest.end());
      EXPECT_EQ(Colours(p.Handle()), expected) << c.bits << "/" << c.compression << " " << topDown;
    }
  }
}

TEST(Picture, BmpRoundTripsAtEveryDepth) {
  for (int bits : {1, 4, 8}) {
    // A full table and a short one, with an odd width so rows carry padding.
    for (uint32_t count : {1u << bits, bits == 1 ? 2u : 3u}) {
      StdPicture original = PatternPalette(bits, 13, 5, count);
      const std::vector<uint8_t> file = EncodeBmp(original.Handle());
      StdPicture back = Decode(file);
      EXPECT_EQ(back.BitsPerPixel(), bits);
      const auto t1 = TableOf(original.Handle()), t2 = TableOf(back.Handle());
      ASSERT_EQ(t1.size(), t2.size()) << bits;
      for (size_t i = 0; i < t1.size(); ++i) {
        EXPECT_EQ(t1[i].rgbRed, t2[i].rgbRed);
        EXPECT_EQ(t1[i].rgbGreen, t2[i].rgbGreen);
        EXPECT_EQ(t1[i].rgbBlue, t2[i].rgbBlue);
      }
      EXPECT_EQ(Colours(back.Handle()), Colours(original.Handle())) << bits;
      EXPECT_EQ(EncodeBmp(back.Handle()), file) << bits;
    }
  }
  StdPicture rgb = Pattern24(7, 6);
  const std::vector<uint8_t> file24 = EncodeBmp(rgb.Handle());
  ASSERT_GE(file24.size(), 54u);
  std::vector<uint8_t> headers;  // rows of 24 bytes, 72 dpi, no table
  picture_test::Put16(headers, 0x4D42);
  for (uint32_t field : {198u, 0u, 54u, 40u, 7u, 6u, 0x180001u, 0u, 144u, 2835u, 2835u, 0u, 0u}) {
    picture_test::Put32(headers, field);
  }
  EXPECT_EQ(std::vector<uint8_t>(file24.begin(), file24.begin() + 54), headers);
  StdPicture back24 = Decode(file24);
  EXPECT_EQ(back24.BitsPerPixel(), 24);
  EXPECT_EQ(Colours(back24.Handle()), Colours(rgb.Handle()));
  EXPECT_EQ(EncodeBmp(back24.Handle()), file24);

  // Device-dependent bitmaps: 32 stays 32, 16 is written as 24 without changing a colour.
  std::vector<uint8_t> bgrx(5 * 3 * 4);
  for (size_t i = 0; i < bgrx.size(); ++i) {
    bgrx[i] = static_cast<uint8_t>(i % 4 == 3 ? 0 : i * 11);
  }
  StdPicture ddb32(gdi::CreateBitmap(5, 3, 1, 32, bgrx.data()));
  StdPicture back32 = Decode(EncodeBmp(ddb32.Handle()));
  EXPECT_EQ(back32.BitsPerPixel(), 32);
  EXPECT_EQ(Colours(back32.Handle()), Colours(ddb32.Handle()));
  std::vector<uint8_t> words(6 * 2 * 2);  // 6 x 2 at 5-5-5, rows padded to 2 bytes
  for (size_t i = 0; i < words.size(); i += 2) {
    words[i] = static_cast<uint8_t>(i * 19);
    words[i + 1] = static_cast<uint8_t>(i * 5 & 0x7F);
  }
  StdPicture ddb16(gdi::CreateBitmap(6, 2, 1, 16, words.data()));
  const std::vector<uint8_t> file16 = EncodeBmp(ddb16.Handle());
  EXPECT_EQ(file16[28], 24);
  StdPicture back16 = Decode(file16);
  EXPECT_EQ(Colours(back16.Handle()), Colours(ddb16.Handle()));
}

TEST(Picture, PnmReadsCommentsAndScalesSmallMaxvals) {
  StdPicture grey =
      Decode(Bytes("P5\n# made by hand\n3 # width\n2\n255\n\x01\x02\x03\x80\xFE\xFF"));
  EXPECT_EQ(grey.BitsPerPixel(), 8);
  EXPECT_EQ(Colours(grey.Handle()),
            (std::vector<uint32_t>{0x010101, 0x020202, 0x030303, 0x808080, 0xFEFEFE, 0xFFFFFF}));
  const auto table = TableOf(grey.Handle());
  ASSERT_EQ(table.size(), 256u);
  EXPECT_EQ(table[77].rgbRed, 77);
  EXPECT_EQ(table[77].rgbBlue, 77);

  StdPicture colour = Decode(Bytes("P6 2 1 255\r\x10\x20\x30\xA0\xB0\xC0"));
  EXPECT_EQ(colour.BitsPerPixel(), 24);
  EXPECT_EQ(Colours(colour.Handle()), (std::vector<uint32_t>{0x102030, 0xA0B0C0}));

  StdPicture scaled = Decode(Bytes("P5 3 1 15\n\x00\x0F\x07"));
  EXPECT_EQ(Colours(scaled.Handle()), (std::vector<uint32_t>{0x000000, 0xFFFFFF, 0x777777}));
  // 255 / 100 is not whole: 1, 50 and 100 give 2.55, 127.5 and 255, rounded.
  StdPicture rounded = Decode(Bytes("P5 3 1 100\n\x01\x32\x64"));
  EXPECT_EQ(Colours(rounded.Handle()), (std::vector<uint32_t>{0x030303, 0x808080, 0xFFFFFF}));
  StdPicture roundedColour = Decode(Bytes("P6 2 1 100\n\x01\x32\x64\x00\x64\x32"));
  EXPECT_EQ(Colours(roundedColour.Handle()), (std::vector<uint32_t>{0x0380FF, 0x00FF80}));
}

TEST(Picture, PnmRoundTripsByteForByte) {
  std::string grey = "P5\n4 3\n255\n";
  for (int i = 0; i < 12; ++i) {
    grey.push_back(static_cast<char>(i * 21));
  }
  StdPicture g = Decode(Bytes(grey));
  EXPECT_EQ(EncodePnm(g.Handle(), true), Bytes(grey));
  // As PNG a grey ramp is written grey (colour type 0), another table as a palette (3).
  const std::vector<uint8_t> greyPng = EncodePng(g.Handle());
  ASSERT_GT(greyPng.size(), 25u);
  EXPECT_EQ(greyPng[25], 0);
  EXPECT_EQ(Colours(Decode(greyPng).Handle()), Colours(g.Handle()));
  StdPicture tinted = PatternPalette(8, 4, 3, 256);
  const std::vector<uint8_t> palettePng = EncodePng(tinted.Handle());
  ASSERT_GT(palettePng.size(), 25u);
  EXPECT_EQ(palettePng[25], 3);
  EXPECT_EQ(Colours(Decode(palettePng).Handle()), Colours(tinted.Handle()));

  // Widths on both sides of the five-pixel steps of the colour reader's fast path.
  for (const int width : {5, 6, 7, 11, 16, 37}) {
    std::string colour = "P6\n" + std::to_string(width) + " 2\n255\n";
    for (int i = 0; i < width * 6; ++i) {
      colour.push_back(static_cast<char>(i * 37 + 1));
    }
    StdPicture c = Decode(Bytes(colour));
    EXPECT_EQ(EncodePnm(c.Handle(), false), Bytes(colour)) << width;
  }

  // Grey output of a colour picture is its luma; of a grey one, the same levels.
  StdPicture rgb = Decode(Bytes("P6 3 1 255\n\xFF\x00\x00\x00\xFF\x00\x00\x00\xFF"));
  const auto luma = EncodePnm(rgb.Handle(), true);
  const std::vector<uint8_t> tail(luma.end() - 3, luma.end());
  EXPECT_EQ(tail, (std::vector<uint8_t>{76, 150, 29}));
  EXPECT_EQ(EncodePnm(g.Handle(), false).size(), std::string("P6\n4 3\n255\n").size() + 36);
}

TEST(Picture, JpegDecodesToA24BitSection) {
  constexpr int kW = 16, kH = 8;
  std::vector<uint8_t> rgb(kW * kH * 3);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      uint8_t* p = &rgb[(y * kW + x) * 3];
      p[0] = y < kH / 2 ? 200 : 20;  // red on top, dark below
      p[1] = 40;
      p[2] = x < kW / 2 ? 30 : 220;
    }
  }
  const std::vector<uint8_t> file = JpegOf(rgb.data(), kW, kH, 95);

  StdPicture p = Decode(file);
  EXPECT_EQ(p.Width(), kW);
  EXPECT_EQ(p.Height(), kH);
  EXPECT_EQ(p.BitsPerPixel(), 24);
  const auto colours = Colours(p.Handle());
  ASSERT_EQ(colours.size(), static_cast<size_t>(kW * kH));
  auto near = [](uint32_t c, int r, int g, int b) {
    return std::abs(static_cast<int>(c >> 16) - r) <= 12 &&
           std::abs(static_cast<int>(c >> 8 & 255) - g) <= 12 &&
           std::abs(static_cast<int>(c & 255) - b) <= 12;
  };
  EXPECT_TRUE(near(colours[0], 200, 40, 30)) << std::hex << colours[0];            // top-left
  EXPECT_TRUE(near(colours[kW - 1], 200, 40, 220)) << std::hex << colours[kW - 1];  // top-right
  EXPECT_TRUE(near(colours[(kH - 1) * kW], 20, 40, 30)) << std::hex << colours[(kH - 1) * kW];

  // One pixel wide: each row is a 3-byte pixel in a 4-byte DIB row.
  const uint8_t column[] = {250, 10, 10, 10, 10, 250};
  const auto thinColours = Colours(Decode(JpegOf(column, 1, 2, 100)).Handle());
  ASSERT_EQ(thinColours.size(), 2u);
  EXPECT_TRUE(near(thinColours[0], 250, 10, 10)) << std::hex << thinColours[0];
  EXPECT_TRUE(near(thinColours[1], 10, 10, 250)) << std::hex << thinColours[1];

  std::vector<uint8_t> truncated(file.begin(),
                                 file.begin() + static_cast<long>(file.size() * 2 / 3));
  EXPECT_NE(RefusalOf(truncated), "");

  // Comment segments ahead of the frame may take the file to 16 MiB + 24 bytes a pixel,
  // not past it: the whole file fits, or its last bytes do not. The picture is noise, so
  // its data is longer than what the header's read brings in with it.
  constexpr int kSide = 256;
  std::vector<uint8_t> noise(kSide * kSide * 3);
  for (size_t i = 0; i < noise.size(); ++i) {
    noise[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  }
  const std::vector<uint8_t> noisy = JpegOf(noise.data(), kSide, kSide, 95);
  ASSERT_GT(noisy.size(), 100000u);
  // From a pipe the stream is held as it arrives: memory follows what came, not the most
  // a picture of the largest size could need.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_GE(::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(noisy.size()));
  ASSERT_EQ(::write(ends[1], noisy.data(), noisy.size()), static_cast<ssize_t>(noisy.size()));
  ::close(ends[1]);
  rusage before{}, after{};
  ::getrusage(RUSAGE_SELF, &before);
  const StdPicture piped = LoadPicture("/proc/self/fd/" + std::to_string(ends[0]));
  ::getrusage(RUSAGE_SELF, &after);
  ::close(ends[0]);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024);  // kilobytes
  EXPECT_EQ(Colours(piped.Handle()), Colours(Decode(noisy).Handle()));
  const auto padded = [&noisy](size_t total) {
    std::vector<uint8_t> out(noisy.begin(), noisy.begin() + 2);
    for (size_t left = total - noisy.size(); left > 0;) {
      size_t segment = std::min<size_t>(65537, left);
      if (left - segment > 0 && left - segment < 4) {
        segment = left - 4;
      }
      out.insert(out.end(), {0xFF, 0xFE, static_cast<uint8_t>((segment - 2) >> 8),
                             static_cast<uint8_t>(segment - 2)});
      out.resize(out.size() + segment - 4, 'c');
      left -= segment;
    }
    out.insert(out.end(), noisy.begin() + 2, noisy.end());
    return out;
  };
  const size_t limit = (size_t{16} << 20) + 24 * kSide * kSide;
  EXPECT_EQ(RefusalOf(padded(limit)), "");
  EXPECT_NE(RefusalOf(padded(limit + 3)).find("runs past what its picture could hold"),
            std::string::npos);
}

TEST(Picture, MalformedBmpsAreRefusedClearly) {
  BmpSpec good;
  good.width = 2;
  good.height = 2;
  good.bits = 24;
  good.rows = {std::vector<uint8_t>(6, 1), std::vector<uint8_t>(6, 2)};
  const std::vector<uint8_t> valid = MakeBmp(good);
  ASSERT_EQ(RefusalOf(valid), "");

  auto with32 = [&](size_t offset, uint32_t v, std::vector<uint8_t> b = {}) {
    if (b.empty()) {
      b = valid;
    }
    for (int i = 0; i < 4; ++i) {
      b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    return b;
  };
  auto with16 = [&](size_t offset, uint16_t v) {
    std::vector<uint8_t> b = valid;
    b[offset] = static_cast<uint8_t>(v);
    b[offset + 1] = static_cast<uint8_t>(v >> 8);
    return b;
  };
  EXPECT_NE(RefusalOf({}).find("empty"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("BM")).find("truncated"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("GIF89a")).find("not a picture"), std::string::npos);
  EXPECT_NE(RefusalOf(with32(14, 33)).find("header size"), std::string::npos);
  EXPECT_NE(RefusalOf(with16(26, 2)).find("planes"), std::string::npos);
  EXPECT_NE(RefusalOf(with16(28, 7)).find("7 bits"), std::string::npos);
  EXPECT_NE(RefusalOf(with32(30, 1)).find("compressed"), std::string::npos);  // RLE8
  EXPECT_NE(RefusalOf(with32(18, 0)).find("no pixels"), std::string::npos);
  EXPECT_NE(RefusalOf(with32(22, 0)).find("no pixels"), std::string::npos);
  EXPECT_NE(RefusalOf(with32(18, 70000)).find("too large"), std::string::npos);
  EXPECT_NE(RefusalOf(with32(22, 0x80000000u)).find("too large"), std::string::npos);  // INT32_MIN
  EXPECT_NE(RefusalOf(with32(18, 0xFFFFFFFFu)).find("no pixels"), std::string::npos);  // width -1
  // 60000 x 60000 declared by a file of a few bytes: refused before any allocation;
  // 16000 x 16000 is allowed in size, but the file lacks the rows.
  EXPECT_NE(RefusalOf(with32(22, 60000, with32(18, 60000))).find("too large"), std::string::npos);
  EXPECT_NE(RefusalOf(with32(22, 16000, with32(18, 16000))).find("truncated"), std::string::npos);
  EXPECT_NE(RefusalOf(with32(10, 0xFFFFFFF0u)).find("truncated"),
            std::string::npos);  // offset past end
  // Pixel data may not start inside the headers (it would read them as rows), nor inside
  // the colour table; header sizes other than those listed are unknown.
  for (uint32_t offset : {0u, 14u, 30u, 53u}) {
    EXPECT_NE(RefusalOf(with32(10, offset)).find("inside its headers"), std::string::npos)
        << offset;
  }
  for (uint32_t size : {68u, 100u, 4096u}) {
    EXPECT_NE(RefusalOf(with32(14, size)).find("header size"), std::string::npos) << size;
  }
  {
    BmpSpec palette;
    palette.width = 4;
    palette.height = 1;
    palette.bits = 8;
    palette.table = {0x000000, 0xFFFFFF};
    palette.clrUsed = 2;
    palette.rows = {{0, 1, 1, 0}};
    std::vector<uint8_t> b = MakeBmp(palette);
    ASSERT_EQ(RefusalOf(b), "");
    b[10] = 58;  // one entry into the two-entry table
    EXPECT_NE(RefusalOf(b).find("inside its headers and colour table, which end at byte 62"),
              std::string::npos);
  }
  std::vector<uint8_t> shortRows(valid.begin(), valid.end() - 1);
  EXPECT_NE(RefusalOf(shortRows).find("truncated"), std::string::npos);
}

TEST(Picture, HostileTablesAndMasksAreRefused) {
  BmpSpec s;
  s.width = 2;
  s.height = 1;
  s.bits = 4;
  s.table = {0x000000, 0xFFFFFF, 0x808080};
  s.clrUsed = 3;
  s.rows = {{0x51}};  // indices 5 and 1: 5 is beyond a table of three
  EXPECT_NE(RefusalOf(MakeBmp(s)).find("colour 5"), std::string::npos);
  s.rows = {{0x12, 0xEE}};  // what the row's padding holds is no pixel
  EXPECT_EQ(RefusalOf(MakeBmp(s)), "");

  // A colour count the file does not hold.
  s.clrUsed = 16;
  EXPECT_NE(RefusalOf(MakeBmp(s)).find("truncated"), std::string::npos);
  // A larger count than the depth can index is clamped, not trusted.
  s.table.assign(16, 0x123456);
  s.clrUsed = 0xFFFFFFFFu;
  EXPECT_EQ(RefusalOf(MakeBmp(s)), "");

  BmpSpec m;
  m.width = 1;
  m.height = 1;
  m.bits = 32;
  m.compression = 3;
  m.rows = {{1, 2, 3, 4}};
  m.masks = {0x00FF0000, 0x0000FFFF, 0x000000FF};
  EXPECT_NE(RefusalOf(MakeBmp(m)).find("overlap"), std::string::npos);
  m.masks = {0x00FF0000, 0x0000F0F0, 0x0000000F};
  EXPECT_NE(RefusalOf(MakeBmp(m)).find("one run"), std::string::npos);
  m.bits = 16;
  m.rows = {{1, 2}};
  m.masks = {0x00FF0000, 0x0000FF00, 0x000000FF};
  EXPECT_NE(RefusalOf(MakeBmp(m)).find("wider"), std::string::npos);
}

using picture_test::InfoBmp;

TEST(Picture, EveryBmpHeaderKindIsRead) {
  // OS/2 1.x: 12-byte header, 16-bit sides, 3-byte table entries.
  std::vector<uint8_t> os2;
  picture_test::Put16(os2, 0x4D42);
  for (uint32_t f : {0u, 0u, 14u + 12u + 6u, 12u}) {
    picture_test::Put32(os2, f);
  }
  for (uint32_t f : {3u, 1u, 1u, 1u}) {
    picture_test::Put16(os2, f);
  }
  os2.insert(os2.end(), {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0, 0, 0});
  EXPECT_EQ(Colours(Decode(os2).Handle()), (std::vector<uint32_t>{0x0000FF, 0xFF0000, 0x0000FF}));

  // OS/2 2.x: 64-byte header; its compression 3 is Huffman coding, not bit fields.
  const StdPicture v2 = Decode(InfoBmp(64, 2, 1, 8, 0, {}, {0x112233, 0x445566}, {1, 0, 0, 0}));
  EXPECT_EQ(v2.BitsPerPixel(), 8);
  EXPECT_EQ(Colours(v2.Handle()), (std::vector<uint32_t>{0x445566, 0x112233}));
  EXPECT_NE(RefusalOf(InfoBmp(64, 2, 1, 8, 3, {}, {1, 2}, {1, 0, 0, 0})).find("compression 3"),
            std::string::npos);
  EXPECT_NE(RefusalOf(InfoBmp(64, 1, 1, 16, 3, {}, {}, {0, 0, 0, 0})).find("compression 3"),
            std::string::npos);
  // A 20-byte OS/2 header ends with the compression field: it is read.
  EXPECT_NE(RefusalOf(InfoBmp(20, 2, 1, 8, 3, {}, {1, 2}, {1, 0, 0, 0})).find("compression 3"),
            std::string::npos);

  // V5 with 5-6-5 masks and V4 with an alpha mask (ignored, like every alpha).
  const StdPicture v5 =
      Decode(InfoBmp(124, 2, 1, 16, 3, {0xF800, 0x07E0, 0x001F, 0}, {}, {0x00, 0xF8, 0xE0, 0x07}));
  EXPECT_EQ(Colours(v5.Handle()), (std::vector<uint32_t>{0xFF0000, 0x00FF00}));
  const StdPicture v4 = Decode(InfoBmp(108, 1, 1, 32, 6, {0xFF, 0xFF00, 0xFF0000, 0xFF000000u}, {},
                                       {0x10, 0x20, 0x30, 0x80}));
  EXPECT_EQ(Colours(v4.Handle()), (std::vector<uint32_t>{0x102030}));
}

TEST(Picture, RunLengthBmpsUseEveryEscape) {
  const std::vector<uint32_t> four = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
  // Bottom row: a run, an odd absolute run (padded), end of line; a delta over the
  // middle row to x = 1 of the top row; one pixel; end of bitmap.
  const std::vector<uint8_t> rle8 = {2, 1, 0, 3, 2, 3, 2, 0, 0, 0, 0, 2, 1, 1, 1, 3, 0, 1};
  const StdPicture p8 = Decode(picture_test::MakeRleBmp(5, 3, 8, four, rle8));
  EXPECT_EQ(p8.BitsPerPixel(), 8);
  EXPECT_EQ(Colours(p8.Handle()),
            (std::vector<uint32_t>{0, 0x0000FF, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF0000, 0xFF0000,
                                   0x00FF00, 0x0000FF, 0x00FF00}));
  std::vector<uint32_t> greys;
  for (uint32_t i = 0; i < 16; ++i) {
    greys.push_back(i * 0x111111);
  }
  // RLE4: a run alternating two nibbles, end of line, an absolute run of 3, end of bitmap.
  const StdPicture p4 =
      Decode(picture_test::MakeRleBmp(5, 2, 4, greys, {5, 0x12, 0, 0, 0, 3, 0x34, 0x50, 0, 1}));
  EXPECT_EQ(p4.BitsPerPixel(), 4);
  EXPECT_EQ(Colours(p4.Handle()),
            (std::vector<uint32_t>{0x333333, 0x444444, 0x555555, 0, 0, 0x111111, 0x222222, 0x111111,
                                   0x222222, 0x111111}));
  // Odd absolute runs end on their last pixel, mid-row (a run follows) and at the row's
  // end; the end of bitmap then leaves the top row at colour 0.
  const StdPicture odd = Decode(picture_test::MakeRleBmp(
      5, 3, 4, greys, {0, 3, 0x34, 0x50, 2, 0x12, 0, 0, 2, 0x67, 0, 3, 0x89, 0xA0, 0, 1}));
  std::vector<uint32_t> oddRows = {0, 0, 0, 0, 0, 6, 7, 8, 9, 10, 3, 4, 5, 1, 2};
  for (uint32_t& c : oddRows) {
    c *= 0x111111;
  }
  EXPECT_EQ(Colours(odd.Handle()), oddRows);

  // Runs and deltas may not leave the row or the picture, wrap or run short.
  const auto refusal = [&](const std::vector<uint8_t>& data) {
    return RefusalOf(picture_test::MakeRleBmp(5, 3, 8, four, data));
  };
  EXPECT_NE(refusal({6, 1, 0, 1}).find("leaves the row"), std::string::npos);
  EXPECT_NE(refusal({3, 1, 0, 3, 1, 1, 1, 0}).find("leaves the row"), std::string::npos);
  EXPECT_NE(refusal({0, 2, 6, 0}).find("leaves the row"), std::string::npos);
  EXPECT_NE(refusal({0, 2, 0, 3}).find("leaves the picture"), std::string::npos);
  EXPECT_NE(refusal({0, 0, 0, 0, 0, 2, 0, 1}).find("leaves the picture"), std::string::npos);
  EXPECT_NE(refusal({2, 1}).find("truncated"), std::string::npos);
  EXPECT_NE(refusal({1, 9, 0, 1}).find("colour 9"), std::string::npos);
  // The declared data size bounds the runs read: an end of bitmap past it is not seen.
  std::vector<uint8_t> declared = picture_test::MakeRleBmp(5, 3, 8, four, {2, 1, 0, 1});
  ASSERT_EQ(RefusalOf(declared), "");
  declared[34] = 2;
  EXPECT_NE(RefusalOf(declared).find("truncated"), std::string::npos);
  // Undeclared, they are read to the file's end, and a file may hold an encoder's worst
  // case: two bytes a pixel and a row's end.
  std::vector<uint8_t> open = picture_test::MakeRleBmp(5, 3, 8, four, {2, 1});
  std::fill_n(open.begin() + 34, 4, 0);
  EXPECT_NE(RefusalOf(open).find("truncated"), std::string::npos);
  std::vector<uint8_t> singles;
  for (int y = 0; y < 700; ++y) {
    singles.insert(singles.end(), {1, 1, 1, 2, 1, 3, 0, 0});
  }
  std::vector<uint8_t> worst = picture_test::MakeRleBmp(3, 700, 8, four, singles);
  std::fill_n(worst.begin() + 34, 4, 0);
  EXPECT_EQ(RefusalOf(worst), "");
  std::vector<uint8_t> topDown = picture_test::MakeRleBmp(5, -3, 8, four, {0, 1});
  EXPECT_NE(RefusalOf(topDown).find("top-down"), std::string::npos);
}

TEST(Picture, ProgressiveJpegsOfTooManyScansAreRefused) {
  // A greyscale progression of 1 + 63 x 8 = 505 valid scans: every coefficient band
  // alone, refined bit by bit.
  std::vector<jpeg_scan_info> scans;
  scans.push_back({1, {0, 0, 0, 0}, 0, 0, 0, 0});
  for (int k = 1; k < 64; ++k) {
    scans.push_back({1, {0, 0, 0, 0}, k, k, 0, 7});
    for (int al = 6; al >= 0; --al) {
      scans.push_back({1, {0, 0, 0, 0}, k, k, al + 1, al});
    }
  }
  // A side x side greyscale JPEG of the given scans (libjpeg's progression when none).
  const auto encode = [](const std::vector<jpeg_scan_info>& script, int side) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(side);
    c.image_height = static_cast<JDIMENSION>(side);
    c.input_components = 1;
    c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    if (script.empty()) {
      jpeg_simple_progression(&c);
    } else {
      c.scan_info = script.data();
      c.num_scans = static_cast<int>(script.size());
    }
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(side));
    while (c.next_scanline < c.image_height) {
      for (int x = 0; x < side; ++x) {
        row[x] = static_cast<uint8_t>(x * 13 + c.next_scanline * 7);
      }
      JSAMPROW r = row.data();
      jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> bytes(out, out + size);
    free(out);
    return bytes;
  };
  // Refused from its markers, before anything is decoded or any destination made.
  bool prepared = false;
  EXPECT_THROW(DecodePictureInto(encode(scans, 16),
                                 [&](const PictureHeader&) {
                                   prepared = true;
                                   return PictureDestination{};
                                 }),
               PictureError);
  EXPECT_FALSE(prepared);
  EXPECT_NE(RefusalOf(encode(scans, 16)).find("more than 500 scans"), std::string::npos);
  // The file with a comment segment holding `content` put just before its first scan.
  const auto commented = [](std::vector<uint8_t> file, const std::vector<uint8_t>& content) {
    size_t at = 2;  // before the first scan, after the frame
    while (at + 1 < file.size() && !(file[at] == 0xFF && file[at + 1] == 0xDA)) {
      ++at;
    }
    const size_t length = content.size() + 2;
    std::vector<uint8_t> segment = {0xFF, 0xFE, static_cast<uint8_t>(length >> 8),
                                    static_cast<uint8_t>(length)};
    segment.insert(segment.end(), content.begin(), content.end());
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), segment.begin(), segment.end());
    return file;
  };
  // Under 500 scans, the work is bounded by 2^20 block decodings or 24 a block, whichever
  // is more: 64 full scans of 128 x 128 blocks are exactly 2^20 and read, 65 are not; 24
  // scans of 210 x 210 blocks (more than 2^20) are read, 25 are not.
  std::vector<jpeg_scan_info> full = {{1, {0, 0, 0, 0}, 0, 0, 0, 1}};
  for (int k = 1; k < 64; ++k) {
    full.push_back({1, {0, 0, 0, 0}, k, k, 0, 0});
  }
  full.push_back({1, {0, 0, 0, 0}, 0, 0, 1, 0});
  const std::vector<uint8_t> over = encode(full, 1024);
  EXPECT_NE(RefusalOf(over).find("1064960 block decodings, more than 1048576"), std::string::npos);
  // Segments are stepped over whole: a comment of 256 bytes (its length's low byte 0) hides
  // no bomb, and fake scan headers inside a comment are not counted.
  EXPECT_NE(RefusalOf(commented(over, std::vector<uint8_t>(254, 'c'))).find("block decodings"),
            std::string::npos);
  std::vector<uint8_t> fakeScans;
  for (int i = 0; i < 501; ++i) {
    fakeScans.insert(fakeScans.end(), {0xFF, 0xDA, 0x00, 0x03, 0x00});
  }
  EXPECT_EQ(RefusalOf(commented(encode({}, 16), fakeScans)), "");
  full.front().Al = 0;
  full.pop_back();
  EXPECT_EQ(RefusalOf(encode(full, 1024)), "");
  full.resize(24);
  full.back().Se = 63;
  EXPECT_EQ(RefusalOf(encode(full, 1680)), "");
  full.back().Se = 23;
  full.push_back({1, {0, 0, 0, 0}, 24, 63, 0, 0});
  EXPECT_NE(RefusalOf(encode(full, 1680)).find("more than 1058400"), std::string::npos);
  // libjpeg's own progression (10 scans) at that size is read.
  EXPECT_EQ(RefusalOf(encode({}, 512)), "");
}

// A w x h grey PNG (grey x * 7 + y * 13) stored without compression, so any size is cheap
// to make, its stream running `surplus` bytes past the last row, and a private chunk of
// `before` bytes ahead of the data when not 0.
std::vector<uint8_t> StoredPng(uint32_t w, uint32_t h, size_t surplus, size_t before = 0) {
  const auto be32 = [](std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 3; i >= 0; --i) {
      v.push_back(static_cast<uint8_t>(x >> (8 * i)));
    }
  };
  const auto chunk = [&](std::vector<uint8_t>& out, const char* type,
                         const std::vector<uint8_t>& data) {
    be32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    be32(out, picture_test::PngCrc(out.data() + start, out.size() - start));
  };
  std::vector<uint8_t> raw;
  for (uint32_t y = 0; y < h; ++y) {
    raw.push_back(0);  // no filter
    for (uint32_t x = 0; x < w; ++x) {
      raw.push_back(static_cast<uint8_t>(x * 7 + y * 13));
    }
  }
  raw.resize(raw.size() + surplus, 0);
  std::vector<uint8_t> z = {0x78, 0x01};
  uint32_t a = 1, b = 0;
  for (size_t at = 0; at < raw.size(); at += 65535) {
    const auto n = static_cast<uint16_t>(std::min<size_t>(65535, raw.size() - at));
    z.insert(z.end(), {static_cast<uint8_t>(at + n == raw.size()), static_cast<uint8_t>(n),
                       static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(~n),
                       static_cast<uint8_t>(~n >> 8)});
    z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
             raw.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  for (uint8_t c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  be32(z, b << 16 | a);
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> ihdr;
  be32(ihdr, w);
  be32(ihdr, h);
  ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});
  chunk(png, "IHDR", ihdr);
  if (before > 0) {
    chunk(png, "okPd", std::vector<uint8_t>(before, 'x'));
  }
  chunk(png, "IDAT", z);
  chunk(png, "IEND", {});
  return png;
}

TEST(Picture, PngDataPastTheLastRowIsNotInflated) {
  // Rows longer than the allowance past the last row: it starts there, not at a row before.
  const StdPicture p = Decode(StoredPng(20000, 3, 0));
  const std::vector<uint32_t> colours = Colours(p.Handle());
  ASSERT_EQ(colours.size(), 20000u * 3u);
  EXPECT_EQ(colours[1], 0x070707u);
  EXPECT_EQ(colours[20000 * 2 + 2], static_cast<uint8_t>(2 * 13 + 14) * 0x010101u);
  // A few bytes past the last row (an encoder's slack) are read; a stream running on for
  // a mebibyte after it is refused at 16 KiB rather than inflated to its end.
  EXPECT_EQ(RefusalOf(StoredPng(64, 64, 4000)), "");
  EXPECT_NE(RefusalOf(StoredPng(64, 64, 1 << 20)).find("runs on past its last row"),
            std::string::npos);
  // An optional chunk before the data may take the stream to 16 MiB + 2 (8 w + 1) h
  // bytes, not past it: the whole file fits, or the data's chunk header does not.
  const size_t limit = (size_t{16} << 20) + 2 * (8 * 64 + 1) * 64,
               plain = StoredPng(64, 64, 0).size();
  EXPECT_EQ(RefusalOf(StoredPng(64, 64, 0, limit - plain - 12)), "");
  EXPECT_NE(
      RefusalOf(StoredPng(64, 64, 0, limit - 52)).find("runs past what its picture could need"),
      std::string::npos);
}

TEST(Picture, OnePassIntoTheCallersRowsMatchesThePictureObject) {
  BmpSpec s;
  s.width = 3;
  s.height = 2;
  s.bits = 4;
  s.table = {0x102030, 0x405060, 0x708090};
  s.clrUsed = 3;
  s.rows = {{0x01, 0x20}, {0x21, 0x00}};
  std::vector<uint8_t> rgb(6 * 4 * 3);
  for (size_t i = 0; i < rgb.size(); ++i) {
    rgb[i] = static_cast<uint8_t>(i * 11);
  }
  const std::vector<uint8_t> jpegBytes = JpegOf(rgb.data(), 6, 4, 90, TJSAMP_420);
  const std::vector<std::vector<uint8_t>> files = {
      MakeBmp(s), Bytes("P5 2 2 255\n\x01\x80\xFE\x00"),
      Bytes("P6 1 2 255\n\x01\x02\x03\x04\x05\x06"), jpegBytes,
      picture_test::MakeRleBmp(2, 2, 8, {0x0000FF, 0xFFFFFF}, {2, 1, 0, 0, 1, 0, 0, 1})};
  for (const auto& file : files) {
    // Top-down memory, rows padded to 8 bytes beyond the pixels.
    std::vector<uint8_t> memory;
    int64_t width = 0;
    DecodePictureInto(file, [&](const PictureHeader& h) {
      width = h.width;
      memory.assign(static_cast<size_t>((h.width * 3 + 8) * h.height), 0xEE);
      PictureDestination d;
      d.stride = -(h.width * 3 + 8);
      d.bits = memory.data() + (h.height - 1) * (h.width * 3 + 8);
      return d;
    });
    std::vector<uint32_t> colours;
    for (size_t row = 0; row * static_cast<size_t>(width * 3 + 8) < memory.size(); ++row) {
      const uint8_t* p = memory.data() + row * static_cast<size_t>(width * 3 + 8);
      for (int64_t x = 0; x < width; ++x) {
        colours.push_back(uint32_t{p[3 * x + 2]} << 16 | p[3 * x + 1] << 8 | p[3 * x]);
      }
      EXPECT_EQ(p[width * 3], 0xEE);  // padding untouched
    }
    EXPECT_EQ(colours, Colours(Decode(file).Handle()));
  }
  // A palette destination takes the indices; another depth is refused.
  std::vector<uint8_t> indices(8, 0xFF);
  DecodePictureInto(MakeBmp(s), [&](const PictureHeader& h) {
    EXPECT_EQ(h.bitsPerPixel, 4);
    EXPECT_EQ(h.colourCount, 3u);
    return PictureDestination{indices.data(), 4, 4};
  });
  EXPECT_EQ(indices, (std::vector<uint8_t>{0x01, 0x20, 0xFF, 0xFF, 0x21, 0x00, 0xFF, 0xFF}));
  for (const PictureDestination& wrong :
       {PictureDestination{indices.data(), 4, 8}, PictureDestination{indices.data(), 1, 4}}) {
    EXPECT_THROW(DecodePictureInto(MakeBmp(s), [&](const PictureHeader&) { return wrong; }),
                 PictureError);
  }
}

TEST(Picture, MalformedPnmsAreRefused) {
  EXPECT_NE(RefusalOf(Bytes("P5 2 2 0\n\0\0\0\0")).find("maxval"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("P5 2 2 65535\n")).find("16-bit"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("P5 2 1 100\n\x10\x70")).find("above"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("P6 2 2 255\n\x01\x02")).find("truncated"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("P5 x 2 255\n")).find("not a number"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("P5 2 2")).find("truncated"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("P5 0 2 255\n")).find("no pixels"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("P5 99999999999 2 255\n")).find("large"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("P6 40000 40000 255\n")).find("too large"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("P3 1 1 255\n1 2 3")).find("not a picture"), std::string::npos);
  EXPECT_NE(RefusalOf(Bytes("P5 1 1 255x\x01")).find("malformed"), std::string::npos);
}

TEST(Picture, StdPictureOwnsItsBitmap) {
  StdPicture a = Pattern24(2, 2);
  const gdi::HBITMAP handle = a.Handle();
  ASSERT_NE(handle, 0u);
  StdPicture b(std::move(a));
  EXPECT_EQ(a.Handle(), 0u);  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
  EXPECT_EQ(a.Width(), 0);
  EXPECT_EQ(b.Handle(), handle);
  EXPECT_EQ(b.Width(), 2);
  b = Pattern24(3, 1);  // the old bitmap is deleted
  gdi::BITMAP bm{};
  EXPECT_EQ(gdi::GetObjectA(handle, sizeof bm, &bm), 0);
  const gdi::HBITMAP released = b.Release();
  EXPECT_FALSE(b);
  EXPECT_NE(gdi::GetObjectA(released, sizeof bm, &bm), 0);
  EXPECT_TRUE(gdi::DeleteObject(released));
  try {
    EncodeBmp(0);
    FAIL() << "EncodeBmp(0) returned";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 5);
  }
  EXPECT_THROW(EncodePnm(released, false), RuntimeError);  // stale handle
}

class PictureFiles : public ::testing::Test {
protected:
  testing::TempFolder folder_{"okuva-pictures"};
  std::string dir_ = folder_.Path().string();
};

TEST_F(PictureFiles, SaveAndLoadChooseTheFormatByExtension) {
  StdPicture rgb = Pattern24(9, 4);
  SavePicture(rgb.Handle(), dir_ + "/a.BMP");
  SavePicture(rgb.Handle(), dir_ + "/a.ppm");
  SavePicture(rgb.Handle(), dir_ + "/a.pgm");
  EXPECT_EQ(files::ReadFile(dir_ + "/a.BMP").substr(0, 2), "BM");
  EXPECT_EQ(files::ReadFile(dir_ + "/a.pgm").substr(0, 2), "P5");
  EXPECT_EQ(Colours(LoadPicture(dir_ + "/a.BMP").Handle()), Colours(rgb.Handle()));
  EXPECT_EQ(Colours(LoadPicture(dir_ + "/a.ppm").Handle()), Colours(rgb.Handle()));
  EXPECT_EQ(LoadPicture(dir_ + "/a.pgm").BitsPerPixel(), 8);

  // Replacing keeps nothing of the old file; a refused save leaves it as it was.
  SavePicture(Pattern24(1, 1).Handle(), dir_ + "/a.ppm");
  EXPECT_EQ(LoadPicture(dir_ + "/a.ppm").Width(), 1);
  const std::string before = files::ReadFile(dir_ + "/a.BMP");
  EXPECT_THROW(SavePicture(0, dir_ + "/a.BMP"), RuntimeError);
  EXPECT_EQ(files::ReadFile(dir_ + "/a.BMP"), before);
  EXPECT_THROW(SavePicture(rgb.Handle(), dir_ + "/a.gif"), PictureError);
  EXPECT_FALSE(files::FindFile(dir_ + "/a.gif"));
  EXPECT_THROW(SavePicture(rgb.Handle(), dir_ + "/bmp"), PictureError);
  try {
    SavePicture(rgb.Handle(), dir_ + "/missing/a.bmp");
    FAIL() << "saved into a missing folder";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 76);
  }
  // A picture far beyond the first bytes read with the header: its rows come from the
  // file in batches; a file that ends early is refused.
  StdPicture large = Pattern24(2100, 40);
  SavePicture(large.Handle(), dir_ + "/large.ppm");
  EXPECT_EQ(Colours(LoadPicture(dir_ + "/large.ppm").Handle()), Colours(large.Handle()));
  std::filesystem::resize_file(dir_ + "/large.ppm",
                               std::filesystem::file_size(dir_ + "/large.ppm") - 5);
  EXPECT_THROW(LoadPicture(dir_ + "/large.ppm"), PictureError);
  try {
    LoadPicture(dir_ + "/none.bmp");
    FAIL() << "loaded a missing file";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 53);
  }
  try {
    LoadPicture(dir_);
    FAIL() << "loaded a folder";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 75);
  }
  // Only the last name's extension counts, whatever its case.
  EXPECT_EQ(ExtensionOf("/a.b/c.PnG"), "png");
  EXPECT_EQ(ExtensionOf("/a.png/c"), "");
  EXPECT_EQ(ExtensionOf(".BMP"), "bmp");
  EXPECT_EQ(ExtensionOf("a.tar."), "");
}

}  // namespace
}  // namespace okuva
