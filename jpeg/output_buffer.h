// The file being built: one buffer sized before encoding starts and never grown.
// A write past its end raises error 9 instead of touching memory beyond it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/runtime/error.h"

namespace okuva::jpeg {

class OutputBuffer {
public:
  OutputBuffer() = default;
  // Room for `capacity` bytes. The memory is not initialised: only what is written is
  // ever read back, and untouched pages of a generous bound cost nothing.
  explicit OutputBuffer(size_t capacity) : bytes_(new uint8_t[capacity]), capacity_(capacity) {}

  void Put(uint8_t b) {
    if (pos_ >= capacity_) {
      Raise(kErrSubscript);
    }
    bytes_[pos_++] = b;
  }
  // The eight bytes of w, most significant first.
  void PutWord(uint64_t w) {
    Require(8);
    for (int i = 0; i < 8; ++i) {
      bytes_[pos_ + static_cast<size_t>(i)] = static_cast<uint8_t>(w >> (56 - 8 * i));
    }
    pos_ += 8;
  }
  // Raises 9 unless `count` more bytes fit.
  void Require(size_t count) const {
    if (count > capacity_ - pos_) {
      Raise(kErrSubscript);
    }
  }
  void PutAt(size_t at, uint8_t b) {
    if (at >= capacity_) {
      Raise(kErrSubscript);
    }
    bytes_[at] = b;
  }
  // m_lFilePos: the index of the next byte to be written.
  size_t Pos() const { return pos_; }
  void SetPos(size_t pos) {
    if (pos > capacity_) {
      Raise(kErrSubscript);
    }
    pos_ = pos;
  }
  size_t Capacity() const { return capacity_; }
  // The bytes written so far.
  std::span<const uint8_t> Written() const { return {bytes_.get(), pos_}; }

private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t capacity_ = 0;
  size_t pos_ = 0;
};

}  // namespace okuva::jpeg
