// okuva: the capture station. Starts the window on the first video-capture device, or on
// the simulated camera where the machine has none.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "capture/frmCapturarImagen.h"
#include "platform/capture/camera.h"
#include "platform/qt/qt_services.h"

namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "okuva: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are "
                 "unset).\nRun it under a virtual display, for example:\n"
                 "  xvfb-run -a %s\n",
                 argc > 0 ? argv[0] : "build/release/app/okuva");
    return 1;
  }
  // Without any capture device the station still runs, on the built-in camera.
  const char* chosen = std::getenv("OKUVA_CAMERA");
  if ((chosen == nullptr || *chosen == '\0') && !okuva::camera::OpenDefaultCamera()) {
    setenv("OKUVA_CAMERA", "simulated", 1);
    std::printf("okuva: no video capture device found; using the simulated camera\n");
    std::fflush(stdout);
  }

  QApplication app(argc, argv);
  okuva::qt::InstallQtServices();
  okuva::frmCapturarImagen form;
  form.Load();
  form.show();
  return app.exec();
}
