#include "platform/runtime/big_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace okuva::memory {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OKUVA_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(OKUVA_ADDRESS_SANITIZER)
constexpr bool kSanitized = true;  // the sanitizer only checks bounds on its own heap
#else
constexpr bool kSanitized = false;
#endif

size_t PageSize() {
  static const size_t page = [] {
    const long p = ::sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<size_t>(p) : size_t{4096};
  }();
  return page;
}

// `n` rounded up to a multiple of the power of two `to`; 0 when that overflows.
size_t RoundUp(size_t n, size_t to) {
  const size_t r = (n + to - 1) & ~(to - 1);
  return r < n ? 0 : r;
}

// Mappings given back, kept for the next request of the same length: an encoder or a
// window that makes the same buffers picture after picture would otherwise pay the
// kernel's faults and zeroing each time, where the heap used to hand back memory it
// had already touched. Bounded, like the heap's own retention.
class Reuse {
public:
  void* Take(size_t length) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& e : entries_) {
      if (e.p != nullptr && e.length == length) {
        cached_ -= length;
        return std::exchange(e.p, nullptr);
      }
    }
    return nullptr;
  }
  // False when there is no room: the caller unmaps.
  bool Keep(void* p, size_t length) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (cached_ + length > kMaxCachedBytes) {
      return false;
    }
    for (Entry& e : entries_) {
      if (e.p == nullptr) {
        e = {p, length};
        cached_ += length;
        return true;
      }
    }
    return false;
  }

private:
  static constexpr size_t kMaxCachedBytes = size_t{64} << 20;
  struct Entry {
    void* p = nullptr;
    size_t length = 0;
  };
  std::mutex mutex_;
  std::array<Entry, 6> entries_{};
  size_t cached_ = 0;
};

// Never destroyed: buffers held by static objects may be freed while the program exits.
Reuse& Cache() {
  static Reuse* reuse = new Reuse;
  return *reuse;
}

void* MapAligned(size_t length) {
  const size_t reserve = length + kHugePage;
  if (reserve < length) {
    return nullptr;
  }
  // Reserve a huge page more than needed, then give back the ends around the first
  // 2 MiB boundary. Only whole 2 MiB extents can be huge pages; the tail beyond the
  // last one stays on ordinary pages rather than rounding the buffer up, so the
  // resident size stays what the caller asked for.
  void* raw = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) {
    // No room for the slack: an unaligned mapping still serves.
    raw = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return raw == MAP_FAILED ? nullptr : raw;
  }
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  if (aligned > start) {
    ::munmap(raw, aligned - start);
  }
  const uintptr_t end = aligned + length;
  const uintptr_t reservedEnd = start + reserve;
  if (reservedEnd > end) {
    ::munmap(reinterpret_cast<void*>(end), reservedEnd - end);
  }
  void* p = reinterpret_cast<void*>(aligned);
  // Refused where transparent huge pages are off: the ordinary pages then serve.
  ::madvise(p, length, MADV_HUGEPAGE);
  return p;
}

}  // namespace

bool UsesOwnMapping(size_t bytes) noexcept { return !kSanitized && bytes >= kLargeBufferBytes; }

void* Allocate(size_t bytes, bool zeroed) noexcept {
  if (!UsesOwnMapping(bytes)) {
    if (bytes == 0) {
      bytes = 1;
    }
    return zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  }
  const size_t length = RoundUp(bytes, PageSize());
  if (length == 0) {
    return nullptr;
  }
  if (void* p = Cache().Take(length)) {
    if (zeroed) {
      std::memset(p, 0, length);
    }
    return p;
  }
  return MapAligned(length);  // fresh pages read as zeros
}

void* AllocateZeroed(size_t bytes) noexcept { return Allocate(bytes, true); }

void Free(void* p, size_t bytes, bool keepForReuse) noexcept {
  if (p == nullptr) {
    return;
  }
  if (!UsesOwnMapping(bytes)) {
    std::free(p);
    return;
  }
  const size_t length = RoundUp(bytes, PageSize());
  if (!keepForReuse || !Cache().Keep(p, length)) {
    ::munmap(p, length);
  }
}

void FreeZeroed(void* p, size_t bytes) noexcept { Free(p, bytes, false); }

}  // namespace okuva::memory
