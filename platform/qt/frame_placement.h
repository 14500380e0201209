// Placing a top-level window by its frame (title bar included) although a window
// manager frames it only after it is shown: the placement is repeated once the frame is
// known, and again, a few times at most, while the window manager moves the window by
// its own placement as it maps it.
#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QTimer>
#include <functional>

class QWidget;

namespace okuva::qt {

class FramePlacement : public QObject {
public:
  // How long the frame is looked for after a placement made before it existed:
  // kWatchTicks looks, kWatchIntervalMs apart.
  static constexpr int kWatchIntervalMs = 50;
  static constexpr int kWatchTicks = 200;
  // Placements by the frame before the window is left where it stands.
  static constexpr int kFramedPlacements = 5;

  // `place` puts `window` where it belongs through Begin and MoveFrameTo; it is called
  // again whenever the placement must be repeated by the frame.
  FramePlacement(QWidget* window, std::function<void()> place);

  // Starts a placement: the window's outer rectangle, frame and title bar included.
  // Until the window manager has framed the window it is the client's; the frame is
  // then watched for, and the placement repeated once it is known.
  QRect Begin();
  // Moves the window so that its frame's top-left corner lands at `topLeft`.
  void MoveFrameTo(const QPoint& topLeft);

  bool Watching() const { return watch_.isActive(); }

protected:
  // A window manager that frames the window may move it: the frame is known then.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // One look at the frame while the first placement is watched.
  void Look();
  bool Framed() const;

  QWidget* window_;
  std::function<void()> place_;
  // Placed before the window manager framed the window: placed again, once, when the
  // frame is known, so that the frame lands at the point.
  bool placeOnceFramed_ = false;
  // A window manager frames the window without moving its client, so no move event
  // need follow: the frame is looked for a short while after the first placement.
  // Until the frame stands at the point last placed, it is placed again.
  QTimer watch_;
  int ticks_ = 0;
  int framedPlacements_ = 0;
  QPoint placedAt_;
};

}  // namespace okuva::qt
