#include "jpeg/huffman_stats.h"

#include <algorithm>
#include <bit>

#include "jpeg/dct.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "platform/runtime/error.h"

namespace okuva::jpeg {

void CountDCSymbols(const CoefficientStore& store, SymbolCounts& counts) {
  int32_t predictor = 0;
  for (size_t b = 0; b + 64 <= store.size(); b += 64) {
    ++counts[static_cast<size_t>(SizeCategory(store[b] - predictor))];
    predictor = store[b];
  }
}

namespace {
// Walks the stored blocks in the interleaved scan's MCU order, handing each to visit
// (DC symbol counted here) and counting a DC symbol 0 per filler block.
template <class Visit>
int64_t WalkInterleaved(const CoefficientStore& store, SymbolCounts& counts, int32_t Hi, int32_t Vi,
                        const FrameLayout& frame, Visit visit) {
  const McuLayout m = InterleavedLayout(frame, Hi, Vi);
  const int64_t rowBlocks = 64 * static_cast<int64_t>(m.blocksPerRow);
  const auto end = static_cast<int64_t>(store.size());
  std::vector<int64_t> r(static_cast<size_t>(Vi));
  for (int32_t t = 0; t < Vi; ++t) {
    r[static_cast<size_t>(t)] = rowBlocks * t;
  }
  int32_t predictor = 0;
  int64_t fillers = 0;
  for (int32_t my = 0; my < m.mcuRows; ++my) {
    for (int32_t mx = 0; mx < m.mcuColumns; ++mx) {
      const bool lastColumn = mx == m.mcuColumns - 1;
      for (int32_t t = 0; t < Vi; ++t) {
        int64_t& pos = r[static_cast<size_t>(t)];
        for (int32_t h = 1; h <= Hi; ++h) {
          if (pos >= end || (lastColumn && h > m.lastColumnBlocks)) {
            ++counts[0];  // a filler repeats the predictor: difference 0
            ++fillers;
            continue;
          }
          const int32_t dc = store[static_cast<size_t>(pos)];
          ++counts[static_cast<size_t>(SizeCategory(dc - predictor))];
          predictor = dc;
          visit(&store[static_cast<size_t>(pos)]);
          pos += 64;
        }
      }
    }
    if (my < m.mcuRows - 1) {
      for (int64_t& pos : r) {
        pos += rowBlocks * (Vi - 1);
      }
    }
  }
  return fillers;
}
}  // namespace

int64_t CountDCSymbolsInterleaved(const CoefficientStore& store, SymbolCounts& counts, int32_t Hi,
                                  int32_t Vi, const FrameLayout& frame) {
  return WalkInterleaved(store, counts, Hi, Vi, frame, [](const int16_t*) {});
}

uint64_t NonZeroAcMask(const int16_t* block) {
#ifdef __SSE2__
  // Eight coefficients per compare; the byte masks of zeros are gathered and inverted.
  const __m128i zero = _mm_setzero_si128();
  uint64_t zeros = 0;
  for (int i = 0; i < 64; i += 16) {
    const __m128i a =
        _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i)), zero);
    const __m128i b =
        _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i + 8)), zero);
    zeros |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b)))} << i;
  }
  return ~zeros & ~uint64_t{1};
#else
  uint64_t mask = 0;
  for (int i = 1; i < 64; ++i) {
    mask |= uint64_t{block[i] != 0} << i;
  }
  return mask;
#endif
}

namespace {
// AC symbols of one block; mask(block) gives its NonZeroAcMask.
template <class Mask>
inline void CountBlockAC(const int16_t* block, SymbolCounts& counts, Mask mask) {
  uint64_t nz = mask(block);
  int32_t last = 0;  // zigzag index of the previous non-zero coefficient
  while (nz != 0) {
    const auto i = static_cast<int32_t>(std::countr_zero(nz));
    int32_t run = i - last - 1;
    while (run > 15) {
      ++counts[kSymbolZRL];
      run -= 16;
    }
    const int32_t symbol = 16 * run + SizeCategory(block[i]);
    if (symbol > 255) {
      Raise(kErrSubscript);  // beyond 16-bit coefficients of 8-bit samples
    }
    ++counts[static_cast<size_t>(symbol)];
    last = i;
    nz &= nz - 1;
  }
  if (last != 63) {
    ++counts[kSymbolEOB];
  }
}
}  // namespace

void CountACSymbols(const CoefficientStore& store, SymbolCounts& counts) {
  for (size_t b = 0; b + 64 <= store.size(); b += 64) {
    CountBlockAC(&store[b], counts, NonZeroAcMask);
  }
}

void CountSymbols(const CoefficientStore& store, SymbolCounts& dc, SymbolCounts& ac) {
  int32_t predictor = 0;
  for (size_t b = 0; b + 64 <= store.size(); b += 64) {
    ++dc[static_cast<size_t>(SizeCategory(store[b] - predictor))];
    predictor = store[b];
    CountBlockAC(&store[b], ac, NonZeroAcMask);
  }
}

int64_t CountSymbolsInterleaved(const CoefficientStore& store, SymbolCounts& dc, SymbolCounts& ac,
                                int32_t Hi, int32_t Vi, const FrameLayout& frame) {
  return WalkInterleaved(store, dc, Hi, Vi, frame,
                         [&ac](const int16_t* block) { CountBlockAC(block, ac, NonZeroAcMask); });
}

namespace {

struct TallyState {
  const McuLayout& layout;
  int32_t Hi;
  int32_t Vi;
  int32_t& predictor;
  SymbolCounts& dc;
  SymbolCounts& ac;
};

// Block rows [first, end) in raster order.
template <class Mask>
void TallyRows(const CoefficientStore& store, TallyState t, int32_t first, int32_t end, Mask mask) {
  const size_t rowBlocks = 64 * static_cast<size_t>(t.layout.blocksPerRow);
  const size_t stop = std::min(store.size(), rowBlocks * static_cast<size_t>(end));
  for (size_t b = rowBlocks * static_cast<size_t>(first); b + 64 <= stop; b += 64) {
    ++t.dc[static_cast<size_t>(SizeCategory(store[b] - t.predictor))];
    t.predictor = store[b];
    CountBlockAC(&store[b], t.ac, mask);
  }
}

// MCU rows [first, end) in the interleaved scan's order, as WalkInterleaved visits them.
template <class Mask>
void TallyMcuRows(const CoefficientStore& store, TallyState t, int32_t first, int32_t end,
                  Mask mask) {
  const McuLayout& m = t.layout;
  const size_t rowBlocks = 64 * static_cast<size_t>(m.blocksPerRow);
  const size_t size = store.size();
  constexpr int32_t kMaxFactor = 4;
  size_t pos[kMaxFactor];
  for (int32_t my = first; my < end; ++my) {
    for (int32_t r = 0; r < t.Vi; ++r) {
      pos[r] = rowBlocks *
               (static_cast<size_t>(my) * static_cast<size_t>(t.Vi) + static_cast<size_t>(r));
    }
    for (int32_t mx = 0; mx < m.mcuColumns; ++mx) {
      const int32_t stored = mx == m.mcuColumns - 1 ? m.lastColumnBlocks : t.Hi;
      for (int32_t r = 0; r < t.Vi; ++r) {
        for (int32_t h = 0; h < t.Hi; ++h) {
          if (pos[r] >= size || h >= stored) {
            ++t.dc[0];  // a filler repeats the predictor
            continue;
          }
          const int16_t* block = &store[pos[r]];
          ++t.dc[static_cast<size_t>(SizeCategory(block[0] - t.predictor))];
          t.predictor = block[0];
          CountBlockAC(block, t.ac, mask);
          pos[r] += 64;
        }
      }
    }
  }
}

#ifdef OKUVA_JPEG_X86
__attribute__((target(OKUVA_JPEG_WIDE), flatten)) void TallyRowsWide(const CoefficientStore& store,
                                                                     TallyState t, int32_t first,
                                                                     int32_t end) {
  TallyRows(store, t, first, end, WideNonZeroAcMask{});
}
__attribute__((target(OKUVA_JPEG_WIDE), flatten)) void TallyMcuRowsWide(
    const CoefficientStore& store, TallyState t, int32_t first, int32_t end) {
  TallyMcuRows(store, t, first, end, WideNonZeroAcMask{});
}
#endif

}  // namespace

SymbolTally::SymbolTally(const FrameLayout& frame, int32_t Hi, int32_t Vi, bool interleaved)
    : layout_(InterleavedLayout(frame, Hi, Vi)), Hi_(Hi), Vi_(Vi), interleaved_(interleaved) {
  if (Hi < 1 || Hi > 4 || Vi < 1 || Vi > 4) {
    Raise(kErrSubscript);
  }
}

void SymbolTally::Add(const CoefficientStore& store, int32_t endBlockRow) {
  const bool all = endBlockRow >= layout_.blockRows;
  const int32_t end = interleaved_ ? (all ? layout_.mcuRows : endBlockRow / Vi_)
                                   : std::min(endBlockRow, layout_.blockRows);
  if (end <= counted_) {
    return;
  }
  const TallyState t{layout_, Hi_, Vi_, predictor_, dc_, ac_};
#ifdef OKUVA_JPEG_X86
  if (SelectedBlockLanes() == 8) {
    if (interleaved_) {
      TallyMcuRowsWide(store, t, counted_, end);
    } else {
      TallyRowsWide(store, t, counted_, end);
    }
    counted_ = end;
    return;
  }
#endif
  if (interleaved_) {
    TallyMcuRows(store, t, counted_, end, NonZeroAcMask);
  } else {
    TallyRows(store, t, counted_, end, NonZeroAcMask);
  }
  counted_ = end;
}

}  // namespace okuva::jpeg
