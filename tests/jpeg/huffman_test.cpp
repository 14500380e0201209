// Huffman statistics and table building.
#include <gtest/gtest.h>

#include <vector>

#include "jpeg/component.h"
#include "jpeg/huffman_stats.h"
#include "jpeg/huffman_table.h"
#include "platform/runtime/error.h"

namespace okuva::jpeg {
namespace {

HuffTable Build(SymbolCounts counts, int32_t largest) {
  HuffTable t;
  BuildOptimalTable(t, counts);
  for (int64_t c : counts) {
    EXPECT_EQ(c, 0);  // every count, the reserved one included
  }
  DeriveCodes(t, largest);
  return t;
}

TEST(HuffmanTable, SingleSymbolGetsTheOneBitCodeZero) {
  SymbolCounts counts{};
  counts[0] = 7;
  const HuffTable t = Build(counts, 11);
  EXPECT_EQ(t.BITS[0], 1);
  for (size_t i = 1; i < 16; ++i) {
    EXPECT_EQ(t.BITS[i], 0);
  }
  EXPECT_EQ(t.HUFFVAL[0], 0);
  EXPECT_EQ(t.Code[0], 0);
  EXPECT_EQ(t.CodeMask[0], 1);
  EXPECT_EQ(t.Code[1], -1);
  EXPECT_EQ(t.CodeMask[1], 0);
}

TEST(HuffmanTable, TiesMergeTheLargerSymbolFirst) {
  SymbolCounts counts{};
  counts[1] = 1;
  counts[2] = 1;
  HuffTable t = Build(counts, 11);
  EXPECT_EQ(t.BITS[0], 1);
  EXPECT_EQ(t.BITS[1], 1);
  EXPECT_EQ(t.HUFFVAL[0], 1);
  EXPECT_EQ(t.HUFFVAL[1], 2);
  EXPECT_EQ(t.Code[1], 0b0);
  EXPECT_EQ(t.CodeMask[1], 1);
  EXPECT_EQ(t.Code[2], 0b10);
  EXPECT_EQ(t.CodeMask[2], 2);

  SymbolCounts c2{};
  c2[0] = 5;
  c2[3] = 3;
  t = Build(c2, 255);
  EXPECT_EQ(t.HUFFVAL[0], 0);
  EXPECT_EQ(t.HUFFVAL[1], 3);
  EXPECT_EQ(t.Code[0], 0b0);
  EXPECT_EQ(t.Code[3], 0b10);
}

TEST(HuffmanTable, LimitsCodesToSixteenBits) {
  SymbolCounts counts{};
  for (int s = 0; s < 20; ++s) {
    counts[static_cast<size_t>(s)] = int64_t{1} << s;
  }
  const HuffTable t = Build(counts, 255);
  for (size_t l = 0; l < 13; ++l) {
    EXPECT_EQ(t.BITS[l], 1) << "length " << l + 1;
  }
  EXPECT_EQ(t.BITS[13], 0);
  EXPECT_EQ(t.BITS[14], 0);
  EXPECT_EQ(t.BITS[15], 7);
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(t.HUFFVAL[i], 19 - i) << i;
  }
  for (int s = 7; s < 20; ++s) {
    EXPECT_EQ(t.Length(s), 20 - s) << s;
  }
  for (int s = 0; s < 7; ++s) {
    EXPECT_EQ(t.Length(s), 16) << s;
  }
}

TEST(HuffmanTable, CodesArePrefixFreeAndAvoidAllOnes) {
  // A spread of counts typical of AC statistics.
  SymbolCounts counts{};
  for (int s = 0; s < 256; s += 3) {
    counts[static_cast<size_t>(s)] = 1 + (s * 7919) % 1000;
  }
  const HuffTable t = Build(counts, 255);
  std::vector<std::pair<int32_t, int32_t>> codes;  // (code, length)
  for (int s = 0; s < 256; ++s) {
    if (s % 3 == 0) {
      ASSERT_GT(t.CodeMask[static_cast<size_t>(s)], 0) << s;
      const int32_t len = t.Length(s);
      ASSERT_LE(len, 16);
      EXPECT_NE(t.Code[static_cast<size_t>(s)], (1 << len) - 1) << s;
      codes.push_back({t.Code[static_cast<size_t>(s)], len});
    } else {
      EXPECT_EQ(t.CodeMask[static_cast<size_t>(s)], 0);
    }
  }
  for (size_t a = 0; a < codes.size(); ++a) {
    for (size_t b = 0; b < codes.size(); ++b) {
      if (a == b || codes[a].second > codes[b].second) {
        continue;
      }
      const int32_t prefix = codes[b].first >> (codes[b].second - codes[a].second);
      EXPECT_NE(prefix, codes[a].first) << a << " is a prefix of " << b;
    }
  }
}

void ExpectBadTable(HuffTable t, int32_t largest) {
  try {
    DeriveCodes(t, largest);
    FAIL() << "accepted";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), 1);
    EXPECT_EQ(e.Description(), "Bad Huffman Table");
  }
}

TEST(HuffmanTable, DeriveCodesRefusesInconsistentTables) {
  HuffTable twoOneBit;
  twoOneBit.BITS[0] = 2;  // two 1-bit codes would use the all-ones code 1
  twoOneBit.HUFFVAL[0] = 0;
  twoOneBit.HUFFVAL[1] = 1;
  ExpectBadTable(twoOneBit, 255);

  HuffTable dc12;
  dc12.BITS[1] = 1;
  dc12.HUFFVAL[0] = 12;
  ExpectBadTable(dc12, 11);
  DeriveCodes(dc12, 255);  // fine as an AC table

  HuffTable twice;
  twice.BITS[1] = 2;
  twice.HUFFVAL[0] = 5;
  twice.HUFFVAL[1] = 5;
  ExpectBadTable(twice, 255);

  HuffTable tooMany;
  tooMany.BITS[15] = 200;
  tooMany.BITS[14] = 100;  // 300 codes
  for (size_t i = 0; i < 256; ++i) {
    tooMany.HUFFVAL[i] = static_cast<uint8_t>(i);
  }
  ExpectBadTable(tooMany, 255);

  ExpectBadTable(HuffTable{}, 255);  // no codes at all
}

CoefficientStore Blocks(std::initializer_list<std::vector<std::pair<int, int16_t>>> blocks) {
  CoefficientStore store;
  for (const auto& entries : blocks) {
    std::vector<int16_t> b(64, 0);
    for (auto [i, v] : entries) {
      b[static_cast<size_t>(i)] = v;
    }
    store.insert(store.end(), b.begin(), b.end());
  }
  return store;
}

TEST(HuffmanStats, AcRunsZrlAndEob) {
  SymbolCounts counts{};
  CountACSymbols(Blocks({{{63, 5}}}), counts);  // last coefficient non-zero: no EOB
  EXPECT_EQ(counts[0x00], 0);
  EXPECT_EQ(counts[0xF0], 3);  // 62 zeros before it: three ZRL, then run 14
  EXPECT_EQ(counts[0xE3], 1);

  counts = {};
  CountACSymbols(Blocks({{{0, 9}}}), counts);  // all AC zero: one EOB
  EXPECT_EQ(counts[0x00], 1);
  int64_t total = 0;
  for (int64_t c : counts) {
    total += c;
  }
  EXPECT_EQ(total, 1);

  counts = {};
  CountACSymbols(Blocks({{{21, -3}, {22, 1}}}), counts);  // 20 zeros, size 2, then EOB
  EXPECT_EQ(counts[0xF0], 1);
  EXPECT_EQ(counts[0x42], 1);
  EXPECT_EQ(counts[0x01], 1);
  EXPECT_EQ(counts[0x00], 1);
}

TEST(HuffmanStats, NonZeroMaskMarksEveryAcCoefficient) {
  uint32_t state = 3;
  for (int trial = 0; trial < 200; ++trial) {
    int16_t block[64];
    uint64_t expected = 0;
    for (int i = 0; i < 64; ++i) {
      state = state * 1664525u + 1013904223u;
      block[i] = (state >> 28) < 5 ? static_cast<int16_t>((state >> 8) % 2001 - 1000) : 0;
      if (i > 0 && block[i] != 0) {
        expected |= uint64_t{1} << i;
      }
    }
    ASSERT_EQ(NonZeroAcMask(block), expected) << trial;
  }
}

TEST(HuffmanStats, DcDifferencesInStoredOrder) {
  SymbolCounts counts{};
  CountDCSymbols(Blocks({{{0, 5}}, {{0, 5}}, {{0, -3}}, {{0, 2044}}}), counts);
  EXPECT_EQ(counts[3], 1);   // 5 - 0
  EXPECT_EQ(counts[0], 1);   // 5 - 5
  EXPECT_EQ(counts[4], 1);   // -3 - 5 = -8
  EXPECT_EQ(counts[11], 1);  // 2044 + 3 = 2047
  EXPECT_EQ(SizeCategory(0), 0);
  EXPECT_EQ(SizeCategory(-1), 1);
  EXPECT_EQ(SizeCategory(3), 2);
  EXPECT_EQ(SizeCategory(-4), 3);
  EXPECT_EQ(SizeCategory(2047), 11);
}

// The one-pass counters must give exactly the separate DC and AC passes' counts, for
// stores of every shape an interleaved walk meets (partial MCUs, fillers).
TEST(HuffmanStats, OnePassCountsEqualSeparatePasses) {
  uint32_t state = 7;
  const auto next = [&state] { return state = state * 1664525u + 1013904223u; };
  struct Shape {
    int32_t X, Y, Hmax, Vmax, Hi, Vi;
  };
  const Shape shapes[] = {{17, 9, 2, 2, 2, 2}, {17, 9, 2, 2, 1, 1},  {40, 33, 4, 2, 4, 2},
                          {9, 41, 3, 1, 3, 1}, {64, 64, 1, 1, 1, 1}, {5, 70, 1, 2, 1, 2}};
  for (const Shape& sh : shapes) {
    SCOPED_TRACE(::testing::Message() << sh.X << "x" << sh.Y << " " << sh.Hi << "x" << sh.Vi);
    const FrameLayout frame{sh.X, sh.Y, sh.Hmax, sh.Vmax};
    const PlaneGeometry g = ComponentGeometry(frame, sh.Hi, sh.Vi);
    CoefficientStore store(static_cast<size_t>(g.Wp) * static_cast<size_t>(g.Hp));
    for (int16_t& c : store) {
      // Mostly zeros with long runs, some large values: ZRLs and EOBs both occur.
      const uint32_t r = next();
      c = (r >> 28) < 3 ? static_cast<int16_t>(static_cast<int32_t>((r >> 8) % 2047) - 1023) : 0;
    }
    SymbolCounts dc{}, ac{}, dcOne{}, acOne{};
    CountDCSymbols(store, dc);
    CountACSymbols(store, ac);
    CountSymbols(store, dcOne, acOne);
    EXPECT_EQ(dcOne, dc);
    EXPECT_EQ(acOne, ac);

    SymbolCounts dcI{}, dcIOne{}, acIOne{};
    const int64_t fillers = CountDCSymbolsInterleaved(store, dcI, sh.Hi, sh.Vi, frame);
    EXPECT_EQ(CountSymbolsInterleaved(store, dcIOne, acIOne, sh.Hi, sh.Vi, frame), fillers);
    EXPECT_EQ(dcIOne, dcI);
    EXPECT_EQ(acIOne, ac);  // every stored block visited once, in any order

    // Tallies fed band by band (bands of 1, 2 and 3 block rows, then the rest) count
    // what the walks over the finished store count.
    for (int32_t band : {1, 2, 3}) {
      SymbolTally rows(frame, sh.Hi, sh.Vi, false), mcus(frame, sh.Hi, sh.Vi, true);
      for (int32_t end = band; end < g.BlockRows(); end += band) {
        rows.Add(store, end);
        mcus.Add(store, end);
      }
      rows.Add(store, g.BlockRows());
      mcus.Add(store, g.BlockRows());
      mcus.Add(store, g.BlockRows());  // nothing is counted twice
      EXPECT_EQ(rows.Dc(), dc) << "band " << band;
      EXPECT_EQ(rows.Ac(), ac) << "band " << band;
      EXPECT_EQ(mcus.Dc(), dcI) << "band " << band;
      EXPECT_EQ(mcus.Ac(), ac) << "band " << band;
    }
  }
}

TEST(HuffmanStats, InterleavedDcCountsFillers) {
  // 8 x 8 with 2x2 luminance: one stored block and three fillers per MCU.
  const FrameLayout frame{8, 8, 2, 2};
  SymbolCounts counts{};
  const int64_t fillers = CountDCSymbolsInterleaved(Blocks({{{0, -4}}}), counts, 2, 2, frame);
  EXPECT_EQ(fillers, 3);
  EXPECT_EQ(counts[3], 1);
  EXPECT_EQ(counts[0], 3);

  // 17 x 9: luminance 3 x 2 stored blocks in a 2 x 1 MCU grid of 2 x 2 blocks: the
  // MCU order visits blocks 0,1,3,4 then 2,F,5,F.
  const FrameLayout f17{17, 9, 2, 2};
  CoefficientStore store = Blocks({{{0, 1}}, {{0, 2}}, {{0, 4}}, {{0, 8}}, {{0, 16}}, {{0, 32}}});
  counts = {};
  EXPECT_EQ(CountDCSymbolsInterleaved(store, counts, 2, 2, f17), 2);
  // Differences: 1, 1(2-1), 6(8-2), 8(16-8), -12(4-16), 0(filler), 28(32-4), 0.
  EXPECT_EQ(counts[1], 2);
  EXPECT_EQ(counts[3], 1);
  EXPECT_EQ(counts[4], 2);
  EXPECT_EQ(counts[5], 1);
  EXPECT_EQ(counts[0], 2);
}

}  // namespace
}  // namespace okuva::jpeg
