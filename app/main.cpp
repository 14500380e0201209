// okuva: the capture station. Starts the window on the first video-capture device
// (OKUVA_CAMERA=simulated: on the built-in simulated camera).
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

constexpr const char* kHelp =
    "Usage: okuva [-h | --help | -V | --version] [Qt options]\n\n"
    "The OKUVA capture station: photographs a human iris with a web camera, judges\n"
    "each still with the iris quality metrics and saves it as a JPEG.\n\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n\n"
    "Environment:\n"
    "  OKUVA_CAMERA   the camera to use: a V4L2 device such as /dev/video2, or\n"
    "                 \"simulated\" for the built-in simulated camera (default: the\n"
    "                 first video-capture device)\n";

}  // namespace

int main(int argc, char** argv) {
  // Answered before anything of Qt starts, so they work without a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
      std::printf("okuva %s\n", OKUVA_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
  }
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
  // The menu entry installed with the program: desktops take its name and icon for the window.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.okuva.Okuva"));
  okuva::qt::InstallSpanishTranslations();
  okuva::qt::InstallQtServices();
  okuva::qt::InstallQtSaveFileDialog();
  okuva::frmCapturarImagen form;
  form.Load();
  form.show();
  return app.exec();
}
