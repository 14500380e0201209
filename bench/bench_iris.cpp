// CPU cost of the iris analysis: the live look at a 640 x 480 frame and the judgement
// of a 1280 x 720 still, both from the frame's RGB bytes (grey conversion included),
// on the simulated eye in daylight and in near-infrared (rendered outside the timed
// region). The capture aids' focus meter on the same frame runs alongside as the
// yardstick of what the preview already spends per frame. Then the iris template of a
// frame (circles and mask included) and one comparison of two templates with its
// rotation search, whose rate is the comparisons one core does per second.
#include "capture/aids/focus_meter.h"
#include "iris/iris_code.h"
#include "iris/quality.h"
#include "platform/capture/simulated_camera.h"

#include <benchmark/benchmark.h>

namespace {

using namespace okuva;

camera::Frame EyeFrame(int64_t lines, bool nearInfrared) {
  camera::SimulatedCamera::Eye eye;
  eye.nearInfrared = nearInfrared;
  camera::SimulatedCamera camera({}, eye);
  if (lines == 720) camera.SetFormat({camera::SimulatedCamera::kFourcc, 1280, 720, {1, 30}});
  return camera.RenderFrame(1);
}

void BM_IrisAssess(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0), state.range(1) != 0);
  for (auto _ : state) {
    const iris::GreyImage grey = iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3);
    const iris::Quality q = iris::Assess(grey.View());
    benchmark::DoNotOptimize(q.pass);
  }
}
BENCHMARK(BM_IrisAssess)->Args({480, 0})->Args({480, 1})->Args({720, 0})->Args({720, 1})->Unit(benchmark::kMillisecond);

void BM_IrisCirclesOnly(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0), false);
  const iris::GreyImage grey = iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3);
  for (auto _ : state) benchmark::DoNotOptimize(iris::FindCircles(grey.View()).iris.has_value());
}
BENCHMARK(BM_IrisCirclesOnly)->Arg(480)->Arg(720)->Unit(benchmark::kMillisecond);

void BM_FocusMeterYardstick(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0), false);
  aids::FocusMeter meter;
  for (auto _ : state) benchmark::DoNotOptimize(meter.Measure(frame));
}
BENCHMARK(BM_FocusMeterYardstick)->Arg(480)->Arg(720)->Unit(benchmark::kMillisecond);

void BM_IrisTemplate(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0), state.range(1) != 0);
  for (auto _ : state) {
    const iris::GreyImage grey = iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3);
    benchmark::DoNotOptimize(iris::EncodePicture(grey.View()));
  }
}
BENCHMARK(BM_IrisTemplate)->Args({480, 0})->Args({480, 1})->Args({720, 0})->Unit(benchmark::kMillisecond);

// Two takes of one seeded eye, the second turned and moved.
void BM_IrisCompare(benchmark::State& state) {
  auto encode = [](double turn, uint64_t index) {
    camera::SimulatedCamera::Eye eye;
    eye.textureSeed = 9;
    eye.irisTurn = turn;
    camera::SimulatedCamera camera({}, eye);
    const camera::Frame frame = camera.RenderFrame(index);
    const iris::GreyImage grey = iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3);
    return iris::EncodePicture(grey.View()).value_or(iris::IrisCode{});
  };
  const iris::IrisCode a = encode(0, 0), b = encode(6, 40);
  for (auto _ : state) benchmark::DoNotOptimize(iris::CompareIrisCodes(a, b));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IrisCompare)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
