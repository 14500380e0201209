// Batch judgement of an archive of 640 x 480 JPEG captures (simulated eyes, the eye
// wandering from frame to frame): `okuva-tool quality --csv` as a whole process at 1
// and 2 jobs (wall-clock pictures per second, process start and the folder walk
// included), beside the per-picture cost of what each job does, reading the file and
// judging it, and of the judgement alone.
#include <turbojpeg.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "iris/quality.h"
#include "platform/camera/simulated_camera.h"
#include "tools/okuva_tool/quality_common.h"

namespace {

using namespace okuva;
namespace fs = std::filesystem;

constexpr int kPictures = 96;

// The archive, made once per process in a temporary folder removed at exit.
class Archive {
public:
  Archive() {
    std::string pattern = (fs::temp_directory_path() / "okuva-batch-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    dir_ = pattern;
    fs::create_directory(dir_ / "captures");
    camera::SimulatedCamera camera;
    tjhandle h = tjInitCompress();
    for (int i = 0; i < kPictures; ++i) {
      const camera::Frame frame = camera.RenderFrame(static_cast<uint64_t>(i) * 7);
      unsigned char* jpeg = nullptr;
      unsigned long size = 0;
      if (tjCompress2(h, frame.rgb.data(), frame.width, frame.width * 3, frame.height, TJPF_RGB,
                      &jpeg, &size, TJSAMP_420, 90, 0) != 0) {
        std::abort();
      }
      char name[32];
      std::snprintf(name, sizeof name, "eye-%03d.jpg", i);
      std::ofstream(dir_ / "captures" / name, std::ios::binary)
          .write(reinterpret_cast<const char*>(jpeg), long(size));
      tjFree(jpeg);
    }
    tjDestroy(h);
  }
  ~Archive() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path Folder() const { return dir_ / "captures"; }
  fs::path Csv() const { return dir_ / "out.csv"; }
  std::string Picture(int i) const {
    char name[32];
    std::snprintf(name, sizeof name, "eye-%03d.jpg", i % kPictures);
    return (Folder() / name).string();
  }

private:
  fs::path dir_;
};

const Archive& TheArchive() {
  static const Archive archive;
  return archive;
}

void BM_BatchProcess(benchmark::State& state) {
  const Archive& a = TheArchive();
  const std::string command = std::string("'") + OKUVA_TOOL_PATH + "' quality --csv '" +
                              a.Csv().string() + "' --jobs " + std::to_string(state.range(0)) +
                              " '" + a.Folder().string() + "' >/dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("okuva-tool quality --csv failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * kPictures);
}
BENCHMARK(BM_BatchProcess)
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);

// What one job spends on a picture: the tool's own reading, grey conversion and judgement.
void BM_ReadAndAssess(benchmark::State& state) {
  const Archive& a = TheArchive();
  int i = 0;
  for (auto _ : state) {
    const tool::Canvas picture = tool::ReadCanvas(a.Picture(i++));
    benchmark::DoNotOptimize(iris::Assess(tool::GreyOf(picture).View()).pass);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadAndAssess)->Unit(benchmark::kMillisecond);

void BM_AssessOnly(benchmark::State& state) {
  const Archive& a = TheArchive();
  std::vector<iris::GreyImage> greys;
  for (int i = 0; i < kPictures; ++i) {
    greys.push_back(tool::GreyOf(tool::ReadCanvas(a.Picture(i))));
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(iris::Assess(greys[i++ % greys.size()].View()).pass);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AssessOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
