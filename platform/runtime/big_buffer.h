// Memory for large pixel and coefficient buffers.
//
// Touching a fresh buffer of several megabytes costs one page fault per 4 KiB page,
// which for a full photograph outweighs the work done on it. Large requests therefore
// get a mapping of their own, aligned to 2 MiB and advised for transparent huge pages,
// so the kernel can back them with one fault per 2 MiB. Where the system offers no
// huge pages the mapping simply stays on ordinary pages; small requests come from the
// ordinary heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace okuva::memory {

// Requests of at least this many bytes get their own huge-page mapping.
constexpr size_t kLargeBufferBytes = size_t{2} << 20;

// `bytes` bytes (an address even for 0), zeroed when asked, or null when the system
// has no room. Free with Free and the same size. With keepForReuse a large buffer is
// kept for the next request of the same size (a few, up to 64 MiB in all), so work
// repeated on pictures of one size does not fault its memory in again; it then stays
// resident until taken, so only buffers that are remade again and again (and need no
// zeroing) are worth keeping.
void* Allocate(size_t bytes, bool zeroed) noexcept;
void Free(void* p, size_t bytes, bool keepForReuse) noexcept;
// Zeroed buffers, unmapped when freed.
void* AllocateZeroed(size_t bytes) noexcept;
void FreeZeroed(void* p, size_t bytes) noexcept;

// True when AllocateZeroed serves `bytes` from a huge-page mapping of its own (false
// in sanitizer builds, which keep every buffer on their checked heap).
bool UsesOwnMapping(size_t bytes) noexcept;

// An owned zeroed buffer: empty after a failed allocation or a move.
class BigBuffer {
public:
  BigBuffer() = default;
  explicit BigBuffer(size_t bytes) noexcept
      : data_(static_cast<uint8_t*>(AllocateZeroed(bytes))), size_(data_ ? bytes : 0) {}
  BigBuffer(BigBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  BigBuffer& operator=(BigBuffer&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  BigBuffer(const BigBuffer&) = delete;
  BigBuffer& operator=(const BigBuffer&) = delete;
  ~BigBuffer() { reset(); }

  uint8_t* get() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  explicit operator bool() const noexcept { return data_ != nullptr; }
  void reset() noexcept {
    if (data_ != nullptr) {
      FreeZeroed(data_, size_);
    }
    data_ = nullptr;
    size_ = 0;
  }

private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace okuva::memory
