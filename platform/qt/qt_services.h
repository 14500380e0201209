// The desktop's implementations of the runtime's services: modal message boxes over
// QMessageBox and the clipboard over QClipboard. Install them once a QApplication
// exists (InstallQtServices). The save-file dialog's desktop backend lives with the
// dialog, in saving/qt.
#pragma once

#include <memory>
#include <string>

#include "platform/gdi/clipboard.h"
#include "platform/runtime/services.h"

namespace okuva::qt {

// Message boxes as modal QMessageBox windows with one OK button, owned by the active
// window; an empty title shows the application's default title.
class QtMessageBoxService : public MessageBoxService {
public:
  void Show(const std::string& text, MessageIcon icon, const std::string& title) override;
};

// The desktop clipboard: pictures travel as 32-bit images, so other programs can paste
// what we copy and we can take what they copied. Open never fails (the desktop
// clipboard is not locked by owners the way the classic one is).
class QtClipboardBackend : public gdi::ClipboardBackend {
public:
  bool Open() override;
  void Close() override;
  void Clear() override;
  bool SetImage(const gdi::ClipboardImage& image) override;
  std::optional<gdi::ClipboardImage> GetImage() override;
};

// Installs the two services above. Qt keeps nothing of ours between runs: the save
// dialog's history and the like are not written into the operator's folders.
void InstallQtServices();

// Qt's own texts (standard buttons, the file dialog, its questions) in Spanish, from
// Qt's translations (qtbase_es). False when they are not installed; English stays.
bool InstallSpanishTranslations();

}  // namespace okuva::qt
