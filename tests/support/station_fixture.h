// Shared pieces of the window tests: a headless application, scripted message boxes and
// save dialogs, cameras made to order, and a helper that answers the next modal window.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/camera/simulated_camera.h"
#include "platform/qt/capture_window.h"
#include "platform/qt/qt_services.h"
#include "platform/runtime/services.h"
#include "saving/save_file_dialog.h"

namespace okuva::testing {

// A home and XDG folders of the test's own, so nothing of the operator's is read or
// written; removed at exit. OKUVA_KEEP_HOME keeps the folders the caller gave.
inline void UseTemporaryHome() {
  if (std::getenv("OKUVA_KEEP_HOME") != nullptr) {
    return;
  }
  static const std::filesystem::path home = [] {
    char pattern[] = "/tmp/okuva-home-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return std::filesystem::path(made != nullptr ? made : "/tmp");
  }();
  static const struct Remover {
    ~Remover() {
      std::error_code ignored;
      if (home != "/tmp") {
        std::filesystem::remove_all(home, ignored);
      }
    }
  } remover;
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
  setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
  setenv("XDG_STATE_HOME", (home / ".local/state").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
}

inline QApplication& App() {
  static int argc = 1;
  static char name[] = "test_capture";
  static char* argv[] = {name, nullptr};
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  if (qApp == nullptr) {
    UseTemporaryHome();
  }
  static QApplication* app = [] {
    auto* made = new QApplication(argc, argv);
    qt::InstallSpanishTranslations();  // as the station runs
    return made;
  }();
  return *app;
}

struct ShownMessage {
  std::string text;
  MessageIcon icon;
  std::string title;
};

// Records every message box instead of showing it.
class RecordedMessages : public MessageBoxService {
public:
  void Show(const std::string& text, MessageIcon icon, const std::string& title) override {
    shown.push_back({text, icon, title});
  }
  int Count(const std::string& text) const {
    int n = 0;
    for (const ShownMessage& m : shown) {
      n += m.text == text ? 1 : 0;
    }
    return n;
  }
  std::vector<ShownMessage> shown;
};

// Answers save dialogs as told: a path to confirm, or cancel when `answer` is empty.
class ScriptedSaveDialog : public SaveFileDialogBackend {
public:
  int GetSaveFileNameA(OPENFILENAME& ofn) override {
    asked.push_back(ofn);
    if (answer.empty()) {
      return 0;
    }
    ofn.lpstrFile = answer + std::string(ofn.nMaxFile - answer.size(), '\0');
    const std::string title = answer.substr(answer.rfind('/') + 1);
    ofn.lpstrFileTitle = title + std::string(ofn.nMaxFileTitle - title.size(), '\0');
    return 1;
  }
  std::string answer;
  std::vector<OPENFILENAME> asked;
};

// A simulated camera that delivers exactly one new frame per poll.
inline std::unique_ptr<camera::SimulatedCamera> StepCamera() {
  camera::SimulatedCamera::Options options;
  options.framePerPoll = true;
  options.settleFrames = 0;
  return std::make_unique<camera::SimulatedCamera>(options);
}

// Answers the next modal window that opens (found by polling the event loop), once.
// Stops looking when it goes out of scope.
class ModalAnswer {
public:
  explicit ModalAnswer(std::function<void(QWidget*)> answer)
      : ran_(std::make_shared<bool>(false)), timer_(std::make_unique<QTimer>()) {
    timer_->setInterval(5);
    QTimer* timer = timer_.get();
    QObject::connect(timer, &QTimer::timeout, timer,
                     [timer, ran = ran_, answer = std::move(answer)] {
                       QWidget* modal = QApplication::activeModalWidget();
                       if (modal == nullptr || *ran) {
                         return;
                       }
                       *ran = true;
                       timer->stop();
                       answer(modal);
                     });
    timer_->start();
  }
  bool Ran() const { return *ran_; }

private:
  std::shared_ptr<bool> ran_;
  std::unique_ptr<QTimer> timer_;
};

// Processes events until `done` holds or the time runs out; true when it held.
inline bool WaitFor(const std::function<bool()>& done, int milliseconds = 3000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) {
      return false;
    }
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

}  // namespace okuva::testing
