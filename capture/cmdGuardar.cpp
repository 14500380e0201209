// The save command: the frozen picture in Picture2 as a JPEG file of quality 90, under a
// name the operator chooses (proposed: RuvoDiro.jpg in the program's folder, or in the
// user's pictures folder when the program's folder cannot be written); then, when
// ticked, the still's iris record beside it.
#include <unistd.h>

#include <QDir>
#include <QStandardPaths>
#include <string>
#include <sys/stat.h>

#include "capture/frmCapturarImagen.h"
#include "capture/record_options.h"
#include "platform/qt/picture_box.h"
#include "platform/runtime/program.h"
#include "saving/jpeg_export.h"
#include "saving/save_file_dialog.h"
#include "surface/cdibsection.h"

namespace okuva {
namespace {

// A folder this user may create files in.
bool WritableFolder(const std::string& folder) {
  struct stat st {};
  return !folder.empty() && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         ::access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

std::string SaveProposalFolder(const std::string& programFolder, const std::string& picturesFolder,
                               const std::string& homeFolder) {
  // An installed program lives in a folder its users cannot write (/usr/bin, /opt):
  // there the proposal would always fail, so it goes where a Linux user keeps pictures.
  for (const std::string* folder : {&programFolder, &picturesFolder, &homeFolder}) {
    if (WritableFolder(*folder)) {
      return *folder;
    }
  }
  return programFolder;
}

std::string PicturesFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::PicturesLocation).toStdString();
}

std::string HomeFolder() { return QDir::homePath().toStdString(); }

void frmCapturarImagen::cmdGuardar_Click() {
  cDIBSection cDib;
  cDib.CreateFromPicture(Picture2->Picture());

  std::string sFileName =
      SaveProposalFolder(ProgramFolder(), PicturesFolder(), HomeFolder()) + "/RuvoDiro.jpg";
  std::string sFileTitle;
  int16_t bOverwritePrompt = -1;
  std::string sFilter = "JPEG Files (*.JPG)|*.JPG|All Files (*.*)|*.*";
  int32_t lFilterIndex = 1;
  std::string sInitDir;
  std::string sDlgTitle;
  std::string sDefaultExt = "JPG";
  gdi::HWND hWndOwner = hWnd();
  int32_t lFlags = 0;
  if (!SaveFileDialog(sFileName, sFileTitle, bOverwritePrompt, sFilter, lFilterIndex, sInitDir,
                      sDlgTitle, sDefaultExt, hWndOwner, lFlags)) {
    return;
  }
  if (!SaveDIBAsJPG(cDib, sFileName, 90)) {
    return;
  }
  ShowSaved(sFileName);
  // Only once the JPEG is written: the iris record beside it, when asked for.
  recordOptions_->AfterSave(Picture2->Shown(), sFileName);
}

}  // namespace okuva
