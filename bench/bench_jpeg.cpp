// cJpeg (SampleHDC + SaveFile into a memory-backed folder) against libjpeg-turbo with
// optimized Huffman coding, the float DCT and the same quantization tables, sampling
// and scan grouping, on a photograph at 2560 x 1920 and 640 x 480.
// Prints megapixels per second for each, the speed ratio and the file-size ratio.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <malloc.h>

#include "jpeg/cjpeg.h"
#include "jpeg/component.h"
#include "platform/gdi/gdi.h"
#include "surface/cdibsection.h"

namespace {

using okuva::cJpeg;
namespace gdi = okuva::gdi;

// The source photograph: a 24-bit bottom-up DIB surface in a memory DC of its own.
class Picture {
public:
  Picture(int32_t width, int32_t height) {
    if (!surface_.Create(width, height)) {
      throw std::runtime_error("no DIB section for the picture");
    }
  }
  int32_t Width() const { return surface_.Width(); }
  int32_t Height() const { return surface_.Height(); }
  gdi::HDC Dc() const { return surface_.hdc(); }
  // Row y counted from the top, bytes blue, green, red.
  uint8_t* Row(int32_t y) const {
    return surface_.DIBSectionBitsPtr() +
           static_cast<size_t>(Height() - 1 - y) * static_cast<size_t>(surface_.BytesPerScanLine());
  }

private:
  okuva::cDIBSection surface_;
};

// Decodes a mate-backgrounds photograph and fits it to width x height: cropped to the
// aspect ratio, then box-averaged down by the whole factor and cropped.
std::unique_ptr<Picture> LoadPhoto(int32_t width, int32_t height) {
  const char* candidates[] = {"/usr/share/backgrounds/mate/nature/Wood.jpg",
                              "/usr/share/backgrounds/mate/nature/Garden.jpg",
                              "/usr/share/backgrounds/mate/abstract/Elephants_3840x2160.jpg"};
  for (const char* path : candidates) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      continue;
    }
    const std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(in)), {});
    tjhandle h = tjInitDecompress();
    int w = 0, hgt = 0, sub = 0, cs = 0;
    if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &w, &hgt, &sub, &cs) != 0) {
      tjDestroy(h);
      continue;
    }
    std::vector<unsigned char> bgr(static_cast<size_t>(w) * static_cast<size_t>(hgt) * 3);
    tjDecompress2(h, jpeg.data(), jpeg.size(), bgr.data(), w, 0, hgt, TJPF_BGR, 0);
    tjDestroy(h);
    const int factor = std::max(1, std::min(w / width, hgt / height));
    if (w / factor < width || hgt / factor < height) {
      continue;
    }
    auto pic = std::make_unique<Picture>(width, height);
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* row = pic->Row(y);
      for (int32_t x = 0; x < width; ++x) {
        for (int c = 0; c < 3; ++c) {
          int sum = 0;
          for (int dy = 0; dy < factor; ++dy) {
            for (int dx = 0; dx < factor; ++dx) {
              sum += bgr[(static_cast<size_t>(y * factor + dy) * static_cast<size_t>(w) +
                          static_cast<size_t>(x * factor + dx)) *
                             3 +
                         static_cast<size_t>(c)];
            }
          }
          row[3 * x + c] = static_cast<uint8_t>((sum + factor * factor / 2) / (factor * factor));
        }
      }
    }
    return pic;
  }
  throw std::runtime_error("no photograph found in /usr/share/backgrounds/mate");
}

const Picture& Photo(int32_t width) {
  static std::map<int32_t, std::unique_ptr<Picture>> cache;
  auto& p = cache[width];
  if (!p) {
    p = LoadPhoto(width, width * 3 / 4);
  }
  return *p;
}

struct Config {
  bool grey;
  int quality;
};

void Configure(cJpeg& jpeg, const Config& c) {
  if (c.grey) {
    jpeg.SetSamplingFrequencies(1, 1, 0, 0, 0, 0);
  }
  jpeg.Quality(c.quality);
}

std::string TempFolder() {
  return std::filesystem::exists("/dev/shm") ? "/dev/shm"
                                             : std::filesystem::temp_directory_path().string();
}

std::map<std::string, double> gBytes;  // file size per benchmark name

void BM_cJpeg(benchmark::State& state, int32_t width, Config config) {
  const Picture& pic = Photo(width);
  const std::string path = TempFolder() + "/okuva_bench_" + std::to_string(::getpid()) + ".jpg";
  size_t bytes = 0;
  for (auto _ : state) {
    cJpeg jpeg;
    Configure(jpeg, config);
    if (jpeg.SampleHDC(pic.Dc(), pic.Width(), pic.Height(), 0, 0) != 0) {
      state.SkipWithError("SampleHDC failed");
      break;
    }
    if (jpeg.SaveFile(path) != 0) {
      state.SkipWithError("SaveFile failed");
      break;
    }
    state.PauseTiming();
    bytes = std::filesystem::file_size(path);
    std::filesystem::remove(path);
    state.ResumeTiming();
  }
  const double pixels = double(pic.Width()) * pic.Height();
  state.counters["MP"] = pixels / 1e6;
  state.counters["bytes"] = double(bytes);
}

// libjpeg-turbo on the same DIB rows (bottom-up BGR, handed over top row first).
std::vector<unsigned char> LibjpegEncode(const Picture& pic, const Config& config) {
  cJpeg settings;  // the tables and sampling to match
  Configure(settings, config);
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = static_cast<JDIMENSION>(pic.Width());
  cinfo.image_height = static_cast<JDIMENSION>(pic.Height());
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, config.grey ? JCS_GRAYSCALE : JCS_YCbCr);
  unsigned int tables[2][64];
  for (int t = 0; t < 2; ++t) {
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        tables[t][y * 8 + x] = static_cast<unsigned>(settings.QTable(t).Qk[static_cast<size_t>(
            settings.ZigZag()[static_cast<size_t>(x)][static_cast<size_t>(y)])]);
      }
    }
  }
  for (int c = 0; c < settings.Components(); ++c) {
    cinfo.comp_info[c].h_samp_factor = settings.Component(c).Hi;
    cinfo.comp_info[c].v_samp_factor = settings.Component(c).Vi;
  }
  jpeg_add_quant_table(&cinfo, 0, tables[0], 100, TRUE);
  jpeg_add_quant_table(&cinfo, 1, tables[1], 100, TRUE);
  cinfo.dct_method = JDCT_FLOAT;
  cinfo.optimize_coding = TRUE;
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = pic.Row(static_cast<int32_t>(cinfo.next_scanline));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<unsigned char> result(out, out + outSize);
  jpeg_destroy_compress(&cinfo);
  free(out);
  return result;
}

void BM_libjpeg(benchmark::State& state, int32_t width, Config config) {
  const Picture& pic = Photo(width);
  size_t bytes = 0;
  for (auto _ : state) {
    const auto out = LibjpegEncode(pic, config);
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  const double pixels = double(pic.Width()) * pic.Height();
  state.counters["MP"] = pixels / 1e6;
  state.counters["bytes"] = double(bytes);
}

// Collects each run's rate and size for the comparison printed at the end.
class Reporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) {
        continue;
      }
      // Megapixels per CPU second: on a shared machine wall time says more about the
      // neighbours than about the encoder.
      const auto mp = r.counters.find("MP");
      const auto bytes = r.counters.find("bytes");
      if (mp == r.counters.end() || r.iterations == 0 || r.cpu_accumulated_time <= 0) {
        continue;
      }
      const double secondsPerIteration = r.cpu_accumulated_time / static_cast<double>(r.iterations);
      results[r.benchmark_name()] = {mp->second.value / secondsPerIteration, bytes->second.value};
    }
  }
  std::map<std::string, std::pair<double, double>> results;
};

// Resident memory from /proc/self/status (kB), e.g. "VmRSS:" or "VmHWM:".
long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      return std::stol(line.substr(std::strlen(key)));
    }
  }
  return -1;
}

// Peak resident memory one SampleHDC + SaveFile adds beyond what is resident before it
// (the source picture included there), in bytes per source pixel: free heap pages are
// given back first and the high-water mark is reset, so the peak counts pages the
// encode touches. -1 when the kernel offers no reset.
double PeakBytesPerPixel(int32_t width, const Config& config) {
  const Picture& pic = Photo(width);
  const std::string path = TempFolder() + "/okuva_bench_mem_" + std::to_string(::getpid()) + ".jpg";
  malloc_trim(0);
  {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";
    if (!reset.flush()) {
      return -1;
    }
  }
  const long before = StatusKb("VmRSS:");
  {
    cJpeg jpeg;
    Configure(jpeg, config);
    if (jpeg.SampleHDC(pic.Dc(), pic.Width(), pic.Height(), 0, 0) != 0) {
      return -1;
    }
    if (jpeg.SaveFile(path) != 0) {
      return -1;
    }
  }
  const long peak = StatusKb("VmHWM:");
  std::filesystem::remove(path);
  if (before < 0 || peak < 0) {
    return -1;
  }
  return 1024.0 * static_cast<double>(peak - before) / (double(pic.Width()) * pic.Height());
}

}  // namespace

int main(int argc, char** argv) {
  const std::pair<const char*, Config> configs[] = {{"colour_2x2_q75", {false, 75}},
                                                    {"grey_q75", {true, 75}}};
  for (int32_t width : {2560, 640}) {
    for (const auto& [name, config] : configs) {
      std::string suffix = "/";
      suffix += name;
      suffix += "/";
      suffix += std::to_string(width);
      std::string ours = "cJpeg";
      ours += suffix;
      std::string theirs = "libjpeg";
      theirs += suffix;
      benchmark::RegisterBenchmark(ours.c_str(), BM_cJpeg, width, config)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(theirs.c_str(), BM_libjpeg, width, config)
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  // Decode and scale the photographs before any timing starts.
  Photo(2560);
  Photo(640);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nMegapixels per CPU second\n%-22s %10s %10s %8s %10s\n", "case", "cJpeg", "libjpeg",
              "speed", "size ratio");
  for (const auto& [name, ours] : reporter.results) {
    if (name.rfind("cJpeg", 0) != 0) {
      continue;
    }
    const auto theirs = reporter.results.find("libjpeg" + name.substr(5));
    if (theirs == reporter.results.end()) {
      continue;
    }
    std::printf("%-22s %10.2f %10.2f %7.2fx %9.4f\n", name.substr(6).c_str(), ours.first,
                theirs->second.first, ours.first / theirs->second.first,
                ours.second / theirs->second.second);
  }
  std::printf("\nPeak memory of one cJpeg encode beyond the source (bytes per pixel)\n");
  for (int32_t width : {2560, 640}) {
    for (const auto& [name, config] : configs) {
      std::printf("%-22s %10.2f\n", (std::string(name) + "/" + std::to_string(width)).c_str(),
                  PeakBytesPerPixel(width, config));
    }
  }
  benchmark::Shutdown();
  return 0;
}
