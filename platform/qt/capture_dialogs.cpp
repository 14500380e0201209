#include "platform/qt/capture_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QVBoxLayout>

#include "platform/runtime/services.h"

namespace okuva::qt {
namespace {

QString RateText(const camera::FrameRate& rate) {
  if (rate.numerator == 0) {
    return QStringLiteral("?");
  }
  const double fps = static_cast<double>(rate.denominator) / rate.numerator;
  return QStringLiteral("%1 cuadros/s").arg(fps, 0, 'g', 4);
}

}  // namespace

VideoFormatDialog::VideoFormatDialog(camera::Camera& camera, QWidget* parent)
    : QDialog(parent), camera_(camera), choices_(camera.Formats()) {
  setObjectName(QStringLiteral("VideoFormatDialog"));
  setWindowTitle(QStringLiteral("Formato de la captura"));
  setModal(true);

  formatBox_ = new QComboBox(this);
  formatBox_->setObjectName(QStringLiteral("formatBox"));
  sizeBox_ = new QComboBox(this);
  sizeBox_->setObjectName(QStringLiteral("sizeBox"));
  rateBox_ = new QComboBox(this);
  rateBox_->setObjectName(QStringLiteral("rateBox"));

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Formato de píxel:"), formatBox_);
  form->addRow(QStringLiteral("Tamaño de imagen:"), sizeBox_);
  form->addRow(QStringLiteral("Velocidad:"), rateBox_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Aceptar"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancelar"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);

  // Each pixel format once, in the device's order.
  for (const camera::FormatChoice& choice : choices_) {
    if (formatBox_->findData(choice.fourcc) < 0) {
      formatBox_->addItem(QString::fromStdString(choice.formatName), choice.fourcc);
    }
  }
  const camera::StreamFormat current = camera_.CurrentFormat();
  formatBox_->setCurrentIndex(std::max(0, formatBox_->findData(current.fourcc)));
  FillSizes();
  for (int i = 0; i < sizeBox_->count(); ++i) {
    const QSize size = sizeBox_->itemData(i).toSize();
    if (size == QSize(current.width, current.height)) {
      sizeBox_->setCurrentIndex(i);
    }
  }
  FillRates();
  for (int i = 0; i < rateBox_->count(); ++i) {
    const QPoint rate = rateBox_->itemData(i).toPoint();
    if (static_cast<uint32_t>(rate.x()) == current.rate.numerator &&
        static_cast<uint32_t>(rate.y()) == current.rate.denominator) {
      rateBox_->setCurrentIndex(i);
    }
  }
  connect(formatBox_, &QComboBox::currentIndexChanged, this, [this] {
    FillSizes();
    FillRates();
  });
  connect(sizeBox_, &QComboBox::currentIndexChanged, this, [this] { FillRates(); });
}

void VideoFormatDialog::FillSizes() {
  const QSignalBlocker block(sizeBox_);
  sizeBox_->clear();
  const uint32_t fourcc = formatBox_->currentData().toUInt();
  for (const camera::FormatChoice& choice : choices_) {
    if (choice.fourcc == fourcc) {
      sizeBox_->addItem(QStringLiteral("%1 x %2").arg(choice.width).arg(choice.height),
                        QSize(choice.width, choice.height));
    }
  }
}

void VideoFormatDialog::FillRates() {
  rateBox_->clear();
  const uint32_t fourcc = formatBox_->currentData().toUInt();
  const QSize size = sizeBox_->currentData().toSize();
  for (const camera::FormatChoice& choice : choices_) {
    if (choice.fourcc == fourcc && QSize(choice.width, choice.height) == size) {
      for (const camera::FrameRate& rate : choice.rates) {
        rateBox_->addItem(RateText(rate), QPoint(static_cast<int>(rate.numerator),
                                                 static_cast<int>(rate.denominator)));
      }
    }
  }
}

std::optional<camera::StreamFormat> VideoFormatDialog::Selected() const {
  if (formatBox_->currentIndex() < 0 || sizeBox_->currentIndex() < 0) {
    return std::nullopt;
  }
  camera::StreamFormat format;
  format.fourcc = formatBox_->currentData().toUInt();
  const QSize size = sizeBox_->currentData().toSize();
  format.width = size.width();
  format.height = size.height();
  if (rateBox_->currentIndex() >= 0) {
    const QPoint rate = rateBox_->currentData().toPoint();
    format.rate.numerator = static_cast<uint32_t>(rate.x());
    format.rate.denominator = static_cast<uint32_t>(rate.y());
  } else {
    format.rate = camera_.CurrentFormat().rate;
  }
  return format;
}

bool VideoFormatDialog::Apply() {
  const std::optional<camera::StreamFormat> wanted = Selected();
  if (!wanted) {
    return false;
  }
  const camera::StreamFormat previous = camera_.CurrentFormat();
  const bool wasStreaming = camera_.State() == camera::CameraState::Streaming;
  if (!camera_.SetFormat(*wanted)) {
    const std::string why = camera_.LastError();
    const camera::CameraState now = camera_.State();
    if (wasStreaming && now != camera::CameraState::Streaming &&
        now != camera::CameraState::Unplugged) {
      // Taken, but the stream would not start again with it: that is no unplugged
      // camera. Go back to the former format so the live picture returns.
      const bool back = camera_.SetFormat(previous).has_value() &&
                        (camera_.State() == camera::CameraState::Streaming || camera_.Start());
      std::string text = "La cámara no pudo reanudar la captura con el formato elegido.";
      if (!why.empty()) {
        text += "\n" + why;
      }
      text += back ? "\nSe ha vuelto al formato anterior." : "\nElija otro formato.";
      MsgBox(text, MessageIcon::Exclamation, "Formato de la captura");
      return false;
    }
    std::string text = "La cámara no aceptó el formato elegido.";
    if (!why.empty()) {
      text += "\n" + why;
    }
    MsgBox(text, MessageIcon::Exclamation, "Formato de la captura");
    return false;
  }
  return true;
}

void VideoFormatDialog::done(int result) {
  if (result == QDialog::Accepted && !Apply()) {
    return;
  }
  QDialog::done(result);
}

VideoSourceDialog::VideoSourceDialog(camera::Camera& camera, QWidget* parent)
    : QDialog(parent), camera_(camera), controls_(camera.Controls()) {
  setObjectName(QStringLiteral("VideoSourceDialog"));
  setWindowTitle(QStringLiteral("Configuración de la captura"));
  setModal(true);

  auto* form = new QFormLayout;
  for (const camera::Control& control : controls_) {
    const QString name = QString::fromStdString(control.name);
    const uint32_t id = control.id;
    QWidget* editor = nullptr;
    switch (control.kind) {
      case camera::ControlKind::Integer: {
        auto* row = new QWidget(this);
        auto* slider = new QSlider(Qt::Horizontal, row);
        auto* value = new QLabel(QString::number(control.value), row);
        value->setMinimumWidth(value->fontMetrics().horizontalAdvance(QStringLiteral("-00000")));
        slider->setRange(control.minimum, control.maximum);
        slider->setSingleStep(std::max(1, control.step));
        slider->setPageStep(std::max(1, control.step) * 10);
        slider->setValue(control.value);
        slider->setMinimumWidth(220);
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        rowLayout->addWidget(slider);
        rowLayout->addWidget(value);
        connect(slider, &QSlider::valueChanged, this, [this, id, value](int v) {
          value->setText(QString::number(v));
          ApplyControl(id, v);
        });
        form->addRow(name, row);
        editor = slider;
        break;
      }
      case camera::ControlKind::Boolean: {
        auto* box = new QCheckBox(this);
        box->setChecked(control.value != 0);
        connect(box, &QCheckBox::toggled, this,
                [this, id](bool on) { ApplyControl(id, on ? 1 : 0); });
        form->addRow(name, box);
        editor = box;
        break;
      }
      case camera::ControlKind::Menu: {
        auto* box = new QComboBox(this);
        for (const auto& [itemValue, label] : control.menu) {
          box->addItem(QString::fromStdString(label), itemValue);
        }
        box->setCurrentIndex(box->findData(control.value));
        connect(box, &QComboBox::currentIndexChanged, this, [this, id, box](int index) {
          if (index >= 0) {
            ApplyControl(id, box->itemData(index).toInt());
          }
        });
        form->addRow(name, box);
        editor = box;
        break;
      }
      case camera::ControlKind::Button: {
        auto* button = new QPushButton(name, this);
        connect(button, &QPushButton::clicked, this, [this, id] { ApplyControl(id, 1); });
        form->addRow(QString(), button);
        editor = button;
        break;
      }
    }
    editor->setObjectName(QStringLiteral("control_%1").arg(id));
    // The device only reports a read-only control: show it, but it cannot be moved.
    editor->setEnabled(!control.readOnly);
    editors_.push_back(editor);
  }
  if (controls_.empty()) {
    form->addRow(new QLabel(QStringLiteral("La cámara no ofrece controles."), this));
  }

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("status"));
  status_->setWordWrap(true);
  auto* restore = new QPushButton(QStringLiteral("Restaurar valores predeterminados"), this);
  restore->setObjectName(QStringLiteral("restoreDefaults"));
  restore->setAutoDefault(false);
  connect(restore, &QPushButton::clicked, this, &VideoSourceDialog::RestoreDefaults);
  auto* close = new QPushButton(QStringLiteral("Cerrar"), this);
  close->setObjectName(QStringLiteral("close"));
  connect(close, &QPushButton::clicked, this, &QDialog::accept);

  auto* inner = new QWidget(this);
  inner->setLayout(form);
  auto* scroll = new QScrollArea(this);
  scroll->setWidget(inner);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(restore);
  buttons->addStretch();
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(scroll);
  layout->addWidget(status_);
  layout->addLayout(buttons);
  resize(460, std::min(600, 120 + 40 * static_cast<int>(controls_.size())));
}

bool VideoSourceDialog::ApplyControl(uint32_t id, int32_t value) {
  if (camera_.SetControl(id, value)) {
    return true;
  }
  QString why = QString::fromStdString(camera_.LastError());
  status_->setText(QStringLiteral("No se pudo aplicar el control") +
                   (why.isEmpty() ? QString() : QStringLiteral(": ") + why));
  return false;
}

void VideoSourceDialog::RestoreDefaults() {
  status_->clear();
  for (size_t i = 0; i < controls_.size(); ++i) {
    const camera::Control& control = controls_[i];
    if (control.readOnly) {
      continue;  // the device would refuse any value
    }
    QWidget* editor = editors_[i];
    // Set the editor and apply explicitly: an editor already showing the default would
    // emit no change, yet the device may hold another value.
    switch (control.kind) {
      case camera::ControlKind::Integer: {
        auto* slider = static_cast<QSlider*>(editor);
        const QSignalBlocker block(slider);
        slider->setValue(control.defaultValue);
        if (auto* value = slider->parentWidget()->findChild<QLabel*>()) {
          value->setText(QString::number(slider->value()));
        }
        ApplyControl(control.id, control.defaultValue);
        break;
      }
      case camera::ControlKind::Boolean: {
        auto* box = static_cast<QCheckBox*>(editor);
        const QSignalBlocker block(box);
        box->setChecked(control.defaultValue != 0);
        ApplyControl(control.id, control.defaultValue != 0 ? 1 : 0);
        break;
      }
      case camera::ControlKind::Menu: {
        auto* box = static_cast<QComboBox*>(editor);
        const QSignalBlocker block(box);
        box->setCurrentIndex(box->findData(control.defaultValue));
        ApplyControl(control.id, control.defaultValue);
        break;
      }
      case camera::ControlKind::Button: break;  // a button has no value to restore
    }
  }
}

QWidget* VideoSourceDialog::Editor(uint32_t id) const {
  for (size_t i = 0; i < controls_.size(); ++i) {
    if (controls_[i].id == id) {
      return editors_[i];
    }
  }
  return nullptr;
}

QString VideoSourceDialog::Status() const { return status_->text(); }

}  // namespace okuva::qt
