// The capture aids on the window: focus meter, exposure histogram and camera status in
// the free area under the working buttons (scrolling when the window is too small for
// them), and over the live picture the target ring, the operator's instruction, the
// signs of an automatic capture and the hint when there is no camera. They only read
// the camera's newest frame; the specified controls and their handlers are untouched.
#pragma once

#include <QPointer>
#include <QScrollArea>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "capture/aids/exposure.h"
#include "capture/aids/focus_meter.h"

class QCheckBox;
class QLabel;
class QVBoxLayout;

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

// The grey-level histogram, the clipped end levels drawn in the warning colour, its
// title in the top-left corner.
class HistogramView : public QWidget {
  Q_OBJECT
public:
  static constexpr const char* kTitle = "Histograma de grises";
  explicit HistogramView(QWidget* parent);
  void SetHistogram(const aids::GreyHistogram& histogram);

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  aids::GreyHistogram histogram_{};
};

// Drawn over the live picture: the target ring with its centre mark (when switched on),
// the operator's instruction along the foot, the simulated camera's mark, the signs of
// an automatic capture, the disconnection notice and the no-camera hint. Lets every
// mouse event through to the picture.
class PreviewOverlay : public QWidget {
  Q_OBJECT
public:
  // The band behind the mark of a simulated camera, opaque red (200, 0, 0).
  static constexpr unsigned kMarkBand = 0xFFC80000u;
  // The guide ring's colour, one the pupil and iris circles never take, drawn dashed.
  static constexpr unsigned kRingColour = 0xFF00BEFFu;
  // The border flash after an automatic capture.
  static constexpr unsigned kFlashColour = 0xFFFFFFFFu;
  static constexpr int kFlashWidth = 6;
  // How long the border flashes and the banner stays.
  static constexpr int kFlashMs = 600;
  static constexpr int kBannerMs = 2500;
  explicit PreviewOverlay(QWidget* parent);
  // The capture format the ring is scaled from; 0 x 0 hides the ring.
  void SetFrameSize(int32_t width, int32_t height);
  void SetRingVisible(bool on);
  void SetNotice(const QString& text);
  // A standing mark in the top-left corner ("CÁMARA SIMULADA"); empty hides it.
  void SetMark(const QString& text);
  // The instruction line; `ready` draws it in the passing colour. Empty hides it.
  void SetInstruction(const QString& text, bool ready);
  // Centred lines on the empty live area (no camera); empty hides them.
  void SetHint(const QString& text);
  // Flashes the border and shows `banner` for a moment.
  void Signal(const QString& banner);
  const QString& Mark() const { return mark_; }
  const QString& Instruction() const { return instruction_; }
  const QString& Hint() const { return hint_; }
  const QString& Banner() const { return banner_; }
  bool Flashing() const { return flashing_; }
  bool RingVisible() const { return ringVisible_; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  int32_t frameWidth_ = 0, frameHeight_ = 0;
  bool ringVisible_ = false;
  QString notice_;
  QString mark_;
  QString instruction_;
  bool ready_ = false;
  QString hint_;
  QString banner_;
  bool flashing_ = false;
  QTimer flashTimer_;
  QTimer bannerTimer_;
};

// The aids' own area of the window: a scroll area whose content holds the controls and
// readings in rows, top to bottom: "Anillo guía" and the camera status; the check
// boxes of the iris aids; further controls (AddControls); the focus meter; the
// histogram and the exposure line; the metrics checklist.
class AidsPanel : public QScrollArea {
  Q_OBJECT
public:
  // Texts the operator sees.
  static constexpr const char* kRingToggle = "Anillo guía";
  static constexpr const char* kDisconnected = "Cámara desconectada";
  static constexpr const char* kReconnected = "Cámara reconectada";
  static constexpr const char* kSimulatedMark = "CÁMARA SIMULADA";
  static constexpr const char* kAutoCaptured = "Foto tomada automáticamente";
  static constexpr const char* kNoCameraHint =
      "Sin cámara: conecte una cámara web y reinicie\n"
      "Cámara simulada: inicie con OKUVA_CAMERA=simulated";
  // How often the aids look at the newest frame.
  static constexpr int kRefreshMs = 66;

  // `previewArea` is the widget the capture window lives in (Picture1's client area);
  // the overlay is placed over it. `source` gives the current capture window or nullptr.
  AidsPanel(QWidget* parent, QWidget* previewArea, std::function<qt::CaptureWindow*()> source);

  // What sounds after an automatic capture; by default the system bell.
  void SetBell(std::function<void()> bell) { bell_ = std::move(bell); }

  // Adds a row of one or two controls under the iris aids' check boxes (the place for
  // further options of the capture); the area scrolls if they no longer fit.
  void AddControls(QWidget* first, QWidget* second = nullptr);

  // One look at the newest frame: updates the meter, histogram and status (an unplugged
  // camera shows as disconnected). The panel's timer calls it; tests call it directly.
  void Refresh();
  // The capture window found its vanished camera again.
  void ShowRestored();
  // Forgets the best focus (the operator took a picture).
  void ResetBest() {
    meter_.Reset();
    bar_->SetScores(0, 0);
  }

  const aids::FocusMeter& Meter() const { return meter_; }
  const aids::Exposure& LastExposure() const { return exposure_; }
  PreviewOverlay* Overlay() const { return overlay_; }
  QCheckBox* RingToggle() const { return ringToggle_; }
  QLabel* Status() const { return status_; }
  QLabel* FocusText() const { return focusText_; }
  // The exposure of the whole frame: the shares of clipped shadows and highlights.
  QLabel* ExposureText() const { return exposureText_; }
  // The pupil and iris circles, metrics checklist, still's judgement and automatic capture.
  IrisAids* Iris() const { return iris_; }

protected:
  // Follows the window's height: the area reaches down to the window's foot.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void ShowFrameFigures();
  // No live picture: the readings show nothing rather than zeros.
  void ShowNoFigures();
  void ShowStatus(const QString& text, bool warning);
  void FitToWindow();

  std::function<qt::CaptureWindow*()> source_;
  std::function<void()> bell_;
  QTimer timer_;
  PreviewOverlay* overlay_;
  QWidget* content_;
  QVBoxLayout* rows_;
  int controlRows_ = 0;  // rows added by AddControls
  QCheckBox* ringToggle_;
  QLabel* status_;
  QLabel* focusText_;
  FocusBar* bar_;
  HistogramView* histogram_;
  QLabel* exposureText_;
  IrisAids* iris_;
  aids::FocusMeter meter_;
  aids::Exposure exposure_;
  QPointer<qt::CaptureWindow> lastWindow_;
  uint64_t lastSequence_ = 0;
};

}  // namespace okuva
