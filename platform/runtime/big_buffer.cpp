#include "platform/runtime/big_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

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

}  // namespace

bool UsesOwnMapping(size_t bytes) noexcept { return !kSanitized && bytes >= kLargeBufferBytes; }

void* AllocateZeroed(size_t bytes) noexcept {
  if (!UsesOwnMapping(bytes)) return std::calloc(bytes == 0 ? 1 : bytes, 1);
  const size_t length = RoundUp(bytes, PageSize());
  const size_t reserve = length == 0 ? 0 : length + kHugePage;
  if (reserve < length || length == 0) return nullptr;
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
  if (aligned > start) ::munmap(raw, aligned - start);
  const uintptr_t end = aligned + length;
  const uintptr_t reservedEnd = start + reserve;
  if (reservedEnd > end) ::munmap(reinterpret_cast<void*>(end), reservedEnd - end);
  void* p = reinterpret_cast<void*>(aligned);
  // Refused where transparent huge pages are off: the ordinary pages then serve.
  ::madvise(p, length, MADV_HUGEPAGE);
  return p;
}

void FreeZeroed(void* p, size_t bytes) noexcept {
  if (p == nullptr) return;
  if (UsesOwnMapping(bytes)) {
    ::munmap(p, RoundUp(bytes, PageSize()));
  } else {
    std::free(p);
  }
}

}  // namespace okuva::memory
