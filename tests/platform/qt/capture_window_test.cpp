#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include "platform/gdi/clipboard.h"
#include "platform/qt/capture_dialogs.h"
#include "platform/qt/capture_window.h"
#include "platform/qt/frame_placement.h"
#include "platform/qt/picture_box.h"
#include "platform/qt/qt_services.h"
#include "platform/qt/window_handles.h"
#include "tests/support/station_fixture.h"

namespace okuva {
namespace {

class CaptureWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    testing::App();
    parent_ = std::make_unique<QWidget>();
    parent_->resize(400, 300);
    qt::SetCameraFactory([this]() -> std::unique_ptr<camera::Camera> {
      auto camera = testing::StepCamera();
      camera_ = camera.get();
      return camera;
    });
  }
  void TearDown() override {
    parent_.reset();
    qt::SetCameraFactory(nullptr);
  }
  gdi::HWND Create(uint32_t style = qt::WS_CHILD | qt::WS_VISIBLE) {
    return qt::capCreateCaptureWindowA("CapWindow", style, 0, 0, 320, 240,
                                       qt::WindowHandle(parent_.get()), 0);
  }
  std::unique_ptr<QWidget> parent_;
  camera::SimulatedCamera* camera_ = nullptr;
  int32_t zero_ = 0;
};

TEST_F(CaptureWindowTest, HandlesAreCheckedAndGoStaleOnDestroy) {
  EXPECT_EQ(qt::capCreateCaptureWindowA("CapWindow", qt::WS_CHILD, 0, 0, 320, 240, 0, 0), 0u);
  EXPECT_EQ(qt::capCreateCaptureWindowA("CapWindow", qt::WS_CHILD, 0, 0, 320, 240, 0x40001234u, 0),
            0u);
  EXPECT_EQ(Create(qt::WS_VISIBLE), 0u);  // a capture window is always a child

  const gdi::HWND first = Create();
  ASSERT_NE(first, 0u);
  EXPECT_EQ(qt::WidgetFromHandle(first)->parentWidget(), parent_.get());
  EXPECT_TRUE(qt::DestroyWindow(first));
  EXPECT_FALSE(qt::DestroyWindow(first));
  EXPECT_FALSE(qt::DestroyWindow(0));
  EXPECT_EQ(qt::SendMessageA(first, qt::WM_CAP_DRIVER_CONNECT, 0, &zero_), 0);

  // A new window reuses the slot under a different handle; the old one stays stale.
  const gdi::HWND second = Create();
  ASSERT_NE(second, 0u);
  EXPECT_NE(second, first);
  EXPECT_EQ(qt::WidgetFromHandle(first), nullptr);
  EXPECT_NE(qt::WidgetFromHandle(second), nullptr);
  // The raster layer's handles are never ours.
  EXPECT_EQ(qt::WidgetFromHandle(gdi::GetDesktopWindow()), nullptr);

  qt::SetCameraFactory([]() -> std::unique_ptr<camera::Camera> { return nullptr; });
  EXPECT_EQ(Create(), 0u);  // no capture device at all
}

TEST_F(CaptureWindowTest, MessagesNeedAConnectedDriverZero) {
  const gdi::HWND window = Create();
  ASSERT_NE(window, 0u);
  EXPECT_EQ(qt::SendMessageA(window, qt::WM_CAP_SET_PREVIEW, 1, &zero_), 0);
  EXPECT_EQ(qt::SendMessageA(window, qt::WM_CAP_EDIT_COPY, 1, &zero_), 0);
  EXPECT_EQ(qt::SendMessageA(window, qt::WM_CAP_DLG_VIDEOFORMAT, 0, &zero_), 0);
  EXPECT_EQ(qt::SendMessageA(window, qt::WM_CAP_DRIVER_CONNECT, 1, &zero_), 0);
  EXPECT_EQ(qt::SendMessageA(window, qt::WM_CAP_DRIVER_CONNECT, 0, &zero_), 1);
  EXPECT_EQ(camera_->State(), camera::CameraState::Streaming);
  EXPECT_EQ(qt::SendMessageA(window, qt::WM_CAP_SET_PREVIEW, 1, &zero_), 1);
  EXPECT_EQ(qt::SendMessageA(window, 0x9999, 0, &zero_), 0);
  EXPECT_EQ(qt::SendMessageA(window, qt::WM_CAP_DRIVER_DISCONNECT, 0, &zero_), 1);
  EXPECT_NE(camera_->State(), camera::CameraState::Streaming);
  EXPECT_FALSE(qt::CaptureWindowFromHandle(window)->Previewing());
}

// A stream that ends while the window believes it connected (for example a format
// change whose restart failed) is reported like a lost camera, not left frozen.
TEST_F(CaptureWindowTest, StreamThatStoppedUnderThePreviewIsReported) {
  const gdi::HWND window = Create();
  ASSERT_EQ(qt::SendMessageA(window, qt::WM_CAP_DRIVER_CONNECT, 0, &zero_), 1);
  ASSERT_EQ(qt::SendMessageA(window, qt::WM_CAP_SET_PREVIEW, 1, &zero_), 1);
  qt::CaptureWindow* capture = qt::CaptureWindowFromHandle(window);
  int lost = 0;
  QObject::connect(capture, &qt::CaptureWindow::DeviceLost, [&lost] { ++lost; });
  EXPECT_TRUE(capture->PollFrame());
  EXPECT_EQ(lost, 0);
  camera_->Stop();
  EXPECT_FALSE(capture->PollFrame());
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(capture->Connected());
  EXPECT_FALSE(capture->Previewing());
}

// The window itself looks for a vanished camera and takes it back: lost, then restored,
// each announced once, and the preview the owner asked for runs again.
TEST_F(CaptureWindowTest, VanishedCameraIsAnnouncedLostThenRestored) {
  const gdi::HWND window = Create();
  ASSERT_EQ(qt::SendMessageA(window, qt::WM_CAP_DRIVER_CONNECT, 0, &zero_), 1);
  ASSERT_EQ(qt::SendMessageA(window, qt::WM_CAP_SET_PREVIEW, 1, &zero_), 1);
  qt::CaptureWindow* capture = qt::CaptureWindowFromHandle(window);
  std::vector<std::string> heard;
  QObject::connect(capture, &qt::CaptureWindow::DeviceLost, [&] { heard.push_back("lost"); });
  QObject::connect(capture, &qt::CaptureWindow::DeviceRestored,
                   [&] { heard.push_back("restored"); });
  camera_->Unplug();
  ASSERT_TRUE(testing::WaitFor([&] { return !heard.empty(); }));
  EXPECT_FALSE(capture->Connected());
  EXPECT_FALSE(capture->Previewing());
  camera_->Replug();
  ASSERT_TRUE(testing::WaitFor([&] { return heard.size() == 2; }, 4000));
  EXPECT_EQ(heard, (std::vector<std::string>{"lost", "restored"}));
  EXPECT_TRUE(capture->Connected());
  EXPECT_TRUE(capture->Previewing());
  const uint64_t before = camera_->Latest().sequence;
  EXPECT_TRUE(capture->PollFrame());
  EXPECT_GT(camera_->Latest().sequence, before);

  // Disconnected by its owner, the window no longer looks for the camera.
  camera_->Unplug();
  ASSERT_TRUE(testing::WaitFor([&] { return heard.size() == 3; }));
  qt::SendMessageA(window, qt::WM_CAP_DRIVER_DISCONNECT, 0, &zero_);
  camera_->Replug();
  testing::WaitFor([] { return false; }, 1500);
  EXPECT_EQ(heard.size(), 3u);
  EXPECT_EQ(camera_->State(), camera::CameraState::Unplugged);
}

TEST_F(CaptureWindowTest, CopyFramePutsTheFullFrameOnTheClipboard) {
  gdi::SetClipboardBackend(nullptr);
  const gdi::HWND window = Create();
  qt::SendMessageA(window, qt::WM_CAP_DRIVER_CONNECT, 0, &zero_);
  ASSERT_EQ(qt::SendMessageA(window, qt::WM_CAP_EDIT_COPY, 1, &zero_), 1);
  const camera::Frame& frame = camera_->Latest();
  StdPicture picture(gdi::GetClipboardBitmap());
  ASSERT_EQ(picture.Width(), 640);
  ASSERT_EQ(picture.Height(), 480);
  const QImage image = qt::PictureBox::ToImage(picture);
  for (const auto& [x, y] : {std::pair{0, 0}, {639, 0}, {320, 240}, {0, 479}, {639, 479}}) {
    const size_t at = (static_cast<size_t>(y) * 640 + x) * 3;
    EXPECT_EQ(QColor(image.pixel(x, y)),
              QColor(frame.rgb[at], frame.rgb[at + 1], frame.rgb[at + 2]))
        << x << "," << y;
  }
}

TEST_F(CaptureWindowTest, PreviewScalesOrShowsTheTopLeftCorner) {
  const gdi::HWND handle = Create();
  qt::CaptureWindow* window = qt::CaptureWindowFromHandle(handle);
  qt::SendMessageA(handle, qt::WM_CAP_DRIVER_CONNECT, 0, &zero_);
  ASSERT_TRUE(window->PollFrame());
  const camera::Frame& frame = camera_->Latest();
  // Unscaled: the frame's own pixels from its top-left corner.
  ASSERT_EQ(window->PreviewImage().size(), QSize(320, 240));
  for (const auto& [x, y] : {std::pair{0, 0}, {319, 239}, {100, 50}}) {
    const size_t at = (static_cast<size_t>(y) * 640 + x) * 3;
    EXPECT_EQ(QColor(window->PreviewImage().pixel(x, y)),
              QColor(frame.rgb[at], frame.rgb[at + 1], frame.rgb[at + 2]));
  }
  // Scaled: the whole frame in the window; its centre lands in the window's centre.
  qt::SendMessageA(handle, qt::WM_CAP_SET_SCALE, -1, &zero_);
  const QImage scaled = window->PreviewImage();
  ASSERT_EQ(scaled.size(), QSize(320, 240));
  const QImage whole = QImage(frame.rgb.data(), 640, 480, 640 * 3, QImage::Format_RGB888)
                           .scaled(320, 240, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                           .convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(scaled, whole);
  EXPECT_EQ(qt::SendMessageA(handle, qt::WM_CAP_SET_PREVIEWRATE, 30, &zero_), 1);
  EXPECT_EQ(window->PreviewRate(), 30);
}

// A device with one control of every kind, recording what is set and refusing one id.
class ControlsCamera : public camera::Camera {
public:
  std::string Name() const override { return "controles"; }
  std::string Identity() const override { return "controles"; }
  bool Start() override { return true; }
  void Stop() override {}
  camera::CameraState State() const override { return camera::CameraState::Streaming; }
  int PollDescriptor() const override { return -1; }
  bool Poll() override { return false; }
  const camera::Frame& Latest() const override { return frame_; }
  std::vector<camera::FormatChoice> Formats() override { return {}; }
  camera::StreamFormat CurrentFormat() override { return {}; }
  std::optional<camera::StreamFormat> SetFormat(const camera::StreamFormat&) override {
    return std::nullopt;
  }
  std::vector<camera::Control> Controls() override { return controls; }
  bool SetControl(uint32_t id, int32_t value) override {
    set.emplace_back(id, value);
    return id != refused;
  }
  std::string LastError() const override { return "Device or resource busy"; }

  std::vector<camera::Control> controls = {
      {1, "Ganancia", camera::ControlKind::Integer, 0, 100, 5, 40, 70, {}},
      {2, "Balance automático", camera::ControlKind::Boolean, 0, 1, 1, 1, 0, {}},
      {3,
       "Frecuencia de red",
       camera::ControlKind::Menu,
       0,
       2,
       1,
       1,
       2,
       {{0, "Apagado"}, {1, "50 Hz"}, {2, "60 Hz"}}},
      {4, "Reiniciar foco", camera::ControlKind::Button, 0, 0, 0, 0, 0, {}},
      {5, "Temperatura del sensor", camera::ControlKind::Integer, 0, 100, 1, 20, 35, {}, true},
  };
  std::vector<std::pair<uint32_t, int32_t>> set;
  uint32_t refused = 0;

private:
  camera::Frame frame_;
};

TEST(VideoSourceDialogTest, EveryKindOfControlIsOfferedAndAppliedLive) {
  testing::App();
  ControlsCamera camera;
  qt::VideoSourceDialog dialog(camera);
  auto* gain = qobject_cast<QSlider*>(dialog.Editor(1));
  auto* automatic = qobject_cast<QCheckBox*>(dialog.Editor(2));
  auto* mains = qobject_cast<QComboBox*>(dialog.Editor(3));
  auto* refocus = qobject_cast<QPushButton*>(dialog.Editor(4));
  ASSERT_TRUE(gain && automatic && mains && refocus);
  EXPECT_EQ(gain->value(), 70);
  EXPECT_EQ(gain->maximum(), 100);
  EXPECT_FALSE(automatic->isChecked());
  EXPECT_EQ(mains->currentText(), "60 Hz");
  EXPECT_TRUE(camera.set.empty());  // showing the dialog changes nothing

  gain->setValue(55);
  automatic->setChecked(true);
  mains->setCurrentIndex(0);
  refocus->click();
  using Set = std::vector<std::pair<uint32_t, int32_t>>;
  EXPECT_EQ(camera.set, (Set{{1, 55}, {2, 1}, {3, 0}, {4, 1}}));
  // The slider's value is shown beside it.
  EXPECT_NE(gain->parentWidget()->findChild<QLabel*>(), nullptr);
  EXPECT_EQ(gain->parentWidget()->findChild<QLabel*>()->text(), "55");

  camera.set.clear();
  dialog.RestoreDefaults();
  EXPECT_EQ(camera.set, (Set{{1, 40}, {2, 1}, {3, 1}}));
  EXPECT_EQ(gain->value(), 40);
  EXPECT_EQ(mains->currentText(), "50 Hz");
  EXPECT_TRUE(dialog.Status().isEmpty());

  camera.refused = 1;
  gain->setValue(60);
  EXPECT_TRUE(dialog.Status().contains(QStringLiteral("Device or resource busy")));
}

// A control the device only reports is shown but cannot be moved, and restoring the
// defaults leaves it alone (the device would refuse it and the dialog show an error).
TEST(VideoSourceDialogTest, ReadOnlyControlIsShownDisabledAndNotRestored) {
  testing::App();
  ControlsCamera camera;
  qt::VideoSourceDialog dialog(camera);
  auto* sensor = qobject_cast<QSlider*>(dialog.Editor(5));
  ASSERT_NE(sensor, nullptr);
  EXPECT_EQ(sensor->value(), 35);
  EXPECT_FALSE(sensor->isEnabled());
  dialog.RestoreDefaults();
  for (const auto& [id, value] : camera.set) {
    EXPECT_NE(id, 5u) << value;
  }
  EXPECT_EQ(sensor->value(), 35);
  EXPECT_TRUE(dialog.Status().isEmpty());
}

TEST_F(CaptureWindowTest, FormatDialogRefusalKeepsItOpen) {
  auto camera = testing::StepCamera();
  auto messages = std::make_shared<testing::RecordedMessages>();
  auto old = SetMessageBoxService(messages);
  qt::VideoFormatDialog dialog(*camera);
  dialog.FormatBox()->addItem(QStringLiteral("MJPG"), 0x47504A4Du);  // not offered by the camera
  dialog.FormatBox()->setCurrentIndex(dialog.FormatBox()->count() - 1);
  dialog.SizeBox()->addItem(QStringLiteral("640 x 480"), QSize(640, 480));
  dialog.show();
  dialog.accept();
  EXPECT_TRUE(dialog.isVisible());
  ASSERT_EQ(messages->shown.size(), 1u);
  EXPECT_NE(messages->shown[0].text.find("no aceptó"), std::string::npos);
  EXPECT_EQ(camera->CurrentFormat().fourcc, camera::SimulatedCamera::kFourcc);
  dialog.reject();
  SetMessageBoxService(old);
}

// Headless windows get their frame as they are shown: a placement made before that is
// repeated once, by the frame now known, and the watch ends with the frame at the point.
TEST(FramePlacementTest, PlacementBeforeTheFrameIsRepeatedOnceByTheFrame) {
  testing::App();
  QWidget window;
  window.resize(200, 100);
  std::vector<QRect> measured;
  qt::FramePlacement* placement = nullptr;
  placement = new qt::FramePlacement(&window, [&] {
    measured.push_back(placement->Begin());
    placement->MoveFrameTo(QPoint(30, 40));
  });
  EXPECT_EQ(placement->Begin(), window.geometry());  // no frame yet: the client's
  EXPECT_TRUE(placement->Watching());
  placement->MoveFrameTo(QPoint(30, 40));
  window.show();
  ASSERT_TRUE(testing::WaitFor([&] { return !placement->Watching(); }));
  ASSERT_EQ(measured.size(), 1u);
  EXPECT_NE(window.frameGeometry(), window.geometry());
  EXPECT_EQ(measured[0].size(), window.frameGeometry().size());  // measured with the frame
  EXPECT_EQ(window.frameGeometry().topLeft(), QPoint(30, 40));
}

TEST(QtClipboardTest, PicturesRoundTripThroughTheDesktopClipboard) {
  testing::App();
  auto old = gdi::SetClipboardBackend(std::make_shared<qt::QtClipboardBackend>());
  const uint8_t pixels[3 * 2 * 4] = {1,  2,  3,  0, 4,  5,  6,  0, 7,   8,   9,  0,
                                     10, 11, 12, 0, 13, 14, 15, 0, 200, 100, 50, 0};
  ASSERT_TRUE(gdi::OpenClipboard(0));
  gdi::EmptyClipboard();
  ASSERT_NE(gdi::SetClipboardData(gdi::CF_BITMAP, gdi::CreateBitmap(3, 2, 1, 32, pixels)), 0u);
  gdi::CloseClipboard();
  // Other programs see an ordinary image.
  const QImage offered = QGuiApplication::clipboard()->image();
  ASSERT_EQ(offered.size(), QSize(3, 2));
  EXPECT_EQ(QColor(offered.pixel(2, 1)), QColor(50, 100, 200));
  // And what another program copies comes back as a picture.
  QImage other(2, 1, QImage::Format_RGB32);
  other.setPixel(0, 0, qRgb(255, 0, 0));
  other.setPixel(1, 0, qRgb(0, 0, 255));
  QGuiApplication::clipboard()->setImage(other);
  StdPicture picture(gdi::GetClipboardBitmap());
  const QImage back = qt::PictureBox::ToImage(picture);
  ASSERT_EQ(back.size(), QSize(2, 1));
  EXPECT_EQ(QColor(back.pixel(0, 0)), QColor(255, 0, 0));
  EXPECT_EQ(QColor(back.pixel(1, 0)), QColor(0, 0, 255));
  QGuiApplication::clipboard()->clear();
  EXPECT_FALSE(gdi::GetClipboardBitmap());
  gdi::SetClipboardBackend(old);
}

}  // namespace
}  // namespace okuva
