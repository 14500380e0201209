// Scan coding: bit writer, block coder, scan grouping and interleaved filler layout.
#include <gtest/gtest.h>

#include <vector>

#include "jpeg/component.h"
#include "jpeg/huffman_table.h"
#include "jpeg/scan_coder.h"
#include "platform/runtime/error.h"

namespace okuva::jpeg {
namespace {

std::vector<uint8_t> Bytes(const OutputBuffer& out) {
  const auto w = out.Written();
  return {w.begin(), w.end()};
}

TEST(BitWriter, StuffsAndPadsWithOnes) {
  OutputBuffer out(16);
  BitWriter w(out);
  w.Init();
  w.WriteBits(4, 5);  // the 3-bit code 101
  w.Flush();
  EXPECT_EQ(Bytes(out), (std::vector<uint8_t>{0xBF}));

  OutputBuffer out2(16);
  BitWriter w2(out2);
  w2.Init();
  w2.WriteBits(128, 255);
  w2.Flush();  // on a byte boundary: no padding byte
  EXPECT_EQ(Bytes(out2), (std::vector<uint8_t>{0xFF, 0x00}));

  // A padded last byte that becomes 0xFF is stuffed too.
  OutputBuffer out3(16);
  BitWriter w3(out3);
  w3.Init();
  w3.WriteBits(8, 0xF);
  w3.WriteBits(0, 0);  // mask 0 writes nothing
  w3.Flush();
  EXPECT_EQ(Bytes(out3), (std::vector<uint8_t>{0xFF, 0x00}));

  // Running past the buffer raises 9.
  OutputBuffer tiny(1);
  BitWriter w4(tiny);
  w4.Init();
  try {
    w4.WriteBits(128, 0xFF);
    w4.Flush();
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 9);
  }
}

TEST(BitWriter, MatchesBitByBitAssembly) {
  // Random code lengths 0..31 against a plain bit list, stuffing included.
  uint32_t state = 5;
  std::vector<int> bits;
  OutputBuffer out(100000);
  BitWriter w(out);
  w.Init();
  for (int k = 0; k < 5000; ++k) {
    state = state * 1664525u + 1013904223u;
    const int n = static_cast<int>(state % 32);
    state = state * 1664525u + 1013904223u;
    const uint32_t value = (k % 7 == 0) ? 0xFFFFFFFFu : state;
    if (n > 0) {
      w.WriteBits(static_cast<int32_t>(1u << (n - 1)), static_cast<int32_t>(value));
    }
    for (int i = n - 1; i >= 0; --i) {
      bits.push_back(static_cast<int>((value >> i) & 1));
    }
  }
  w.Flush();
  while (bits.size() % 8) {
    bits.push_back(1);
  }
  std::vector<uint8_t> expected;
  for (size_t i = 0; i < bits.size(); i += 8) {
    int b = 0;
    for (size_t j = 0; j < 8; ++j) {
      b = b * 2 + bits[i + j];
    }
    expected.push_back(static_cast<uint8_t>(b));
    if (b == 0xFF) {
      expected.push_back(0);
    }
  }
  EXPECT_EQ(Bytes(out), expected);
}

// Tables where every symbol 0..255 has a code; codes are recognisable in the output.
struct Tables {
  HuffTable dc, ac;
  Tables() {
    SymbolCounts c{};
    for (size_t s = 0; s < 12; ++s) {
      c[s] = 1;
    }
    c[0] = 100;  // symbol 0 gets the 1-bit code 0
    BuildOptimalTable(dc, c);
    DeriveCodes(dc, 11);
    for (size_t s = 0; s < 256; ++s) {
      c[s] = 1;
    }
    c[0x00] = 1000;  // EOB: code 0
    c[0xF0] = 400;   // ZRL: code 10
    c[0x01] = 300;   // run 0 size 1: code 110
    BuildOptimalTable(ac, c);
    DeriveCodes(ac, 255);
  }
};

TEST(EncodeBlock, CodesDifferencesRunsAndEob) {
  const Tables t;
  ASSERT_EQ(t.dc.Length(0), 1);
  ASSERT_EQ(t.ac.Length(0x00), 1);
  ASSERT_EQ(t.ac.Length(0xF0), 2);
  ASSERT_EQ(t.ac.Length(0x01), 3);
  // DC equal to the predictor, all AC zero: DC code 0 and EOB code 0, padded.
  std::vector<int16_t> block(64, 0);
  block[0] = 7;
  OutputBuffer out(64);
  BitWriter w(out);
  w.Init();
  int32_t predictor = 7;
  EncodeBlock(w, block.data(), predictor, t.dc, t.ac);
  w.Flush();
  EXPECT_EQ(Bytes(out), (std::vector<uint8_t>{0x3F}));  // 00 then six padding ones
  EXPECT_EQ(predictor, 7);

  // 20 zeros then 1 at index 21: ZRL (10), then run 4 size 1, its bit; then the block
  // ends with a non-zero coefficient at 63: no EOB.
  std::fill(block.begin(), block.end(), 0);
  block[21] = 1;
  block[63] = -1;
  OutputBuffer out2(64);
  BitWriter w2(out2);
  w2.Init();
  predictor = 0;
  EncodeBlock(w2, block.data(), predictor, t.dc, t.ac);
  const auto& ac = t.ac;
  // Expected bit string, built from the tables.
  std::vector<int> bits;
  auto push = [&](int32_t code, int32_t len) {
    for (int i = len - 1; i >= 0; --i) {
      bits.push_back((code >> i) & 1);
    }
  };
  push(t.dc.Code[0], t.dc.Length(0));
  push(ac.Code[0xF0], ac.Length(0xF0));
  push(ac.Code[0x41], ac.Length(0x41));
  push(1, 1);  // +1: extra bit 1
  push(ac.Code[0xF0], ac.Length(0xF0));
  push(ac.Code[0xF0], ac.Length(0xF0));
  push(ac.Code[0x91], ac.Length(0x91));  // 41 zeros = 2 ZRL + run 9
  push(0, 1);  // -1: extra bit 0
  w2.Flush();
  while (bits.size() % 8) {
    bits.push_back(1);
  }
  std::vector<uint8_t> expected;
  for (size_t i = 0; i < bits.size(); i += 8) {
    int b = 0;
    for (size_t k = 0; k < 8; ++k) {
      b = b * 2 + bits[i + k];
    }
    expected.push_back(static_cast<uint8_t>(b));
    if (b == 0xFF) {
      expected.push_back(0);
    }
  }
  EXPECT_EQ(Bytes(out2), expected);
}

TEST(EncodeBlock, NegativeDifferencesUseOnesComplementBits) {
  const Tables t;
  const auto encodeDc = [&](int16_t dc) {
    std::vector<int16_t> block(64, 0);
    block[0] = dc;
    block[63] = 1;  // avoid the EOB so only DC and the last coefficient follow
    OutputBuffer out(64);
    BitWriter w(out);
    w.Init();
    int32_t predictor = 0;
    EncodeBlock(w, block.data(), predictor, t.dc, t.ac);
    w.Flush();
    return Bytes(out);
  };
  // Reads back the category code and extra bits from the stream.
  const auto extraBits = [&](int16_t dc, int32_t s) {
    const auto bytes = encodeDc(dc);
    uint32_t word = 0;
    for (size_t i = 0; i < 4 && i < bytes.size(); ++i) {
      word |= uint32_t{bytes[i]} << (24 - 8 * i);
    }
    const int32_t len = t.dc.Length(s);
    EXPECT_EQ(static_cast<int32_t>(word >> (32 - len)), t.dc.Code[static_cast<size_t>(s)]);
    return static_cast<int32_t>((word << len) >> (32 - s));
  };
  EXPECT_EQ(extraBits(-3, 2), 0b00);
  EXPECT_EQ(extraBits(-1, 1), 0b0);
  EXPECT_EQ(extraBits(1, 1), 0b1);
  EXPECT_EQ(extraBits(5, 3), 0b101);
  EXPECT_EQ(extraBits(-5, 3), 0b010);
}

TEST(ScanGroups, FollowTheBlocksPerMcuRule) {
  using G = std::vector<std::pair<int, int>>;
  auto groups = [](std::vector<int32_t> blocks) {
    G g;
    for (const ScanGroup& s : GroupScans(blocks, 0, static_cast<int32_t>(blocks.size()) - 1)) {
      g.push_back({s.first, s.last});
    }
    return g;
  };
  EXPECT_EQ(groups({1}), (G{{0, 0}}));
  EXPECT_EQ(groups({4, 1, 1}), (G{{0, 2}}));
  EXPECT_EQ(groups({1, 1, 1}), (G{{0, 2}}));
  EXPECT_EQ(groups({4, 4, 4}), (G{{0, 1}, {2, 2}}));
  EXPECT_EQ(groups({16, 1, 1}), (G{{0, 0}, {1, 2}}));
  EXPECT_EQ(groups({8, 4, 1}), (G{{0, 0}, {1, 2}}));
  EXPECT_EQ(groups({1, 16, 1}), (G{{0, 0}, {1, 1}, {2, 2}}));
  EXPECT_EQ(groups({9, 1, 1}), (G{{0, 1}, {2, 2}}));
}

TEST(InterleavedScan, SeventeenByNineLayout) {
  const FrameLayout frame{17, 9, 2, 2};
  const McuLayout y = InterleavedLayout(frame, 2, 2);
  EXPECT_EQ(y.mcuColumns, 2);
  EXPECT_EQ(y.mcuRows, 1);
  EXPECT_EQ(y.blocksPerRow, 3);
  EXPECT_EQ(y.blockRows, 2);
  EXPECT_EQ(y.lastColumnBlocks, 1);  // one stored block and one filler per block row
  EXPECT_EQ(y.FillerBlocks(2, 2), 2);
  const McuLayout c = InterleavedLayout(frame, 1, 1);
  EXPECT_EQ(c.blocksPerRow, 2);
  EXPECT_EQ(c.blockRows, 1);
  EXPECT_EQ(c.FillerBlocks(1, 1), 0);
  // Multiples of the MCU size have no fillers.
  EXPECT_EQ(InterleavedLayout({32, 16, 2, 2}, 2, 2).FillerBlocks(2, 2), 0);

  const PlaneGeometry gy = ComponentGeometry(frame, 2, 2);
  EXPECT_EQ(gy.Wc, 17);
  EXPECT_EQ(gy.Wp, 24);
  EXPECT_EQ(gy.Hc, 9);
  EXPECT_EQ(gy.Hp, 16);
  const PlaneGeometry gc = ComponentGeometry(frame, 1, 1);
  EXPECT_EQ(gc.Wc, 9);
  EXPECT_EQ(gc.Wp, 16);
  EXPECT_EQ(gc.Hc, 5);
  EXPECT_EQ(gc.Hp, 8);
}

}  // namespace
}  // namespace okuva::jpeg
