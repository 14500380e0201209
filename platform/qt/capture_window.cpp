#include "platform/qt/capture_window.h"

#include <QPainter>
#include <algorithm>
#include <exception>
#include <utility>

#include "platform/camera/letterbox.h"
#include "platform/qt/capture_dialogs.h"
#include "platform/qt/window_handles.h"

namespace okuva::qt {
namespace {

constexpr int kDefaultPreviewRateMs = 66;  // until the window asks for its own rate

CameraFactory& Factory() {
  static CameraFactory factory;
  return factory;
}

std::unique_ptr<camera::Camera> MakeCamera() {
  return Factory() ? Factory()() : camera::OpenDefaultCamera();
}

bool HoldsPicture(const camera::Frame& frame) {
  return frame.width > 0 && frame.height > 0 &&
         frame.rgb.size() >=
             static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * 3;
}

}  // namespace

CameraFactory SetCameraFactory(CameraFactory factory) {
  return std::exchange(Factory(), std::move(factory));
}

CaptureWindow::CaptureWindow(QWidget* parent, std::unique_ptr<camera::Camera> camera)
    : QWidget(parent), camera_(std::move(camera)) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  timer_.setInterval(kDefaultPreviewRateMs);
  connect(&timer_, &QTimer::timeout, this, [this] {
    try {
      PollFrame();
    } catch (const std::exception&) {
      Lose();  // a driver that throws is treated like one that vanished
    }
  });
  reconnect_.setInterval(kReconnectEveryMs);
  connect(&reconnect_, &QTimer::timeout, this, [this] { TryReconnect(); });
}

CaptureWindow::~CaptureWindow() {
  timer_.stop();
  if (connected_) {
    camera_->Stop();
  }
}

bool CaptureWindow::DriverConnect(int32_t index) {
  if (index != 0) {
    return false;
  }
  if (connected_) {
    return true;
  }
  if (!camera_->Start()) {
    reconnect_.start();  // an unplugged camera may still come
    return false;
  }
  reconnect_.stop();
  connected_ = true;
  return true;
}

bool CaptureWindow::DriverDisconnect() {
  timer_.stop();
  reconnect_.stop();
  previewWanted_ = false;
  if (!connected_) {
    return false;
  }
  camera_->Stop();
  connected_ = false;
  stalled_ = false;
  preview_ = QImage();
  update();
  return true;
}

bool CaptureWindow::SetPreview(bool on) {
  previewWanted_ = on;
  if (!on) {
    timer_.stop();
    return true;
  }
  if (!connected_ || stalled_) {
    return false;
  }
  timer_.start();
  return true;
}

bool CaptureWindow::SetPreviewRate(int32_t milliseconds) {
  timer_.setInterval(std::max(1, milliseconds));
  return true;
}

bool CaptureWindow::SetScale(bool on) {
  scale_ = on;
  RenderPreview();
  update();
  return true;
}

bool CaptureWindow::FormatDialog() {
  if (!connected_) {
    return false;
  }
  // Paused while the format changes: a stream stopped for the change is no lost camera.
  const bool previewing = timer_.isActive() || stalled_;
  timer_.stop();
  VideoFormatDialog dialog(*camera_, window());
  dialog.exec();
  const camera::CameraState state = camera_->State();
  if (state == camera::CameraState::Unplugged) {
    Lose();
    return true;
  }
  stalled_ = state != camera::CameraState::Streaming && !camera_->Start();
  if (stalled_) {
    preview_ = QImage();
    update();
  } else if (previewing) {
    timer_.start();
  }
  return true;
}

bool CaptureWindow::SourceDialog() {
  if (!connected_) {
    return false;
  }
  VideoSourceDialog dialog(*camera_, window());
  dialog.exec();
  return true;
}

bool CaptureWindow::PollFrame() {
  if (!connected_ || stalled_) {
    return false;
  }
  const bool fresh = camera_->Poll();
  if (camera_->State() != camera::CameraState::Streaming) {
    // Unplugged: the camera has already let go of the device, and stays Unplugged (not
    // Stopped) so that it can be reconnected when the same device comes back. Any other
    // end of the stream (a format change whose restart failed) is reported too rather
    // than freeze on the last frame.
    Lose();
    return false;
  }
  if (fresh) {
    RenderPreview();
    update();
  }
  return fresh;
}

void CaptureWindow::Lose() {
  timer_.stop();
  connected_ = false;
  stalled_ = false;
  reconnect_.start();
  emit DeviceLost();
}

void CaptureWindow::TryReconnect() {
  try {
    // False (and nothing changed) while the device is not back, or was never unplugged.
    if (!camera_->Reconnect()) {
      return;
    }
  } catch (const std::exception&) {
    return;  // a failed look is one that found nothing; the next one comes
  }
  reconnect_.stop();
  connected_ = true;
  if (previewWanted_) {
    timer_.start();
  }
  emit DeviceRestored();
}

void CaptureWindow::RenderPreview() {
  const camera::Frame& frame = camera_->Latest();
  if (!HoldsPicture(frame) || width() <= 0 || height() <= 0) {
    return;
  }
  const QImage source(frame.rgb.data(), frame.width, frame.height, frame.width * 3,
                      QImage::Format_RGB888);
  if (scale_) {
    // Letterboxed: the frame keeps its shape (a circle stays round at 16:9 on this 4:3
    // window); the bars are painted black.
    const camera::ShownRect shown = camera::Letterbox(frame.width, frame.height, width(), height());
    QImage scaled =
        source.scaled(shown.width, shown.height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
            .convertToFormat(QImage::Format_RGB32);
    if (shown.width == width() && shown.height == height()) {
      preview_ = std::move(scaled);  // same shape: no bars
    } else {
      preview_ = QImage(width(), height(), QImage::Format_RGB32);
      preview_.fill(Qt::black);
      QPainter painter(&preview_);
      painter.drawImage(QPoint(shown.left, shown.top), scaled);
    }
  } else {
    // Unscaled, the frame's top-left corner shows; the copy detaches from the camera's
    // buffer, which the next dequeue reuses.
    preview_ = source.copy(0, 0, std::min(frame.width, width()), std::min(frame.height, height()))
                   .convertToFormat(QImage::Format_RGB32);
  }
}

void CaptureWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (preview_.isNull()) {
    painter.fillRect(rect(), Qt::black);
    return;
  }
  painter.drawImage(0, 0, preview_);
  if (preview_.width() < width()) {
    painter.fillRect(preview_.width(), 0, width() - preview_.width(), height(), Qt::black);
  }
  if (preview_.height() < height()) {
    painter.fillRect(0, preview_.height(), preview_.width(), height() - preview_.height(),
                     Qt::black);
  }
}

bool CaptureWindow::CopyFrame() {
  if (!connected_) {
    return false;
  }
  PollFrame();  // the newest frame, not the one the preview last showed
  if (!connected_ || stalled_) {
    return false;
  }
  return CopyFrameToClipboard(camera_->Latest());
}

bool CopyFrameToClipboard(const camera::Frame& frame) {
  if (!HoldsPicture(frame)) {
    return false;
  }
  // A 32-bit screen-format bitmap, as the clipboard carries pictures: top-down rows of
  // blue, green, red, unused.
  const size_t pixels = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
  std::vector<uint8_t> bgrx(pixels * 4);
  for (size_t i = 0; i < pixels; ++i) {
    bgrx[i * 4 + 0] = frame.rgb[i * 3 + 2];
    bgrx[i * 4 + 1] = frame.rgb[i * 3 + 1];
    bgrx[i * 4 + 2] = frame.rgb[i * 3 + 0];
    bgrx[i * 4 + 3] = 0;
  }
  const gdi::HBITMAP bitmap = gdi::CreateBitmap(frame.width, frame.height, 1, 32, bgrx.data());
  if (bitmap == 0) {
    return false;
  }
  if (!gdi::OpenClipboard(0)) {
    gdi::DeleteObject(bitmap);
    return false;
  }
  gdi::EmptyClipboard();
  const bool placed = gdi::SetClipboardData(gdi::CF_BITMAP, bitmap) != 0;
  if (!placed) {
    gdi::DeleteObject(bitmap);
  }
  gdi::CloseClipboard();
  return placed;
}

gdi::HWND capCreateCaptureWindowA(const char* lpszWindowName, uint32_t dwStyle, int32_t x,
                                  int32_t y, int32_t nWidth, int32_t nHeight, gdi::HWND hwndParent,
                                  int32_t nID) {
  QWidget* parent = WidgetFromHandle(hwndParent);
  if (parent == nullptr || (dwStyle & WS_CHILD) == 0 || nWidth < 0 || nHeight < 0) {
    return 0;
  }
  std::unique_ptr<camera::Camera> camera = MakeCamera();
  if (!camera) {
    return 0;
  }
  auto* window = new CaptureWindow(parent, std::move(camera));
  window->setObjectName(QString::fromUtf8(lpszWindowName != nullptr ? lpszWindowName : ""));
  window->setProperty("okuvaControlId", nID);
  window->setGeometry(x, y, nWidth, nHeight);
  window->setVisible((dwStyle & WS_VISIBLE) != 0);
  return WindowHandle(window);
}

CaptureWindow* CaptureWindowFromHandle(gdi::HWND hWnd) {
  return qobject_cast<CaptureWindow*>(WidgetFromHandle(hWnd));
}

intptr_t SendMessageA(gdi::HWND hWnd, uint32_t wMsg, intptr_t wParam, const void* lParam) {
  (void)lParam;  // no capture message we answer carries a value in it
  CaptureWindow* window = CaptureWindowFromHandle(hWnd);
  if (window == nullptr) {
    return 0;
  }
  const auto clamp = [](intptr_t v) {
    return static_cast<int32_t>(std::clamp<intptr_t>(v, INT32_MIN, INT32_MAX));
  };
  bool done = false;
  switch (wMsg) {
    case WM_CAP_DRIVER_CONNECT: done = window->DriverConnect(clamp(wParam)); break;
    case WM_CAP_DRIVER_DISCONNECT: done = window->DriverDisconnect(); break;
    case WM_CAP_SET_PREVIEW: done = window->SetPreview(wParam != 0); break;
    case WM_CAP_SET_PREVIEWRATE: done = window->SetPreviewRate(clamp(wParam)); break;
    case WM_CAP_SET_SCALE: done = window->SetScale(wParam != 0); break;
    case WM_CAP_DLG_VIDEOFORMAT: done = window->FormatDialog(); break;
    case WM_CAP_DLG_VIDEOSOURCE: done = window->SourceDialog(); break;
    case WM_CAP_EDIT_COPY: done = window->CopyFrame(); break;
    default: break;
  }
  return done ? 1 : 0;
}

}  // namespace okuva::qt
