#include "jpeg/scan_coder.h"

#include <bit>

#include "jpeg/dct.h"
#include "jpeg/huffman_stats.h"
#include "platform/runtime/error.h"

namespace okuva::jpeg {

namespace {

constexpr uint8_t kMarkerPrefix = 0xFF;
constexpr uint8_t kSOS = 0xDA;

void WriteSOS(OutputBuffer& out, const ScanContext& ctx, const std::vector<ScanEntry>& entries,
              int32_t first, int32_t last) {
  const int32_t ns = last - first + 1;
  const int32_t length = 6 + 2 * ns;
  out.Require(static_cast<size_t>(2 + length));
  out.Put(kMarkerPrefix);
  out.Put(kSOS);
  out.Put(static_cast<uint8_t>(length >> 8));
  out.Put(static_cast<uint8_t>(length & 0xFF));
  out.Put(static_cast<uint8_t>(ns));
  for (int32_t j = first; j <= last; ++j) {
    const ScanEntry& e = entries[static_cast<size_t>(j)];
    out.Put(static_cast<uint8_t>(ctx.components.at(static_cast<size_t>(e.component)).Ci));
    out.Put(static_cast<uint8_t>(e.Td * 16 + e.Ta));
  }
  out.Put(0);   // Ss: first coefficient
  out.Put(63);  // Se: last coefficient
  out.Put(0);   // Ah, Al: no successive approximation
}

void CheckTables(const ScanEntry& e) {
  if (e.Td < 0 || e.Td > 3 || e.Ta < 0 || e.Ta > 3) {
    Raise(kErrSubscript);
  }
}

}  // namespace

void BitWriter::Flush() {
  const int pending = 64 - free_;
  if (pending % 8 != 0) {
    const int pad = 8 - pending % 8;
    PutBits((uint64_t{1} << pad) - 1, pad);
  }
  for (int shift = 64 - free_ - 8; shift >= 0; shift -= 8) {
    EmitByte(static_cast<uint8_t>(acc_ >> shift));
  }
  acc_ = 0;
  free_ = 64;
}

namespace {

// EncodeBlock with mask(block) giving its NonZeroAcMask. Each symbol is its code
// followed by the n extra bits of value: its low n bits, or those of value - 1 when
// negative (the ones' complement form of T.81 F.1.2.1), in one put of at most 32 bits.
// A symbol without code writes only the extra bits.
template <class Mask>
inline void EncodeBlockWith(BitWriter& writer, const int16_t* coefficients, int32_t& predictor,
                            const HuffTable& dc, const HuffTable& ac, Mask mask) {
  const auto put = [&writer](const HuffTable& table, int32_t symbol, int32_t n, int32_t value) {
    const auto s = static_cast<size_t>(symbol);
    const int size = table.Size[s];
    const uint32_t code = size == 0 ? 0u : static_cast<uint32_t>(table.Code[s]);
    const uint32_t extra = static_cast<uint32_t>(value + (value >> 31)) & ((1u << n) - 1);
    writer.PutBits((uint64_t{code} << n) | extra, size + n);
  };
  const int32_t diff = coefficients[0] - predictor;
  predictor = coefficients[0];
  const int32_t dcSize = SizeCategory(diff);  // at most 16: a symbol of every table
  put(dc, dcSize, dcSize, diff);

  uint64_t nz = mask(coefficients);
  int32_t last = 0;  // zigzag index of the previous non-zero coefficient
  while (nz != 0) {
    const auto i = static_cast<int32_t>(std::countr_zero(nz));
    int32_t run = i - last - 1;
    while (run > 15) {
      put(ac, kSymbolZRL, 0, 0);
      run -= 16;
    }
    const int32_t c = coefficients[i];
    const int32_t size = SizeCategory(c);
    if (size > 15) {
      Raise(kErrSubscript);  // not a run/size symbol
    }
    put(ac, run * 16 + size, size, c);
    last = i;
    nz &= nz - 1;
  }
  if (last != 63) {
    put(ac, kSymbolEOB, 0, 0);
  }
}

// Per-component working values of an interleaved scan.
struct Working {
  const Component* comp;
  const HuffTable* dc;
  const HuffTable* ac;
  McuLayout layout;
  std::vector<size_t> rowPos;  // next block of each block row of the current MCU row
  size_t rowSkip;
  int32_t predictor;
};

// The scan loops own their bit writer (flushed at the end), so that its state need
// not go through memory between puts.

template <class Mask>
void CodeBlocks(OutputBuffer& out, const CoefficientStore& data, const HuffTable& dc,
                const HuffTable& ac, Mask mask) {
  BitWriter writer(out);
  writer.Init();
  int32_t predictor = 0;
  for (size_t p = 0; p + 64 <= data.size(); p += 64) {
    EncodeBlockWith(writer, &data[p], predictor, dc, ac, mask);
  }
  writer.Flush();
}

template <class Mask>
void CodeMcus(OutputBuffer& out, std::vector<Working>& work, Mask mask) {
  BitWriter writer(out);
  writer.Init();
  const int32_t mcuColumns = work[0].layout.mcuColumns;
  const int32_t mcuRows = work[0].layout.mcuRows;
  // One filler block serves the scan: all AC zero, DC set to the predictor just before
  // use, so it codes as difference 0 and EOB.
  std::array<int16_t, 64> filler{};
  for (int32_t my = 0; my < mcuRows; ++my) {
    for (int32_t mx = 0; mx < mcuColumns; ++mx) {
      const bool lastColumn = mx == mcuColumns - 1;
      for (Working& w : work) {
        const size_t end = w.comp->Data.size();
        const int16_t* data = w.comp->Data.data();
        for (int32_t t = 0; t < w.comp->Vi; ++t) {
          size_t& pos = w.rowPos[static_cast<size_t>(t)];
          for (int32_t h = 1; h <= w.comp->Hi; ++h) {
            if (pos + 64 > end || (lastColumn && h > w.layout.lastColumnBlocks)) {
              filler[0] = static_cast<int16_t>(w.predictor);
              EncodeBlockWith(writer, filler.data(), w.predictor, *w.dc, *w.ac, mask);
            } else {
              EncodeBlockWith(writer, data + pos, w.predictor, *w.dc, *w.ac, mask);
              pos += 64;
            }
          }
        }
      }
    }
    if (my < mcuRows - 1) {
      for (Working& w : work) {
        for (size_t& pos : w.rowPos) {
          pos += w.rowSkip;
        }
      }
    }
  }
  writer.Flush();
}

#ifdef OKUVA_JPEG_X86
__attribute__((target(OKUVA_JPEG_WIDE), flatten)) void CodeBlocksWide(OutputBuffer& out,
                                                                      const CoefficientStore& data,
                                                                      const HuffTable& dc,
                                                                      const HuffTable& ac) {
  CodeBlocks(out, data, dc, ac, WideNonZeroAcMask{});
}
__attribute__((target(OKUVA_JPEG_WIDE), flatten)) void CodeMcusWide(OutputBuffer& out,
                                                                    std::vector<Working>& work) {
  CodeMcus(out, work, WideNonZeroAcMask{});
}

// The wide loops where the eight-block kernels are selected (OKUVA_JPEG_SCALAR and
// OKUVA_JPEG_NO_AVX512 rule them out), EncodeBlock's own otherwise.
bool WideLoops() { return SelectedBlockLanes() == 8; }
#endif

}  // namespace

void EncodeBlock(BitWriter& writer, const int16_t* coefficients, int32_t& predictor,
                 const HuffTable& dc, const HuffTable& ac) {
  EncodeBlockWith(writer, coefficients, predictor, dc, ac, NonZeroAcMask);
}

void WriteScanNonInterleaved(OutputBuffer& out, const ScanContext& ctx, const ScanEntry& entry) {
  CheckTables(entry);
  WriteSOS(out, ctx, {entry}, 0, 0);
  const Component& comp = ctx.components.at(static_cast<size_t>(entry.component));
  const HuffTable& dc = ctx.dcTables[static_cast<size_t>(entry.Td)];
  const HuffTable& ac = ctx.acTables[static_cast<size_t>(entry.Ta)];
#ifdef OKUVA_JPEG_X86
  if (WideLoops()) {
    CodeBlocksWide(out, comp.Data, dc, ac);
    return;
  }
#endif
  CodeBlocks(out, comp.Data, dc, ac, NonZeroAcMask);
}

void WriteScanInterleaved(OutputBuffer& out, const ScanContext& ctx,
                          const std::vector<ScanEntry>& entries, int32_t first, int32_t last) {
  for (int32_t j = first; j <= last; ++j) {
    CheckTables(entries.at(static_cast<size_t>(j)));
  }
  WriteSOS(out, ctx, entries, first, last);

  std::vector<Working> work;
  for (int32_t j = first; j <= last; ++j) {
    const ScanEntry& e = entries[static_cast<size_t>(j)];
    const Component& comp = ctx.components.at(static_cast<size_t>(e.component));
    Working w{&comp,
              &ctx.dcTables[static_cast<size_t>(e.Td)],
              &ctx.acTables[static_cast<size_t>(e.Ta)],
              InterleavedLayout(ctx.frame, comp.Hi, comp.Vi),
              {},
              0,
              0};
    const size_t rowBlocks = 64 * static_cast<size_t>(w.layout.blocksPerRow);
    for (int32_t t = 0; t < comp.Vi; ++t) {
      w.rowPos.push_back(rowBlocks * static_cast<size_t>(t));
    }
    w.rowSkip = rowBlocks * static_cast<size_t>(comp.Vi - 1);
    work.push_back(std::move(w));
  }
  if (work.empty()) {
    return;
  }
#ifdef OKUVA_JPEG_X86
  if (WideLoops()) {
    CodeMcusWide(out, work);
    return;
  }
#endif
  CodeMcus(out, work, NonZeroAcMask);
}

void WriteScans(OutputBuffer& out, const ScanContext& ctx, const std::vector<ScanEntry>& entries,
                int32_t first, int32_t last) {
  for (const ScanGroup& g : GroupScans(BlocksPerMcu(ctx.components, entries), first, last)) {
    if (g.Interleaved()) {
      WriteScanInterleaved(out, ctx, entries, g.first, g.last);
    } else {
      WriteScanNonInterleaved(out, ctx, entries[static_cast<size_t>(g.first)]);
    }
  }
}

}  // namespace okuva::jpeg
