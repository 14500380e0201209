// Huffman table building stage: the optimal code of T.81 Annex K.2 from symbol counts,
// limited to 16 bits, and the per-symbol codes the scan coder looks up.
#pragma once

#include <array>
#include <cstdint>

#include <vector>

#include "jpeg/component.h"
#include "jpeg/huffman_stats.h"

namespace okuva::jpeg {

// One Huffman table as the DHT segment carries it, plus its derived codes.
struct HuffTable {
  std::array<uint8_t, 16> BITS{};      // BITS[i]: number of codes of length i + 1
  std::array<uint8_t, 256> HUFFVAL{};  // symbols in code order
  // 2^(L-1) for a symbol with an L-bit code, 0 for a symbol without code.
  std::array<int32_t, 256> CodeMask{};
  // The symbol's L-bit code, -1 for a symbol without code.
  std::array<int32_t, 256> Code;
  // The symbol's code length L in bits, 0 for a symbol without code (the scan coder's
  // lookup; always consistent with CodeMask).
  std::array<uint8_t, 256> Size{};
  HuffTable() { Code.fill(-1); }

  // Code length of symbol s in bits (0 when it has no code).
  int32_t Length(int32_t s) const { return Size[static_cast<size_t>(s)]; }
};

// Largest symbol a DC table may hold (categories 0..11 for 8-bit samples) and an AC table.
constexpr int32_t kLargestDCSymbol = 11;
constexpr int32_t kLargestACSymbol = 255;

// Fills BITS and HUFFVAL from counts (K.2 Figures K.1 to K.4; among equal counts the
// larger symbol is merged first). Leaves every count, index 256 included, at 0.
void BuildOptimalTable(HuffTable& table, SymbolCounts& counts);

// Validates BITS and HUFFVAL and fills CodeMask and Code (T.81 C.2). Raises the encoder
// error "Bad Huffman Table" for more than 256 codes, a symbol above `largest`, a symbol
// listed twice, a length whose codes would reach the all-ones code, or no codes at all.
void DeriveCodes(HuffTable& table, int32_t largest);

}  // namespace okuva::jpeg

namespace okuva::jpeg {

// Builds every DC and AC table used by the scans of entries[first..last] (grouped as
// the scan writer groups them) from the components' stores, and returns the size in
// bytes of the entropy-coded data those tables produce, padding and stuffing excluded.
// Filler blocks of interleaved scans are counted with their DC symbol and their EOB,
// so every symbol the scans code has a code. Raises 9 when a store is empty.
// tallies (one per component, when given) hold counts gathered while sampling; a
// component's are taken in place of a walk over its store when they were gathered for
// the kind of scan (interleaved or not) that codes it.
int64_t OptimizeHuffmanTables(const std::vector<Component>& components,
                              const std::vector<ScanEntry>& entries, int32_t first, int32_t last,
                              const FrameLayout& frame, std::array<HuffTable, 4>& dcTables,
                              std::array<HuffTable, 4>& acTables,
                              const std::vector<SymbolTally>* tallies = nullptr);

}  // namespace okuva::jpeg
