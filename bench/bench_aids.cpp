// CPU cost of the capture aids per previewed frame: the focus score of the central
// region and the grey histogram with its exposure figures, at 640x480 and 1280x720
// frames of the simulated eye (rendered outside the timed region).
#include "capture/aids/exposure.h"
#include "capture/aids/focus_meter.h"
#include "capture/aids/target_ring.h"
#include "platform/camera/simulated_camera.h"

#include <benchmark/benchmark.h>

namespace {

using namespace okuva;

camera::Frame EyeFrame(int64_t lines) {
  camera::SimulatedCamera camera;
  if (lines == 720) {
    camera.SetFormat({camera::SimulatedCamera::kFourcc, 1280, 720, {1, 30}});
  }
  return camera.RenderFrame(1);
}

void BM_FocusMeter(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0));
  aids::FocusMeter meter;
  for (auto _ : state) {
    benchmark::DoNotOptimize(meter.Measure(frame));
  }
}
BENCHMARK(BM_FocusMeter)->Arg(480)->Arg(720)->Unit(benchmark::kMicrosecond);

void BM_Exposure(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0));
  for (auto _ : state) {
    const aids::Exposure e = aids::ExposureOf(aids::HistogramOf(frame));
    benchmark::DoNotOptimize(e);
  }
}
BENCHMARK(BM_Exposure)->Arg(480)->Arg(720)->Unit(benchmark::kMicrosecond);

// Everything the aids do with one frame of the live picture.
void BM_AllAids(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0));
  aids::FocusMeter meter;
  for (auto _ : state) {
    benchmark::DoNotOptimize(meter.Measure(frame));
    const aids::Exposure e = aids::ExposureOf(aids::HistogramOf(frame));
    benchmark::DoNotOptimize(e);
    const aids::TargetRing ring = aids::TargetRingFor(frame.width, frame.height);
    benchmark::DoNotOptimize(ring);
  }
}
BENCHMARK(BM_AllAids)->Arg(480)->Arg(720)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
