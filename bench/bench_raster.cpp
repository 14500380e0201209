// The raster layer on camera-sized pictures: quarter turns, palette conversion and
// area-average downscaling of a 4000 x 3000 24-bit DIB section; and the price of
// fresh pixel memory for a 2560 x 1920 surface on ordinary pages, pre-faulted, and as
// the layer allocates it (huge pages where offered).
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "platform/gdi/gdi.h"
#include "platform/gdi/memory_dc.h"
#include "platform/runtime/big_buffer.h"

namespace {

using namespace okuva::gdi;

struct Surface {
  MemoryDc owner{0};
  HDC dc = owner.Dc();
  uint8_t* bits = nullptr;

  Surface(int32_t w, int32_t h, int bpp) {
    BITMAPINFO bmi{};
    bmi.bmiHeader = DibHeader(w, h, bpp);
    for (int i = 0; i < 256; ++i) {
      const auto v = static_cast<uint8_t>(i);
      bmi.bmiColors[i] = RGBQUAD{v, v, v, 0};
    }
    void* p = nullptr;
    owner.Select(CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &p, nullptr, 0), MemoryDc::kOwned);
    bits = static_cast<uint8_t*>(p);
  }
};

constexpr int32_t kW = 4000, kH = 3000;

// A photograph-like gradient with noise, so that colour caches meet many colours.
void Paint(Surface& s) {
  const int32_t stride = (kW * 3 + 3) & ~3;
  uint32_t seed = 1;
  for (int32_t y = 0; y < kH; ++y) {
    for (int32_t x = 0; x < kW; ++x) {
      seed = seed * 1664525u + 1013904223u;
      uint8_t* p = s.bits + static_cast<size_t>(y) * stride + 3 * static_cast<size_t>(x);
      p[0] = static_cast<uint8_t>(x / 16 + (seed >> 28));
      p[1] = static_cast<uint8_t>(y / 12 + (seed >> 29));
      p[2] = static_cast<uint8_t>((x + y) / 28);
    }
  }
}

void BM_PlgBltRotate90(benchmark::State& state) {
  Surface src(kW, kH, 24), dest(kH, kW, 24);
  Paint(src);
  const POINT points[3] = {{0, kW}, {0, 0}, {kH, kW}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(PlgBlt(dest.dc, points, src.dc, 0, 0, kW, kH, 0, 0, 0));
  }
}
BENCHMARK(BM_PlgBltRotate90)->Unit(benchmark::kMillisecond);

void BM_BitBltToGreyPalette(benchmark::State& state) {
  Surface src(kW, kH, 24), dest(kW, kH, 8);
  Paint(src);
  for (auto _ : state) {
    benchmark::DoNotOptimize(BitBlt(dest.dc, 0, 0, kW, kH, src.dc, 0, 0, SRCCOPY));
  }
}
BENCHMARK(BM_BitBltToGreyPalette)->Unit(benchmark::kMillisecond);

void BM_StretchBltHalftoneQuarter(benchmark::State& state) {
  Surface src(kW, kH, 24), dest(kW / 4, kH / 4, 24);
  Paint(src);
  SetStretchBltMode(dest.dc, HALFTONE);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        StretchBlt(dest.dc, 0, 0, kW / 4, kH / 4, src.dc, 0, 0, kW, kH, SRCCOPY));
  }
}
BENCHMARK(BM_StretchBltHalftoneQuarter)->Unit(benchmark::kMillisecond);

void BM_BitBltCopy24(benchmark::State& state) {
  Surface src(kW, kH, 24), dest(kW, kH, 24);
  Paint(src);
  for (auto _ : state) {
    benchmark::DoNotOptimize(BitBlt(dest.dc, 0, 0, kW, kH, src.dc, 0, 0, SRCCOPY));
  }
}
BENCHMARK(BM_BitBltCopy24)->Unit(benchmark::kMillisecond);

// Allocates, fills once (as a decoder filling a surface does) and frees the pixel
// memory of a 2560 x 1920 24-bit surface. Most of the time is the kernel's: page
// faults and zeroing. CPU time counts it; compare the three by it.
constexpr size_t kPhotoBytes = size_t{2560} * 3 * 1920;

// A plain mapping: what a fresh process gets from malloc for a buffer this large (a
// heap that has grown already would hand back touched memory instead).
void BM_FreshPixelMemory_SmallPages(benchmark::State& state) {
  for (auto _ : state) {
    void* m =
        ::mmap(nullptr, kPhotoBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) {
      return state.SkipWithError("no memory");
    }
    std::memset(m, 0x5A, kPhotoBytes);
    benchmark::DoNotOptimize(m);
    ::munmap(m, kPhotoBytes);
  }
}
BENCHMARK(BM_FreshPixelMemory_SmallPages)->Unit(benchmark::kMillisecond);

void BM_FreshPixelMemory_Populated(benchmark::State& state) {
  for (auto _ : state) {
    void* m = ::mmap(nullptr, kPhotoBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (m == MAP_FAILED) {
      return state.SkipWithError("no memory");
    }
    std::memset(m, 0x5A, kPhotoBytes);
    benchmark::DoNotOptimize(m);
    ::munmap(m, kPhotoBytes);
  }
}
BENCHMARK(BM_FreshPixelMemory_Populated)->Unit(benchmark::kMillisecond);

void BM_FreshPixelMemory_Layer(benchmark::State& state) {
  for (auto _ : state) {
    okuva::memory::BigBuffer b(kPhotoBytes);
    if (!b) {
      return state.SkipWithError("no memory");
    }
    std::memset(b.get(), 0x5A, kPhotoBytes);
    benchmark::DoNotOptimize(b.get());
  }
}
BENCHMARK(BM_FreshPixelMemory_Layer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
