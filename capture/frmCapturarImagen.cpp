#include "capture/frmCapturarImagen.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <algorithm>
#include <cmath>
#include <exception>
#include <new>

#include "capture/aids_panel.h"
#include "capture/iris_aids.h"
#include "capture/mdlCapturarImagen.h"
#include "capture/record_options.h"
#include "platform/gdi/clipboard.h"
#include "platform/qt/capture_window.h"
#include "platform/qt/frame_placement.h"
#include "platform/qt/picture_box.h"
#include "platform/qt/window_handles.h"
#include "platform/runtime/checked.h"
#include "platform/runtime/error.h"
#include "platform/runtime/services.h"

namespace okuva {
namespace {

using mdlCapturarImagen::bConectado;
using mdlCapturarImagen::hCapWnd;

// Design lengths are in twips; at 96 dots per inch a pixel is 15 of them.
constexpr int kTwipsPerPixel = 15;
constexpr int Px(int twips) { return twips / kTwipsPerPixel; }

const QColor kFormBackground(255, 192, 128);  // &H0080C0FF
const QColor kLabelBackground(128, 64, 0);    // &H00004080
const QColor kLabelText(255, 255, 255);

constexpr int32_t kCaptureWidth = 320;
constexpr int32_t kCaptureHeight = 240;
constexpr intptr_t kPreviewRateMs = 30;
constexpr int32_t kErrInternal = 51;

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, int left, int top, int width,
                  int height) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(QString::fromUtf8(name));
  label->setGeometry(Px(left), Px(top), Px(width), Px(height));
  QFont font(QStringLiteral("Arial"));
  font.setPointSizeF(9.75);
  font.setWeight(QFont::Bold);
  font.setItalic(false);
  font.setUnderline(false);
  font.setStrikeOut(false);
  label->setFont(font);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  label->setAutoFillBackground(true);
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, kLabelBackground);
  palette.setColor(QPalette::WindowText, kLabelText);
  label->setPalette(palette);
  return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, const char* tooltip,
                        int left, int top, int width, int height) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(QString::fromUtf8(name));
  button->setGeometry(Px(left), Px(top), Px(width), Px(height));
  if (tooltip != nullptr) {
    button->setToolTip(QString::fromUtf8(tooltip));
  }
  // The buttons keep the system's own font and look, not the form's palette.
  button->setAutoFillBackground(false);
  return button;
}

qt::PictureBox* MakePictureBox(QWidget* parent, const char* name, int left, int top, int width,
                               int height) {
  auto* box = new qt::PictureBox(parent);
  box->setObjectName(QString::fromUtf8(name));
  box->setGeometry(Px(left), Px(top), Px(width), Px(height));
  return box;
}

// The window's own 32 x 32 icon in the sixteen classic colours: an open eye.
QIcon MakeIcon() {
  QImage image(32, 32, QImage::Format_Indexed8);
  const QVector<QRgb> classic = {
      qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
      qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
      qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
      qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
  image.setColorTable(classic);
  constexpr uint kSkin = 11, kWhite = 15, kIris = 6, kPupil = 0, kLid = 1;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      const double dx = x - 15.5;
      const double dy = y - 15.5;
      // Almond: two arcs meeting at the corners of the eye.
      const double lid = 9.0 * (1.0 - (dx * dx) / (15.0 * 15.0));
      const double r = std::sqrt(dx * dx + dy * dy);
      uint colour = kSkin;
      if (std::abs(dy) <= lid) {
        colour = kWhite;
        if (r <= 7.5) {
          colour = kIris;
        }
        if (r <= 3.5) {
          colour = kPupil;
        }
        if (dx > 1 && dx < 3.5 && dy < -1 && dy > -3.5) {
          colour = kWhite;  // highlight
        }
      } else if (std::abs(dy) <= lid + 1.5) {
        colour = kLid;
      }
      image.setPixel(x, y, colour);
    }
  }
  return QIcon(QPixmap::fromImage(image));
}

}  // namespace

std::pair<int32_t, int32_t> PlaceOnScreen(int32_t screenWidth, int32_t screenHeight,
                                          int32_t windowWidth, int32_t windowHeight) {
  const int32_t dx = CLng(static_cast<float>(screenWidth) - static_cast<float>(windowWidth));
  const int32_t dy = CLng(static_cast<float>(screenHeight) - static_cast<float>(windowHeight));
  return {dx / 29, dy / 29};  // integer division, toward zero
}

std::string UnhandledErrorText(int32_t number, const std::string& description) {
  return "Se ha producido el error '" + std::to_string(number) + "' en tiempo de ejecución:\n\n" +
         description;
}

frmCapturarImagen::frmCapturarImagen() : endProgram_([] { QCoreApplication::exit(0); }) {
  setObjectName(QStringLiteral("frmCapturarImagen"));
  setWindowTitle(QStringLiteral("Form1"));
  setWindowIcon(MakeIcon());
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, kFormBackground);
  setPalette(palette);
  framePlacement_ = new qt::FramePlacement(this, [this] { Form_Resize(); });
  resize(Px(15360), Px(8235));

  Label1 = MakeLabel(this, "Label1", "VIDEO EN VIVO", 120, 120, 4875, 255);
  Label2 = MakeLabel(this, "Label2", "CAPTURA DE IMAGEN", 5160, 120, 4875, 255);
  Picture1 = MakePictureBox(this, "Picture1", 120, 360, 4890, 3675);
  Picture2 = MakePictureBox(this, "Picture2", 5160, 360, 4890, 3675);
  Picture2->SetAutoSize(true);
  // The buttons are made in their tab order (Command1, Command2, Command3, Command4,
  // cmdCapturar, cmdGuardar): Qt chains focus in creation order, and reordering the
  // chain afterwards with setTabOrder does not hold on every Qt 6 release. The aids,
  // made below, come after them.
  Command1 = MakeButton(this, "Command1", "Iniciar", nullptr, 1050, 5430, 1185, 465);
  Command2 = MakeButton(this, "Command2", "Detener", nullptr, 1050, 5460, 1185, 465);
  Command3 =
      MakeButton(this, "Command3", "Formato", "Formato de la captura", 2610, 4170, 1185, 465);
  Command4 = MakeButton(this, "Command4", "Configurar", "Configuración de la captura", 3810, 4170,
                        1185, 465);
  cmdCapturar =
      MakeButton(this, "cmdCapturar", "Capturar", "Capturar foto del iris", 120, 4170, 1185, 465);
  cmdGuardar =
      MakeButton(this, "cmdGuardar", "Grabar", "Grabar archivo .JPG", 1320, 4170, 1065, 465);
  // Start and stop are run by the window itself; the operator never gets them.
  Command1->setVisible(false);
  Command2->setVisible(false);

  connect(cmdCapturar, &QPushButton::clicked, this,
          [this] { Run([this] { cmdCapturar_Click(); }); });
  connect(cmdGuardar, &QPushButton::clicked, this, [this] { Run([this] { cmdGuardar_Click(); }); });
  connect(Command3, &QPushButton::clicked, this, [this] { Run([this] { Command3_Click(); }); });
  connect(Command4, &QPushButton::clicked, this, [this] { Run([this] { Command4_Click(); }); });
  connect(Command1, &QPushButton::clicked, this, [this] { Run([this] { Command1_Click(); }); });
  connect(Command2, &QPushButton::clicked, this, [this] { Run([this] { Command2_Click(); }); });

  // Capture aids under the working buttons and over the live picture; the best focus
  // counts from the last "Capturar".
  auto* aids = aids_ =
      new AidsPanel(this, Picture1->Client(), [] { return qt::CaptureWindowFromHandle(hCapWnd); });
  connect(cmdCapturar, &QPushButton::clicked, aids, [this] { AfterCapture(); });
  aids->Iris()->SetCapture([this](const camera::Frame& frame) {
    bool taken = false;
    Run([&] { taken = AutoCapture(frame); });
    return taken;
  });

  // Keys for the two working buttons the operator presses most: F5 as in refreshing a
  // view, Ctrl+S as in saving anywhere.
  auto* capturar = new QShortcut(QKeySequence(Qt::Key_F5), this);
  connect(capturar, &QShortcut::activated, cmdCapturar, &QPushButton::click);
  auto* grabar = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_S), this);
  connect(grabar, &QShortcut::activated, cmdGuardar, &QPushButton::click);

  saveStatus_ = new QLabel(this);
  saveStatus_->setObjectName(QStringLiteral("SaveStatus"));
  saveStatus_->setAutoFillBackground(true);
  QPalette statusPalette = saveStatus_->palette();
  statusPalette.setColor(QPalette::Window, kLabelBackground);
  statusPalette.setColor(QPalette::WindowText, kLabelText);
  saveStatus_->setPalette(statusPalette);
  saveStatus_->setContentsMargins(6, 0, 6, 0);
  saveStatus_->hide();
  saveStatusTimer_ = new QTimer(this);
  saveStatusTimer_->setSingleShot(true);
  connect(saveStatusTimer_, &QTimer::timeout, saveStatus_, &QWidget::hide);
  // The aids' check boxes follow the working buttons when tabbing.
  QWidget::setTabOrder(cmdGuardar, aids->RingToggle());
  QWidget::setTabOrder(aids->RingToggle(), aids->Iris()->CirclesToggle());
  QWidget::setTabOrder(aids->Iris()->CirclesToggle(), aids->Iris()->AutoCaptureToggle());
  // The iris record beside the JPEG: its capture time is that of the "Capturar".
  recordOptions_ = new RecordOptions(this, [] { return qt::CaptureWindowFromHandle(hCapWnd); });
  connect(cmdCapturar, &QPushButton::clicked, recordOptions_, &RecordOptions::StillTaken);
  aids->AddControls(recordOptions_);
}

frmCapturarImagen::~frmCapturarImagen() = default;

gdi::HWND frmCapturarImagen::hWnd() { return qt::WindowHandle(this); }

void frmCapturarImagen::Load() {
  Run([this] { Form_Load(); });
}

void frmCapturarImagen::Run(const std::function<void()>& handler) {
  // Ending the program here would throw away the operator's captured still, so the
  // error is reported and the window stays.
  try {
    handler();
  } catch (const RuntimeError& error) {
    MsgBox(UnhandledErrorText(error.Number(), error.Description()), MessageIcon::Critical,
           error.Source());
  } catch (const std::bad_alloc&) {
    MsgBox(UnhandledErrorText(kErrOutOfMemory, DefaultDescription(kErrOutOfMemory)),
           MessageIcon::Critical);
  } catch (const std::exception& error) {
    MsgBox(UnhandledErrorText(kErrInternal, error.what()), MessageIcon::Critical);
  }
}

void frmCapturarImagen::Form_Load() {
  Command1->setText(QStringLiteral("Iniciar"));
  Command2->setText(QStringLiteral("Detener"));
  Command3->setText(QStringLiteral("Formato"));
  Command4->setText(QStringLiteral("Configurar"));
  setWindowTitle(QStringLiteral("OKUVA: Capturar de fotos del iris"));
  Command1_Click();
  qt::DoEvents();
}

void frmCapturarImagen::Form_Resize() {
  // Every step may fail (no screen, a window that cannot move); a failed step is skipped.
  try {
    const QScreen* screen = this->screen();
    if (screen == nullptr) {
      return;
    }
    if ((windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) != 0) {
      return;  // the move would fail, and the failure is ignored
    }
    // The sizes are the outer ones, frame and title bar included (until the window
    // manager has framed the window, the client's: the placement is then repeated).
    const QRect frame = framePlacement_->Begin();
    const QRect available = screen->geometry();
    const auto [left, top] = PlaceOnScreen(CheckedMul(available.width(), kTwipsPerPixel),
                                           CheckedMul(available.height(), kTwipsPerPixel),
                                           CheckedMul(frame.width(), kTwipsPerPixel),
                                           CheckedMul(frame.height(), kTwipsPerPixel));
    const QPoint at(available.left() + CLng(left / static_cast<double>(kTwipsPerPixel)),
                    available.top() + CLng(top / static_cast<double>(kTwipsPerPixel)));
    framePlacement_->MoveFrameTo(at);
  } catch (const std::exception&) {
  }
}

void frmCapturarImagen::Form_Unload(int16_t& Cancel) {
  (void)Cancel;  // left as the runtime gave it
  Command2_Click();
  endProgram_();
}

void frmCapturarImagen::Command1_Click() {
  int32_t zero = 0;  // lParam carries no value for these messages
  hCapWnd =
      qt::capCreateCaptureWindowA("CapWindow", qt::WS_CHILD | qt::WS_VISIBLE, 0, 0, kCaptureWidth,
                                  kCaptureHeight, qt::WindowHandle(Picture1->Client()), 0);
  if (hCapWnd != 0) {
    const intptr_t connected = qt::SendMessageA(hCapWnd, qt::WM_CAP_DRIVER_CONNECT, 0, &zero);
    qt::SendMessageA(hCapWnd, qt::WM_CAP_SET_PREVIEW, 1, &zero);
    qt::SendMessageA(hCapWnd, qt::WM_CAP_SET_PREVIEWRATE, kPreviewRateMs, &zero);
    qt::SendMessageA(hCapWnd, qt::WM_CAP_SET_SCALE, -1, &zero);
    qt::DoEvents();
    // Watched also when the driver did not start now: a camera found again later is
    // then the live one, and losing it must be reported too.
    if (qt::CaptureWindow* window = qt::CaptureWindowFromHandle(hCapWnd)) {
      // Queued: the report runs from the event loop, not inside the capture window's
      // own frame handling, which the operator could otherwise close under it.
      connect(
          window, &qt::CaptureWindow::DeviceLost, this,
          [this] { Run([this] { CapWnd_DeviceLost(); }); }, Qt::QueuedConnection);
      // Direct: nothing is asked of the operator, and the flag follows the preview at once.
      connect(window, &qt::CaptureWindow::DeviceRestored, this,
              [this] { CapWnd_DeviceRestored(); });
    }
    if (connected != 0) {
      bConectado = kTrue;
    } else {
      // A camera that exists but will not start (busy, no permission) leaves no
      // preview; say so rather than show an empty picture.
      MsgBox("No hay Camara Web", MessageIcon::Exclamation, "Error");
    }
  } else {
    MsgBox("No hay Camara Web", MessageIcon::Exclamation, "Error");
  }
  qt::DoEvents();
}

void frmCapturarImagen::Command2_Click() {
  if (bConectado == kTrue) {
    int32_t zero = 0;
    qt::SendMessageA(hCapWnd, qt::WM_CAP_DRIVER_DISCONNECT, 0, &zero);
    qt::DoEvents();
    bConectado = kFalse;
  }
  qt::DestroyWindow(hCapWnd);
}

void frmCapturarImagen::Command3_Click() {
  if (bConectado == kTrue) {
    int32_t zero = 0;
    qt::SendMessageA(hCapWnd, qt::WM_CAP_DLG_VIDEOFORMAT, 0, &zero);
    qt::DoEvents();
  }
}

void frmCapturarImagen::Command4_Click() {
  if (bConectado == kTrue) {
    int32_t zero = 0;
    qt::SendMessageA(hCapWnd, qt::WM_CAP_DLG_VIDEOSOURCE, 0, &zero);
    qt::DoEvents();
  }
}

void frmCapturarImagen::cmdCapturar_Click() {
  int32_t zero = 0;
  qt::SendMessageA(hCapWnd, qt::WM_CAP_EDIT_COPY, 1, &zero);
  // The clipboard's picture is shown; with none there (no frame copied, the camera gone
  // as it was asked, and the clipboard taken meanwhile) the still shown stays.
  StdPicture picture(gdi::GetClipboardBitmap());
  if (!picture) {
    return;
  }
  Picture2->SetPicture(std::move(picture));
  Label2->resize(Picture2->width(), Label2->height());
}

bool frmCapturarImagen::AutoCapture(const camera::Frame& frame) {
  const bool copied = qt::CopyFrameToClipboard(frame);
  Picture2->SetPicture(StdPicture(gdi::GetClipboardBitmap()));
  Label2->resize(Picture2->width(), Label2->height());
  AfterCapture();
  return copied && !Picture2->Shown().isNull();
}

void frmCapturarImagen::AfterCapture() {
  aids_->ResetBest();
  Run([this] { aids_->Iris()->JudgeStill(Picture2); });
  PlaceSaveStatus();
}

void frmCapturarImagen::ShowSaved(const std::string& path) {
  saveStatus_->setText(QStringLiteral("Guardado: ") + QString::fromStdString(path));
  saveStatus_->setToolTip(QString::fromStdString(path));
  PlaceSaveStatus();
  saveStatus_->show();
  saveStatus_->raise();
  saveStatusTimer_->start(kSaveStatusMs);
}

void frmCapturarImagen::PlaceSaveStatus() {
  if (saveStatus_ == nullptr || aids_ == nullptr) {
    return;  // still being built
  }
  constexpr int kHeight = 20;
  const QRect still = Picture2->geometry();
  const int top = std::min(still.bottom() + 1 + 4, height() - kHeight);
  saveStatus_->setGeometry(still.left(), top, std::max(0, width() - still.left()), kHeight);
  // The still's judgement keeps to what stays visible of the still.
  if (IrisOverlay* judged = aids_->Iris()->StillOverlay()) {
    judged->update();
  }
}

void frmCapturarImagen::CapWnd_DeviceLost() {
  if (bConectado != kTrue) {
    return;
  }
  bConectado = kFalse;
  MsgBox("Se ha desconectado la Camara Web. La vista en vivo se ha detenido.",
         MessageIcon::Exclamation, "Error");
}

void frmCapturarImagen::CapWnd_DeviceRestored() {
  bConectado = kTrue;
  aids_->ShowRestored();
}

void frmCapturarImagen::closeEvent(QCloseEvent* event) {
  int16_t cancel = 0;
  Run([this, &cancel] { Form_Unload(cancel); });
  event->accept();
}

void frmCapturarImagen::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Form_Resize();
  PlaceSaveStatus();
}

}  // namespace okuva
