#include "capture/aids_panel.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <exception>

#include "capture/aids/instruction.h"
#include "capture/aids/target_ring.h"
#include "capture/iris_aids.h"
#include "platform/camera/camera.h"
#include "platform/qt/capture_window.h"

namespace okuva {
namespace {

const QColor kWarning(176, 0, 0);
const QColor kGood(0, 112, 0);
const QColor kNormalText(0, 0, 0);
const QColor kPanelDark(128, 64, 0);  // the labels' brown

const QColor kInstruction(255, 220, 0);
const QColor kReadyText(40, 220, 90);

// Where the aids sit: the left column under the working buttons, to the window's foot.
constexpr int kPanelLeft = 8, kPanelTop = 316, kPanelWidth = 326;
constexpr int kInstructionHeight = 28;

QLabel* MakeText(QWidget* parent) {
  auto* label = new QLabel(parent);
  // Wrapped rather than widening the aids beyond their column.
  label->setWordWrap(true);
  QFont font = label->font();
  font.setPointSizeF(9);
  label->setFont(font);
  return label;
}

void SetTextColour(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

}  // namespace

FocusBar::FocusBar(QWidget* parent) : QWidget(parent) {}

void FocusBar::SetScores(double current, double best) {
  current_ = current;
  best_ = best;
  update();
}

double FocusBar::Fraction(double score) {
  return std::sqrt(std::clamp(score, 0.0, aids::kFocusScoreMax) / aids::kFocusScoreMax);
}

void FocusBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect inside = rect().adjusted(1, 1, -1, -1);
  painter.fillRect(rect(), kPanelDark);
  painter.fillRect(inside, Qt::white);
  const int filled = static_cast<int>(std::lround(Fraction(current_) * inside.width()));
  painter.fillRect(inside.left(), inside.top(), filled, inside.height(), QColor(0, 160, 64));
  if (best_ > 0) {
    const int x =
        inside.left() + static_cast<int>(std::lround(Fraction(best_) * (inside.width() - 1)));
    painter.fillRect(x - 1, 0, 3, height(), kWarning);
  }
}

HistogramView::HistogramView(QWidget* parent) : QWidget(parent) {}

void HistogramView::SetHistogram(const aids::GreyHistogram& histogram) {
  histogram_ = histogram;
  update();
}

void HistogramView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kPanelDark);
  const QRect area = rect().adjusted(1, 1, -1, -1);
  painter.fillRect(area, QColor(24, 24, 24));
  // Scaled to the tallest inner level, so a spike of clipped pixels does not flatten
  // the rest; the clipped ends are drawn to the top when they exceed it.
  uint64_t tallest = 1;
  for (size_t level = 1; level < 255; ++level) {
    tallest = std::max(tallest, histogram_[level]);
  }
  for (int x = 0; x < area.width(); ++x) {
    const size_t from = static_cast<size_t>(x) * 256 / static_cast<size_t>(area.width());
    const size_t to =
        std::max(from + 1, static_cast<size_t>(x + 1) * 256 / static_cast<size_t>(area.width()));
    uint64_t count = 0;
    bool clipped = false;
    for (size_t level = from; level < to; ++level) {
      count = std::max(count, histogram_[level]);
      clipped |= level == 0 || level == 255;
    }
    if (count == 0) {
      continue;
    }
    const double share = std::min(1.0, static_cast<double>(count) / static_cast<double>(tallest));
    const int bar = std::max(1, static_cast<int>(std::lround(share * area.height())));
    painter.fillRect(area.left() + x, area.bottom() + 1 - bar, 1, bar,
                     clipped ? QColor(255, 64, 64) : QColor(220, 220, 220));
  }
  QFont font = painter.font();
  font.setPointSizeF(8);
  painter.setFont(font);
  painter.setPen(QColor(170, 170, 170));
  painter.drawText(area.adjusted(4, 2, -4, -2), Qt::AlignLeft | Qt::AlignTop,
                   QString::fromUtf8(kTitle));
}

PreviewOverlay::PreviewOverlay(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
  flashTimer_.setSingleShot(true);
  bannerTimer_.setSingleShot(true);
  connect(&flashTimer_, &QTimer::timeout, this, [this] {
    flashing_ = false;
    update();
  });
  connect(&bannerTimer_, &QTimer::timeout, this, [this] {
    banner_.clear();
    update();
  });
}

void PreviewOverlay::SetFrameSize(int32_t width, int32_t height) {
  if (width == frameWidth_ && height == frameHeight_) {
    return;
  }
  frameWidth_ = width;
  frameHeight_ = height;
  update();
}

void PreviewOverlay::SetRingVisible(bool on) {
  ringVisible_ = on;
  update();
}

void PreviewOverlay::SetNotice(const QString& text) {
  if (text == notice_) {
    return;
  }
  notice_ = text;
  update();
}

void PreviewOverlay::SetMark(const QString& text) {
  if (text == mark_) {
    return;
  }
  mark_ = text;
  update();
}

void PreviewOverlay::SetInstruction(const QString& text, bool ready) {
  if (text == instruction_ && ready == ready_) {
    return;
  }
  instruction_ = text;
  ready_ = ready;
  update();
}

void PreviewOverlay::SetHint(const QString& text) {
  if (text == hint_) {
    return;
  }
  hint_ = text;
  update();
}

void PreviewOverlay::Signal(const QString& banner) {
  flashing_ = true;
  banner_ = banner;
  flashTimer_.start(kFlashMs);
  bannerTimer_.start(kBannerMs);
  update();
}

void PreviewOverlay::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (ringVisible_ && frameWidth_ > 0 && frameHeight_ > 0 && width() > 0 && height() > 0) {
    const aids::TargetRing ring = aids::TargetRingFor(frameWidth_, frameHeight_, width(), height());
    // Dashed and in a colour of its own: a target to fill, never taken for a finding.
    QPen pen(QColor::fromRgba(kRingColour), 2, Qt::DashLine);
    painter.setPen(pen);
    painter.drawEllipse(QPointF(ring.centreX, ring.centreY), ring.radius, ring.radius);
    constexpr double kMark = 6;
    painter.setPen(QPen(QColor::fromRgba(kRingColour), 2));
    painter.drawLine(QPointF(ring.centreX - kMark, ring.centreY),
                     QPointF(ring.centreX + kMark, ring.centreY));
    painter.drawLine(QPointF(ring.centreX, ring.centreY - kMark),
                     QPointF(ring.centreX, ring.centreY + kMark));
  }
  if (!mark_.isEmpty()) {
    // Drawn over the live view only: a synthetic eye must never pass for a real one.
    QFont font = painter.font();
    font.setBold(true);
    font.setPointSizeF(9);
    painter.setFont(font);
    const QRect band(4, 4, painter.fontMetrics().horizontalAdvance(mark_) + 12, 20);
    painter.fillRect(band, QColor::fromRgba(kMarkBand));
    painter.setPen(Qt::white);
    painter.drawText(band, Qt::AlignCenter, mark_);
  }
  if (!instruction_.isEmpty()) {
    QFont font = painter.font();
    font.setBold(true);
    font.setPointSizeF(14);
    painter.setFont(font);
    const QRect band(0, height() - kInstructionHeight, width(), kInstructionHeight);
    painter.fillRect(band, QColor(0, 0, 0, 180));
    painter.setPen(ready_ ? kReadyText : kInstruction);
    painter.drawText(band, Qt::AlignCenter, instruction_);
  }
  if (!notice_.isEmpty()) {
    QFont font = painter.font();
    font.setBold(true);
    font.setPointSizeF(11);
    painter.setFont(font);
    const QRect band(0, height() / 2 - 14, width(), 28);
    painter.fillRect(band, QColor(0, 0, 0, 170));
    painter.setPen(QColor(255, 220, 0));
    painter.drawText(band, Qt::AlignCenter, notice_);
  }
  if (!hint_.isEmpty()) {
    QFont font = painter.font();
    font.setBold(true);
    font.setPointSizeF(8.5);
    painter.setFont(font);
    const QRect area = rect().adjusted(4, 0, -4, 0);
    const QRect text =
        painter.fontMetrics().boundingRect(area, Qt::AlignCenter | Qt::TextWordWrap, hint_);
    painter.fillRect(QRect(0, text.top() - 8, width(), text.height() + 16), QColor(0, 0, 0, 200));
    painter.setPen(Qt::white);
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, hint_);
  }
  if (!banner_.isEmpty()) {
    QFont font = painter.font();
    font.setBold(true);
    font.setPointSizeF(12);
    painter.setFont(font);
    const QRect band(0, height() / 2 - 16, width(), 32);
    painter.fillRect(band, QColor(0, 96, 32, 220));
    painter.setPen(Qt::white);
    painter.drawText(band, Qt::AlignCenter, banner_);
  }
  if (flashing_) {
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QColor flash = QColor::fromRgba(kFlashColour);
    painter.fillRect(0, 0, width(), kFlashWidth, flash);
    painter.fillRect(0, height() - kFlashWidth, width(), kFlashWidth, flash);
    painter.fillRect(0, 0, kFlashWidth, height(), flash);
    painter.fillRect(width() - kFlashWidth, 0, kFlashWidth, height(), flash);
  }
}

AidsPanel::AidsPanel(QWidget* parent, QWidget* previewArea,
                     std::function<qt::CaptureWindow*()> source)
    : QScrollArea(parent), source_(std::move(source)), bell_([] { QApplication::beep(); }) {
  setObjectName(QStringLiteral("AidsPanel"));
  setFrameShape(QFrame::NoFrame);
  setWidgetResizable(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // The form's colour shows through, as under the buttons.
  setAutoFillBackground(false);
  viewport()->setAutoFillBackground(false);
  content_ = new QWidget;
  content_->setObjectName(QStringLiteral("AidsContent"));
  content_->setAutoFillBackground(false);
  rows_ = new QVBoxLayout(content_);
  rows_->setContentsMargins(2, 2, 2, 2);
  rows_->setSpacing(2);
  // Only the area's height may ask for scrolling: the rows fit its width.
  content_->setMinimumWidth(0);

  // The iris circles lie under the ring, the instruction and the signs.
  iris_ = new IrisAids(content_, previewArea);
  iris_->LiveOverlay()->setGeometry(0, 0, aids::kPreviewWidth, aids::kPreviewHeight);
  overlay_ = new PreviewOverlay(previewArea);
  overlay_->setObjectName(QStringLiteral("AidsOverlay"));
  overlay_->setGeometry(0, 0, aids::kPreviewWidth, aids::kPreviewHeight);
  overlay_->raise();
  connect(iris_, &IrisAids::InstructionChanged, overlay_, &PreviewOverlay::SetInstruction);
  connect(iris_, &IrisAids::AutoCaptured, this, [this] {
    overlay_->Signal(QString::fromUtf8(kAutoCaptured));
    if (bell_) {
      bell_();
    }
  });

  ringToggle_ = new QCheckBox(QString::fromUtf8(kRingToggle), content_);
  ringToggle_->setObjectName(QStringLiteral("RingToggle"));
  ringToggle_->setToolTip(
      QString::fromUtf8("Círculo discontinuo del tamaño que da 200 píxeles de iris en la foto"));
  connect(ringToggle_, &QCheckBox::toggled, overlay_, &PreviewOverlay::SetRingVisible);
  status_ = MakeText(content_);
  status_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  QFont bold = status_->font();
  bold.setBold(true);
  status_->setFont(bold);
  auto* first = new QHBoxLayout;
  first->addWidget(ringToggle_);
  first->addWidget(status_, 1);
  rows_->addLayout(first);

  auto* second = new QHBoxLayout;
  second->setSpacing(4);
  second->addWidget(iris_->CirclesToggle());
  second->addWidget(iris_->AutoCaptureToggle());
  rows_->addLayout(second);

  focusText_ = MakeText(content_);
  rows_->addWidget(focusText_);
  bar_ = new FocusBar(content_);
  bar_->setFixedHeight(12);
  bar_->setToolTip(
      QString::fromUtf8("Enfoque actual; la marca roja es el mejor desde la última captura"));
  rows_->addWidget(bar_);

  // The histogram carries its title inside, which leaves a row free for further controls.
  histogram_ = new HistogramView(content_);
  histogram_->setFixedHeight(46);
  histogram_->setToolTip(
      QString::fromUtf8("Histograma de grises de todo el cuadro; en rojo los niveles 0 y 255"));
  rows_->addWidget(histogram_);
  exposureText_ = MakeText(content_);
  exposureText_->setToolTip(
      QString::fromUtf8("Píxeles de todo el cuadro en negro puro (sombras recortadas) y en "
                        "blanco puro (luces recortadas); rojo por encima del %1 % entre ambos")
          .arg(aids::kClippedWarningShare * 100, 0, 'f', 0));
  rows_->addWidget(exposureText_);
  rows_->addWidget(iris_->Checklist());
  rows_->addStretch(1);
  setWidget(content_);

  ShowNoFigures();
  FitToWindow();
  if (parent != nullptr) {
    parent->installEventFilter(this);
  }

  timer_.setInterval(kRefreshMs);
  connect(&timer_, &QTimer::timeout, this, [this] {
    // The aids must never disturb the capture: a failure here only skips a look.
    try {
      Refresh();
    } catch (const std::exception&) {
    }
  });
  timer_.start();
}

void AidsPanel::AddControls(QWidget* first, QWidget* second) {
  auto* row = new QHBoxLayout;
  row->addWidget(first);
  if (second != nullptr) {
    row->addWidget(second);
  }
  // After the two rows of check boxes and the rows added before.
  rows_->insertLayout(2 + controlRows_, row);
  ++controlRows_;
}

bool AidsPanel::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parentWidget() && event->type() == QEvent::Resize) {
    FitToWindow();
  }
  return QScrollArea::eventFilter(watched, event);
}

void AidsPanel::FitToWindow() {
  const int height = parentWidget() != nullptr ? parentWidget()->height() - kPanelTop : 0;
  setGeometry(kPanelLeft, kPanelTop, kPanelWidth, std::max(0, height));
}

void AidsPanel::Refresh() {
  qt::CaptureWindow* window = source_ ? source_() : nullptr;
  if (window != lastWindow_) {
    // A new capture window was made over the old place: keep the overlays on top.
    lastWindow_ = window;
    lastSequence_ = 0;
    if (iris_->LiveOverlay() != nullptr) {
      iris_->LiveOverlay()->raise();
    }
    overlay_->raise();
  }
  camera::Camera* camera = window != nullptr ? window->Camera() : nullptr;
  overlay_->SetMark(camera != nullptr && camera->Simulated() ? QString::fromUtf8(kSimulatedMark)
                                                             : QString());
  overlay_->SetHint(camera == nullptr ? QString::fromUtf8(kNoCameraHint) : QString());
  if (camera == nullptr) {
    overlay_->SetFrameSize(0, 0);
    ShowStatus(QString(), false);
    ShowNoFigures();
    return;
  }

  if (camera->State() == camera::CameraState::Unplugged) {
    ShowStatus(QString::fromUtf8(kDisconnected), true);
    overlay_->SetNotice(QString::fromUtf8(kDisconnected));
    ShowNoFigures();
    return;
  }
  overlay_->SetNotice(QString());
  if (status_->text() == QString::fromUtf8(kDisconnected)) {
    ShowStatus(QString(), false);
  }

  const camera::Frame& frame = camera->Latest();
  if (frame.width <= 0 || frame.height <= 0 || frame.sequence == lastSequence_) {
    return;
  }
  lastSequence_ = frame.sequence;
  overlay_->SetFrameSize(frame.width, frame.height);
  meter_.Measure(frame);
  const aids::GreyHistogram histogram = aids::HistogramOf(frame);
  exposure_ = aids::ExposureOf(histogram);
  iris_->Look(frame, exposure_);
  histogram_->SetHistogram(histogram);
  ShowFrameFigures();
}

void AidsPanel::ShowRestored() {
  overlay_->SetNotice(QString());
  ShowStatus(QString::fromUtf8(kReconnected), false);
}

void AidsPanel::ShowFrameFigures() {
  focusText_->setText(QString::fromUtf8("Enfoque: %1    mejor desde la captura: %2")
                          .arg(meter_.Current(), 0, 'f', 1)
                          .arg(meter_.Best(), 0, 'f', 1));
  bar_->SetScores(meter_.Current(), meter_.Best());
  exposureText_->setText(QString::fromUtf8("Exposición: %1 % en negro, %2 % en blanco")
                             .arg(exposure_.darkClipped * 100, 0, 'f', 1)
                             .arg(exposure_.brightClipped * 100, 0, 'f', 1));
  SetTextColour(focusText_, kNormalText);
  SetTextColour(exposureText_, exposure_.clippedWarning ? kWarning : kGood);
}

void AidsPanel::ShowNoFigures() {
  exposure_ = {};
  focusText_->setText(QString::fromUtf8("Enfoque: —"));
  bar_->SetScores(0, 0);
  histogram_->SetHistogram({});
  exposureText_->setText(QString::fromUtf8("Exposición: —"));
  for (QLabel* label : {focusText_, exposureText_}) {
    SetTextColour(label, QColor(96, 96, 96));
  }
  iris_->Forget();
  overlay_->SetInstruction(QString(), false);
}

void AidsPanel::ShowStatus(const QString& text, bool warning) {
  status_->setText(text);
  SetTextColour(status_, warning ? kWarning : kGood);
}

}  // namespace okuva
