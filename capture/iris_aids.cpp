#include "capture/iris_aids.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QStringList>
#include <cmath>
#include <exception>

#include "capture/aids/instruction.h"
#include "platform/camera/letterbox.h"
#include "platform/qt/picture_box.h"

namespace okuva {
namespace {

const QColor kPass(40, 220, 90);
const QColor kFail(255, 60, 40);
const QColor kPassText(0, 112, 0);
const QColor kFailText(176, 0, 0);
const QColor kIdleText(96, 96, 96);
constexpr int kBannerHeight = 22;

// Full Spanish names for the checklist's tool tips, in metric order.
constexpr const char* kLongNames[iris::kMetricCount] = {
    "Diámetro del iris",         "Área útil del iris",        "Contraste iris-esclera",
    "Contraste iris-pupila",     "Relación pupila/iris",      "Concentricidad iris-pupila",
    "Márgenes hasta los bordes", "Escala de grises del iris", "Nitidez",
    "Circularidad de la pupila"};

void SetTextColour(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

// The value as the checklist shows it; units are in the tool tip, the columns are narrow.
QString ValueText(iris::Metric metric, double value) {
  if (std::isnan(value)) {
    return QStringLiteral("—");
  }
  const int decimals = metric == iris::Metric::kGreyscaleUtilisation ? 1 : 0;
  return QString::number(value, 'f', decimals);
}

QString RangeText(const iris::Threshold& t) {
  QStringList parts;
  if (!std::isnan(t.minimum)) {
    parts << QString::fromUtf8(t.minimumIncluded ? "≥ " : "> ") + QString::number(t.minimum);
  }
  if (!std::isnan(t.maximum)) {
    parts << QString::fromUtf8(t.maximumIncluded ? "≤ " : "< ") + QString::number(t.maximum);
  }
  return parts.join(QStringLiteral(", "));
}

}  // namespace

IrisOverlay::IrisOverlay(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
}

void IrisOverlay::SetQuality(const iris::Quality* quality) {
  if (quality != nullptr) {
    quality_ = *quality;
    quality_->mask = {};  // only the circles are drawn
  } else {
    quality_.reset();
  }
  update();
}

void IrisOverlay::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const camera::ShownRect shown =
      quality_ ? camera::Letterbox(quality_->width, quality_->height, width(), height())
               : camera::ShownRect{};
  if (!shown.Empty() && quality_->circles.iris) {
    // Mapped as the picture is shown: one scale for both directions, circles stay round.
    const double sx = shown.ScaleX(quality_->width), sy = shown.ScaleY(quality_->height);
    painter.setPen(QPen(quality_->pass ? kPass : kFail, 2));
    for (const auto& c : {quality_->circles.pupil, quality_->circles.iris}) {
      if (c) {
        painter.drawEllipse(QPointF(shown.left + c->x * sx, shown.top + c->y * sy), c->radius * sx,
                            c->radius * sy);
      }
    }
  }
  QFont font = painter.font();
  font.setBold(true);
  font.setPointSizeF(9);
  painter.setFont(font);
  // The judgement along the foot of what can be seen; the comparison with the still
  // before just above it.
  QRect band = BannerRect();
  for (const auto& [text, agrees] : {std::pair{banner_, quality_ && quality_->pass},
                                     std::pair{comparison_, comparisonAgrees_}}) {
    if (text.isEmpty()) {
      continue;
    }
    painter.fillRect(band, QColor(0, 0, 0, 170));
    painter.setPen(agrees ? kPass : QColor(255, 120, 100));
    painter.drawText(band.adjusted(6, 0, -6, 0), Qt::AlignVCenter | Qt::AlignLeft, text);
    band.translate(0, -band.height());
  }
}

QRect IrisOverlay::BannerRect() const {
  // Along the foot of what can be seen: a still larger than its place is cut off by the
  // window, and the judgement must not go with the hidden part.
  QRect seen = visibleRegion().boundingRect().intersected(rect());
  if (seen.isEmpty()) {
    seen = rect();
  }
  return QRect(seen.left(), seen.bottom() + 1 - kBannerHeight, seen.width(), kBannerHeight);
}

IrisChecklist::IrisChecklist(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("IrisChecklist"));
  QFont font = this->font();
  font.setPointSizeF(8);
  // The verdict over four columns of metrics; the columns share what width there is.
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setHorizontalSpacing(2);
  grid->setVerticalSpacing(0);
  verdict_ = new QLabel(this);
  verdict_->setFont(font);
  grid->addWidget(verdict_, 0, 0, 1, 4);
  for (size_t i = 0; i < iris::kMetricCount; ++i) {
    auto* label = new QLabel(this);
    label->setFont(font);
    grid->addWidget(label, 1 + static_cast<int>(i / 4), static_cast<int>(i % 4));
    items_[i] = label;
  }
  for (int column = 0; column < 4; ++column) {
    grid->setColumnStretch(column, 1);
  }
  Clear();
}

void IrisChecklist::Clear() {
  verdict_->setText(QString::fromUtf8("Iris: sin imagen"));
  SetTextColour(verdict_, kIdleText);
  for (size_t i = 0; i < iris::kMetricCount; ++i) {
    const iris::Threshold& t = iris::Thresholds()[i];
    items_[i]->setText(QString::fromUtf8(t.label) + QStringLiteral(" —"));
    items_[i]->setToolTip(QString::fromUtf8(kLongNames[i]) + QStringLiteral(" (recomendado ") +
                          RangeText(t) + ')');
    SetTextColour(items_[i], kIdleText);
  }
}

void IrisChecklist::SetQuality(const iris::Quality& q) {
  if (!q.circles.iris) {
    verdict_->setText(QString::fromUtf8("Iris: no se encuentra"));
  } else if (q.pass) {
    verdict_->setText(QString::fromUtf8("Iris: apto"));
  } else {
    verdict_->setText(QString::fromUtf8("Iris: %1 de %2 valores fuera de lo recomendado")
                          .arg(q.failed.size())
                          .arg(iris::kMetricCount));
  }
  SetTextColour(verdict_, q.pass ? kPassText : kFailText);
  for (size_t i = 0; i < iris::kMetricCount; ++i) {
    const iris::Threshold& t = iris::Thresholds()[i];
    const QString value = ValueText(t.metric, q.values[i]);
    items_[i]->setText(QString::fromUtf8(t.label) + ' ' + value);
    items_[i]->setToolTip(QString::fromUtf8(kLongNames[i]) + QStringLiteral(": ") + value + ' ' +
                          QString::fromUtf8(t.unit) + QStringLiteral(" (recomendado ") +
                          RangeText(t) + ')');
    SetTextColour(items_[i], q.passed[i] ? kPassText : kFailText);
  }
}

IrisAids::IrisAids(QWidget* panel, QWidget* livePicture) : QObject(panel) {
  circlesToggle_ = new QCheckBox(QString::fromUtf8(kShowCircles), panel);
  circlesToggle_->setObjectName(QStringLiteral("IrisCirclesToggle"));
  circlesToggle_->setChecked(true);
  circlesToggle_->setToolTip(
      QString::fromUtf8("Círculos de la pupila y del iris hallados; verdes si la imagen es apta"));
  autoToggle_ = new QCheckBox(QString::fromUtf8(kAutoCapture), panel);
  autoToggle_->setObjectName(QStringLiteral("AutoCaptureToggle"));
  autoToggle_->setToolTip(QString::fromUtf8(
      "Cuando la imagen es apta, observa un segundo y captura sola la más nítida; luego se desmarca"));
  checklist_ = new IrisChecklist(panel);

  liveOverlay_ = new IrisOverlay(livePicture);
  liveOverlay_->setObjectName(QStringLiteral("IrisLiveOverlay"));
  liveOverlay_->setGeometry(livePicture->rect());
  connect(circlesToggle_, &QCheckBox::toggled, liveOverlay_, &QWidget::setVisible);
  connect(autoToggle_, &QCheckBox::toggled, this, [this](bool) { StopWatching(); });
  watchTimer_.setSingleShot(true);
  connect(&watchTimer_, &QTimer::timeout, this, [this] { FinishWatch(); });
  worker_ = std::thread([this] { Work(); });
}

IrisAids::~IrisAids() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void IrisAids::Look(const camera::Frame& frame, const aids::Exposure& exposure) {
  Job job{std::make_shared<const camera::Frame>(frame), exposure};
  if (synchronous_) {
    const iris::GreyImage grey =
        iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height, ptrdiff_t{frame.width} * 3);
    ShowLive(iris::Assess(grey.View()), job);
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    pending_ = std::move(job);  // replaces a frame the worker has not taken yet
  }
  wake_.notify_one();
}

void IrisAids::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || pending_.has_value(); });
      if (stopping_) {
        return;
      }
      job = std::move(*pending_);
      pending_.reset();
    }
    try {
      const camera::Frame& frame = *job.frame;
      const iris::GreyImage grey = iris::GreyFromRgb(frame.rgb.data(), frame.width, frame.height,
                                                     ptrdiff_t{frame.width} * 3);
      auto quality = std::make_shared<iris::Quality>(iris::Assess(grey.View()));
      quality->mask = {};  // not needed on the window; spares the copy
      // Shown on the window's thread; dropped with this object if it is gone by then.
      QMetaObject::invokeMethod(
          this, [this, quality, job = std::move(job)] { ShowLive(*quality, job); },
          Qt::QueuedConnection);
    } catch (const std::exception&) {
      // A failed look only skips a frame; the preview goes on.
    }
  }
}

void IrisAids::ShowLive(const iris::Quality& quality, const Job& job) {
  ++liveResults_;
  if (liveOverlay_) {
    liveOverlay_->SetQuality(&quality);
  }
  checklist_->SetQuality(quality);
  const Clock::time_point now = clock_();

  if (autoToggle_->isChecked() && quality.pass) {
    if (!watchUntil_) {
      watchUntil_ = now + kAutoWindow;
      watchTimer_.start(kAutoWindow);
    }
    // The sharpest passing frame of the window, by the iris's own sharpness metric.
    const double sharpness = quality.Value(iris::Metric::kSharpness);
    if (sharpness > watchBestSharpness_) {
      watchBestSharpness_ = sharpness;
      watchBest_ = job.frame;
    }
  }

  if (quality.pass) {
    if (!passingSince_) {
      passingSince_ = now;
    }
    const bool settled = now - *passingSince_ >= kSettle && !watchUntil_;
    SetInstruction(QString::fromUtf8(settled ? aids::kReady : aids::kHoldStill), settled);
  } else {
    passingSince_.reset();
    const std::vector<aids::Step> steps = aids::StepsFor(quality, job.exposure);
    SetInstruction(
        QString::fromUtf8(steps.empty() ? aids::kLookingForEye : aids::LiveText(steps.front())),
        false);
  }
  FinishWatch();
}

void IrisAids::FinishWatch() {
  if (!watchUntil_ || clock_() < *watchUntil_) {
    return;
  }
  const std::shared_ptr<const camera::Frame> best = watchBest_;
  StopWatching();
  autoToggle_->setChecked(false);
  if (best && capture_ && capture_(*best)) {
    emit AutoCaptured();
  }
}

void IrisAids::StopWatching() {
  watchTimer_.stop();
  watchUntil_.reset();
  watchBest_.reset();
  watchBestSharpness_ = -1;
}

void IrisAids::Forget() {
  passingSince_.reset();
  StopWatching();
  if (liveOverlay_) {
    liveOverlay_->SetQuality(nullptr);
  }
  checklist_->Clear();
  SetInstruction(QString(), false);
}

void IrisAids::SetInstruction(const QString& text, bool ready) {
  if (text == instruction_) {
    return;
  }
  instruction_ = text;
  emit InstructionChanged(text, ready);
}

void IrisAids::JudgeStill(qt::PictureBox* still) {
  if (stillOverlay_ == nullptr) {
    stillOverlay_ = new IrisOverlay(still->Client());
    stillOverlay_->setObjectName(QStringLiteral("IrisStillOverlay"));
  }
  stillOverlay_->setGeometry(still->Client()->rect());
  stillOverlay_->raise();
  stillOverlay_->show();
  const QImage& shown = still->Shown();
  if (shown.isNull()) {
    stillOverlay_->SetQuality(nullptr);
    stillOverlay_->SetBanner(QString());
    stillOverlay_->SetComparison(QString(), false);
    still->Client()->setToolTip(QString());
    return;
  }
  const QImage rgb32 = shown.convertToFormat(QImage::Format_RGB32);
  const iris::GreyImage grey =
      iris::GreyFromBgrx(rgb32.constBits(), rgb32.width(), rgb32.height(), rgb32.bytesPerLine());
  const iris::Quality quality = iris::Assess(grey.View());
  const aids::Exposure exposure = aids::ExposureOf(aids::HistogramOf(grey.View()));
  stillOverlay_->SetQuality(&quality);
  stillOverlay_->SetBanner(
      QString::fromUtf8(aids::StillJudgement(aids::StepsFor(quality, exposure))));
  // The same eye as the still before? Its template, from the circles and mask just found.
  std::optional<iris::IrisCode> code;
  if (quality.circles.pupil && quality.circles.iris) {
    code =
        iris::EncodeIris(grey.View(), *quality.circles.pupil, *quality.circles.iris, quality.mask);
  }
  QString line, tip;
  bool same = false;
  if (code && lastStill_) {
    const iris::IrisComparison c = iris::CompareIrisCodes(*lastStill_, *code);
    same = c.decision == iris::MatchDecision::kSameEye;
    line = QString::fromUtf8(same                                               ? kSameEye
                             : c.decision == iris::MatchDecision::kDifferentEye ? kOtherEye
                                                                                : kCannotCompare);
    tip = QString::fromUtf8(
              "Distancia al iris de la foto anterior: %1 (mismo ojo hasta %2); %3 bits comparados; "
              "girado %4°")
              .arg(c.distance, 0, 'f', 3)
              .arg(iris::kSameEyeThreshold, 0, 'f', 3)
              .arg(c.bits)
              .arg(c.rotation, 0, 'f', 1);
  }
  if (code) {
    lastStill_ = std::move(code);
  }
  stillOverlay_->SetComparison(line, same);
  still->Client()->setToolTip(tip);
}

}  // namespace okuva
