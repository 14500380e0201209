// Output sizing: the size estimate is exact, the buffer bound survives worst-case
// byte stuffing, and filler blocks always have an EOB code.
#include <gtest/gtest.h>

#include <vector>

#include "jpeg/cjpeg.h"
#include "jpeg/huffman_table.h"
#include "jpeg/scan_coder.h"
#include "jpeg/stream_writer.h"
#include "tests/jpeg/jpeg_test_util.h"

namespace okuva::jpeg {
namespace {

std::vector<ScanEntry> Entries(int n) {
  std::vector<ScanEntry> e;
  for (int j = 0; j < n; ++j) {
    e.push_back({j, j == 0 ? 0 : 1, j == 0 ? 0 : 1});
  }
  return e;
}

// Coded bytes of a scan with the stuffed zeros taken out.
size_t Unstuffed(const std::vector<uint8_t>& bytes, size_t from) {
  size_t n = 0;
  for (size_t i = from; i < bytes.size(); ++i) {
    ++n;
    if (bytes[i] == 0xFF) {
      ++i;
    }
  }
  return n;
}

TEST(OutputSizing, EstimateCountsEveryCodedBit) {
  test::Dib dib(333, 97);
  ASSERT_TRUE(dib.Ok());
  dib.FillPhoto(3);
  cJpeg jpeg;  // 2x2,1x1,1x1: fillers in the last MCU column and row
  ASSERT_EQ(jpeg.SampleHDC(dib.Dc(), 333, 97, 0, 0), 0);
  std::vector<Component> comps;
  for (int i = 0; i < 3; ++i) {
    comps.push_back(jpeg.Component(i));
  }
  const FrameLayout frame{333, 97, 2, 2};
  std::array<HuffTable, 4> dc, ac;
  const auto entries = Entries(3);
  const int64_t estimate = OptimizeHuffmanTables(comps, entries, 0, 2, frame, dc, ac);
  OutputBuffer out(StreamCapacity(estimate, 1, 0));
  const ScanContext ctx{comps, frame, dc, ac};
  WriteScans(out, ctx, entries, 0, 2);
  const auto w = out.Written();
  const std::vector<uint8_t> bytes(w.begin(), w.end());
  const size_t coded = Unstuffed(bytes, 14);  // after the 14-byte SOS
  // Exact but for the last byte's padding.
  EXPECT_TRUE(coded == static_cast<size_t>(estimate) || coded == static_cast<size_t>(estimate) + 1)
      << coded << " vs " << estimate;
}

TEST(OutputSizing, BoundSurvivesStuffingEveryOtherByte) {
  // Every AC coefficient 32767 (size 15, extra bits all ones) and one symbol per table:
  // each 16-bit unit is a 0 code bit and fifteen 1 bits, so every second byte is FF
  // and gets a stuffed zero: half as much again as the estimate.
  Component c{1, 1, 1, 0, CoefficientStore(64 * 200, 32767)};
  for (size_t b = 0; b < c.Data.size(); b += 64) {
    c.Data[b] = 0;
  }
  const std::vector<Component> comps{c};
  const FrameLayout frame{8 * 20, 8 * 10, 1, 1};
  std::array<HuffTable, 4> dc, ac;
  const auto entries = Entries(1);
  const int64_t estimate = OptimizeHuffmanTables(comps, entries, 0, 0, frame, dc, ac);
  OutputBuffer out(StreamCapacity(estimate, 1, 0));
  const ScanContext ctx{comps, frame, dc, ac};
  ASSERT_NO_THROW(WriteScans(out, ctx, entries, 0, 0));
  // A buffer of 1.3 times the estimate plus 1000 bytes would have been overrun.
  EXPECT_GT(static_cast<double>(out.Pos()), static_cast<double>(estimate) * 1.3 + 1000);
}

TEST(OutputSizing, FillerBlocksAlwaysHaveAnEobCode) {
  // 17 x 9 at 2x2,1x1,1x1: two luminance fillers; no stored block ends in zeros.
  const FrameLayout frame{17, 9, 2, 2};
  std::vector<Component> comps{{1, 2, 2, 0, CoefficientStore(384, 1)},
                               {2, 1, 1, 1, CoefficientStore(128, 1)},
                               {3, 1, 1, 1, CoefficientStore(128, 1)}};
  std::array<HuffTable, 4> dc, ac;
  const auto entries = Entries(3);
  const int64_t estimate = OptimizeHuffmanTables(comps, entries, 0, 2, frame, dc, ac);
  EXPECT_GT(ac[0].CodeMask[0x00], 0);
  EXPECT_EQ(ac[1].CodeMask[0x00], 0);  // chrominance has no fillers here
  OutputBuffer out(StreamCapacity(estimate, 1, 0));
  const ScanContext ctx{comps, frame, dc, ac};
  WriteScans(out, ctx, entries, 0, 2);
  const auto w = out.Written();
  const size_t coded = Unstuffed(std::vector<uint8_t>(w.begin(), w.end()), 14);
  EXPECT_TRUE(coded == static_cast<size_t>(estimate) || coded == static_cast<size_t>(estimate) + 1);
}

}  // namespace
}  // namespace okuva::jpeg
