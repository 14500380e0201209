// Scan coding stage: the bit writer with 0xFF stuffing and 1-bit padding, the block
// coder (DC difference, run/size, ZRL, EOB) and the scan writers, interleaved scans
// with filler blocks included.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "jpeg/component.h"
#include "jpeg/huffman_table.h"
#include "jpeg/output_buffer.h"

namespace okuva::jpeg {

// Assembles bytes most significant bit first and emits complete bytes, each 0xFF
// followed by a stuffed 0x00 (T.81 B.1.1.5). Bits gather in a 64-bit accumulator and
// leave it eight bytes at a time (one store when none is 0xFF), so the stream is the
// same as bit by bit.
class BitWriter {
public:
  explicit BitWriter(OutputBuffer& out) : out_(out) {}
  // InitBitWriter: empty accumulator.
  void Init() {
    acc_ = 0;
    free_ = 64;
  }
  // Appends the bits of value from the bit selected by mask (2^(n-1) for n bits) down
  // to bit 0; mask 0 writes nothing.
  void WriteBits(int32_t mask, int32_t value) {
    if (mask <= 0) {
      return;
    }
    Put(static_cast<uint32_t>(value), std::bit_width(static_cast<uint32_t>(mask)));
  }
  // Appends the low n bits of value (n from 0 to 32).
  void Put(uint32_t value, int n) { PutBits(uint64_t{value} & ((uint64_t{1} << n) - 1), n); }
  // Appends value, which must be below 2^n (n from 0 to 32).
  void PutBits(uint64_t value, int n) {
    free_ -= n;
    if (free_ >= 0) {
      acc_ = (acc_ << n) | value;
      return;
    }
    // The accumulator fills up: its 64 bits leave, the rest of value stays (the bits
    // above them are shifted out later).
    acc_ = (acc_ << (n + free_)) | (value >> -free_);
    Emit64();
    acc_ = value;
    free_ += 64;
  }
  // Completes a partly filled byte with 1-bits and emits everything held.
  void Flush();

private:
  void Emit64() {
    const uint64_t inverted = ~acc_;
    if (((inverted - 0x0101010101010101u) & acc_ & 0x8080808080808080u) == 0) {
      out_.PutWord(acc_);
      return;
    }
    for (int shift = 56; shift >= 0; shift -= 8) {
      EmitByte(static_cast<uint8_t>(acc_ >> shift));
    }
  }
  void EmitByte(uint8_t b) {
    out_.Put(b);
    if (b == 0xFF) {
      out_.Put(0);
    }
  }

  OutputBuffer& out_;
  uint64_t acc_ = 0;  // the pending bits are the low 64 - free_ bits
  int free_ = 64;
};

// Codes the block at coefficients[0..63]: the DC difference from predictor (which then
// becomes the block's DC) with table dc, the AC coefficients with table ac.
void EncodeBlock(BitWriter& writer, const int16_t* coefficients, int32_t& predictor,
                 const HuffTable& dc, const HuffTable& ac);

// Everything the scan writers read: the components, the frame and the tables.
struct ScanContext {
  const std::vector<Component>& components;
  FrameLayout frame;
  const std::array<HuffTable, 4>& dcTables;
  const std::array<HuffTable, 4>& acTables;
};

// One scan of a single component: its SOS segment, then all its stored blocks in
// raster order.
void WriteScanNonInterleaved(OutputBuffer& out, const ScanContext& ctx, const ScanEntry& entry);

// One scan of entries[first..last] in MCU order, filler blocks in the last MCU column
// and row where a component has no stored block.
void WriteScanInterleaved(OutputBuffer& out, const ScanContext& ctx,
                          const std::vector<ScanEntry>& entries, int32_t first, int32_t last);

// Groups entries[first..last] into scans (GroupScans) and writes them in order.
void WriteScans(OutputBuffer& out, const ScanContext& ctx, const std::vector<ScanEntry>& entries,
                int32_t first, int32_t last);

}  // namespace okuva::jpeg
