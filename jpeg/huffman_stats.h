// Huffman statistics stage: counts the DC and AC symbols the scans will code, straight
// from the coefficient stores (T.81 F.1.2 baseline symbols).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "jpeg/component.h"
#include "jpeg/simd.h"

namespace okuva::jpeg {

// Symbol counts 0..255 plus the reserved code point at 256 (T.81 K.2).
using SymbolCounts = std::array<int64_t, 257>;

constexpr int32_t kSymbolEOB = 0x00;
constexpr int32_t kSymbolZRL = 0xF0;
constexpr int32_t kReservedSymbol = 256;

// Size category: 0 for 0, else the number of significant bits of |v|.
inline int32_t SizeCategory(int32_t v) {
  const uint32_t m = static_cast<uint32_t>(v < 0 ? -v : v);
  return static_cast<int32_t>(std::bit_width(m));
}

// Bit i (1..63) set when coefficient i of the block is not zero; bit 0 is never set.
// Lets the coders jump from one non-zero coefficient to the next.
uint64_t NonZeroAcMask(const int16_t* block);

#ifdef OKUVA_JPEG_X86
// NonZeroAcMask with two 32-coefficient compares, for the loops compiled for the
// eight-block (AVX-512) path only.
struct WideNonZeroAcMask {
  __attribute__((target(OKUVA_JPEG_WIDE))) uint64_t operator()(const int16_t* block) const {
    const __m512i a = _mm512_loadu_si512(block);
    const __m512i b = _mm512_loadu_si512(block + 32);
    const uint64_t nz = _mm512_test_epi16_mask(a, a) | uint64_t{_mm512_test_epi16_mask(b, b)} << 32;
    return nz & ~uint64_t{1};
  }
};
#endif

// DC symbols of a non-interleaved scan: blocks in stored order, predictor from 0.
void CountDCSymbols(const CoefficientStore& store, SymbolCounts& counts);

// DC symbols in the interleaved scan's MCU order; every filler block adds one count
// of symbol 0. Returns the number of filler blocks visited.
int64_t CountDCSymbolsInterleaved(const CoefficientStore& store, SymbolCounts& counts, int32_t Hi,
                                  int32_t Vi, const FrameLayout& frame);

// AC symbols (run/size, ZRL, EOB) of all stored blocks.
void CountACSymbols(const CoefficientStore& store, SymbolCounts& counts);

// CountDCSymbols / CountDCSymbolsInterleaved and CountACSymbols in one pass over the
// store (adds to dc and ac; the interleaved form returns the filler blocks visited).
void CountSymbols(const CoefficientStore& store, SymbolCounts& dc, SymbolCounts& ac);
int64_t CountSymbolsInterleaved(const CoefficientStore& store, SymbolCounts& dc, SymbolCounts& ac,
                                int32_t Hi, int32_t Vi, const FrameLayout& frame);

// A component's DC and AC counts gathered while its store is being filled: sampling
// hands over each band as it finishes it, so the blocks are counted while they are still
// in the cache instead of in a second walk over the whole store. The counts equal
// CountSymbols (interleaved: CountSymbolsInterleaved) of the finished store.
class SymbolTally {
public:
  SymbolTally() = default;
  // interleaved: the component is coded in an interleaved scan (MCU order, fillers).
  SymbolTally(const FrameLayout& frame, int32_t Hi, int32_t Vi, bool interleaved);
  // Counts the blocks not counted yet whose rows are all below endBlockRow: whole block
  // rows, or (interleaved) whole MCU rows; endBlockRow at or past the last block row
  // counts everything left, the last MCU row's fillers included.
  void Add(const CoefficientStore& store, int32_t endBlockRow);
  bool Interleaved() const { return interleaved_; }
  const SymbolCounts& Dc() const { return dc_; }
  const SymbolCounts& Ac() const { return ac_; }

private:
  McuLayout layout_{};
  int32_t Hi_ = 1;
  int32_t Vi_ = 1;
  bool interleaved_ = false;
  int32_t counted_ = 0;  // block rows (interleaved: MCU rows) counted so far
  int32_t predictor_ = 0;
  SymbolCounts dc_{};
  SymbolCounts ac_{};
};

}  // namespace okuva::jpeg
