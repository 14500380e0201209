#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <algorithm>
#include <cmath>
#include <vector>

#include <linux/videodev2.h>

#include "capture/aids/instruction.h"
#include "capture/aids_panel.h"
#include "capture/frmCapturarImagen.h"
#include "capture/iris_aids.h"
#include "capture/mdlCapturarImagen.h"
#include "capture/record_options.h"
#include "platform/camera/v4l2_camera.h"
#include "platform/qt/capture_window.h"
#include "platform/qt/picture_box.h"
#include "tests/support/fake_uvc_device.h"
#include "tests/support/station_fixture.h"

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
    Open(C::Eye{});
  }

  // (Re)opens the window on a step camera showing `eye`.
  void Open(const C::Eye& eye) {
    form_.reset();
    camera_ = nullptr;
    qt::SetCameraFactory([this, eye]() -> std::unique_ptr<camera::Camera> {
      C::Options options;
      options.framePerPoll = true;
      options.settleFrames = 0;
      auto camera = std::make_unique<C>(options, eye);
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

  std::shared_ptr<testing::RecordedMessages> messages_ =
      std::make_shared<testing::RecordedMessages>();
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
  for (QWidget* control :
       std::initializer_list<QWidget*>{form_->Picture1, form_->Picture2, form_->cmdCapturar,
                                       form_->cmdGuardar, form_->Command3, form_->Command4}) {
    EXPECT_FALSE(area.intersects(control->geometry())) << control->objectName().toStdString();
  }
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
  const QColor normal = panel_->ExposureText()->palette().color(QPalette::WindowText);
  ASSERT_TRUE(camera_->SetControl(C::kBrightnessId, 64));
  ASSERT_TRUE(camera_->SetControl(C::kContrastId, 100));
  NextFrame();
  EXPECT_TRUE(panel_->LastExposure().clippedWarning);
  EXPECT_NE(panel_->ExposureText()->palette().color(QPalette::WindowText), normal);
  // One reading of the whole frame, with its own meaning: no grey-scale bits beside the
  // iris checklist's own grey-scale metric.
  EXPECT_TRUE(panel_->ExposureText()->text().contains(
      QString::number(panel_->LastExposure().brightClipped * 100, 'f', 1) + QStringLiteral(" %")));
  EXPECT_FALSE(panel_->ExposureText()->text().contains(QStringLiteral("bits")));
}

TEST_F(AidsPanelTest, RingIsADashedGuideDrawnOnlyWhenSwitchedOn) {
  panel_->Iris()->CirclesToggle()->setChecked(false);  // only the ring in the picture
  NextFrame();
  // 640 x 480 on the 320 x 240 preview: a ring of radius 50 around (160, 120), in its
  // own colour, dashed: some of its points are drawn, some are gaps.
  const auto ringPoints = [&] {
    const QImage shot = form_->Picture1->Client()->grab(QRect(0, 0, 320, 240)).toImage();
    int drawn = 0;
    for (int i = 0; i < 90; ++i) {
      const double a = i * 2 * M_PI / 90;
      const QColor c(shot.pixel(static_cast<int>(std::lround(160 + 50 * std::cos(a))),
                                static_cast<int>(std::lround(120 + 50 * std::sin(a)))));
      drawn += c.blue() > 180 && c.green() > 120 && c.red() < 90 ? 1 : 0;
    }
    return drawn;
  };
  EXPECT_EQ(ringPoints(), 0);
  panel_->RingToggle()->setChecked(true);
  EXPECT_TRUE(panel_->Overlay()->RingVisible());
  EXPECT_GT(ringPoints(), 25);
  EXPECT_LT(ringPoints(), 80);
  panel_->RingToggle()->setChecked(false);
  EXPECT_EQ(ringPoints(), 0);
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
            QColor(frame.rgb[(6 * 640 + 6) * 3], frame.rgb[(6 * 640 + 6) * 3 + 1],
                   frame.rgb[(6 * 640 + 6) * 3 + 2]));
}

TEST_F(AidsPanelTest, UnplugIsShownAndTheCameraComesBackByItself) {
  NextFrame();
  camera_->Unplug();
  qt::CaptureWindowFromHandle(hCapWnd)->PollFrame();
  ASSERT_TRUE(testing::WaitFor([&] { return bConectado == kFalse; }));
  panel_->Refresh();
  EXPECT_EQ(panel_->Status()->text(), QString::fromUtf8("Cámara desconectada"));
  const QColor warning = panel_->Status()->palette().color(QPalette::WindowText);
  camera_->Replug();
  ASSERT_TRUE(testing::WaitFor([&] { return bConectado == kTrue; }, 4000));
  EXPECT_EQ(panel_->Status()->text(), QString::fromUtf8("Cámara reconectada"));
  EXPECT_NE(panel_->Status()->palette().color(QPalette::WindowText), warning);
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
    EXPECT_TRUE(panel->Overlay()->Mark().isEmpty());  // a webcam's picture is real

    fake->Replug("/dev/video0", "/dev/video3");
    ASSERT_TRUE(testing::WaitFor([&] { return bConectado == kTrue; }, 4000));
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
    if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible()) {
      chain.push_back(w);
    }
    if (w->nextInFocusChain() == form_->Command3) {
      break;
    }
  }
  const auto at = [&](QWidget* w) {
    return std::find(chain.begin(), chain.end(), w) - chain.begin();
  };
  for (QWidget* button :
       {form_->Command3, form_->Command4, form_->cmdCapturar, form_->cmdGuardar}) {
    EXPECT_LT(at(button), at(iris->CirclesToggle()));
  }
  EXPECT_LT(at(iris->CirclesToggle()), at(iris->AutoCaptureToggle()));

  // Off the window's thread: the result arrives through the event loop.
  NextFrame();
  ASSERT_TRUE(testing::WaitFor([&] { return iris->LiveResults() > 0; }));
  iris->SetSynchronous(true);
  NextFrame();
  ASSERT_TRUE(iris->LiveOverlay()->HasCircles());
  EXPECT_TRUE(iris->LiveOverlay()->Passing());
  EXPECT_EQ(iris->Checklist()->Verdict()->text(), QString::fromUtf8("Iris: apto"));
  const QColor pass =
      iris->Checklist()->Item(iris::Metric::kSharpness)->palette().color(QPalette::WindowText);
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
  EXPECT_NE(
      iris->Checklist()->Item(iris::Metric::kSharpness)->palette().color(QPalette::WindowText),
      pass);
  EXPECT_EQ(
      iris->Checklist()->Item(iris::Metric::kIrisDiameter)->palette().color(QPalette::WindowText),
      pass);
  form_->cmdCapturar->click();
  ASSERT_NE(iris->StillOverlay(), nullptr);
  EXPECT_EQ(iris->StillOverlay()->parentWidget(), form_->Picture2->Client());
  // The still's judgement says what to do, in the live instruction's words.
  EXPECT_TRUE(iris->StillOverlay()->Banner().startsWith(QString::fromUtf8("Repetir: ")));
  EXPECT_TRUE(iris->StillOverlay()->Banner().contains(QString::fromUtf8("enfoque")));
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

  for (int i = 0; i < 20; ++i) {
    NextFrame();  // the eye has wandered
  }
  form_->cmdCapturar->click();
  EXPECT_EQ(iris->StillOverlay()->Comparison(), QString::fromUtf8(IrisAids::kSameEye));
  EXPECT_EQ(iris->StillOverlay()->Banner(), QString::fromUtf8(aids::kStillPasses));
  EXPECT_TRUE(form_->Picture2->Client()->toolTip().startsWith(
      QString::fromUtf8("Distancia al iris de la foto anterior: 0.")))
      << form_->Picture2->Client()->toolTip().toStdString();

  eye.textureSeed = 42;  // someone else
  camera_->SetEye(eye);
  NextFrame();
  form_->cmdCapturar->click();
  EXPECT_EQ(iris->StillOverlay()->Comparison(), QString::fromUtf8(IrisAids::kOtherEye));
  EXPECT_EQ(iris->StillOverlay()->Banner(), QString::fromUtf8(aids::kStillPasses));
  // The newest still is the one the next is compared with.
  NextFrame();
  form_->cmdCapturar->click();
  EXPECT_EQ(iris->StillOverlay()->Comparison(), QString::fromUtf8(IrisAids::kSameEye));
}

// The instruction line names the most pressing step, in the live picture's foot.
TEST_F(AidsPanelTest, InstructionForASmallABlurredAndAGoodEye) {
  IrisAids* iris = panel_->Iris();
  iris->SetSynchronous(true);
  auto now = IrisAids::Clock::now();
  iris->SetClock([&] { return now; });
  NextFrame();
  // The good eye passes: first "hold still", then, once it has kept passing, ready.
  EXPECT_EQ(iris->Instruction(), QString::fromUtf8("Quieto…"));
  now += IrisAids::kSettle;
  NextFrame();
  EXPECT_EQ(iris->Instruction(), QString::fromUtf8("Listo: pulse Capturar"));
  EXPECT_EQ(panel_->Overlay()->Instruction(), iris->Instruction());
  // Drawn large along the foot of the live picture, over the eye's lower part.
  const QImage shot = form_->Picture1->Client()->grab(QRect(0, 0, 320, 240)).toImage();
  int bright = 0;
  for (int x = 0; x < 320; ++x) {
    bright += QColor(shot.pixel(x, 226)).green() > 180 ? 1 : 0;
  }
  EXPECT_GT(bright, 10);

  ASSERT_TRUE(camera_->SetControl(C::kFocusId, C::kBestFocus + 127));
  NextFrame();
  EXPECT_EQ(iris->Instruction(), QString::fromUtf8("Enfoque"));

  C::Eye small;
  small.irisRadius = 60;  // 120 pixels across: well under the 200 asked for
  small.pupilRadius = 24;
  Open(small);
  panel_->Iris()->SetSynchronous(true);
  NextFrame();
  EXPECT_EQ(panel_->Iris()->Instruction(), QString::fromUtf8("Acérquese"));
  form_->cmdCapturar->click();
  EXPECT_TRUE(
      panel_->Iris()->StillOverlay()->Banner().startsWith(QString::fromUtf8("Repetir: acérquese")))
      << panel_->Iris()->StillOverlay()->Banner().toStdString();
}

// Ticked, the automatic capture waits once the picture passes, keeps the sharpest
// passing frame of its window, takes it when the window closes and says so.
TEST_F(AidsPanelTest, AutomaticCaptureWaitsForTheSharpestFrameAndSignalsIt) {
  IrisAids* iris = panel_->Iris();
  iris->SetSynchronous(true);
  auto now = IrisAids::Clock::now();
  iris->SetClock([&] { return now; });
  int bells = 0;
  panel_->SetBell([&] { ++bells; });
  const auto step = [&](int32_t focusOffset) {
    EXPECT_TRUE(camera_->SetControl(C::kFocusId, C::kBestFocus + focusOffset));
    NextFrame();
    now += std::chrono::milliseconds(200);
  };

  ASSERT_TRUE(camera_->SetControl(C::kFocusId, C::kBestFocus + 127));
  iris->AutoCaptureToggle()->setChecked(true);
  step(127);
  EXPECT_FALSE(iris->Watching());  // blurred frames fail: nothing watched, nothing taken
  // Slightly soft but passing frames open the window; the sharp one comes within it.
  step(10);
  ASSERT_TRUE(iris->LiveOverlay()->Passing()) << "a soft frame should still pass";
  EXPECT_TRUE(iris->Watching());
  EXPECT_EQ(iris->Instruction(), QString::fromUtf8("Quieto…"));
  step(0);
  const camera::Frame sharpest = camera_->Latest();
  step(-10);
  step(12);
  EXPECT_TRUE(form_->Picture2->Shown().isNull());  // nothing taken within the window
  EXPECT_EQ(bells, 0);
  now += IrisAids::kAutoWindow;
  step(127);  // the window is over: the sharpest passing frame is taken, not this one
  EXPECT_FALSE(iris->Watching());
  EXPECT_FALSE(iris->AutoCaptureToggle()->isChecked());
  ASSERT_FALSE(form_->Picture2->Shown().isNull());
  EXPECT_EQ(form_->Picture2->Shown(), QImage(sharpest.rgb.data(), sharpest.width, sharpest.height,
                                             sharpest.width * 3, QImage::Format_RGB888)
                                          .convertToFormat(QImage::Format_RGB32));
  EXPECT_EQ(iris->StillOverlay()->Banner(), QString::fromUtf8("Foto apta para reconocimiento"));
  // The signs: the bell, the banner and the flashing border of the live picture.
  EXPECT_EQ(bells, 1);
  EXPECT_EQ(panel_->Overlay()->Banner(), QString::fromUtf8("Foto tomada automáticamente"));
  EXPECT_TRUE(panel_->Overlay()->Flashing());
  const QImage shot = form_->Picture1->Client()->grab(QRect(0, 0, 320, 240)).toImage();
  EXPECT_EQ(QColor(shot.pixel(2, 120)), QColor::fromRgba(PreviewOverlay::kFlashColour));
  EXPECT_TRUE(testing::WaitFor([&] { return !panel_->Overlay()->Flashing(); }));
  // Unticked, a later passing frame takes nothing more.
  const QImage taken = form_->Picture2->Shown();
  step(0);
  step(0);
  now += std::chrono::seconds(2);
  step(0);
  EXPECT_EQ(form_->Picture2->Shown(), taken);
  EXPECT_EQ(bells, 1);
}

// At 16:9 the live picture is letterboxed: black bars, round circles over the eye.
TEST_F(AidsPanelTest, SixteenByNineIsLetterboxedAndTheCirclesStayRound) {
  IrisAids* iris = panel_->Iris();
  iris->SetSynchronous(true);
  ASSERT_TRUE(camera_->SetFormat({C::kFourcc, 1280, 720, {1, 30}}).has_value());
  NextFrame();
  ASSERT_EQ(camera_->Latest().width, 1280);
  const QImage shot = form_->Picture1->Client()->grab(QRect(0, 0, 320, 240)).toImage();
  // 320 x 180 from line 30: the bars above and below are black.
  for (int x : {40, 160, 280}) {
    EXPECT_EQ(QColor(shot.pixel(x, 26)), QColor(Qt::black)) << x;
    EXPECT_EQ(QColor(shot.pixel(x, 212)), QColor(Qt::black)) << x;
  }
  // The iris circle drawn a quarter of its size, shifted by the bar, as round across as
  // up and down: its rightmost and topmost points both carry the circle's colour.
  ASSERT_TRUE(iris->LiveOverlay()->HasCircles());
  const iris::Circle c = *iris->LiveOverlay()->Judged()->circles.iris;
  const QColor colour = iris->LiveOverlay()->Passing() ? QColor(40, 220, 90) : QColor(255, 60, 40);
  const auto near = [&](double x, double y) {
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const QColor p(shot.pixel(static_cast<int>(x) + dx, static_cast<int>(y) + dy));
        if (std::abs(p.red() - colour.red()) + std::abs(p.green() - colour.green()) +
                std::abs(p.blue() - colour.blue()) <
            60) {
          return true;
        }
      }
    }
    return false;
  };
  EXPECT_TRUE(near((c.x + c.radius) / 4, 30 + c.y / 4));
  EXPECT_TRUE(near(c.x / 4, 30 + (c.y - c.radius) / 4));

  // The 1280 x 720 still reaches below the window: its judgement stands at the foot of
  // the part that can be seen.
  form_->cmdCapturar->click();
  IrisOverlay* judged = iris->StillOverlay();
  ASSERT_FALSE(judged->Banner().isEmpty());
  const QRect band(judged->mapTo(form_.get(), judged->BannerRect().topLeft()),
                   judged->BannerRect().size());
  EXPECT_GT(form_->Picture2->geometry().bottom(), form_->height());
  EXPECT_EQ(band.bottom(), form_->height() - 1);
  EXPECT_GE(band.top(), form_->Picture2->geometry().top());
  EXPECT_LE(band.right(), form_->width() - 1);
}

// Without a camera the live area says what would help, and the aids show no figures.
TEST(AidsPanelNoCamera, HintInTheLiveAreaAndNoFigures) {
  testing::App();
  hCapWnd = 0;
  bConectado = kFalse;
  auto messages = std::make_shared<testing::RecordedMessages>();
  auto oldMessages = SetMessageBoxService(messages);
  qt::SetCameraFactory([]() -> std::unique_ptr<camera::Camera> { return nullptr; });
  {
    frmCapturarImagen form;
    form.SetEndProgram([] {});
    form.Load();
    form.show();
    EXPECT_EQ(messages->Count("No hay Camara Web"), 1);  // the message box stays as it was
    auto* panel = form.findChild<AidsPanel*>(QStringLiteral("AidsPanel"));
    ASSERT_NE(panel, nullptr);
    panel->Refresh();
    EXPECT_TRUE(panel->Overlay()->Hint().startsWith(
        QString::fromUtf8("Sin cámara: conecte una cámara web y reinicie")));
    EXPECT_TRUE(panel->Overlay()->Hint().contains(QStringLiteral("OKUVA_CAMERA=simulated")));
    EXPECT_FALSE(panel->ExposureText()->text().contains(QStringLiteral("0.0")));
    EXPECT_FALSE(panel->FocusText()->text().contains(QStringLiteral("0.0")));
    EXPECT_TRUE(panel->Iris()->Instruction().isEmpty());
    // The hint is drawn on the empty live area: white text on a dark band at its middle.
    const QImage shot = form.Picture1->Client()->grab().toImage();
    int white = 0;
    for (int y = 100; y < 140; ++y) {
      for (int x = 0; x < 320; ++x) {
        white += QColor(shot.pixel(x, y)) == QColor(Qt::white) ? 1 : 0;
      }
    }
    EXPECT_GT(white, 50);
  }
  qt::SetCameraFactory(nullptr);
  SetMessageBoxService(oldMessages);
}

// A window too small for the aids lets them scroll; added rows go under the check boxes.
TEST_F(AidsPanelTest, SmallWindowScrollsTheAidsAndRowsCanBeAdded) {
  // At the design size all fits, the record's row (added by the window) included.
  testing::WaitFor([] { return false; }, 30);
  EXPECT_EQ(panel_->verticalScrollBar()->maximum(), 0);
  auto* added = form_->findChild<RecordOptions*>(QStringLiteral("RecordOptions"));
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->parentWidget()->parentWidget(), panel_->viewport());
  EXPECT_GT(added->mapTo(panel_->widget(), QPoint()).y(),
            panel_->Iris()->AutoCaptureToggle()->mapTo(panel_->widget(), QPoint()).y());
  EXPECT_LT(added->mapTo(panel_->widget(), QPoint()).y(),
            panel_->FocusText()->mapTo(panel_->widget(), QPoint()).y());
  form_->resize(700, 420);
  testing::WaitFor([] { return false; }, 50);
  EXPECT_EQ(panel_->geometry().bottom(), form_->height() - 1);
  QScrollBar* bar = panel_->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  // Scrolled to the end, the checklist's last line is inside the visible area.
  bar->setValue(bar->maximum());
  QLabel* last = panel_->Iris()->Checklist()->Item(iris::Metric::kPupilBoundaryCircularity);
  const QRect seen = panel_->viewport()->rect();
  EXPECT_TRUE(seen.contains(last->mapTo(panel_->viewport(), QPoint(0, last->height() - 1))));
  // The designed controls stay where they were.
  EXPECT_EQ(form_->cmdCapturar->geometry(), QRect(8, 278, 79, 31));
  EXPECT_EQ(form_->Picture1->geometry(), QRect(8, 24, 326, 245));
}

}  // namespace
}  // namespace okuva
