#include "platform/qt/frame_placement.h"

#include <QEvent>
#include <QWidget>
#include <utility>

namespace okuva::qt {

FramePlacement::FramePlacement(QWidget* window, std::function<void()> place)
    : QObject(window), window_(window), place_(std::move(place)) {
  watch_.setInterval(kWatchIntervalMs);
  connect(&watch_, &QTimer::timeout, this, [this] { Look(); });
  window_->installEventFilter(this);
}

bool FramePlacement::Framed() const { return window_->frameGeometry() != window_->geometry(); }

QRect FramePlacement::Begin() {
  const QRect frame = window_->frameGeometry();
  placeOnceFramed_ = frame == window_->geometry();
  if (placeOnceFramed_ && !watch_.isActive()) {
    ticks_ = 0;
    framedPlacements_ = 0;
    watch_.start();
  }
  return frame;
}

void FramePlacement::MoveFrameTo(const QPoint& topLeft) {
  placedAt_ = topLeft;
  window_->move(placedAt_);  // move() places a top-level window by its frame's corner
}

void FramePlacement::Look() {
  const bool framed = Framed();
  if (framed && !placeOnceFramed_ && window_->frameGeometry().topLeft() == placedAt_) {
    watch_.stop();  // the frame stands where it was placed
  } else if (++ticks_ >= kWatchTicks) {
    watch_.stop();  // no window manager frames this window
  } else if (framed && framedPlacements_ < kFramedPlacements) {
    // Framed now, or moved by the window manager's own placement while it mapped
    // the window: placed (again) by the frame.
    ++framedPlacements_;
    place_();
  }
}

bool FramePlacement::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_ && event->type() == QEvent::Move && placeOnceFramed_ && Framed()) {
    place_();  // the frame is known now; this placement clears the flag
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace okuva::qt
