// The image components of a frame and how they are grouped into scans. Shared by the
// sampling stage (which fills the stores), the Huffman statistics and the scan coder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/runtime/big_buffer.h"

namespace okuva::jpeg {

// Allocator of the coefficient stores. New elements are left default-initialised: a
// store is written entirely by the sampling stage, so filling it first is wasted work.
// A full photograph's stores are megabytes, and touching them page by page was a
// large share of an encode: they come from the huge-page buffers of the runtime, and
// an encode of the same size takes them over instead of faulting in new ones.
template <class T>
struct NoInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = NoInitAllocator<U>;
  };
  NoInitAllocator() = default;
  template <class U>
  NoInitAllocator(const NoInitAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) {
      throw std::bad_array_new_length();
    }
    void* p = memory::Allocate(n * sizeof(T), false);
    if (p == nullptr) {
      throw std::bad_alloc();
    }
    return static_cast<T*>(p);
  }
  // Kept for the next encode of the same size.
  void deallocate(T* p, size_t n) noexcept { memory::Free(p, n * sizeof(T), true); }
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A component's quantized coefficients: blocks in raster order, 64 zigzag-ordered
// entries each.
using CoefficientStore = std::vector<int16_t, NoInitAllocator<int16_t>>;

// One image component: identifier, sampling factors, quantization table and the
// coefficient store (blocks in raster order, 64 zigzag-ordered coefficients each).
struct Component {
  int32_t Ci = 0;
  int32_t Hi = 1;
  int32_t Vi = 1;
  int32_t Tqi = 0;
  CoefficientStore Data;
};

// The frame values every stage derives its block counts from.
struct FrameLayout {
  int32_t X = 0;     // width in pixels
  int32_t Y = 0;     // height in pixels
  int32_t Hmax = 1;  // largest horizontal sampling factor
  int32_t Vmax = 1;  // largest vertical sampling factor
};

// Sampled size of a component (ceil of the scaled frame size) and its size padded to
// whole 8 x 8 blocks.
struct PlaneGeometry {
  int32_t Wc = 0;
  int32_t Hc = 0;
  int32_t Wp = 0;
  int32_t Hp = 0;
  int32_t BlocksPerRow() const { return Wp / 8; }
  int32_t BlockRows() const { return Hp / 8; }
};

// Wc = ceil(X * Hi / Hmax), Hc = ceil(Y * Vi / Vmax), each padded up to a multiple of 8.
PlaneGeometry ComponentGeometry(const FrameLayout& frame, int32_t Hi, int32_t Vi);

// Interleaved-scan geometry of one component: MCU grid of the frame, stored blocks
// per row / rows, and how many stored block columns fall into the last MCU column.
struct McuLayout {
  int32_t mcuColumns = 0;
  int32_t mcuRows = 0;
  int32_t blocksPerRow = 0;   // BW
  int32_t blockRows = 0;      // BH
  int32_t lastColumnBlocks = 0;
  // Filler blocks the interleaved scan codes for this component (block slots of all
  // MCUs minus the stored blocks).
  int64_t FillerBlocks(int32_t Hi, int32_t Vi) const;
};
McuLayout InterleavedLayout(const FrameLayout& frame, int32_t Hi, int32_t Vi);

// Table selection of one list position: component index, DC and AC table numbers.
struct ScanEntry {
  int32_t component = 0;
  int32_t Td = 0;
  int32_t Ta = 0;
};

// Hi x Vi of each entry's component, for GroupScans.
std::vector<int32_t> BlocksPerMcu(const std::vector<Component>& components,
                                  const std::vector<ScanEntry>& entries);

// One scan: the list positions first..last it codes (one position = non-interleaved).
struct ScanGroup {
  int32_t first = 0;
  int32_t last = 0;
  bool Interleaved() const { return last > first; }
};

// Groups positions first..last (blocksPerMcu[j] = Hi x Vi of the component at position
// j) into scans of at most three components and at most 10 blocks per MCU; a single
// component above 10 blocks forms a scan of its own.
std::vector<ScanGroup> GroupScans(const std::vector<int32_t>& blocksPerMcu, int32_t first,
                                  int32_t last);

}  // namespace okuva::jpeg
