// The iris aids on the window: the pupil and iris circles found in the live picture,
// drawn over it in the colour of the verdict; a checklist of the quality metrics of the
// live picture; the same judgement for the still after "Capturar", drawn over the
// captured picture; and the automatic capture that presses "Capturar" the first time
// the live picture passes every metric at a focus near its best.
//
// The live analysis runs on a worker thread that always takes the newest frame handed
// to it (older ones are dropped), so the event loop never waits for it.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "iris/iris_code.h"
#include "iris/quality.h"
#include "platform/capture/camera.h"

class QCheckBox;
class QLabel;

namespace okuva {

namespace qt {
class PictureBox;
}

// Circles of a judged picture drawn over where that picture is shown, scaled from the
// picture's size to the widget's, with an optional line of text along the foot.
class IrisOverlay : public QWidget {
  Q_OBJECT
public:
  explicit IrisOverlay(QWidget* parent);
  // The judgement of a picture of the given size (nullptr clears it).
  void SetQuality(const iris::Quality* quality);
  void SetBanner(const QString& text) { banner_ = text; update(); }
  const QString& Banner() const { return banner_; }
  // A second line above the banner: how the picture compares with an earlier one,
  // in the passing colour when `agrees`.
  void SetComparison(const QString& text, bool agrees) {
    comparison_ = text;
    comparisonAgrees_ = agrees;
    update();
  }
  const QString& Comparison() const { return comparison_; }
  bool HasCircles() const { return quality_ && quality_->circles.iris.has_value(); }
  bool Passing() const { return quality_ && quality_->pass; }
  const std::optional<iris::Quality>& Judged() const { return quality_; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  std::optional<iris::Quality> quality_;
  QString banner_;
  QString comparison_;
  bool comparisonAgrees_ = false;
};

// The metrics of the live picture, each green when within its recommended range and
// red when not, under a line with the verdict.
class IrisChecklist : public QWidget {
  Q_OBJECT
public:
  explicit IrisChecklist(QWidget* parent);
  void SetQuality(const iris::Quality& quality);
  void Clear();
  QLabel* Item(iris::Metric metric) const { return items_[static_cast<size_t>(metric)]; }
  QLabel* Verdict() const { return verdict_; }

private:
  std::array<QLabel*, iris::kMetricCount> items_{};
  QLabel* verdict_;
};

class IrisAids : public QObject {
  Q_OBJECT
public:
  static constexpr const char* kShowCircles = "Mostrar pupila e iris";
  static constexpr const char* kAutoCapture = "Captura automática";
  static constexpr const char* kStillPasses = "Foto apta para reconocimiento";
  static constexpr const char* kRetake = "Repetir la foto";
  static constexpr const char* kNoIris = "no se encuentra el iris";
  // Whether a still shows the same eye as the still before it (with an iris).
  static constexpr const char* kSameEye = "Mismo ojo que la foto anterior";
  static constexpr const char* kOtherEye = "Parece otro ojo: revise";
  static constexpr const char* kCannotCompare = "Poco iris a la vista para compararla con la foto anterior";
  // The focus a frame must reach, as a share of the best since the box was ticked.
  static constexpr double kAutoFocusShare = 0.95;

  // The check boxes and the checklist are made in `panel` (placed by the caller);
  // the live circles are drawn over `livePicture`.
  IrisAids(QWidget* panel, QWidget* livePicture);
  ~IrisAids() override;

  // A frame of the live picture with its focus score: handed to the analysis.
  void Look(const camera::Frame& frame, double focus);
  // Judges the still shown in `still` and draws the judgement over it; when an earlier
  // still of this run showed an iris, says whether this one is the same eye (the
  // distance in the picture's tool tip).
  void JudgeStill(qt::PictureBox* still);
  // What the automatic capture runs: the "Capturar" action.
  void SetCapture(std::function<void()> capture) { capture_ = std::move(capture); }
  // Tests: analyse on the calling thread, so each Look shows its result at once.
  void SetSynchronous(bool on) { synchronous_ = on; }

  QCheckBox* CirclesToggle() const { return circlesToggle_; }
  QCheckBox* AutoCaptureToggle() const { return autoToggle_; }
  IrisChecklist* Checklist() const { return checklist_; }
  IrisOverlay* LiveOverlay() const { return liveOverlay_; }
  IrisOverlay* StillOverlay() const { return stillOverlay_; }
  // Live results shown since the start.
  uint64_t LiveResults() const { return liveResults_; }

private:
  struct Job {
    camera::Frame frame;
    double focus = 0;
  };
  void Work();
  void ShowLive(const iris::Quality& quality, double focus);

  QCheckBox* circlesToggle_;
  QCheckBox* autoToggle_;
  IrisChecklist* checklist_;
  // Lives on the live picture, which the window may delete before this object.
  QPointer<IrisOverlay> liveOverlay_;
  IrisOverlay* stillOverlay_ = nullptr;
  std::optional<iris::IrisCode> lastStill_;  // the template of the latest still with an iris
  std::function<void()> capture_;
  bool synchronous_ = false;
  double autoBest_ = 0;
  uint64_t liveResults_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<Job> pending_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace okuva
