#include "capture/aids_panel.h"

#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <exception>

#include "capture/aids/target_ring.h"
#include "capture/iris_aids.h"
#include "platform/capture/simulated_camera.h"
#include "platform/qt/capture_window.h"

namespace okuva {
namespace {

const QColor kWarning(176, 0, 0);
const QColor kNormalText(0, 0, 0);
const QColor kGood(0, 112, 0);
const QColor kRingColour(0, 255, 64);
const QColor kPanelDark(128, 64, 0);  // the labels' brown

// Where the aids sit: the left column under the working buttons, to the window's foot.
constexpr int kPanelLeft = 8, kPanelTop = 316, kPanelWidth = 326, kPanelHeight = 228;

QLabel* MakeText(QWidget* parent, int x, int y, int width, int height) {
  auto* label = new QLabel(parent);
  label->setGeometry(x, y, width, height);
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
    const int x = inside.left() + static_cast<int>(std::lround(Fraction(best_) * (inside.width() - 1)));
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
  for (size_t level = 1; level < 255; ++level) tallest = std::max(tallest, histogram_[level]);
  for (int x = 0; x < area.width(); ++x) {
    const size_t from = static_cast<size_t>(x) * 256 / static_cast<size_t>(area.width());
    const size_t to = std::max(from + 1, static_cast<size_t>(x + 1) * 256 / static_cast<size_t>(area.width()));
    uint64_t count = 0;
    bool clipped = false;
    for (size_t level = from; level < to; ++level) {
      count = std::max(count, histogram_[level]);
      clipped |= level == 0 || level == 255;
    }
    if (count == 0) continue;
    const double share = std::min(1.0, static_cast<double>(count) / static_cast<double>(tallest));
    const int bar = std::max(1, static_cast<int>(std::lround(share * area.height())));
    painter.fillRect(area.left() + x, area.bottom() + 1 - bar, 1, bar,
                     clipped ? QColor(255, 64, 64) : QColor(220, 220, 220));
  }
}

PreviewOverlay::PreviewOverlay(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
}

void PreviewOverlay::SetFrameSize(int32_t width, int32_t height) {
  if (width == frameWidth_ && height == frameHeight_) return;
  frameWidth_ = width;
  frameHeight_ = height;
  update();
}

void PreviewOverlay::SetRingVisible(bool on) {
  ringVisible_ = on;
  update();
}

void PreviewOverlay::SetNotice(const QString& text) {
  if (text == notice_) return;
  notice_ = text;
  update();
}

void PreviewOverlay::SetMark(const QString& text) {
  if (text == mark_) return;
  mark_ = text;
  update();
}

void PreviewOverlay::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (ringVisible_ && frameWidth_ > 0 && frameHeight_ > 0 && width() > 0 && height() > 0) {
    const aids::TargetRing ring = aids::TargetRingFor(frameWidth_, frameHeight_, width(), height());
    // A frame smaller than the iris cannot give the size asked for: warn in red.
    painter.setPen(QPen(ring.fitsFrame ? kRingColour : QColor(255, 48, 48), 2));
    painter.drawEllipse(QPointF(ring.centreX, ring.centreY), ring.radiusX, ring.radiusY);
    constexpr double kMark = 6;
    painter.drawLine(QPointF(ring.centreX - kMark, ring.centreY), QPointF(ring.centreX + kMark, ring.centreY));
    painter.drawLine(QPointF(ring.centreX, ring.centreY - kMark), QPointF(ring.centreX, ring.centreY + kMark));
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
}

AidsPanel::AidsPanel(QWidget* parent, QWidget* previewArea, std::function<qt::CaptureWindow*()> source)
    : QWidget(parent), source_(std::move(source)) {
  setObjectName(QStringLiteral("AidsPanel"));
  setGeometry(kPanelLeft, kPanelTop, kPanelWidth, kPanelHeight);

  overlay_ = new PreviewOverlay(previewArea);
  overlay_->setObjectName(QStringLiteral("AidsOverlay"));
  overlay_->setGeometry(0, 0, aids::kPreviewWidth, aids::kPreviewHeight);
  overlay_->raise();

  ringToggle_ = new QCheckBox(QString::fromUtf8(kRingToggle), this);
  ringToggle_->setObjectName(QStringLiteral("RingToggle"));
  ringToggle_->setGeometry(2, 2, 120, 20);
  ringToggle_->setToolTip(QString::fromUtf8("Círculo del tamaño que da 200 píxeles de iris en la foto"));
  connect(ringToggle_, &QCheckBox::toggled, overlay_, &PreviewOverlay::SetRingVisible);

  status_ = MakeText(this, 126, 2, 198, 20);
  status_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  QFont bold = status_->font();
  bold.setBold(true);
  status_->setFont(bold);

  // The iris aids' check boxes come second, their checklist at the foot.
  iris_ = new IrisAids(this, overlay_);
  iris_->CirclesToggle()->setGeometry(2, 22, 160, 18);
  iris_->AutoCaptureToggle()->setGeometry(166, 22, 158, 18);

  focusText_ = MakeText(this, 2, 42, 322, 16);
  bar_ = new FocusBar(this);
  bar_->setGeometry(2, 58, 322, 12);
  bar_->setToolTip(QString::fromUtf8("Enfoque actual; la marca roja es el mejor desde la última captura"));

  auto* histogramTitle = MakeText(this, 2, 72, 322, 14);
  histogramTitle->setText(QString::fromUtf8("Histograma de grises"));
  histogram_ = new HistogramView(this);
  histogram_->setGeometry(2, 86, 322, 46);

  clippedText_ = MakeText(this, 2, 134, 322, 16);
  bitsText_ = MakeText(this, 2, 150, 322, 16);
  iris_->Checklist()->setGeometry(2, 168, 322, 56);
  ShowFrameFigures();

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

void AidsPanel::Refresh() {
  qt::CaptureWindow* window = source_ ? source_() : nullptr;
  if (window != lastWindow_) {
    // A new capture window was made over the old place: keep the overlay on top.
    lastWindow_ = window;
    lastSequence_ = 0;
    overlay_->raise();
  }
  camera::Camera* camera = window != nullptr ? window->Camera() : nullptr;
  overlay_->SetMark(dynamic_cast<camera::SimulatedCamera*>(camera) != nullptr
                        ? QString::fromUtf8(kSimulatedMark)
                        : QString());
  if (camera == nullptr) {
    overlay_->SetFrameSize(0, 0);
    ShowStatus(QString(), false);
    return;
  }

  if (camera->State() == camera::CameraState::Unplugged) {
    ShowStatus(QString::fromUtf8(kDisconnected), true);
    overlay_->SetNotice(QString::fromUtf8(kDisconnected));
    const auto now = std::chrono::steady_clock::now();
    if (now - lastReconnectTry_ >= kReconnectEvery) {
      lastReconnectTry_ = now;
      if (camera->Reconnect()) {
        overlay_->SetNotice(QString());
        ShowStatus(QString::fromUtf8(kReconnected), false);
        if (onReconnected_) onReconnected_();
      }
    }
    return;
  }
  overlay_->SetNotice(QString());
  if (status_->text() == QString::fromUtf8(kDisconnected)) ShowStatus(QString(), false);

  const camera::Frame& frame = camera->Latest();
  if (frame.width <= 0 || frame.height <= 0 || frame.sequence == lastSequence_) return;
  lastSequence_ = frame.sequence;
  overlay_->SetFrameSize(frame.width, frame.height);
  meter_.Measure(frame);
  iris_->Look(frame, meter_.Current());
  const aids::GreyHistogram histogram = aids::HistogramOf(frame);
  exposure_ = aids::ExposureOf(histogram);
  histogram_->SetHistogram(histogram);
  ShowFrameFigures();
}

void AidsPanel::ShowFrameFigures() {
  focusText_->setText(QString::fromUtf8("Enfoque: %1    mejor desde la captura: %2")
                          .arg(meter_.Current(), 0, 'f', 1)
                          .arg(meter_.Best(), 0, 'f', 1));
  bar_->SetScores(meter_.Current(), meter_.Best());
  clippedText_->setText(QString::fromUtf8("Píxeles saturados (0 o 255): %1 %")
                            .arg(exposure_.clipped * 100, 0, 'f', 1));
  SetTextColour(clippedText_, exposure_.clippedWarning ? kWarning : kNormalText);
  bitsText_->setText(QString::fromUtf8("Escala de grises usada: %1 bits (mínimo %2)")
                         .arg(exposure_.bits, 0, 'f', 1)
                         .arg(aids::kMinGreyBits, 0, 'f', 0));
  SetTextColour(bitsText_, exposure_.pixels == 0 ? kNormalText : exposure_.enoughBits ? kGood : kWarning);
}

void AidsPanel::ShowStatus(const QString& text, bool warning) {
  status_->setText(text);
  SetTextColour(status_, warning ? kWarning : kGood);
}

}  // namespace okuva
