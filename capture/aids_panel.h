// The capture aids on the window: focus meter, exposure histogram and camera status in
// the free area under the working buttons, and the target ring drawn over the live
// picture. They only read the camera's newest frame; the specified controls and their
// handlers are untouched.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>

#include "capture/aids/exposure.h"
#include "capture/aids/focus_meter.h"

class QCheckBox;
class QLabel;

namespace okuva {

class IrisAids;

namespace qt {
class CaptureWindow;
}

// A bar for the focus score on a square-root scale (scores of real scenes sit low on
// 0..100), with a tick at the best score since the last reset.
class FocusBar : public QWidget {
  Q_OBJECT
public:
  explicit FocusBar(QWidget* parent);
  void SetScores(double current, double best);
  // Horizontal fraction 0..1 of the bar a score fills.
  static double Fraction(double score);

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  double current_ = 0, best_ = 0;
};

// The grey-level histogram, the clipped end levels drawn in the warning colour.
class HistogramView : public QWidget {
  Q_OBJECT
public:
  explicit HistogramView(QWidget* parent);
  void SetHistogram(const aids::GreyHistogram& histogram);

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  aids::GreyHistogram histogram_{};
};

// Drawn over the live picture: the target ring with its centre mark (when switched on)
// and the disconnection notice. Lets every mouse event through to the picture.
class PreviewOverlay : public QWidget {
  Q_OBJECT
public:
  // The band behind the mark of a simulated camera, opaque red (200, 0, 0).
  static constexpr unsigned kMarkBand = 0xFFC80000u;
  explicit PreviewOverlay(QWidget* parent);
  // The capture format the ring is scaled from; 0 x 0 hides the ring.
  void SetFrameSize(int32_t width, int32_t height);
  void SetRingVisible(bool on);
  void SetNotice(const QString& text);
  // A standing mark in the top-left corner ("CÁMARA SIMULADA"); empty hides it.
  void SetMark(const QString& text);
  const QString& Mark() const { return mark_; }
  bool RingVisible() const { return ringVisible_; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  int32_t frameWidth_ = 0, frameHeight_ = 0;
  bool ringVisible_ = false;
  QString notice_;
  QString mark_;
};

class AidsPanel : public QWidget {
  Q_OBJECT
public:
  // Texts the operator sees.
  static constexpr const char* kRingToggle = "Anillo guía";
  static constexpr const char* kDisconnected = "Cámara desconectada";
  static constexpr const char* kReconnected = "Cámara reconectada";
  static constexpr const char* kSimulatedMark = "CÁMARA SIMULADA";
  // How often the aids look at the newest frame, and how often a vanished camera is
  // looked for again.
  static constexpr int kRefreshMs = 66;
  static constexpr std::chrono::milliseconds kReconnectEvery{1000};

  // `previewArea` is the widget the capture window lives in (Picture1's client area);
  // the overlay is placed over it. `source` gives the current capture window or nullptr.
  AidsPanel(QWidget* parent, QWidget* previewArea, std::function<qt::CaptureWindow*()> source);

  // Called once the vanished camera streams again, to resume the live picture.
  void SetOnReconnected(std::function<void()> resume) { onReconnected_ = std::move(resume); }

  // One look at the newest frame: updates the meter, histogram and status, and tries to
  // reconnect a vanished camera. The panel's timer calls it; tests call it directly.
  void Refresh();
  // Forgets the best focus (the operator took a picture).
  void ResetBest() { meter_.Reset(); bar_->SetScores(0, 0); }

  const aids::FocusMeter& Meter() const { return meter_; }
  const aids::Exposure& LastExposure() const { return exposure_; }
  PreviewOverlay* Overlay() const { return overlay_; }
  QCheckBox* RingToggle() const { return ringToggle_; }
  QLabel* Status() const { return status_; }
  QLabel* FocusText() const { return focusText_; }
  QLabel* ClippedText() const { return clippedText_; }
  QLabel* BitsText() const { return bitsText_; }
  // The pupil and iris circles, metrics checklist, still's judgement and automatic capture.
  IrisAids* Iris() const { return iris_; }

private:
  void ShowFrameFigures();
  void ShowStatus(const QString& text, bool warning);

  std::function<qt::CaptureWindow*()> source_;
  std::function<void()> onReconnected_;
  QTimer timer_;
  PreviewOverlay* overlay_;
  QCheckBox* ringToggle_;
  QLabel* status_;
  QLabel* focusText_;
  FocusBar* bar_;
  HistogramView* histogram_;
  QLabel* clippedText_;
  QLabel* bitsText_;
  IrisAids* iris_;
  aids::FocusMeter meter_;
  aids::Exposure exposure_;
  QPointer<qt::CaptureWindow> lastWindow_;
  uint64_t lastSequence_ = 0;
  std::chrono::steady_clock::time_point lastReconnectTry_{};
};

}  // namespace okuva
