#include <gtest/gtest.h>

#include <QCheckBox>
#include <algorithm>
#include <vector>
#include <QLabel>
#include <QPushButton>

#include <linux/videodev2.h>

#include "capture/aids_panel.h"
#include "capture/iris_aids.h"
#include "capture/frmCapturarImagen.h"
#include "capture/mdlCapturarImagen.h"
#include "tests/support/fake_uvc_device.h"
#include "platform/capture/v4l2_camera.h"
#include "platform/qt/capture_window.h"
#include "platform/qt/picture_box.h"
#include "station_fixture.h"

namespace okuva {
namespace {

using mdlCapturarImagen::bConectado;
using mdlCapturarImagen::hCapWnd;
using C = camera::SimulatedCamera;

class AidsPanelTest : public ::testing::Test {
protected:
  void SetUp() override {
    testing::App();
    hCapWnd = 0;
    bConectado = kFalse;
    oldMessages_ = SetMessageBoxService(messages_);
    qt::SetCameraFactory([this]() -> std::unique_ptr<camera::Camera> {
      auto camera = testing::StepCamera();
      camera_ = camera.get();
      return camera;
    });
    form_ = std::make_unique<frmCapturarImagen>();
    form_->SetEndProgram([] {});
    form_->Load();
    form_->show();
    panel_ = form_->findChild<AidsPanel*>(QStringLiteral("AidsPanel"));
    ASSERT_NE(panel_, nullptr);
    ASSERT_NE(camera_, nullptr);
  }

  void TearDown() override {
    form_.reset();
    qt::SetCameraFactory(nullptr);
    SetMessageBoxService(oldMessages_);
  }

  // The live picture takes the camera's next frame, then the aids look at it.
  void NextFrame() {
    qt::CaptureWindowFromHandle(hCapWnd)->PollFrame();
    panel_->Refresh();
  }

  std::shared_ptr<testing::RecordedMessages> messages_ = std::make_shared<testing::RecordedMessages>();
  std::shared_ptr<MessageBoxService> oldMessages_;
  std::unique_ptr<frmCapturarImagen> form_;
  AidsPanel* panel_ = nullptr;
  C* camera_ = nullptr;
};

TEST_F(AidsPanelTest, SitsInTheFreeAreaUnderTheButtons) {
  const QRect area = panel_->geometry();
  EXPECT_GE(area.top(), form_->cmdCapturar->geometry().bottom());
  EXPECT_GE(area.left(), form_->Picture1->geometry().left());
  EXPECT_LE(area.right(), form_->Picture1->geometry().right());
  EXPECT_LE(area.bottom(), form_->height() - 1);
  for (QWidget* control : std::initializer_list<QWidget*>{form_->Picture1, form_->Picture2, form_->cmdCapturar,
                                                          form_->cmdGuardar, form_->Command3, form_->Command4})
    EXPECT_FALSE(area.intersects(control->geometry())) << control->objectName().toStdString();
  EXPECT_EQ(panel_->RingToggle()->text(), QString::fromUtf8("Anillo guía"));
  // The overlay covers the live picture and lets the mouse through to it.
  EXPECT_EQ(panel_->Overlay()->parentWidget(), form_->Picture1->Client());
  EXPECT_EQ(panel_->Overlay()->geometry(), QRect(0, 0, 320, 240));
  EXPECT_TRUE(panel_->Overlay()->testAttribute(Qt::WA_TransparentForMouseEvents));
}

TEST_F(AidsPanelTest, FocusFollowsTheCameraAndBestRestartsAtCapturar) {
  NextFrame();
  const double sharp = panel_->Meter().Current();
  EXPECT_GT(sharp, 0.0);
  ASSERT_TRUE(camera_->SetControl(C::kFocusId, C::kBestFocus + 64));
  NextFrame();
  EXPECT_LT(panel_->Meter().Current(), sharp);
  EXPECT_EQ(panel_->Meter().Best(), sharp);
  EXPECT_TRUE(panel_->FocusText()->text().contains(QString::number(sharp, 'f', 1)));
  form_->cmdCapturar->click();  // still takes the frame as before
  EXPECT_FALSE(form_->Picture2->Shown().isNull());
  NextFrame();
  EXPECT_LT(panel_->Meter().Best(), sharp);
  EXPECT_EQ(panel_->Meter().Best(), panel_->Meter().Current());
}

TEST_F(AidsPanelTest, ExposureWarnsWhenTheCameraBurnsOut) {
  NextFrame();
  EXPECT_FALSE(panel_->LastExposure().clippedWarning);
  const QColor normal = panel_->ClippedText()->palette().color(QPalette::WindowText);
  ASSERT_TRUE(camera_->SetControl(C::kBrightnessId, 64));
  ASSERT_TRUE(camera_->SetControl(C::kContrastId, 100));
  NextFrame();
  EXPECT_TRUE(panel_->LastExposure().clippedWarning);
  EXPECT_NE(panel_->ClippedText()->palette().color(QPalette::WindowText), normal);
  EXPECT_TRUE(panel_->BitsText()->text().contains(QStringLiteral("bits")));
}

TEST_F(AidsPanelTest, RingIsDrawnOverTheLivePictureOnlyWhenSwitchedOn) {
  NextFrame();
  // 640 x 480 on the 320 x 240 preview: a ring of radius 50 around (160, 120).
  const auto ringPixel = [&] {
    const QImage shot = form_->Picture1->Client()->grab(QRect(0, 0, 320, 240)).toImage();
    const QColor c(shot.pixel(210, 120));
    return c.green() > 200 && c.red() < 80 && c.blue() < 120;
  };
  EXPECT_FALSE(ringPixel());
  panel_->RingToggle()->setChecked(true);
  EXPECT_TRUE(panel_->Overlay()->RingVisible());
  EXPECT_TRUE(ringPixel());
  panel_->RingToggle()->setChecked(false);
  EXPECT_FALSE(ringPixel());
}

// The simulated camera's picture says so on the live view, never in the copied frame.
TEST_F(AidsPanelTest, SimulatedCameraIsMarkedOnTheLivePictureOnly) {
  NextFrame();
  const QImage shot = form_->Picture1->Client()->grab(QRect(0, 0, 320, 240)).toImage();
  EXPECT_EQ(panel_->Overlay()->Mark().toStdString(), AidsPanel::kSimulatedMark);
  EXPECT_EQ(QColor(shot.pixel(6, 6)), QColor(PreviewOverlay::kMarkBand));
  form_->cmdCapturar->click();
  const camera::Frame& frame = camera_->Latest();
  EXPECT_EQ(QColor(form_->Picture2->Shown().pixel(6, 6)),
            QColor(frame.rgb[(6 * 640 + 6) * 3], frame.rgb[(6 * 640 + 6) * 3 + 1], frame.rgb[(6 * 640 + 6) * 3 + 2]));
}

TEST_F(AidsPanelTest, UnplugIsShownAndTheCameraComesBackByItself) {
  NextFrame();
  camera_->Unplug();
  qt::CaptureWindowFromHandle(hCapWnd)->PollFrame();
  ASSERT_TRUE(testing::WaitFor([&] { return bConectado == kFalse; }));
  panel_->Refresh();
  EXPECT_EQ(panel_->Status()->text(), QString::fromUtf8("Cámara desconectada"));
  camera_->Replug();
  ASSERT_TRUE(testing::WaitFor([&] {
    panel_->Refresh();
    return bConectado == kTrue;
  }, 4000));
  EXPECT_EQ(panel_->Status()->text(), QString::fromUtf8("Cámara reconectada"));
  EXPECT_TRUE(qt::CaptureWindowFromHandle(hCapWnd)->Previewing());
  const uint64_t before = camera_->Latest().sequence;
  EXPECT_TRUE(qt::CaptureWindowFromHandle(hCapWnd)->PollFrame());
  EXPECT_GT(camera_->Latest().sequence, before);
}

// The same round trip with a V4L2 webcam (the fake device): after the unplug the
// station finds the camera again under another node and restores the format the
// operator had chosen.
TEST(AidsPanelV4l2, UnpluggedWebcamComesBackWithItsFormat) {
  testing::App();
  hCapWnd = 0;
  bConectado = kFalse;
  auto messages = std::make_shared<testing::RecordedMessages>();
  auto oldMessages = SetMessageBoxService(messages);
  auto fake = std::make_shared<camera::FakeUvcDevice>();
  fake->AddWebcam("/dev/video0");
  camera::V4l2Camera* webcam = nullptr;
  qt::SetCameraFactory([&]() -> std::unique_ptr<camera::Camera> {
    auto made = std::make_unique<camera::V4l2Camera>("/dev/video0", fake);
    made->SetSettleFrames(0);
    webcam = made.get();
    return made;
  });
  {
    frmCapturarImagen form;
    form.SetEndProgram([] {});
    form.Load();
    form.show();
    auto* panel = form.findChild<AidsPanel*>(QStringLiteral("AidsPanel"));
    ASSERT_NE(panel, nullptr);
    ASSERT_NE(webcam, nullptr);
    ASSERT_EQ(bConectado, kTrue);
    ASSERT_TRUE(webcam->SetFormat({V4L2_PIX_FMT_YUYV, 1280, 720, {1, 30}}));
    fake->DeliverFrames("/dev/video0");
    EXPECT_TRUE(qt::CaptureWindowFromHandle(hCapWnd)->PollFrame());

    fake->Unplug("/dev/video0");
    qt::CaptureWindowFromHandle(hCapWnd)->PollFrame();
    ASSERT_TRUE(testing::WaitFor([&] { return bConectado == kFalse; }));
    panel->Refresh();
    EXPECT_EQ(panel->Status()->text(), QString::fromUtf8("Cámara desconectada"));

    fake->Replug("/dev/video0", "/dev/video3");
    ASSERT_TRUE(testing::WaitFor([&] {
      panel->Refresh();
      return bConectado == kTrue;
    }, 4000));
    EXPECT_EQ(fake->Format("/dev/video3").width, 1280);
    EXPECT_EQ(fake->Format("/dev/video3").fourcc, static_cast<uint32_t>(V4L2_PIX_FMT_YUYV));
    fake->DeliverFrames("/dev/video3");
    EXPECT_TRUE(qt::CaptureWindowFromHandle(hCapWnd)->PollFrame());
    EXPECT_EQ(webcam->Latest().width, 1280);
  }
  qt::SetCameraFactory(nullptr);
  SetMessageBoxService(oldMessages);
}

}  // namespace
}  // namespace okuva

namespace okuva {
namespace {

// A pixel of the live picture (preview coordinates) as the operator sees it.
QColor LivePixel(frmCapturarImagen& form, double x, double y) {
  const QImage shot = form.Picture1->Client()->grab(QRect(0, 0, 320, 240)).toImage();
  return QColor(shot.pixel(static_cast<int>(x), static_cast<int>(y)));
}

bool IsPassGreen(const QColor& c) { return c.green() > 180 && c.red() < 90 && c.blue() < 130; }

TEST_F(AidsPanelTest, IrisCirclesChecklistAndTheStillsJudgement) {
  IrisAids* iris = panel_->Iris();
  EXPECT_EQ(iris->CirclesToggle()->text(), QString::fromUtf8("Mostrar pupila e iris"));
  EXPECT_TRUE(iris->CirclesToggle()->isChecked());
  EXPECT_EQ(iris->AutoCaptureToggle()->text(), QString::fromUtf8("Captura automática"));
  EXPECT_FALSE(iris->AutoCaptureToggle()->isChecked());
  // Tabbing from "Formato" reaches the four working buttons before the new check boxes.
  std::vector<QWidget*> chain;
  for (QWidget* w = form_->Command3; chain.size() < 200; w = w->nextInFocusChain()) {
    if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible()) chain.push_back(w);
    if (w->nextInFocusChain() == form_->Command3) break;
  }
  const auto at = [&](QWidget* w) { return std::find(chain.begin(), chain.end(), w) - chain.begin(); };
  for (QWidget* button : {form_->Command3, form_->Command4, form_->cmdCapturar, form_->cmdGuardar})
    EXPECT_LT(at(button), at(iris->CirclesToggle()));
  EXPECT_LT(at(iris->CirclesToggle()), at(iris->AutoCaptureToggle()));

  // Off the window's thread: the result arrives through the event loop.
  NextFrame();
  ASSERT_TRUE(testing::WaitFor([&] { return iris->LiveResults() > 0; }));
  iris->SetSynchronous(true);
  NextFrame();
  ASSERT_TRUE(iris->LiveOverlay()->HasCircles());
  EXPECT_TRUE(iris->LiveOverlay()->Passing());
  EXPECT_EQ(iris->Checklist()->Verdict()->text(), QString::fromUtf8("Iris: apto"));
  const QColor pass = iris->Checklist()->Item(iris::Metric::kSharpness)->palette().color(QPalette::WindowText);
  // The iris circle, drawn at half size on the 320 x 240 preview, in the passing colour.
  const iris::Circle found = *iris->LiveOverlay()->Judged()->circles.iris;
  EXPECT_TRUE(IsPassGreen(LivePixel(*form_, (found.x + found.radius) / 2, found.y / 2)));
  iris->CirclesToggle()->setChecked(false);
  EXPECT_FALSE(IsPassGreen(LivePixel(*form_, (found.x + found.radius) / 2, found.y / 2)));
  iris->CirclesToggle()->setChecked(true);

  // Out of focus: sharpness turns red, and so does the verdict of the still taken now.
  ASSERT_TRUE(camera_->SetControl(C::kFocusId, C::kBestFocus + 127));
  NextFrame();
  EXPECT_FALSE(iris->LiveOverlay()->Passing());
  EXPECT_NE(iris->Checklist()->Item(iris::Metric::kSharpness)->palette().color(QPalette::WindowText), pass);
  EXPECT_EQ(iris->Checklist()->Item(iris::Metric::kIrisDiameter)->palette().color(QPalette::WindowText), pass);
  form_->cmdCapturar->click();
  ASSERT_NE(iris->StillOverlay(), nullptr);
  EXPECT_EQ(iris->StillOverlay()->parentWidget(), form_->Picture2->Client());
  EXPECT_TRUE(iris->StillOverlay()->Banner().startsWith(QString::fromUtf8("Repetir la foto: ")));
  EXPECT_TRUE(iris->StillOverlay()->Banner().contains(QString::fromUtf8("Nitidez")));
  ASSERT_TRUE(camera_->SetControl(C::kFocusId, C::kBestFocus));
  NextFrame();
  form_->cmdCapturar->click();
  EXPECT_EQ(iris->StillOverlay()->Banner(), QString::fromUtf8("Foto apta para reconocimiento"));
  EXPECT_EQ(iris->StillOverlay()->geometry(), form_->Picture2->Client()->rect());
}

TEST_F(AidsPanelTest, EachStillSaysWhetherItIsTheSameEyeAsTheOneBefore) {
  IrisAids* iris = panel_->Iris();
  iris->SetSynchronous(true);
  C::Eye eye;
  eye.textureSeed = 41;
  camera_->SetEye(eye);
  NextFrame();
  form_->cmdCapturar->click();
  ASSERT_NE(iris->StillOverlay(), nullptr);
  EXPECT_TRUE(iris->StillOverlay()->Comparison().isEmpty());  // nothing earlier to compare with
  EXPECT_TRUE(form_->Picture2->Client()->toolTip().isEmpty());

  for (int i = 0; i < 20; ++i) NextFrame();  // the eye has wandered
  form_->cmdCapturar->click();
  EXPECT_EQ(iris->StillOverlay()->Comparison(), QString::fromUtf8(IrisAids::kSameEye));
  EXPECT_EQ(iris->StillOverlay()->Banner(), QString::fromUtf8(IrisAids::kStillPasses));
  EXPECT_TRUE(form_->Picture2->Client()->toolTip().startsWith(QString::fromUtf8("Distancia al iris de la foto anterior: 0.")))
      << form_->Picture2->Client()->toolTip().toStdString();

  eye.textureSeed = 42;  // someone else
  camera_->SetEye(eye);
  NextFrame();
  form_->cmdCapturar->click();
  EXPECT_EQ(iris->StillOverlay()->Comparison(), QString::fromUtf8(IrisAids::kOtherEye));
  EXPECT_EQ(iris->StillOverlay()->Banner(), QString::fromUtf8(IrisAids::kStillPasses));
  // The newest still is the one the next is compared with.
  NextFrame();
  form_->cmdCapturar->click();
  EXPECT_EQ(iris->StillOverlay()->Comparison(), QString::fromUtf8(IrisAids::kSameEye));
}

TEST_F(AidsPanelTest, AutomaticCaptureTakesTheFirstPassingSharpFrameThenUnticks) {
  IrisAids* iris = panel_->Iris();
  iris->SetSynchronous(true);
  ASSERT_TRUE(camera_->SetControl(C::kFocusId, C::kBestFocus + 127));
  iris->AutoCaptureToggle()->setChecked(true);
  for (int i = 0; i < 3; ++i) NextFrame();
  EXPECT_TRUE(form_->Picture2->Shown().isNull());  // blurred frames fail: nothing taken
  EXPECT_TRUE(iris->AutoCaptureToggle()->isChecked());
  ASSERT_TRUE(camera_->SetControl(C::kFocusId, C::kBestFocus));
  NextFrame();
  EXPECT_FALSE(form_->Picture2->Shown().isNull());
  EXPECT_FALSE(iris->AutoCaptureToggle()->isChecked());
  EXPECT_EQ(iris->StillOverlay()->Banner(), QString::fromUtf8("Foto apta para reconocimiento"));
  // Unticked, a later passing frame takes nothing more.
  const QImage taken = form_->Picture2->Shown();
  NextFrame();
  EXPECT_EQ(form_->Picture2->Shown(), taken);
}

}  // namespace
}  // namespace okuva
