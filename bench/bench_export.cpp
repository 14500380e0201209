// The JPEG export of a 2560 x 1920 photograph against libjpeg-turbo compressing the
// same rows directly (same quality and subsampling, output written to a file the
// plain way), and Resample for a 2x reduction and a 2x enlargement.
//
// The photograph is decoded at set-up from Debian's mate-backgrounds package. Files
// go to $OKUVA_BENCH_DIR, or the system's temporary folder.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "saving/jpeg_export.h"
#include "surface/cdibsection.h"

namespace {

constexpr int32_t kWidth = 2560;
constexpr int32_t kHeight = 1920;
constexpr int kQuality = 90;  // the capture window's quality
constexpr double kMegapixels = kWidth * kHeight / 1e6;

const char* const kPhotographs[] = {
    "/usr/share/backgrounds/mate/nature/Wood.jpg",
    "/usr/share/backgrounds/mate/abstract/Elephants_3840x2160.jpg",
    "/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg",
};

// Decodes the first photograph at least 2560 x 1920 and copies its centre into a
// surface (bottom-up rows). Null when none is installed.
std::unique_ptr<okuva::cDIBSection> LoadPhotograph() {
  for (const char* path : kPhotographs) {
    std::ifstream in(path, std::ios::binary);
    const std::string jpeg(std::istreambuf_iterator<char>(in), {});
    if (jpeg.empty()) {
      continue;
    }
    tjhandle h = tjInitDecompress();
    int w = 0, ht = 0, sub = 0, cs = 0;
    auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
    std::vector<uint8_t> bgr;
    bool ok = tjDecompressHeader3(h, data, jpeg.size(), &w, &ht, &sub, &cs) == 0 && w >= kWidth &&
              ht >= kHeight;
    if (ok) {
      bgr.resize(static_cast<size_t>(w) * ht * 3);
      ok = tjDecompress2(h, data, jpeg.size(), bgr.data(), w, 0, ht, TJPF_BGR, 0) == 0;
    }
    tjDestroy(h);
    if (!ok) {
      continue;
    }
    auto dib = std::make_unique<okuva::cDIBSection>();
    if (!dib->Create(kWidth, kHeight)) {
      return nullptr;
    }
    const int32_t left = (w - kWidth) / 2;
    const int32_t top = (ht - kHeight) / 2;
    for (int32_t y = 0; y < kHeight; ++y) {
      uint8_t* dst = dib->DIBSectionBitsPtr() +
                     static_cast<std::ptrdiff_t>(kHeight - 1 - y) * dib->BytesPerScanLine();
      const uint8_t* src = &bgr[(static_cast<size_t>(top + y) * w + left) * 3];
      std::memcpy(dst, src, static_cast<size_t>(kWidth) * 3);
    }
    return dib;
  }
  return nullptr;
}

const okuva::cDIBSection* Photograph() {
  static const std::unique_ptr<okuva::cDIBSection> dib = LoadPhotograph();
  return dib.get();
}

std::string OutputPath(const std::string& name) {
  const char* dir = std::getenv("OKUVA_BENCH_DIR");
  return ((dir != nullptr && *dir != '\0') ? std::filesystem::path(dir)
                                           : std::filesystem::temp_directory_path()) /
         name;
}

void SetRate(benchmark::State& state, double megapixelsPerIteration) {
  state.counters["MP/s"] =
      benchmark::Counter(megapixelsPerIteration, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_ExportSaveDIBAsJPG(benchmark::State& state) {
  const okuva::cDIBSection* dib = Photograph();
  if (dib == nullptr) {
    state.SkipWithError("no 2560 x 1920 photograph under /usr/share/backgrounds/mate");
    return;
  }
  const std::string file = OutputPath("okuva-bench-export.jpg");
  for (auto _ : state) {
    okuva::SaveDIBAsJPG(*dib, file, kQuality);
  }
  std::filesystem::remove(file);
  SetRate(state, kMegapixels);
}

void BM_DirectTurboJpeg(benchmark::State& state) {
  const okuva::cDIBSection* dib = Photograph();
  if (dib == nullptr) {
    state.SkipWithError("no 2560 x 1920 photograph under /usr/share/backgrounds/mate");
    return;
  }
  const std::string file = OutputPath("okuva-bench-direct.jpg");
  tjhandle h = tjInitCompress();
  for (auto _ : state) {
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(h, dib->DIBSectionBitsPtr(), kWidth, dib->BytesPerScanLine(), kHeight, TJPF_BGR,
                    &out, &size, TJSAMP_420, kQuality, TJFLAG_BOTTOMUP) != 0) {
      state.SkipWithError(tjGetErrorStr2(h));
      break;
    }
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const bool written = fd >= 0 && ::write(fd, out, size) == static_cast<ssize_t>(size);
    if (fd >= 0) {
      ::close(fd);
    }
    tjFree(out);
    if (!written) {
      state.SkipWithError("could not write the output file");
      break;
    }
  }
  tjDestroy(h);
  std::filesystem::remove(file);
  SetRate(state, kMegapixels);
}

void BM_Resample(benchmark::State& state) {
  const okuva::cDIBSection* dib = Photograph();
  if (dib == nullptr) {
    state.SkipWithError("no 2560 x 1920 photograph under /usr/share/backgrounds/mate");
    return;
  }
  const auto width = static_cast<int32_t>(state.range(0));
  const auto height = static_cast<int32_t>(state.range(1));
  for (auto _ : state) {
    std::unique_ptr<okuva::cDIBSection> result = dib->Resample(height, width);
    benchmark::DoNotOptimize(result.get());
  }
  // Counted in target pixels: the work is proportional to them.
  SetRate(state, width * static_cast<double>(height) / 1e6);
}

BENCHMARK(BM_ExportSaveDIBAsJPG)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DirectTurboJpeg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Resample)
    ->Args({kWidth / 2, kHeight / 2})
    ->Args({kWidth * 2, kHeight * 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Keeps each run's time per iteration so the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && r.iterations > 0 && !r.error_occurred) {
        seconds[r.benchmark_name()] = r.real_accumulated_time / static_cast<double>(r.iterations);
        cpuSeconds[r.benchmark_name()] = r.cpu_accumulated_time / static_cast<double>(r.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
  std::map<std::string, double> cpuSeconds;  // this process's CPU: steadier on a busy machine
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto exportRun = reporter.seconds.find("BM_ExportSaveDIBAsJPG/real_time");
  const auto directRun = reporter.seconds.find("BM_DirectTurboJpeg/real_time");
  if (exportRun != reporter.seconds.end() && directRun != reporter.seconds.end()) {
    const double exportRate = kMegapixels / exportRun->second;
    const double directRate = kMegapixels / directRun->second;
    std::printf("\nexport %.1f MP/s, direct libjpeg-turbo %.1f MP/s, ratio %.3f (target >= 0.9)\n",
                exportRate, directRate, exportRate / directRate);
    const double exportCpu = reporter.cpuSeconds[exportRun->first];
    const double directCpu = reporter.cpuSeconds[directRun->first];
    std::printf("by CPU time: export %.1f MP/s, direct %.1f MP/s, ratio %.3f\n",
                kMegapixels / exportCpu, kMegapixels / directCpu, directCpu / exportCpu);
  }
  for (const auto& [name, s] : reporter.seconds) {
    if (name.rfind("BM_Resample/", 0) == 0) {
      std::printf("%s: %.3f s per call (%.3f s CPU)\n", name.c_str(), s, reporter.cpuSeconds[name]);
    }
  }
  benchmark::Shutdown();
  return 0;
}
