// cImage transforms on a 4000 x 3000 24-bit image (a 12-megapixel still), beside
// libjpeg-turbo's lossless transforms of a JPEG of the same size for scale.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "image/image.h"

namespace {

constexpr int32_t kWidth = 4000;
constexpr int32_t kHeight = 3000;

// One shared source, filled with a smooth pattern (so the JPEG is realistic).
const okuva::cImage& Source() {
  static const std::unique_ptr<okuva::cImage> image = [] {
    auto img = std::make_unique<okuva::cImage>();
    if (!img->Create(kWidth, kHeight, 24)) {
      std::abort();
    }
    auto* bits = static_cast<uint8_t*>(img->DIBitsPtr());
    const int32_t stride = img->BytesPerScanLine();
    for (int32_t y = 0; y < kHeight; ++y) {
      uint8_t* row = bits + static_cast<std::ptrdiff_t>(y) * stride;
      for (int32_t x = 0; x < kWidth; ++x) {
        row[3 * x] = static_cast<uint8_t>(x / 16);
        row[3 * x + 1] = static_cast<uint8_t>(y / 12);
        row[3 * x + 2] = static_cast<uint8_t>((x + y) / 28);
      }
    }
    return img;
  }();
  return *image;
}

void BM_Rotate90(benchmark::State& state) {
  const okuva::cImage& source = Source();
  for (auto _ : state) {
    auto turned = source.Rotate(90);
    benchmark::DoNotOptimize(turned->DIBitsPtr());
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_Rotate90)->Unit(benchmark::kMillisecond);

void BM_MirrorHorizontal(benchmark::State& state) {
  const okuva::cImage& source = Source();
  for (auto _ : state) {
    auto flipped = source.Mirror(false);
    benchmark::DoNotOptimize(flipped->DIBitsPtr());
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_MirrorHorizontal)->Unit(benchmark::kMillisecond);

void BM_MirrorVertical(benchmark::State& state) {
  const okuva::cImage& source = Source();
  for (auto _ : state) {
    auto flipped = source.Mirror(true);
    benchmark::DoNotOptimize(flipped->DIBitsPtr());
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_MirrorVertical)->Unit(benchmark::kMillisecond);

void BM_ResampleHalf(benchmark::State& state) {
  const okuva::cImage& source = Source();
  for (auto _ : state) {
    auto half = source.Resample(kWidth / 2, kHeight / 2);
    benchmark::DoNotOptimize(half->DIBitsPtr());
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_ResampleHalf)->Unit(benchmark::kMillisecond);

void BM_Greyscale(benchmark::State& state) {
  const okuva::cImage& source = Source();
  for (auto _ : state) {
    auto grey = source.Greyscale();
    benchmark::DoNotOptimize(grey->DIBitsPtr());
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_Greyscale)->Unit(benchmark::kMillisecond);

// libjpeg-turbo's lossless 90-degree transform of the same picture as a JPEG: a
// reference for what a quarter turn of a 12-megapixel still costs elsewhere.
void BM_TurboJpegTransformRotate90(benchmark::State& state) {
  const okuva::cImage& source = Source();
  tjhandle compressor = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long jpegSize = 0;
  if (tjCompress2(compressor, static_cast<const unsigned char*>(source.DIBitsPtr()), kWidth,
                  source.BytesPerScanLine(), kHeight, TJPF_BGR, &jpeg, &jpegSize, TJSAMP_420, 90,
                  TJFLAG_BOTTOMUP) != 0) {
    state.SkipWithError("tjCompress2 failed");
  }
  tjhandle transformer = tjInitTransform();
  tjtransform xform{};
  xform.op = TJXOP_ROT270;  // turbojpeg turns clockwise; 270 clockwise = 90 counter-clockwise
  xform.options = TJXOPT_TRIM;
  for (auto _ : state) {
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    if (tjTransform(transformer, jpeg, jpegSize, 1, &out, &outSize, &xform, 0) != 0) {
      state.SkipWithError("tjTransform failed");
      break;
    }
    benchmark::DoNotOptimize(out);
    tjFree(out);
  }
  tjFree(jpeg);
  tjDestroy(transformer);
  tjDestroy(compressor);
}
BENCHMARK(BM_TurboJpegTransformRotate90)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
