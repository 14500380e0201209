// The iris aids on the window: the pupil and iris circles found in the live picture,
// drawn over it in the colour of the verdict; the one-line instruction derived from the
// live analysis; a checklist of the quality metrics of the live picture; the same
// judgement for the still after "Capturar", drawn over the captured picture; and the
// automatic capture, which watches the live picture for a short while once it passes
// every metric and then takes the sharpest passing frame it saw.
//
// The live analysis runs on a worker thread that always takes the newest frame handed
// to it (older ones are dropped), so the event loop never waits for it.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "capture/aids/exposure.h"
#include "iris/iris_code.h"
#include "iris/quality.h"
#include "platform/camera/camera.h"

class QCheckBox;
class QLabel;

namespace okuva {

namespace qt {
class PictureBox;
}

// Circles of a judged picture drawn over where that picture is shown, mapped as the
// picture is shown in the widget (letterboxed, camera::Letterbox; one to one for a
// still shown at its own size), with an optional line of text along the foot of the
// part of the widget that is visible.
class IrisOverlay : public QWidget {
  Q_OBJECT
public:
  explicit IrisOverlay(QWidget* parent);
  // The judgement of a picture of the given size (nullptr clears it).
  void SetQuality(const iris::Quality* quality);
  void SetBanner(const QString& text) {
    banner_ = text;
    update();
  }
  const QString& Banner() const { return banner_; }
  // Where the banner is drawn: along the foot of the visible part of this widget.
  QRect BannerRect() const;
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
  using Clock = std::chrono::steady_clock;
  static constexpr const char* kShowCircles = "Mostrar pupila e iris";
  static constexpr const char* kAutoCapture = "Captura automática";
  // Once the live picture passes, the automatic capture watches this long and takes
  // the sharpest passing frame seen meanwhile: long enough for a few analysed frames
  // and a hand's tremor through focus, short enough not to lose the eye.
  static constexpr std::chrono::milliseconds kAutoWindow{1000};
  // A picture must keep passing this long before the instruction says it is ready.
  static constexpr std::chrono::milliseconds kSettle{500};
  // Whether a still shows the same eye as the still before it (with an iris).
  static constexpr const char* kSameEye = "Mismo ojo que la foto anterior";
  static constexpr const char* kOtherEye = "Parece otro ojo: revise";
  static constexpr const char* kCannotCompare =
      "Poco iris a la vista para compararla con la foto anterior";

  // The check boxes and the checklist are made in `panel` (placed by the caller);
  // the live circles are drawn over `livePicture`.
  IrisAids(QWidget* panel, QWidget* livePicture);
  ~IrisAids() override;

  // A frame of the live picture with the exposure of the whole frame: handed to the
  // analysis.
  void Look(const camera::Frame& frame, const aids::Exposure& exposure);
  // No live picture (no camera, camera lost): the live circles, the checklist and the
  // instruction show nothing.
  void Forget();
  // Judges the still shown in `still` and draws the judgement over it; when an earlier
  // still of this run showed an iris, says whether this one is the same eye (the
  // distance in the picture's tool tip).
  void JudgeStill(qt::PictureBox* still);
  // What the automatic capture runs: "Capturar" with the frame it chose; true when the
  // still was taken (only then is the operator told).
  void SetCapture(std::function<bool(const camera::Frame&)> capture) {
    capture_ = std::move(capture);
  }
  // Tests: analyse on the calling thread, so each Look shows its result at once.
  void SetSynchronous(bool on) { synchronous_ = on; }
  // Tests: the clock the automatic capture's window and the settling are timed by.
  void SetClock(std::function<Clock::time_point()> clock) { clock_ = std::move(clock); }

  // The live instruction now shown ("" without a live picture) and whether it says the
  // picture is ready.
  const QString& Instruction() const { return instruction_; }
  bool Watching() const { return watchUntil_.has_value(); }

  QCheckBox* CirclesToggle() const { return circlesToggle_; }
  QCheckBox* AutoCaptureToggle() const { return autoToggle_; }
  IrisChecklist* Checklist() const { return checklist_; }
  IrisOverlay* LiveOverlay() const { return liveOverlay_; }
  IrisOverlay* StillOverlay() const { return stillOverlay_; }
  // Live results shown since the start.
  uint64_t LiveResults() const { return liveResults_; }

signals:
  // The live instruction changed; `ready` when every metric passes and has settled.
  void InstructionChanged(const QString& text, bool ready);
  // The automatic capture took a still.
  void AutoCaptured();

private:
  struct Job {
    std::shared_ptr<const camera::Frame> frame;
    aids::Exposure exposure;
  };
  void Work();
  void ShowLive(const iris::Quality& quality, const Job& job);
  void SetInstruction(const QString& text, bool ready);
  void StopWatching();
  // Ends the automatic capture's window when its time is up: takes the best frame.
  void FinishWatch();

  QCheckBox* circlesToggle_;
  QCheckBox* autoToggle_;
  IrisChecklist* checklist_;
  // Lives on the live picture, which the window may delete before this object.
  QPointer<IrisOverlay> liveOverlay_;
  IrisOverlay* stillOverlay_ = nullptr;
  std::function<bool(const camera::Frame&)> capture_;
  std::function<Clock::time_point()> clock_ = [] { return Clock::now(); };
  std::optional<iris::IrisCode> lastStill_;  // the template of the latest still with an iris
  bool synchronous_ = false;
  uint64_t liveResults_ = 0;
  QString instruction_;
  // Since when the live picture passes, while it does.
  std::optional<Clock::time_point> passingSince_;
  // The automatic capture's window: its end, the sharpest passing frame and its score.
  std::optional<Clock::time_point> watchUntil_;
  std::shared_ptr<const camera::Frame> watchBest_;
  double watchBestSharpness_ = -1;
  QTimer watchTimer_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<Job> pending_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace okuva
