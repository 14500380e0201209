#include "jpeg/huffman_table.h"

#include <algorithm>
#include <limits>

#include "jpeg/encoder_error.h"
#include "platform/runtime/error.h"

namespace okuva::jpeg {

void BuildOptimalTable(HuffTable& table, SymbolCounts& counts) {
  constexpr int32_t kSymbols = 257;
  constexpr int32_t kMaxCodeLength = 16;
  std::array<int32_t, kSymbols> codesize{};
  std::array<int32_t, kSymbols> others;
  others.fill(-1);
  // Figure K.2: the reserved code point keeps the all-ones code free.
  counts[kReservedSymbol] = 1;

  int32_t v1 = -1;
  for (;;) {
    // Figure K.1: V1 the least non-zero count, V2 the next; among equal counts the
    // larger symbol is taken first.
    int64_t f1 = std::numeric_limits<int64_t>::max();
    int64_t f2 = f1;
    v1 = -1;
    int32_t v2 = -1;
    for (int32_t v = 0; v < kSymbols; ++v) {
      const int64_t c = counts[static_cast<size_t>(v)];
      if (c > 0 && c <= f2) {
        if (c <= f1) {
          v2 = v1;
          f2 = f1;
          v1 = v;
          f1 = c;
        } else {
          v2 = v;
          f2 = c;
        }
      }
    }
    if (v2 < 0) {
      break;
    }
    counts[static_cast<size_t>(v1)] += counts[static_cast<size_t>(v2)];
    counts[static_cast<size_t>(v2)] = 0;
    ++codesize[static_cast<size_t>(v1)];
    while (others[static_cast<size_t>(v1)] >= 0) {
      v1 = others[static_cast<size_t>(v1)];
      ++codesize[static_cast<size_t>(v1)];
    }
    others[static_cast<size_t>(v1)] = v2;
    ++codesize[static_cast<size_t>(v2)];
    while (others[static_cast<size_t>(v2)] >= 0) {
      v2 = others[static_cast<size_t>(v2)];
      ++codesize[static_cast<size_t>(v2)];
    }
  }
  if (v1 >= 0) {
    counts[static_cast<size_t>(v1)] = 0;
  }

  // Figure K.3: number of codes of each length.
  std::array<int32_t, kSymbols + 1> nb{};
  int32_t longest = 0;
  for (int32_t v = 0; v < kSymbols; ++v) {
    const int32_t size = codesize[static_cast<size_t>(v)];
    if (size > 0) {
      ++nb[static_cast<size_t>(size)];
    }
    if (size > longest) {
      longest = size;
    }
  }
  // Figure K.3 (Adjust_BITS): move pairs of over-long codes up until none exceeds 16 bits.
  int32_t i = longest;
  while (i > kMaxCodeLength) {
    if (nb[static_cast<size_t>(i)] > 0) {
      int32_t j = i - 2;
      while (j > 0 && nb[static_cast<size_t>(j)] == 0) {
        --j;
      }
      nb[static_cast<size_t>(i)] -= 2;
      nb[static_cast<size_t>(i - 1)] += 1;
      nb[static_cast<size_t>(j + 1)] += 2;
      nb[static_cast<size_t>(j)] -= 1;
    } else {
      --i;
    }
  }
  // The reserved code point always holds one of the longest codes; drop it.
  if (i > 0) {
    nb[static_cast<size_t>(i)] -= 1;
  }
  for (int32_t l = 1; l <= kMaxCodeLength; ++l) {
    table.BITS[static_cast<size_t>(l - 1)] = static_cast<uint8_t>(nb[static_cast<size_t>(l)]);
  }
  // Figure K.4: symbols sorted by code length, then by symbol value.
  size_t k = 0;
  for (int32_t length = 1; length <= longest; ++length) {
    for (int32_t v = 0; v < 256; ++v) {
      if (codesize[static_cast<size_t>(v)] == length) {
        table.HUFFVAL[k++] = static_cast<uint8_t>(v);
      }
    }
  }
}

void DeriveCodes(HuffTable& table, int32_t largest) {
  table.CodeMask.fill(0);
  table.Code.fill(-1);
  table.Size.fill(0);
  int32_t n = 0;
  int32_t code = 0;
  int32_t mask = 1;
  for (size_t l = 0; l < 16; ++l) {
    const int32_t count = table.BITS[l];
    if (n + count > 256) {
      RaiseEncoderError(EncoderFault::kBadHuffmanTable);
    }
    for (int32_t c = 0; c < count; ++c) {
      const int32_t s = table.HUFFVAL[static_cast<size_t>(n)];
      if (s > largest || table.Code[static_cast<size_t>(s)] != -1) {
        RaiseEncoderError(EncoderFault::kBadHuffmanTable);
      }
      table.CodeMask[static_cast<size_t>(s)] = mask;
      table.Code[static_cast<size_t>(s)] = code;
      table.Size[static_cast<size_t>(s)] = static_cast<uint8_t>(l + 1);
      ++code;
      ++n;
    }
    mask *= 2;
    // The codes of this length must stay below the all-ones code (T.81 C.2).
    if (code >= mask) {
      RaiseEncoderError(EncoderFault::kBadHuffmanTable);
    }
    code *= 2;
  }
  if (n == 0) {
    RaiseEncoderError(EncoderFault::kBadHuffmanTable);
  }
}

}  // namespace okuva::jpeg

namespace okuva::jpeg {

int64_t OptimizeHuffmanTables(const std::vector<Component>& components,
                              const std::vector<ScanEntry>& entries, int32_t first, int32_t last,
                              const FrameLayout& frame, std::array<HuffTable, 4>& dcTables,
                              std::array<HuffTable, 4>& acTables,
                              const std::vector<SymbolTally>* tallies) {
  std::vector<bool> interleaved(entries.size(), false);
  std::array<bool, 4> dcUsed{};
  std::array<bool, 4> acUsed{};
  for (const ScanGroup& g : GroupScans(BlocksPerMcu(components, entries), first, last)) {
    for (int32_t j = g.first; j <= g.last; ++j) {
      const ScanEntry& e = entries.at(static_cast<size_t>(j));
      if (e.Td < 0 || e.Td > 3 || e.Ta < 0 || e.Ta > 3) {
        Raise(kErrSubscript);
      }
      if (components.at(static_cast<size_t>(e.component)).Data.empty()) {
        Raise(kErrSubscript);
      }
      interleaved[static_cast<size_t>(j)] = g.Interleaved();
      dcUsed[static_cast<size_t>(e.Td)] = true;
      acUsed[static_cast<size_t>(e.Ta)] = true;
    }
  }

  // Every position's DC and AC symbols in one pass over its store; each table then
  // sums the positions that use it.
  // A position with a matching tally reads its counts in place; the others are counted
  // here into counts of their own.
  const auto positions = static_cast<size_t>(std::max(0, last - first + 1));
  const auto tallyOf = [&](int32_t j) -> const SymbolTally* {
    const auto ci = static_cast<size_t>(entries[static_cast<size_t>(j)].component);
    if (tallies == nullptr || ci >= tallies->size()) {
      return nullptr;
    }
    const SymbolTally& t = (*tallies)[ci];
    return t.Interleaved() == interleaved[static_cast<size_t>(j)] ? &t : nullptr;
  };
  size_t untallied = 0;
  for (int32_t j = first; j <= last; ++j) {
    untallied += tallyOf(j) == nullptr ? 1 : 0;
  }
  std::vector<SymbolCounts> own(2 * untallied, SymbolCounts{});
  std::vector<const SymbolCounts*> dcCounts(positions);
  std::vector<const SymbolCounts*> acCounts(positions);
  size_t next = 0;
  for (int32_t j = first; j <= last; ++j) {
    const ScanEntry& e = entries[static_cast<size_t>(j)];
    const Component& c = components[static_cast<size_t>(e.component)];
    const auto p = static_cast<size_t>(j - first);
    if (const SymbolTally* t = tallyOf(j)) {
      dcCounts[p] = &t->Dc();
      acCounts[p] = &t->Ac();
      continue;
    }
    SymbolCounts& dc = own[next++];
    SymbolCounts& ac = own[next++];
    if (interleaved[static_cast<size_t>(j)]) {
      CountSymbolsInterleaved(c.Data, dc, ac, c.Hi, c.Vi, frame);
    } else {
      CountSymbols(c.Data, dc, ac);
    }
    dcCounts[p] = &dc;
    acCounts[p] = &ac;
  }
  const auto addCounts = [](SymbolCounts& to, const SymbolCounts& from) {
    for (size_t s = 0; s < to.size(); ++s) {
      to[s] += from[s];
    }
  };

  int64_t bits = 0;
  SymbolCounts counts{};
  for (int32_t k = 0; k < 4; ++k) {
    const auto uk = static_cast<size_t>(k);
    if (dcUsed[uk]) {
      for (int32_t j = first; j <= last; ++j) {
        if (entries[static_cast<size_t>(j)].Td != k) {
          continue;
        }
        addCounts(counts, *dcCounts[static_cast<size_t>(j - first)]);
      }
      const SymbolCounts kept = counts;
      BuildOptimalTable(dcTables[uk], counts);
      DeriveCodes(dcTables[uk], kLargestDCSymbol);
      for (int32_t s = 0; s < 16; ++s) {
        bits += kept[static_cast<size_t>(s)] * (dcTables[uk].Length(s) + s);
      }
    }
    if (acUsed[uk]) {
      for (int32_t j = first; j <= last; ++j) {
        const ScanEntry& e = entries[static_cast<size_t>(j)];
        if (e.Ta != k) {
          continue;
        }
        const Component& c = components[static_cast<size_t>(e.component)];
        addCounts(counts, *acCounts[static_cast<size_t>(j - first)]);
        // Each filler block of an interleaved scan ends with an EOB: count it, so the
        // AC table always gives EOB a code when fillers occur.
        if (interleaved[static_cast<size_t>(j)]) {
          counts[kSymbolEOB] += InterleavedLayout(frame, c.Hi, c.Vi).FillerBlocks(c.Hi, c.Vi);
        }
      }
      const SymbolCounts kept = counts;
      BuildOptimalTable(acTables[uk], counts);
      DeriveCodes(acTables[uk], kLargestACSymbol);
      for (int32_t s = 0; s < 256; ++s) {
        bits += kept[static_cast<size_t>(s)] * (acTables[uk].Length(s) + (s & 15));
      }
    }
  }
  return (bits + 7) / 8;
}

}  // namespace okuva::jpeg
