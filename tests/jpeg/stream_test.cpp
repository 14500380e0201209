// The file layout: segments, their exact bytes, comments and the single-write file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "jpeg/cjpeg.h"
#include "jpeg/huffman_table.h"
#include "jpeg/scan_coder.h"
#include "jpeg/stream_writer.h"
#include "platform/runtime/error.h"
#include "tests/jpeg/jpeg_test_util.h"
#include "tests/support/temp_folder.h"

namespace okuva::jpeg {
namespace {

using test::Dib;
using test::Segment;
using test::Segments;
using Bytes = std::vector<uint8_t>;

std::vector<Segment> Markers(const std::vector<Segment>& all, uint8_t marker) {
  std::vector<Segment> out;
  for (const Segment& s : all) {
    if (s.marker == marker) {
      out.push_back(s);
    }
  }
  return out;
}

TEST(Stream, ColourLayoutAndExactHeaderBytes) {
  Dib dib(640, 480);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto();
  cJpeg jpeg;
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 640, 480, 0, 0), 0);
  const Bytes file = jpeg.Encode();
  const auto segs = Segments(file);
  ASSERT_FALSE(segs.empty());
  std::vector<uint8_t> order;
  for (const Segment& s : segs) {
    order.push_back(s.marker);
  }
  EXPECT_EQ(order, (std::vector<uint8_t>{0xD8, 0xE0, 0xFE, 0xDB, 0xDB, 0xC0, 0xC4, 0xC4, 0xC4, 0xC4,
                                         0xDA, 0xD9}));
  EXPECT_EQ(segs[1].bytes, (Bytes{0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01,
                                  0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00}));
  const auto sof = Markers(segs, 0xC0);
  EXPECT_EQ(sof[0].bytes, (Bytes{0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80, 0x03, 0x01,
                                 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01}));
  const auto sos = Markers(segs, 0xDA);
  EXPECT_EQ(sos[0].bytes, (Bytes{0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11,
                                 0x00, 0x3F, 0x00}));
  const auto dqt = Markers(segs, 0xDB);
  for (size_t t = 0; t < 2; ++t) {
    ASSERT_EQ(dqt[t].bytes.size(), 69u);
    EXPECT_EQ(dqt[t].bytes[3], 0x43);
    EXPECT_EQ(dqt[t].bytes[4], t);
    for (size_t i = 0; i < 64; ++i) {
      EXPECT_EQ(dqt[t].bytes[5 + i], jpeg.QTable(static_cast<int32_t>(t)).Qk[i]);
    }
  }
  // DHT: DC 0, AC 0, DC 1, AC 1, each with its BITS and HUFFVAL.
  const auto dht = Markers(segs, 0xC4);
  const uint8_t classes[] = {0x00, 0x10, 0x01, 0x11};
  for (size_t k = 0; k < 4; ++k) {
    const HuffTable& t = (k % 2 == 0) ? jpeg.DCTable(static_cast<int32_t>(k / 2))
                                      : jpeg.ACTable(static_cast<int32_t>(k / 2));
    EXPECT_EQ(dht[k].bytes[4], classes[k]);
    size_t n = 0;
    for (size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(dht[k].bytes[5 + i], t.BITS[i]);
      n += t.BITS[i];
    }
    ASSERT_EQ(dht[k].bytes.size(), 21 + n);
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(dht[k].bytes[21 + i], t.HUFFVAL[i]);
    }
  }
  EXPECT_EQ(file.back(), 0xD9);
  EXPECT_EQ(file[file.size() - 2], 0xFF);
  // Every FF inside the coded data is followed by a stuffed 00.
  const size_t start = sos[0].offset + sos[0].bytes.size();
  for (size_t i = start; i < start + sos[0].entropyBytes; ++i) {
    if (file[i] == 0xFF) {
      ASSERT_EQ(file[i + 1], 0x00) << i;
      ++i;
    }
  }
}

TEST(Stream, GreyscaleHasOneTableOfEachKind) {
  Dib dib(50, 30);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto();
  cJpeg jpeg;
  jpeg.SetSamplingFrequencies(1, 1, 0, 0, 0, 0);
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 50, 30, 0, 0), 0);
  const auto segs = Segments(jpeg.Encode());
  EXPECT_EQ(Markers(segs, 0xDB).size(), 1u);
  EXPECT_EQ(Markers(segs, 0xC4).size(), 2u);
  const auto sos = Markers(segs, 0xDA);
  ASSERT_EQ(sos.size(), 1u);
  EXPECT_EQ(sos[0].bytes, (Bytes{0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00}));
}

TEST(Stream, CommentSegments) {
  Dib dib(8, 8);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto();
  cJpeg jpeg;
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 8, 8, 0, 0), 0);
  auto segs = Segments(jpeg.Encode());
  auto com = Markers(segs, 0xFE);
  ASSERT_EQ(com.size(), 1u);  // only the credit
  const std::string credit(com[0].bytes.begin() + 4, com[0].bytes.end());
  EXPECT_EQ(credit.substr(0, 20), "JPEG Encoder Class\r\n");
  EXPECT_EQ(std::count(credit.begin(), credit.end(), '\n'), 2);
  EXPECT_NE(credit.back(), '\n');
  EXPECT_LT(segs[2].offset, Markers(segs, 0xDB)[0].offset);

  jpeg.Comment("Iris 7 \xC3\xB1 \xE2\x82\xAC");  // n with tilde and the euro sign
  segs = Segments(jpeg.Encode());
  com = Markers(segs, 0xFE);
  ASSERT_EQ(com.size(), 2u);
  EXPECT_EQ(com[0].bytes,
            (Bytes{0xFF, 0xFE, 0x00, 0x0C, 'I', 'r', 'i', 's', ' ', '7', ' ', 0xF1, ' ', 0x80}));
  EXPECT_EQ(std::string(com[1].bytes.begin() + 4, com[1].bytes.end()), credit);

  jpeg.Comment(std::string(65533, 'c'));
  segs = Segments(jpeg.Encode());
  com = Markers(segs, 0xFE);
  ASSERT_EQ(com.size(), 2u);
  EXPECT_EQ(com[0].bytes[2], 0xFF);
  EXPECT_EQ(com[0].bytes[3], 0xFF);  // Lc = 65535
  EXPECT_EQ(com[0].bytes.size(), 65537u);

  // A character without a one-byte code is refused, not written wrongly.
  jpeg.Comment("\xE4\xB8\xAD");
  try {
    jpeg.Encode();
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 6);
  }
}

TEST(Stream, DqtAndDhtSegmentsCanCarrySeveralTables) {
  OutputBuffer out(2000);
  QuantTable q;
  q.Qk.fill(3);
  WriteDQT(out, 0, q, 0);
  WriteDQT(out, 0, q, 1);  // still open at 0: appended, length rewritten
  auto w = out.Written();
  ASSERT_EQ(w.size(), 4u + 2 * 65);
  EXPECT_EQ(w[2], 0x00);
  EXPECT_EQ(w[3], 132);
  EXPECT_EQ(w[4 + 65], 0x01);
  SymbolCounts c{};
  c[0] = 3;
  c[5] = 1;
  HuffTable t;
  BuildOptimalTable(t, c);
  const size_t start = out.Pos();
  WriteDHT(out, start, t, 1, true);
  w = out.Written();
  EXPECT_EQ(w[start + 1], 0xC4);
  EXPECT_EQ(w[start + 3], 19 + 2);
  EXPECT_EQ(w[start + 4], 0x11);
}

class SaveFileTest : public ::testing::Test {
protected:
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  static Bytes Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  okuva::testing::TempFolder folder_{"okuva-jpeg"};
  std::filesystem::path dir_ = folder_.Path();
};

TEST_F(SaveFileTest, WritesTheEncodedStream) {
  Dib dib(33, 17);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto();
  cJpeg jpeg;
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 33, 17, 0, 0), 0);
  EXPECT_EQ(jpeg.SaveFile(Path("a.jpg")), 0);
  const Bytes written = Read(Path("a.jpg"));
  EXPECT_EQ(written, jpeg.Encode());
  // The stores stay: a second file with another comment.
  jpeg.Comment("second");
  EXPECT_EQ(jpeg.SaveFile(Path("b.jpg")), 0);
  EXPECT_EQ(Read(Path("b.jpg")).size(), written.size() + 10);
}

TEST_F(SaveFileTest, RefusesEmptyNamesAndExistingFiles) {
  Dib dib(16, 16);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto();
  cJpeg jpeg;
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 16, 16, 0, 0), 0);
  EXPECT_EQ(jpeg.SaveFile(""), 1);
  for (const char* name : {"plain.jpg", ".hidden.jpg", "readonly.jpg"}) {
    const std::string p = Path(name);
    { std::ofstream(p, std::ios::binary) << "keep me"; }
    if (std::string(name) == "readonly.jpg") {
      ::chmod(p.c_str(), 0444);
    }
    EXPECT_EQ(jpeg.SaveFile(p), 2) << name;
    EXPECT_EQ(Read(p), (Bytes{'k', 'e', 'e', 'p', ' ', 'm', 'e'})) << name;
  }
}

TEST_F(SaveFileTest, NothingSampledRaisesAndCreatesNoFile) {
  cJpeg fresh;
  try {
    fresh.SaveFile(Path("none.jpg"));
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 9);
  }
  EXPECT_FALSE(std::filesystem::exists(Path("none.jpg")));

  Dib dib(16, 16);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto();
  cJpeg jpeg;
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 16, 16, 0, 0), 0);
  jpeg.SetSamplingFrequencies(1, 1, 1, 1, 1, 1);  // discards the stores
  EXPECT_THROW(jpeg.SaveFile(Path("after.jpg")), RuntimeError);
  EXPECT_FALSE(std::filesystem::exists(Path("after.jpg")));
}

TEST_F(SaveFileTest, FileErrorsPropagate) {
  Dib dib(16, 16);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto();
  cJpeg jpeg;
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 16, 16, 0, 0), 0);
  try {
    jpeg.SaveFile(Path("missing/x.jpg"));
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_TRUE(e.Number() == 76 || e.Number() == 53) << e.Number();
  }
  EXPECT_FALSE(std::filesystem::exists(Path("missing")));
}

}  // namespace
}  // namespace okuva::jpeg
