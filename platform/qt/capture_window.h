// The capture window: a child widget that shows a camera's live picture and answers the
// capture messages (connect, preview, rate, scale, the format and source dialogs, copy
// frame) sent to its window handle, in the manner of the classic capture library.
#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/camera/camera.h"
#include "platform/gdi/gdi.h"

namespace okuva::qt {

constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_CAP_DRIVER_CONNECT = WM_USER + 10;
constexpr uint32_t WM_CAP_DRIVER_DISCONNECT = WM_USER + 11;
constexpr uint32_t WM_CAP_EDIT_COPY = WM_USER + 30;
constexpr uint32_t WM_CAP_DLG_VIDEOFORMAT = WM_USER + 41;
constexpr uint32_t WM_CAP_DLG_VIDEOSOURCE = WM_USER + 42;
constexpr uint32_t WM_CAP_SET_PREVIEW = WM_USER + 50;
constexpr uint32_t WM_CAP_SET_PREVIEWRATE = WM_USER + 52;
constexpr uint32_t WM_CAP_SET_SCALE = WM_USER + 53;

constexpr uint32_t WS_CHILD = 0x40000000;
constexpr uint32_t WS_VISIBLE = 0x10000000;

// Where capture windows get their camera: driver index 0. The default opens
// camera::OpenDefaultCamera(); tests install their own. A factory returning nullptr
// means no capture device exists.
using CameraFactory = std::function<std::unique_ptr<camera::Camera>()>;
CameraFactory SetCameraFactory(CameraFactory factory);  // nullptr restores the default

class CaptureWindow : public QWidget {
  Q_OBJECT

public:
  // How often a camera that vanished is looked for again.
  static constexpr int kReconnectEveryMs = 1000;

  CaptureWindow(QWidget* parent, std::unique_ptr<camera::Camera> camera);
  ~CaptureWindow() override;

  // Message handlers; each returns what the message returns (1 done, 0 refused).
  // Only driver 0 exists; false when it will not start. A camera that is not there
  // (unplugged) is looked for from then on, as after a loss.
  bool DriverConnect(int32_t index);
  bool DriverDisconnect();  // also stops looking for a vanished camera
  bool SetPreview(bool on);
  bool SetPreviewRate(int32_t milliseconds);  // at least 1 ms between preview frames
  bool SetScale(bool on);                     // fit the frame to the window, keeping its shape
  // Modal; false when not connected. The preview pauses while it is open; a format
  // the stream cannot resume with leaves the window connected without a picture.
  bool FormatDialog();
  bool SourceDialog();                        // modal; false when not connected
  bool CopyFrame();  // the newest full-resolution frame as a bitmap on the clipboard

  bool Connected() const { return connected_; }
  bool Previewing() const { return timer_.isActive(); }
  int32_t PreviewRate() const { return timer_.interval(); }
  bool Scaling() const { return scale_; }
  camera::Camera* Camera() const { return camera_.get(); }
  // The picture the preview shows now (window-sized when scaling: the frame letterboxed
  // by camera::Letterbox, black bars), null before a frame.
  const QImage& PreviewImage() const { return preview_; }
  // Takes any frame the camera delivered since the last call into the preview; true
  // when a new one arrived. The preview timer calls it; benchmarks call it directly.
  bool PollFrame();

signals:
  // The device went away while connected; the preview has been stopped. The window
  // then looks for the device once every kReconnectEveryMs.
  void DeviceLost();
  // The vanished device (or one that was unplugged when asked to connect) streams
  // again: the window is connected and its preview runs if it was asked for.
  void DeviceRestored();

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  void RenderPreview();
  // Stops the preview, marks the window disconnected and announces the loss.
  void Lose();
  // One look for the vanished camera; reconnects and announces it when it is back.
  void TryReconnect();

  std::unique_ptr<camera::Camera> camera_;
  QTimer timer_;
  QTimer reconnect_;
  QImage preview_;
  bool connected_ = false;
  bool scale_ = false;
  // The owner asked for the preview: it resumes when a vanished camera comes back.
  bool previewWanted_ = false;
  // Connected, but the stream did not resume after a format change: no preview until
  // a format that streams is chosen ("Formato" stays usable), and no loss reported.
  bool stalled_ = false;
};

// Creates a capture window as a child of `parent` (a window handle) at the given
// place and size. Returns its handle, or 0 when no capture device exists, the parent
// handle names no window, or the style lacks WS_CHILD.
gdi::HWND capCreateCaptureWindowA(const char* lpszWindowName, uint32_t dwStyle, int32_t x,
                                  int32_t y, int32_t nWidth, int32_t nHeight, gdi::HWND hwndParent,
                                  int32_t nID);

// Sends a capture message to a capture window; 0 for a handle that names none. lParam
// carries no value for the capture messages (callers pass the address of a zero).
intptr_t SendMessageA(gdi::HWND hWnd, uint32_t wMsg, intptr_t wParam, const void* lParam);

// Puts a frame on the clipboard as a 32-bit bitmap, as WM_CAP_EDIT_COPY does; false
// when the frame holds no picture or the clipboard refused it.
bool CopyFrameToClipboard(const camera::Frame& frame);

// The capture window a handle names, or nullptr.
CaptureWindow* CaptureWindowFromHandle(gdi::HWND hWnd);

}  // namespace okuva::qt
