// CPU cost per 640x480 frame of the camera layer: the simulated camera rendering its
// eye (sharp and out of focus) and the V4L2 camera converting what a webcam delivers
// (YUYV and Motion-JPEG, through libv4lconvert) into the RGB frame the preview shows.
// The fake device fills its buffers outside the timed region.
#include "platform/camera/simulated_camera.h"
#include "platform/camera/v4l2_camera.h"
#include "tests/support/fake_uvc_device.h"

#include <benchmark/benchmark.h>

#include <linux/videodev2.h>

namespace {

using namespace okuva::camera;

void BM_SimulatedFrame(benchmark::State& state) {
  SimulatedCamera camera;
  if (state.range(0) == 720) {
    camera.SetFormat({SimulatedCamera::kFourcc, 1280, 720, {1, 30}});
  }
  camera.SetControl(SimulatedCamera::kFocusId,
                    static_cast<int32_t>(SimulatedCamera::kBestFocus + state.range(1)));
  uint64_t index = 0;
  for (auto _ : state) {
    Frame frame = camera.RenderFrame(index++);
    benchmark::DoNotOptimize(frame.rgb.data());
  }
}
// Lines, focus distance from the best value (0 = sharp, 64 = 2 px blur radius at 480 lines).
BENCHMARK(BM_SimulatedFrame)
    ->Args({480, 0})
    ->Args({480, 64})
    ->Args({720, 64})
    ->Unit(benchmark::kMillisecond);

// The operator turning the focus: every frame has a new focus value, so the still is
// blurred again each time (the cost of one focus step, not of steady preview).
void BM_SimulatedFocusChange(benchmark::State& state) {
  SimulatedCamera camera;
  camera.RenderFrame(0);
  int32_t step = 0;
  for (auto _ : state) {
    camera.SetControl(SimulatedCamera::kFocusId, SimulatedCamera::kBestFocus + 32 + (step++ % 64));
    Frame frame = camera.RenderFrame(0);
    benchmark::DoNotOptimize(frame.rgb.data());
  }
}
BENCHMARK(BM_SimulatedFocusChange)->Unit(benchmark::kMillisecond);

void BM_V4l2ConvertedFrame(benchmark::State& state) {
  auto fake = std::make_shared<FakeUvcDevice>();
  fake->AddWebcam("/dev/video0");
  V4l2Camera camera("/dev/video0", fake);
  camera.SetSettleFrames(0);
  const uint32_t fourcc = state.range(0) ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
  const auto granted =
      camera.Start() ? camera.SetFormat({fourcc, 640, 480, {1, 30}}) : std::nullopt;
  if (!granted || granted->fourcc != fourcc || granted->width != 640) {
    state.SkipWithError("fake camera did not start in the format asked for");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    fake->DeliverFrames("/dev/video0");
    state.ResumeTiming();
    if (!camera.Poll()) {
      state.SkipWithError("no frame");
      break;
    }
    benchmark::DoNotOptimize(camera.Latest().rgb.data());
  }
}
// 0 = YUYV, 1 = Motion-JPEG (the fake's test picture is smooth, so its JPEG decodes
// faster than a camera's would).
BENCHMARK(BM_V4l2ConvertedFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
