// Cost of the live preview and of a capture: CPU time to take one 640 x 480 frame from
// the camera into the 320 x 240 capture window (poll, convert, scale, paint), and the
// delay from "Capturar" to the still showing in Picture2. Runs headless (offscreen).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPainter>
#include <QPushButton>
#include <cstdlib>
#include <ctime>

#include "capture/frmCapturarImagen.h"
#include "capture/mdlCapturarImagen.h"
#include "platform/camera/simulated_camera.h"
#include "platform/qt/capture_window.h"
#include "platform/qt/picture_box.h"
#include "platform/qt/window_handles.h"
#include "platform/runtime/services.h"

namespace {

using namespace okuva;

std::unique_ptr<camera::Camera> StepCamera() {
  camera::SimulatedCamera::Options options;
  options.framePerPoll = true;
  options.settleFrames = 0;
  return std::make_unique<camera::SimulatedCamera>(options);
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Camera frame rendering is the simulated device's own cost; it is measured apart so
// that the preview's share can be told from it.
void BM_SimulatedFrameOnly(benchmark::State& state) {
  auto camera = StepCamera();
  camera->Start();
  for (auto _ : state) {
    camera->Poll();
    benchmark::DoNotOptimize(camera->Latest().rgb.data());
  }
}
BENCHMARK(BM_SimulatedFrameOnly)->Unit(benchmark::kMillisecond);

// One previewed frame: dequeue, convert, scale to 320 x 240, paint into the window.
void BM_PreviewFrame640x480(benchmark::State& state) {
  QWidget parent;
  parent.resize(326, 245);
  qt::SetCameraFactory([] { return StepCamera(); });
  const gdi::HWND handle = qt::capCreateCaptureWindowA(
      "CapWindow", qt::WS_CHILD | qt::WS_VISIBLE, 0, 0, 320, 240, qt::WindowHandle(&parent), 0);
  int32_t zero = 0;
  qt::SendMessageA(handle, qt::WM_CAP_DRIVER_CONNECT, 0, &zero);
  qt::SendMessageA(handle, qt::WM_CAP_SET_SCALE, -1, &zero);
  qt::CaptureWindow* window = qt::CaptureWindowFromHandle(handle);
  QImage target(320, 240, QImage::Format_RGB32);
  double cpu = 0;
  for (auto _ : state) {
    const double before = CpuSeconds();
    window->PollFrame();
    window->render(&target);  // the paint the event loop would do
    cpu += CpuSeconds() - before;
  }
  state.counters["cpu_ms_per_frame"] = cpu * 1e3 / static_cast<double>(state.iterations());
  qt::DestroyWindow(handle);
  qt::SetCameraFactory(nullptr);
}
BENCHMARK(BM_PreviewFrame640x480)->Unit(benchmark::kMillisecond);

class SilentMessages : public MessageBoxService {
public:
  void Show(const std::string&, MessageIcon, const std::string&) override {}
};

// "Capturar" pressed until Picture2 holds the frame and has been painted.
void BM_CapturarToPicture2(benchmark::State& state) {
  SetMessageBoxService(std::make_shared<SilentMessages>());
  qt::SetCameraFactory([] { return StepCamera(); });
  frmCapturarImagen form;
  form.SetEndProgram([] {});
  form.Load();
  form.show();
  QImage target(form.Picture2->size(), QImage::Format_RGB32);
  for (auto _ : state) {
    form.cmdCapturar->click();
    form.Picture2->render(&target);
  }
  form.Command2_Click();
  qt::SetCameraFactory(nullptr);
}
BENCHMARK(BM_CapturarToPicture2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("DISPLAY") == nullptr && std::getenv("QT_QPA_PLATFORM") == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
