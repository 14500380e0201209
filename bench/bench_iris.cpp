// CPU cost of the iris analysis: the live look at a 640 x 480 frame and the judgement
// of a 1280 x 720 still, both from the frame's RGB bytes (grey conversion included),
// on the simulated eye in daylight and in near-infrared (rendered outside the timed
// region), and a 200 x 200 close crop. The capture aids' focus meter on the same frame
// runs alongside as the yardstick of what the preview already spends per frame. Then the
// iris template of a frame (circles and mask included) and one comparison of two
// templates with its rotation search, whose rate is the comparisons one core does per
// second.
#include "capture/aids/focus_meter.h"
#include "iris/iris_code.h"
#include "iris/quality.h"
#include "platform/camera/simulated_camera.h"

#include <benchmark/benchmark.h>

namespace {

using namespace okuva;

camera::Frame EyeFrame(int64_t lines, bool nearInfrared) {
  camera::SimulatedCamera::Eye eye;
  eye.nearInfrared = nearInfrared;
  camera::SimulatedCamera camera({}, eye);
  if (lines == 720) {
    camera.SetFormat({camera::SimulatedCamera::kFourcc, 1280, 720, {1, 30}});
  }
  return camera.RenderFrame(1);
}

void BM_IrisAssess(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0), state.range(1) != 0);
  for (auto _ : state) {
    const iris::GreyImage grey =
        iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3);
    const iris::Quality q = iris::Assess(grey.View());
    benchmark::DoNotOptimize(q.pass);
  }
}
BENCHMARK(BM_IrisAssess)
    ->Args({480, 0})
    ->Args({480, 1})
    ->Args({720, 0})
    ->Args({720, 1})
    ->Unit(benchmark::kMillisecond);

void BM_IrisCirclesOnly(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0), false);
  const iris::GreyImage grey =
      iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(iris::FindCircles(grey.View()).iris.has_value());
  }
}
BENCHMARK(BM_IrisCirclesOnly)->Arg(480)->Arg(720)->Unit(benchmark::kMillisecond);

// A close crop such as an iris camera gives: the near-infrared eye halved and cut to
// 200 x 200, the iris about 110 pixels across.
void BM_IrisAssessCrop200(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(480, true);
  iris::GreyImage crop{200, 200, std::vector<uint8_t>(200 * 200)};
  const iris::GreyImage grey =
      iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3);
  for (int32_t y = 0; y < 200; ++y) {
    for (int32_t x = 0; x < 200; ++x) {
      const int32_t sx = 2 * x + 120, sy = 2 * y + 40;
      const int sum = grey.View().At(sx, sy) + grey.View().At(sx + 1, sy) +
                      grey.View().At(sx, sy + 1) + grey.View().At(sx + 1, sy + 1);
      crop.pixels[static_cast<size_t>(y) * 200 + x] = static_cast<uint8_t>(sum / 4);
    }
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(iris::Assess(crop.View()).pass);
  }
}
BENCHMARK(BM_IrisAssessCrop200)->Unit(benchmark::kMillisecond);

void BM_FocusMeterYardstick(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0), false);
  aids::FocusMeter meter;
  for (auto _ : state) {
    benchmark::DoNotOptimize(meter.Measure(frame));
  }
}
BENCHMARK(BM_FocusMeterYardstick)->Arg(480)->Arg(720)->Unit(benchmark::kMillisecond);

void BM_IrisTemplate(benchmark::State& state) {
  const camera::Frame frame = EyeFrame(state.range(0), state.range(1) != 0);
  for (auto _ : state) {
    const iris::GreyImage grey =
        iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3);
    benchmark::DoNotOptimize(iris::EncodePicture(grey.View()));
  }
}
BENCHMARK(BM_IrisTemplate)
    ->Args({480, 0})
    ->Args({480, 1})
    ->Args({720, 0})
    ->Unit(benchmark::kMillisecond);

// Two takes of one seeded eye, the second turned and moved.
void BM_IrisCompare(benchmark::State& state) {
  auto encode = [](double turn, uint64_t index) {
    camera::SimulatedCamera::Eye eye;
    eye.textureSeed = 9;
    eye.irisTurn = turn;
    camera::SimulatedCamera camera({}, eye);
    const camera::Frame frame = camera.RenderFrame(index);
    const iris::GreyImage grey =
        iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, frame.width * 3);
    return iris::EncodePicture(grey.View()).value_or(iris::IrisCode{});
  };
  const iris::IrisCode a = encode(0, 0), b = encode(6, 40);
  for (auto _ : state) {
    benchmark::DoNotOptimize(iris::CompareIrisCodes(a, b));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IrisCompare)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
