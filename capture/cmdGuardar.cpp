// The save command: the frozen picture in Picture2 as a JPEG file of quality 90, under a
// name the operator chooses (proposed: RuvoDiro.jpg in the program's folder); then,
// when ticked, the still's iris record beside it.
#include <string>

#include "capture/frmCapturarImagen.h"
#include "capture/record_options.h"
#include "platform/qt/picture_box.h"
#include "platform/runtime/program.h"
#include "saving/jpeg_export.h"
#include "saving/save_file_dialog.h"
#include "surface/cdibsection.h"

namespace okuva {

void frmCapturarImagen::cmdGuardar_Click() {
  cDIBSection cDib;
  cDib.CreateFromPicture(Picture2->Picture());

  std::string sFileName = ProgramFolder() + "/RuvoDiro.jpg";
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
  SaveDIBAsJPG(cDib, sFileName, 90);
  // Only once the JPEG is written: the iris record beside it, when asked for.
  recordOptions_->AfterSave(Picture2->Shown(), sFileName);
}

}  // namespace okuva
