#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdio>

#include <jpeglib.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "capture/aids_panel.h"
#include "capture/frmCapturarImagen.h"
#include "capture/mdlCapturarImagen.h"
#include "capture/record_options.h"
#include "platform/camera/v4l2_camera.h"
#include "platform/gdi/clipboard.h"
#include "platform/qt/capture_window.h"
#include "platform/qt/picture_box.h"
#include "platform/qt/window_handles.h"
#include "platform/runtime/error.h"
#include "platform/runtime/program.h"
#include "record/iris_record.h"
#include "record/station_record.h"
#include "tests/support/fake_uvc_device.h"
#include "tests/support/station_fixture.h"
#include "tests/support/temp_folder.h"
#include "tests/unprivileged_child.h"

namespace okuva {
namespace {

using mdlCapturarImagen::bConectado;
using mdlCapturarImagen::hCapWnd;
using testing::ModalAnswer;

const std::string kNoCamera = "No hay Camara Web";

class StationTest : public ::testing::Test {
protected:
  void SetUp() override {
    testing::App();
    hCapWnd = 0;
    bConectado = kFalse;
    oldMessages_ = SetMessageBoxService(messages_);
    oldDialog_ = SetSaveFileDialogBackend(dialog_);
    gdi::SetClipboardBackend(nullptr);
    gdi::OpenClipboard(0);
    gdi::EmptyClipboard();
    gdi::CloseClipboard();
  }

  void TearDown() override {
    form_.reset();
    qt::SetCameraFactory(nullptr);
    SetMessageBoxService(oldMessages_);
    SetSaveFileDialogBackend(oldDialog_);
  }

  // Opens the window on a simulated camera that delivers one frame per poll.
  void OpenWithCamera() {
    qt::SetCameraFactory([this]() -> std::unique_ptr<camera::Camera> {
      auto camera = testing::StepCamera();
      camera_ = camera.get();
      return camera;
    });
    Open();
  }

  void Open() {
    form_ = std::make_unique<frmCapturarImagen>();
    form_->SetEndProgram([this] { ++ended_; });
    form_->Load();
    form_->show();
  }

  qt::CaptureWindow* CapWnd() const { return qt::CaptureWindowFromHandle(hCapWnd); }

  // Lets the event loop run for a while (timers, queued reports).
  static void Pump(int milliseconds) {
    testing::WaitFor([] { return false; }, milliseconds);
  }

  std::shared_ptr<testing::RecordedMessages> messages_ =
      std::make_shared<testing::RecordedMessages>();
  std::shared_ptr<testing::ScriptedSaveDialog> dialog_ =
      std::make_shared<testing::ScriptedSaveDialog>();
  std::shared_ptr<MessageBoxService> oldMessages_;
  std::shared_ptr<SaveFileDialogBackend> oldDialog_;
  std::unique_ptr<frmCapturarImagen> form_;
  camera::SimulatedCamera* camera_ = nullptr;
  int ended_ = 0;
  testing::TempFolder folder_{"okuva-station"};
  std::filesystem::path dir_ = folder_.Path();
};

// The frame as a 32-bit image, to compare with what Picture2 shows.
QImage FrameImage(const camera::Frame& frame) {
  return QImage(frame.rgb.data(), frame.width, frame.height, frame.width * 3, QImage::Format_RGB888)
      .convertToFormat(QImage::Format_RGB32);
}

TEST(PlaceOnScreenTest, ATwentyNinthOfTheFreeSpaceTowardZero) {
  EXPECT_EQ(PlaceOnScreen(58, 0, 0, 0).first, 2);
  EXPECT_EQ(PlaceOnScreen(28, 0, 0, 0).first, 0);
  EXPECT_EQ(PlaceOnScreen(0, 0, 120, 0).first, -4);  // wider than the screen
  EXPECT_EQ(PlaceOnScreen(0, 100, 0, 200).second, -3);
  EXPECT_EQ(PlaceOnScreen(28800, 16200, 15390, 8235), (std::pair<int32_t, int32_t>{462, 274}));
}

TEST_F(StationTest, LayoutCaptionsAndColoursAsDesigned) {
  qt::SetCameraFactory([]() -> std::unique_ptr<camera::Camera> { return nullptr; });
  form_ = std::make_unique<frmCapturarImagen>();
  EXPECT_EQ(form_->windowTitle().toStdString(), "Form1");
  EXPECT_EQ(form_->size(), QSize(1024, 549));

  struct Expected {
    QWidget* widget;
    QRect geometry;
  };
  const Expected expected[] = {
      {form_->Label1, {8, 8, 325, 17}},       {form_->Label2, {344, 8, 325, 17}},
      {form_->Picture1, {8, 24, 326, 245}},   {form_->Picture2, {344, 24, 326, 245}},
      {form_->cmdCapturar, {8, 278, 79, 31}}, {form_->cmdGuardar, {88, 278, 71, 31}},
      {form_->Command3, {174, 278, 79, 31}},  {form_->Command4, {254, 278, 79, 31}},
      {form_->Command1, {70, 362, 79, 31}},   {form_->Command2, {70, 364, 79, 31}},
  };
  for (const Expected& e : expected) {
    EXPECT_EQ(e.widget->geometry(), e.geometry) << e.widget->objectName().toStdString();
  }

  EXPECT_EQ(form_->Label1->text(), "VIDEO EN VIVO");
  EXPECT_EQ(form_->Label2->text(), "CAPTURA DE IMAGEN");
  EXPECT_EQ(form_->cmdCapturar->text(), "Capturar");
  EXPECT_EQ(form_->cmdCapturar->toolTip(), "Capturar foto del iris");
  EXPECT_EQ(form_->cmdGuardar->text(), "Grabar");
  EXPECT_EQ(form_->cmdGuardar->toolTip(), "Grabar archivo .JPG");
  EXPECT_EQ(form_->Command3->text(), "Formato");
  EXPECT_EQ(form_->Command3->toolTip(), "Formato de la captura");
  EXPECT_EQ(form_->Command4->text(), "Configurar");
  EXPECT_EQ(form_->Command4->toolTip(), QString::fromUtf8("Configuración de la captura"));
  EXPECT_EQ(form_->Command1->text(), "Iniciar");
  EXPECT_EQ(form_->Command2->text(), "Detener");

  for (QLabel* label : {form_->Label1, form_->Label2}) {
    const QFont font = label->font();
    EXPECT_EQ(font.family(), "Arial");
    EXPECT_TRUE(font.bold());
    EXPECT_DOUBLE_EQ(font.pointSizeF(), 9.75);
    EXPECT_FALSE(font.italic() || font.underline() || font.strikeOut());
    EXPECT_EQ(label->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
  }

  form_->Load();
  form_->show();
  EXPECT_EQ(form_->windowTitle().toStdString(), "OKUVA: Capturar de fotos del iris");
  EXPECT_FALSE(form_->Command1->isVisible());
  EXPECT_FALSE(form_->Command2->isVisible());
  EXPECT_TRUE(form_->cmdCapturar->isVisible());
  EXPECT_FALSE(form_->windowIcon().pixmap(32, 32).isNull());
  EXPECT_EQ(form_->windowIcon().availableSizes(), QList<QSize>{QSize(32, 32)});

  // What is drawn: the form's background, and a label's background with white text.
  const QImage shot = form_->grab().toImage();
  EXPECT_EQ(QColor(shot.pixel(1000, 540)), QColor(255, 192, 128));
  EXPECT_EQ(QColor(shot.pixel(10, 10)), QColor(128, 64, 0));
  bool whiteText = false;
  for (int x = 8; x < 333 && !whiteText; ++x) {
    for (int y = 8; y < 25; ++y) {
      whiteText |= QColor(shot.pixel(x, y)) == QColor(255, 255, 255);
    }
  }
  EXPECT_TRUE(whiteText);
}

TEST_F(StationTest, WithoutCameraTheOperatorIsToldOnceAndDialogsDoNothing) {
  qt::SetCameraFactory([]() -> std::unique_ptr<camera::Camera> { return nullptr; });
  Open();
  EXPECT_EQ(messages_->Count(kNoCamera), 1);
  ASSERT_EQ(messages_->shown.size(), 1u);
  EXPECT_EQ(messages_->shown[0].title, "Error");
  EXPECT_EQ(messages_->shown[0].icon, MessageIcon::Exclamation);
  EXPECT_EQ(hCapWnd, 0u);
  EXPECT_EQ(bConectado, kFalse);

  ModalAnswer answer([](QWidget* modal) { modal->close(); });
  form_->Command3->click();
  form_->Command4->click();
  Pump(50);
  EXPECT_FALSE(answer.Ran());

  // "Capturar" still takes whatever picture the clipboard holds.
  const uint8_t pixels[2 * 2 * 4] = {10, 20, 30, 0, 40, 50, 60, 0, 70, 80, 90, 0, 1, 2, 3, 0};
  gdi::OpenClipboard(0);
  gdi::EmptyClipboard();
  gdi::SetClipboardData(gdi::CF_BITMAP, gdi::CreateBitmap(2, 2, 1, 32, pixels));
  gdi::CloseClipboard();
  form_->cmdCapturar->click();
  const QImage shown = form_->Picture2->Shown();
  ASSERT_EQ(shown.size(), QSize(2, 2));
  EXPECT_EQ(QColor(shown.pixel(0, 0)), QColor(30, 20, 10));
  EXPECT_EQ(QColor(shown.pixel(1, 1)), QColor(3, 2, 1));
  EXPECT_EQ(messages_->shown.size(), 1u);
}

TEST_F(StationTest, CameraThatWillNotStartIsReported) {
  qt::SetCameraFactory([]() -> std::unique_ptr<camera::Camera> {
    auto camera = testing::StepCamera();
    camera->Unplug();  // present but unable to stream, like a busy device
    return camera;
  });
  Open();
  EXPECT_EQ(messages_->Count(kNoCamera), 1);
  EXPECT_NE(hCapWnd, 0u);
  EXPECT_EQ(bConectado, kFalse);
  ModalAnswer answer([](QWidget* modal) { modal->close(); });
  form_->Command3->click();
  Pump(30);
  EXPECT_FALSE(answer.Ran());
}

// A camera that would not start at first and was found again later is the live camera
// from then on: losing it again must stop the capture and be reported like any unplug.
TEST_F(StationTest, CameraFoundLaterIsWatchedForUnplugLikeAnyOther) {
  qt::SetCameraFactory([this]() -> std::unique_ptr<camera::Camera> {
    auto camera = testing::StepCamera();
    camera->Unplug();
    camera_ = camera.get();
    return camera;
  });
  Open();
  ASSERT_EQ(messages_->Count(kNoCamera), 1);
  ASSERT_EQ(bConectado, kFalse);
  auto* panel = form_->findChild<AidsPanel*>(QStringLiteral("AidsPanel"));
  ASSERT_NE(panel, nullptr);
  camera_->Replug();
  ASSERT_TRUE(testing::WaitFor([&] { return bConectado == kTrue; }, 4000));
  ASSERT_TRUE(CapWnd()->Previewing());

  camera_->Unplug();
  EXPECT_TRUE(testing::WaitFor([&] { return bConectado == kFalse; }));
  EXPECT_FALSE(CapWnd()->Previewing());
  ASSERT_EQ(messages_->shown.size(), 2u);
  EXPECT_NE(messages_->shown[1].text.find("desconectado"), std::string::npos);
}

// The offscreen window system frames windows as they are shown: the frame, title bar
// included, lands a twenty-ninth of the free space from the screen's corner.
TEST_F(StationTest, FrameLandsAtATwentyNinthOfTheFreeSpace) {
  OpenWithCamera();
  const QRect screen = form_->screen()->geometry();
  const auto expected = [&] {
    const QRect frame = form_->frameGeometry();
    const auto [left, top] = PlaceOnScreen(screen.width() * 15, screen.height() * 15,
                                           frame.width() * 15, frame.height() * 15);
    return QPoint(screen.left() + static_cast<int>(std::lround(left / 15.0)),
                  screen.top() + static_cast<int>(std::lround(top / 15.0)));
  };
  EXPECT_TRUE(testing::WaitFor([&] {
    return form_->frameGeometry() != form_->geometry() &&
           form_->frameGeometry().topLeft() == expected();
  })) << form_->frameGeometry().x()
      << "," << form_->frameGeometry().y();
}

TEST_F(StationTest, StartShowsTheLivePictureInPicture1) {
  OpenWithCamera();
  EXPECT_TRUE(messages_->shown.empty());
  EXPECT_EQ(bConectado, kTrue);
  qt::CaptureWindow* window = CapWnd();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->parentWidget(), form_->Picture1->Client());
  EXPECT_EQ(window->geometry(), QRect(0, 0, 320, 240));
  EXPECT_EQ(window->objectName(), "CapWindow");
  EXPECT_TRUE(window->Connected());
  EXPECT_TRUE(window->Previewing());
  EXPECT_EQ(window->PreviewRate(), 30);
  EXPECT_TRUE(window->Scaling());
  ASSERT_TRUE(testing::WaitFor([&] { return !window->PreviewImage().isNull(); }));
  EXPECT_EQ(window->PreviewImage().size(), QSize(320, 240));
  // The preview is the camera's frame scaled down: compare a smoothed centre pixel.
  const QImage full = FrameImage(camera_->Latest());
  const QImage expected = full.scaled(320, 240, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  const QImage shown = window->PreviewImage();
  int far = 0;
  for (int y = 0; y < 240; y += 8) {
    for (int x = 0; x < 320; x += 8) {
      const QColor a(shown.pixel(x, y)), b(expected.pixel(x, y));
      far += std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) > 24 ? 1 : 0;
    }
  }
  // The preview may be one frame behind what Latest() holds now; the eye drifts slowly.
  EXPECT_LT(far, 40 * 30 / 10);
}

TEST_F(StationTest, CapturarPutsTheCurrentFrameIntoPicture2) {
  OpenWithCamera();
  form_->cmdCapturar->click();
  const camera::Frame& frame = camera_->Latest();
  ASSERT_EQ(frame.width, 640);
  const QImage expected = FrameImage(frame);
  const QImage shown = form_->Picture2->Shown();
  ASSERT_EQ(shown.size(), QSize(640, 480));
  EXPECT_EQ(shown, expected);
  // A real picture, not a flat one.
  EXPECT_NE(shown.pixel(320, 240), shown.pixel(5, 5));
  // Picture2 sizes itself to the picture and Label2 follows its width.
  EXPECT_EQ(form_->Picture2->size(), QSize(644, 484));
  EXPECT_EQ(form_->Label2->width(), 644);
  EXPECT_EQ(form_->Picture2->Picture().Width(), 640);
}

TEST_F(StationTest, FormatoChangesTheFrameSize) {
  OpenWithCamera();
  bool listed = false;
  ModalAnswer answer([&](QWidget* modal) {
    auto* sizes = modal->findChild<QComboBox*>(QStringLiteral("sizeBox"));
    auto* rates = modal->findChild<QComboBox*>(QStringLiteral("rateBox"));
    ASSERT_NE(sizes, nullptr);
    ASSERT_NE(rates, nullptr);
    listed = sizes->count() == 2 && rates->count() == 2 && sizes->currentText() == "640 x 480";
    sizes->setCurrentIndex(sizes->findText(QStringLiteral("1280 x 720")));
    qobject_cast<QDialog*>(modal)->accept();
  });
  form_->Command3->click();
  EXPECT_TRUE(answer.Ran());
  EXPECT_TRUE(listed);
  EXPECT_EQ(camera_->CurrentFormat().width, 1280);
  form_->cmdCapturar->click();
  EXPECT_EQ(form_->Picture2->Shown().size(), QSize(1280, 720));
}

TEST_F(StationTest, ConfigurarAppliesControlsLiveAndRestoresDefaults) {
  OpenWithCamera();
  const uint32_t brightness = camera::SimulatedCamera::kBrightnessId;
  auto value = [&] {
    for (const camera::Control& c : camera_->Controls()) {
      if (c.id == brightness) {
        return c.value;
      }
    }
    return INT32_MIN;
  };
  const int32_t initial = value();
  int32_t whileOpen = INT32_MIN;
  int32_t afterRestore = INT32_MIN;
  ModalAnswer answer([&](QWidget* modal) {
    auto* slider = modal->findChild<QSlider*>(QStringLiteral("control_%1").arg(brightness));
    ASSERT_NE(slider, nullptr);
    slider->setValue(slider->maximum());
    whileOpen = value();
    modal->findChild<QPushButton*>(QStringLiteral("restoreDefaults"))->click();
    afterRestore = value();
    modal->findChild<QPushButton*>(QStringLiteral("close"))->click();
  });
  form_->Command4->click();
  EXPECT_TRUE(answer.Ran());
  EXPECT_NE(whileOpen, initial);
  EXPECT_GT(whileOpen, initial);
  EXPECT_EQ(afterRestore, initial);
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    sum += (a[i] - b[i]) * double(a[i] - b[i]);
  }
  const double mse = sum / static_cast<double>(a.size());
  return 10 * std::log10(255.0 * 255.0 / std::max(mse, 1e-9));
}

std::vector<uint8_t> DecodeRgb(const std::string& path, int& width, int& height) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> jpeg((std::istreambuf_iterator<char>(in)), {});
  tjhandle tj = tjInitDecompress();
  int subsampling = 0, colourspace = 0;
  std::vector<uint8_t> rgb;
  if (tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                          &colourspace) == 0) {
    rgb.resize(static_cast<size_t>(width) * height * 3);
    if (tjDecompress2(tj, jpeg.data(), jpeg.size(), rgb.data(), width, 0, height, TJPF_RGB, 0) !=
        0) {
      rgb.clear();
    }
  }
  tjDestroy(tj);
  return rgb;
}

// The luminance and chrominance tables of a JPEG file (natural order), and those
// libjpeg makes for quality 90.
std::pair<std::vector<int>, std::vector<int>> QuantTables(const std::string& path) {
  std::vector<int> inFile, expected;
  jpeg_error_mgr err{};
  jpeg_decompress_struct in{};
  in.err = jpeg_std_error(&err);
  jpeg_create_decompress(&in);
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) {
    jpeg_stdio_src(&in, file);
    jpeg_read_header(&in, TRUE);
    for (int t = 0; t < 2; ++t) {
      for (int i = 0; i < 64 && in.quant_tbl_ptrs[t] != nullptr; ++i) {
        inFile.push_back(in.quant_tbl_ptrs[t]->quantval[i]);
      }
    }
    std::fclose(file);
  }
  jpeg_destroy_decompress(&in);
  jpeg_compress_struct out{};
  out.err = jpeg_std_error(&err);
  jpeg_create_compress(&out);
  out.in_color_space = JCS_RGB;
  jpeg_set_defaults(&out);
  jpeg_set_quality(&out, 90, TRUE);
  for (int t = 0; t < 2; ++t) {
    for (int i = 0; i < 64; ++i) {
      expected.push_back(out.quant_tbl_ptrs[t]->quantval[i]);
    }
  }
  jpeg_destroy_compress(&out);
  return {inFile, expected};
}

TEST_F(StationTest, GrabarWritesTheStillAsJpeg) {
  OpenWithCamera();
  form_->cmdCapturar->click();
  const std::vector<uint8_t> frame = camera_->Latest().rgb;
  const std::string target = (dir_ / "ojo.JPG").string();
  dialog_->answer = target;
  form_->cmdGuardar->click();
  EXPECT_TRUE(messages_->shown.empty()) << messages_->shown[0].text;

  ASSERT_EQ(dialog_->asked.size(), 1u);
  const OPENFILENAME& ofn = dialog_->asked[0];
  EXPECT_EQ(StripAtNul(ofn.lpstrFile), ProgramFolder() + "/RuvoDiro.jpg");
  EXPECT_EQ(ofn.lpstrFilter,
            std::string("JPEG Files (*.JPG)\0*.JPG\0All Files (*.*)\0*.*\0\0", 46));
  EXPECT_EQ(ofn.nFilterIndex, 1u);
  EXPECT_EQ(ofn.lpstrDefExt, "JPG");
  EXPECT_EQ(ofn.Flags & OFN_OVERWRITEPROMPT, OFN_OVERWRITEPROMPT);
  EXPECT_EQ(qt::WidgetFromHandle(ofn.hwndOwner), form_.get());

  int width = 0, height = 0;
  const std::vector<uint8_t> decoded = DecodeRgb(target, width, height);
  ASSERT_EQ(width, 640);
  ASSERT_EQ(height, 480);
  ASSERT_EQ(decoded.size(), frame.size());
  EXPECT_GT(Psnr(decoded, frame), 30.0);  // upright, the right way round
  // Quality 90: the file's tables are the Annex K ones scaled as libjpeg scales them.
  const auto [fileTables, quality90] = QuantTables(target);
  EXPECT_EQ(fileTables, quality90);
  // The record is off by default: nothing beside the JPEG.
  EXPECT_FALSE(std::filesystem::exists(dir_ / "ojo.iir"));
}

// Milliseconds since the start of the day of a capture time.
int64_t DayMilliseconds(const record::CaptureTime& t) {
  return ((t.hour * 60 + t.minute) * 60 + t.second) * int64_t{1000} + t.millisecond;
}

TEST_F(StationTest, TickedRecordIsWrittenBesideTheJpegWithTheChosenEye) {
  OpenWithCamera();
  auto* options = form_->findChild<RecordOptions*>(QStringLiteral("RecordOptions"));
  ASSERT_NE(options, nullptr);
  EXPECT_TRUE(options->isVisible());
  EXPECT_FALSE(options->SaveToggle()->isChecked());
  EXPECT_EQ(options->SaveToggle()->text(), "Guardar también registro ISO");
  ASSERT_EQ(options->EyeChoice()->count(), 3);
  EXPECT_EQ(options->EyeChoice()->currentText(), "Sin indicar");
  EXPECT_EQ(options->EyeChoice()->itemText(1), "Derecho");
  EXPECT_EQ(options->EyeChoice()->itemText(2), "Izquierdo");
  options->EyeChoice()->setCurrentIndex(2);
  options->SaveToggle()->setChecked(true);
  timespec before{}, after{};
  clock_gettime(CLOCK_REALTIME, &before);
  form_->cmdCapturar->click();
  clock_gettime(CLOCK_REALTIME, &after);
  dialog_->answer = (dir_ / "ojo.JPG").string();
  form_->cmdGuardar->click();
  EXPECT_TRUE(messages_->shown.empty()) << messages_->shown[0].text;
  ASSERT_TRUE(std::filesystem::exists(dir_ / "ojo.JPG"));
  const record::Record written = record::ReadRecordFile((dir_ / "ojo.iir").string());
  ASSERT_EQ(written.representations.size(), 1u);
  const record::Representation& r = written.representations[0];
  EXPECT_EQ(record::EyeName(r.eye), "left");
  EXPECT_EQ(record::ImageTypeName(r.imageType), "cropped");
  EXPECT_EQ(record::ImageFormatName(r.imageFormat), "png");
  EXPECT_EQ(r.deviceTechnology, 0);  // the simulated camera has no sensor
  const record::CaptureTime from = record::CaptureTimeOf(before), to = record::CaptureTimeOf(after);
  EXPECT_EQ(r.capture.year, from.year);
  EXPECT_GE(DayMilliseconds(r.capture), DayMilliseconds(from));
  EXPECT_LE(DayMilliseconds(r.capture), DayMilliseconds(to));
  // The simulated iris is about 110 pixels in radius: a crop of 3.2 by 2.4 radii.
  EXPECT_NEAR(r.width, 355, 12);
  EXPECT_NEAR(r.height, 267, 10);
  const iris::GreyImage image = record::DecodeImage(r);
  EXPECT_EQ(image.width, r.width);
  ASSERT_EQ(r.quality.size(), 1u);
  EXPECT_LE(r.quality[0].score, 100);
  EXPECT_EQ(RecordOptions::RecordPath("/a/b.c/ojo.JPG"), "/a/b.c/ojo.iir");
  EXPECT_EQ(RecordOptions::RecordPath("/a/b.c/ojo"), "/a/b.c/ojo.iir");
}

TEST_F(StationTest, RecordThatCannotBeMadeKeepsTheJpegAndSaysWhy) {
  qt::SetCameraFactory([this]() -> std::unique_ptr<camera::Camera> {
    camera::SimulatedCamera::Options settings;
    settings.framePerPoll = true;
    settings.settleFrames = 0;
    camera::SimulatedCamera::Eye eye;
    eye.offsetX = 235;  // the iris runs into the right edge
    eye.drift = false;
    auto made = std::make_unique<camera::SimulatedCamera>(settings, eye);
    camera_ = made.get();
    return made;
  });
  Open();
  auto* options = form_->findChild<RecordOptions*>(QStringLiteral("RecordOptions"));
  ASSERT_NE(options, nullptr);
  options->SaveToggle()->setChecked(true);
  form_->cmdCapturar->click();
  dialog_->answer = (dir_ / "borde.JPG").string();
  form_->cmdGuardar->click();
  EXPECT_GT(std::filesystem::file_size(dir_ / "borde.JPG"), 1000u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "borde.iir"));
  ASSERT_EQ(messages_->shown.size(), 1u);
  EXPECT_EQ(messages_->shown[0].text,
            std::string(RecordOptions::kNotSaved) + RecordOptions::kMargins);
  EXPECT_EQ(messages_->shown[0].icon, MessageIcon::Exclamation);
  // A folder where the record cannot be written: the JPEG stays, the reason is told.
  messages_->shown.clear();
  std::filesystem::create_directory(dir_ / "sitio.iir");
  qt::SetCameraFactory(nullptr);
  form_.reset();
  OpenWithCamera();
  form_->findChild<RecordOptions*>(QStringLiteral("RecordOptions"))->SaveToggle()->setChecked(true);
  form_->cmdCapturar->click();
  dialog_->answer = (dir_ / "sitio.jpg").string();
  form_->cmdGuardar->click();
  EXPECT_TRUE(std::filesystem::exists(dir_ / "sitio.jpg"));
  ASSERT_EQ(messages_->shown.size(), 1u);
  EXPECT_EQ(messages_->shown[0].text.rfind(RecordOptions::kNotSaved, 0), 0u)
      << messages_->shown[0].text;
  EXPECT_NE(messages_->shown[0].text.find("sitio.iir"), std::string::npos)
      << messages_->shown[0].text;
}

// F5 is "Capturar" and Ctrl+S "Grabar"; a save is confirmed under the still.
TEST_F(StationTest, KeysCaptureAndSaveAndTheSaveIsConfirmed) {
  OpenWithCamera();
  QApplication::setActiveWindow(form_.get());
  EXPECT_FALSE(form_->SaveStatus()->isVisible());
  QTest::keyClick(form_.get(), Qt::Key_F5);
  ASSERT_FALSE(form_->Picture2->Shown().isNull());
  EXPECT_EQ(form_->Picture2->Shown(), FrameImage(camera_->Latest()));
  const std::string target = (dir_ / "tecla.JPG").string();
  dialog_->answer = target;
  QTest::keyClick(form_.get(), Qt::Key_S, Qt::ControlModifier);
  ASSERT_EQ(dialog_->asked.size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(target));
  EXPECT_TRUE(form_->SaveStatus()->isVisible());
  EXPECT_EQ(form_->SaveStatus()->text().toStdString(), "Guardado: " + target);
  // Right under the 644 x 484 still, inside the window.
  EXPECT_GT(form_->SaveStatus()->geometry().top(), form_->Picture2->geometry().bottom());
  EXPECT_LE(form_->SaveStatus()->geometry().bottom(), form_->height() - 1);
  // A cancelled save confirms nothing new.
  form_->SaveStatus()->hide();
  dialog_->answer.clear();
  QTest::keyClick(form_.get(), Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(dialog_->asked.size(), 2u);
  EXPECT_FALSE(form_->SaveStatus()->isVisible());
}

// An installed program's folder cannot be written by its users: "Grabar" then proposes
// the user's pictures folder, else the home folder.
TEST_F(StationTest, ProposalLeavesAProgramFolderTheUserCannotWrite) {
  const std::filesystem::path program = dir_ / "programa", pictures = dir_ / "Imágenes",
                              home = dir_ / "casa";
  for (const auto& folder : {program, pictures, home}) {
    std::filesystem::create_directories(folder);
  }
  std::filesystem::permissions(program, std::filesystem::perms(0555));
  for (const auto& folder : {pictures, home}) {
    std::filesystem::permissions(folder, std::filesystem::perms(0777));
  }
  const std::filesystem::path missing = dir_ / "no-existe";
  const int64_t chosen = testing::RunUnprivileged(dir_.string(), [&]() -> int64_t {
    int64_t result = 0;
    if (SaveProposalFolder(program, pictures, home) == pictures.string()) {
      result |= 1;
    }
    if (SaveProposalFolder(program, missing, home) == home.string()) {
      result |= 2;
    }
    if (SaveProposalFolder(program, "", missing) == program.string()) {
      result |= 4;  // nothing better
    }
    if (SaveProposalFolder(pictures, home, home) == pictures.string()) {
      result |= 8;  // writable: kept
    }
    return result;
  });
  EXPECT_EQ(chosen, 15);
  // The pictures folder is the desktop's: XDG_PICTURES_DIR of the user's directories.
  const std::filesystem::path config = std::getenv("XDG_CONFIG_HOME");
  std::filesystem::create_directories(config);
  std::ofstream(config / "user-dirs.dirs") << "XDG_PICTURES_DIR=\"$HOME/Fotos\"\n";
  EXPECT_EQ(PicturesFolder(), std::string(std::getenv("HOME")) + "/Fotos");
  EXPECT_EQ(HomeFolder(), std::string(std::getenv("HOME")));
  std::filesystem::remove(config / "user-dirs.dirs");
}

TEST_F(StationTest, CancelledSaveWritesNothing) {
  OpenWithCamera();
  form_->cmdCapturar->click();
  dialog_->answer.clear();
  form_->cmdGuardar->click();
  EXPECT_EQ(dialog_->asked.size(), 1u);
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
  EXPECT_FALSE(std::filesystem::exists(ProgramFolder() + "/RuvoDiro.jpg"));
  EXPECT_TRUE(messages_->shown.empty());
}

TEST_F(StationTest, GrabarBeforeAnyCaptureReportsAndKeepsRunning) {
  OpenWithCamera();
  const std::string target = (dir_ / "vacio.JPG").string();
  dialog_->answer = target;
  form_->cmdGuardar->click();
  ASSERT_EQ(dialog_->asked.size(), 1u);  // the dialog is still shown
  ASSERT_EQ(messages_->shown.size(), 1u);
  const std::string& text = messages_->shown[0].text;
  EXPECT_NE(text.find("26001"), std::string::npos) << text;
  EXPECT_NE(text.find("Failed to save to JPG"), std::string::npos) << text;
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_EQ(ended_, 0);
  EXPECT_TRUE(form_->isVisible());
  // The station goes on working: a capture and a save now succeed.
  form_->cmdCapturar->click();
  form_->cmdGuardar->click();
  EXPECT_TRUE(std::filesystem::exists(target));
}

TEST_F(StationTest, ReplacingAFileKeepsItsTimes) {
  OpenWithCamera();
  form_->cmdCapturar->click();
  const std::string target = (dir_ / "viejo.JPG").string();
  std::ofstream(target) << "an older picture";
  const timespec times[2] = {{978307200, 0}, {978310800, 0}};  // 2001-01-01
  ASSERT_EQ(utimensat(AT_FDCWD, target.c_str(), times, 0), 0);
  dialog_->answer = target;
  form_->cmdGuardar->click();
  EXPECT_TRUE(messages_->shown.empty());
  struct stat st {};
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 978310800);
  EXPECT_GT(st.st_size, 1000);
}

TEST_F(StationTest, CloseRunsTheStopActionAndEndsTheProgram) {
  OpenWithCamera();
  const gdi::HWND capture = hCapWnd;
  ASSERT_NE(qt::WidgetFromHandle(capture), nullptr);
  form_->close();
  EXPECT_EQ(ended_, 1);
  EXPECT_EQ(bConectado, kFalse);
  EXPECT_EQ(qt::WidgetFromHandle(capture), nullptr);  // the capture window is gone
  EXPECT_EQ(hCapWnd, capture);                        // and its handle is kept
  // After the stop, the messages fall on a stale handle and do nothing.
  int32_t zero = 0;
  EXPECT_EQ(qt::SendMessageA(hCapWnd, qt::WM_CAP_EDIT_COPY, 1, &zero), 0);
}

TEST_F(StationTest, UnpluggingDuringPreviewStopsItAndTellsTheOperator) {
  OpenWithCamera();
  qt::CaptureWindow* window = CapWnd();
  ASSERT_TRUE(testing::WaitFor([&] { return !window->PreviewImage().isNull(); }));
  camera_->Unplug();
  ASSERT_TRUE(testing::WaitFor([&] { return !messages_->shown.empty(); }));
  EXPECT_EQ(messages_->shown.size(), 1u);
  EXPECT_NE(messages_->shown[0].text.find("desconectado"), std::string::npos);
  EXPECT_EQ(bConectado, kFalse);
  EXPECT_FALSE(window->Previewing());
  // The station keeps working: capture finds no new frame, dialogs are not offered.
  form_->cmdCapturar->click();
  ModalAnswer answer([](QWidget* modal) { modal->close(); });
  form_->Command3->click();
  Pump(30);
  EXPECT_FALSE(answer.Ran());
  form_->close();
  EXPECT_EQ(ended_, 1);
  EXPECT_EQ(qt::WidgetFromHandle(hCapWnd), nullptr);
}

// The fake webcam as the station's camera, one frame delivered and shown.
std::shared_ptr<camera::FakeUvcDevice> OpenOnFakeWebcam(const std::function<void()>& open) {
  auto fake = std::make_shared<camera::FakeUvcDevice>();
  fake->AddWebcam("/dev/video0");
  qt::SetCameraFactory([fake]() -> std::unique_ptr<camera::Camera> {
    auto made = std::make_unique<camera::V4l2Camera>("/dev/video0", fake);
    made->SetSettleFrames(0);
    return made;
  });
  open();
  fake->DeliverFrames("/dev/video0");
  qt::CaptureWindowFromHandle(hCapWnd)->PollFrame();
  return fake;
}

TEST_F(StationTest, WebcamUnpluggedAsCapturarTakesTheFrameKeepsTheStill) {
  const auto fake = OpenOnFakeWebcam([this] { Open(); });
  form_->cmdCapturar->click();
  const QImage still = form_->Picture2->Shown();
  ASSERT_EQ(still.size(), QSize(640, 480));
  // Another program takes the clipboard; then the cable goes as Capturar fetches the
  // newest frame, which never comes.
  gdi::OpenClipboard(0);
  gdi::EmptyClipboard();
  gdi::CloseClipboard();
  fake->DeliverFrames("/dev/video0");
  fake->UnplugDuringDequeue("/dev/video0");
  form_->cmdCapturar->click();
  EXPECT_EQ(form_->Picture2->Shown(), still);
  ASSERT_TRUE(testing::WaitFor([&] { return !messages_->shown.empty(); }));
  EXPECT_EQ(messages_->shown.size(), 1u);
  EXPECT_NE(messages_->shown[0].text.find("desconectado"), std::string::npos);
  EXPECT_EQ(bConectado, kFalse);
  EXPECT_TRUE(form_->isVisible());
}

// Answers the save dialog after the webcam is pulled while it is open.
class UnplugWhileAsking : public testing::ScriptedSaveDialog {
public:
  int GetSaveFileNameA(OPENFILENAME& ofn) override {
    unplug();
    return ScriptedSaveDialog::GetSaveFileNameA(ofn);
  }
  std::function<void()> unplug;
};

TEST_F(StationTest, WebcamUnpluggedWhileGrabarAsksSavesTheStillAndTellsTheOperator) {
  auto asking = std::make_shared<UnplugWhileAsking>();
  SetSaveFileDialogBackend(asking);
  const auto fake = OpenOnFakeWebcam([this] { Open(); });
  form_->cmdCapturar->click();
  const QImage still = form_->Picture2->Shown();
  asking->answer = (dir_ / "ojo.JPG").string();
  asking->unplug = [&] {
    fake->Unplug("/dev/video0");
    // The preview notices while the dialog is open.
    EXPECT_TRUE(testing::WaitFor([] { return bConectado == kFalse; }));
  };
  form_->cmdGuardar->click();
  ASSERT_EQ(asking->asked.size(), 1u);
  ASSERT_EQ(messages_->shown.size(), 1u);
  EXPECT_NE(messages_->shown[0].text.find("desconectado"), std::string::npos);
  int width = 0, height = 0;
  const std::vector<uint8_t> saved = DecodeRgb(asking->answer, width, height);
  ASSERT_EQ(width, 640);
  ASSERT_EQ(height, 480);
  std::vector<uint8_t> shown;
  for (int y = 0; y < 480; ++y) {
    for (int x = 0; x < 640; ++x) {
      const QRgb c = still.pixel(x, y);
      shown.insert(shown.end(), {static_cast<uint8_t>(qRed(c)), static_cast<uint8_t>(qGreen(c)),
                                 static_cast<uint8_t>(qBlue(c))});
    }
  }
  EXPECT_GT(Psnr(saved, shown), 30.0);
  EXPECT_EQ(form_->Picture2->Shown(), still);
  EXPECT_TRUE(form_->isVisible());
}

TEST_F(StationTest, ErrorsLeavingAHandlerAreShownWithNumberAndDescription) {
  qt::SetCameraFactory([]() -> std::unique_ptr<camera::Camera> { return nullptr; });
  Open();
  messages_->shown.clear();
  form_->Run([] { Raise(kErrSubscript); });
  form_->Run([] { throw std::runtime_error("algo falló"); });
  ASSERT_EQ(messages_->shown.size(), 2u);
  EXPECT_EQ(messages_->shown[0].text, UnhandledErrorText(9, "Subscript out of range"));
  EXPECT_EQ(messages_->shown[0].icon, MessageIcon::Critical);
  EXPECT_NE(messages_->shown[1].text.find("algo falló"), std::string::npos);
  EXPECT_EQ(ended_, 0);
}

// Tab walks the working buttons in their design order, then the aids.
TEST_F(StationTest, TabGoesFormatoConfigurarCapturarGrabarThenTheAids) {
  OpenWithCamera();
  QApplication::setActiveWindow(form_.get());
  form_->activateWindow();
  ASSERT_TRUE(testing::WaitFor([] { return QApplication::focusWidget() != nullptr; }, 2000));
  std::vector<QWidget*> visited;
  for (int i = 0; i < 5; ++i) {
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr);
    visited.push_back(focused);
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(focused, &tab);
  }
  EXPECT_EQ(visited[0], form_->Command3) << visited[0]->objectName().toStdString();
  EXPECT_EQ(visited[1], form_->Command4) << visited[1]->objectName().toStdString();
  EXPECT_EQ(visited[2], form_->cmdCapturar) << visited[2]->objectName().toStdString();
  EXPECT_EQ(visited[3], form_->cmdGuardar) << visited[3]->objectName().toStdString();
  auto* panel = form_->findChild<AidsPanel*>(QStringLiteral("AidsPanel"));
  ASSERT_NE(panel, nullptr);
  EXPECT_TRUE(panel->isAncestorOf(visited[4])) << visited[4]->objectName().toStdString();
}

// A camera whose stream will not start again at 1280 x 720 (as a webcam short of USB
// bandwidth): the format is granted, the restart fails.
class NoRestartAtHd final : public camera::Camera {
public:
  std::string Name() const override { return inner_->Name(); }
  std::string Identity() const override { return inner_->Identity(); }
  bool Start() override {
    if (inner_->CurrentFormat().width >= 1280) {
      error_ = "No hay ancho de banda suficiente";
      return false;
    }
    return inner_->Start();
  }
  void Stop() override { inner_->Stop(); }
  camera::CameraState State() const override { return inner_->State(); }
  int PollDescriptor() const override { return -1; }
  bool Poll() override { return inner_->Poll(); }
  const camera::Frame& Latest() const override { return inner_->Latest(); }
  std::vector<camera::FormatChoice> Formats() override { return inner_->Formats(); }
  camera::StreamFormat CurrentFormat() override { return inner_->CurrentFormat(); }
  std::optional<camera::StreamFormat> SetFormat(const camera::StreamFormat& format) override {
    const bool streaming = inner_->State() == camera::CameraState::Streaming;
    inner_->Stop();
    const auto granted = inner_->SetFormat(format);
    if (streaming && !Start()) {
      return std::nullopt;
    }
    return granted;
  }
  std::vector<camera::Control> Controls() override { return inner_->Controls(); }
  bool SetControl(uint32_t id, int32_t value) override { return inner_->SetControl(id, value); }
  std::string LastError() const override { return error_.empty() ? inner_->LastError() : error_; }

private:
  std::unique_ptr<camera::SimulatedCamera> inner_ = testing::StepCamera();
  std::string error_;
};

// A format the camera takes but cannot stream is reported as that, not as an unplug,
// and "Formato" stays there to choose another one.
TEST_F(StationTest, FormatWhoseRestartFailsIsReportedAndFormatoStaysUsable) {
  camera::Camera* camera = nullptr;
  qt::SetCameraFactory([&camera]() -> std::unique_ptr<camera::Camera> {
    auto made = std::make_unique<NoRestartAtHd>();
    camera = made.get();
    return made;
  });
  Open();
  ASSERT_EQ(bConectado, kTrue);
  const auto choose = [&](const char* size) {
    ModalAnswer answer([size](QWidget* modal) {
      auto* sizes = modal->findChild<QComboBox*>(QStringLiteral("sizeBox"));
      if (sizes != nullptr) {
        sizes->setCurrentIndex(sizes->findText(QString::fromUtf8(size)));
      }
      if (auto* dialog = qobject_cast<QDialog*>(modal)) {
        dialog->accept();
        if (dialog->isVisible()) {
          dialog->reject();  // the format was not taken: give up
        }
      }
    });
    form_->Command3->click();
    Pump(100);
    return answer.Ran();
  };
  ASSERT_TRUE(choose("1280 x 720"));
  Pump(200);
  EXPECT_EQ(bConectado, kTrue);
  for (const testing::ShownMessage& m : messages_->shown) {
    EXPECT_EQ(m.text.find("desconectado"), std::string::npos) << m.text;
  }
  ASSERT_FALSE(messages_->shown.empty());
  EXPECT_NE(messages_->shown.back().text.find("reanudar"), std::string::npos)
      << messages_->shown.back().text;
  EXPECT_EQ(camera->CurrentFormat().width, 640) << "the former format is back";
  EXPECT_TRUE(CapWnd()->Previewing());

  // "Formato" still opens; a size the camera can stream brings the live picture back.
  ASSERT_TRUE(choose("640 x 480"));
  EXPECT_EQ(camera->State(), camera::CameraState::Streaming);
  EXPECT_TRUE(CapWnd()->Previewing());
  EXPECT_EQ(bConectado, kTrue);
}

}  // namespace
}  // namespace okuva
