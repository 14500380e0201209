#include "capture/record_options.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <algorithm>
#include <exception>

#include "iris/grey.h"
#include "platform/camera/camera.h"
#include "platform/qt/capture_window.h"
#include "platform/runtime/error.h"
#include "platform/runtime/services.h"
#include "record/iris_record.h"
#include "record/station_record.h"

namespace okuva {

RecordOptions::RecordOptions(QWidget* parent, std::function<qt::CaptureWindow*()> source)
    : QWidget(parent), source_(std::move(source)) {
  setObjectName(QStringLiteral("RecordOptions"));
  // One row of the aids' column: the eye, then the record's check box.
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(4);
  auto* label = new QLabel(QString::fromUtf8(kEyeLabel), this);
  eye_ = new QComboBox(this);
  eye_->setObjectName(QStringLiteral("EyeChoice"));
  for (const char* name : kEyeNames) {
    eye_->addItem(QString::fromUtf8(name));
  }
  // As tall as the check boxes beside it, so the row costs the column no more.
  eye_->setFixedHeight(20);
  label->setBuddy(eye_);
  save_ = new QCheckBox(QString::fromUtf8(kSaveToggle), this);
  save_->setObjectName(QStringLiteral("SaveRecordToggle"));
  save_->setChecked(false);
  row->addWidget(label);
  row->addWidget(eye_);
  row->addWidget(save_, 1);
}

void RecordOptions::StillTaken() {
  clock_gettime(CLOCK_REALTIME, &takenAt_);
  taken_ = true;
  // A webcam's sensor is CMOS or CCD; the simulated camera has none.
  qt::CaptureWindow* window = source_ ? source_() : nullptr;
  camera::Camera* camera = window != nullptr ? window->Camera() : nullptr;
  deviceTechnology_ = camera != nullptr && !camera->Simulated() ? 1 : 0;
}

std::string RecordOptions::RecordPath(const std::string& jpegPath) {
  const size_t slash = jpegPath.find_last_of('/');
  const size_t dot = jpegPath.find_last_of('.');
  const bool extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (extension ? jpegPath.substr(0, dot) : jpegPath) + ".iir";
}

void RecordOptions::AfterSave(const QImage& still, const std::string& jpegPath) {
  if (!save_->isChecked()) {
    return;
  }
  const std::string path = RecordPath(jpegPath);
  auto tell = [](const std::string& why) {
    MsgBox(std::string(kNotSaved) + why, MessageIcon::Exclamation, kTitle);
  };
  try {
    if (still.isNull()) {
      return tell("no hay foto capturada.");
    }
    const QImage rgb32 = still.convertToFormat(QImage::Format_RGB32);
    const iris::GreyImage grey =
        iris::GreyFromBgrx(rgb32.constBits(), rgb32.width(), rgb32.height(), rgb32.bytesPerLine());
    record::StationOptions options;
    options.eye = static_cast<record::Eye>(std::clamp(eye_->currentIndex(), 0, 2));
    options.format = record::ImageFormat::kPng;
    if (taken_) {
      options.capture = record::CaptureTimeOf(takenAt_);
    }
    options.deviceTechnology = deviceTechnology_;
    record::WriteRecordFile(path, record::MakeStationRecord(grey.View(), options));
  } catch (const record::RecordError& e) {
    switch (e.GetKind()) {
      case record::RecordError::Kind::kNoIris: return tell(kNoIris);
      case record::RecordError::Kind::kMargins: return tell(kMargins);
      default: return tell("no se pudo preparar la imagen del registro.");
    }
  } catch (const RuntimeError& e) {
    tell("no se pudo escribir " + path + " (error " + std::to_string(e.Number()) + ": " +
         e.Description() + ").");
  } catch (const std::exception& e) {
    tell(std::string("no se pudo escribir ") + path + " (" + e.what() + ").");
  }
}

}  // namespace okuva
