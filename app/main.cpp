// okuva: the capture station. Starts the window on the first video-capture device
// (OKUVA_CAMERA=simulated: on the built-in simulated camera).
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "capture/frmCapturarImagen.h"
#include "platform/qt/qt_services.h"
#include "saving/qt/qt_save_file_dialog.h"

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
  // Without a capture device the window says "No hay Camara Web"; the simulated camera
  // runs only when asked for (OKUVA_CAMERA=simulated, as scripts/run.sh does).
  QApplication app(argc, argv);
  okuva::qt::InstallSpanishTranslations();
  okuva::qt::InstallQtServices();
  okuva::qt::InstallQtSaveFileDialog();
  okuva::frmCapturarImagen form;
  form.Load();
  form.show();
  return app.exec();
}
