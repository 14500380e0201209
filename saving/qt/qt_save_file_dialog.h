// The save-file dialog on the desktop: a modal, non-native QFileDialog behind the
// dialog backend interface. Built with the window only; the rest of saving/ needs no Qt.
#pragma once

#include "saving/save_file_dialog.h"

namespace okuva::qt {

// The save dialog as a modal, non-native QFileDialog: the filter list becomes Qt's
// name filters (matched case-insensitively), the default extension is appended to a
// name typed without one and, with OFN_OVERWRITEPROMPT, replacing a file is confirmed
// first. A chosen path that does not fit the record's buffer is refused with a message
// and the operator chooses again.
class QtSaveFileDialog : public SaveFileDialogBackend {
public:
  int GetSaveFileNameA(OPENFILENAME& ofn) override;
};

// Installs QtSaveFileDialog as the save dialog's backend.
void InstallQtSaveFileDialog();

}  // namespace okuva::qt
