// frmCapturarImagen: the station's only window. The live picture of the camera shows in
// Picture1, "Capturar" freezes the current frame into Picture2 through the clipboard,
// "Grabar" writes the frozen picture as a JPEG file, "Formato" and "Configurar" open the
// capture driver's dialogs. Opening the window starts the capture, closing it stops the
// capture and ends the program.
#pragma once

#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "platform/gdi/gdi.h"

class QLabel;
class QPushButton;

namespace okuva {

class AidsPanel;

namespace camera {
struct Frame;
}
class RecordOptions;

namespace qt {
class FramePlacement;
class PictureBox;
}// namespace qt

// Where Form_Resize puts the window: a twenty-ninth of the free space from the screen's
// top-left corner, all in twips; negative when the window is larger than the screen.
std::pair<int32_t, int32_t> PlaceOnScreen(int32_t screenWidth, int32_t screenHeight,
                                          int32_t windowWidth, int32_t windowHeight);

// The text of the message box that reports an error which left a handler.
std::string UnhandledErrorText(int32_t number, const std::string& description);

// The folder "Grabar" proposes RuvoDiro.jpg in: the program's folder when this user may
// write there; otherwise (an installed program) the user's pictures folder, else the
// home folder, whichever is a folder this user may write; else the program's folder
// all the same. Empty candidates are skipped.
std::string SaveProposalFolder(const std::string& programFolder, const std::string& picturesFolder,
                               const std::string& homeFolder);
// The user's pictures folder (XDG_PICTURES_DIR of the user's directories, as the desktop
// knows it) and home folder.
std::string PicturesFolder();
std::string HomeFolder();

class frmCapturarImagen : public QWidget {
  Q_OBJECT

public:
  // Builds the window as designed (caption "Form1"); nothing runs until Load.
  frmCapturarImagen();
  ~frmCapturarImagen() override;

  // Loads the window: runs Form_Load under the window's error handling.
  void Load();

  // Runs an event handler as the window runtime does: an error that leaves it is shown
  // with its number and description in a message box and the program goes on.
  void Run(const std::function<void()>& handler);

  // What "end the program" does; by default it leaves the application's event loop.
  void SetEndProgram(std::function<void()> endProgram) { endProgram_ = std::move(endProgram); }

  // The window's handle (owner of the save dialog) and Picture1's (parent of the capture
  // window).
  gdi::HWND hWnd();

  // Event handlers; they raise errors as they meet them (Run reports them).
  void Form_Load();
  void Form_Resize();  // ignores every error of its own
  void Form_Unload(int16_t& Cancel);
  void Command1_Click();  // start action
  void Command2_Click();  // stop action
  void Command3_Click();  // "Formato"
  void Command4_Click();  // "Configurar"
  void cmdCapturar_Click();
  void cmdGuardar_Click();
  // The camera went away during the preview: the capture stops and the operator is told.
  void CapWnd_DeviceLost();
  // The capture window found the camera again and resumed the preview.
  void CapWnd_DeviceRestored();
  // The automatic capture's "Capturar": `frame` instead of the newest one goes the
  // clipboard's way into Picture2. True when Picture2 shows it.
  bool AutoCapture(const camera::Frame& frame);

  // The capture aids beside the designed controls.
  AidsPanel* Aids() const { return aids_; }
  // "Guardado: <ruta>" under the still for a few seconds after a save.
  QLabel* SaveStatus() const { return saveStatus_; }
  static constexpr int kSaveStatusMs = 6000;

  QLabel* Label1;
  QLabel* Label2;
  qt::PictureBox* Picture1;
  qt::PictureBox* Picture2;
  QPushButton* cmdCapturar;
  QPushButton* cmdGuardar;
  QPushButton* Command3;
  QPushButton* Command4;
  QPushButton* Command1;
  QPushButton* Command2;

protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  // The eye and the record written beside the JPEG (see record_options.h).
  RecordOptions* recordOptions_ = nullptr;

  // What follows every "Capturar": the best focus starts again, the still is judged.
  void AfterCapture();
  void ShowSaved(const std::string& path);
  // Under the still, or along the window's foot when the still reaches below it.
  void PlaceSaveStatus();

  AidsPanel* aids_ = nullptr;
  QLabel* saveStatus_ = nullptr;
  QTimer* saveStatusTimer_ = nullptr;
  std::function<void()> endProgram_;
  // Form_Resize places the window by its frame, also before a window manager framed it.
  qt::FramePlacement* framePlacement_ = nullptr;
};

}  // namespace okuva
