// A picture box: a framed area that shows a picture object from its top-left corner and
// can serve as the parent window of a child such as a capture window.
#pragma once

#include <QFrame>
#include <QImage>

#include "platform/picture/picture.h"

namespace okuva::qt {

class PictureBox : public QFrame {
  Q_OBJECT

public:
  explicit PictureBox(QWidget* parent = nullptr);

  // Takes the picture (an empty one clears the box) and shows it. With AutoSize on, the
  // box resizes itself to the picture plus its border; an empty picture keeps the size.
  void SetPicture(StdPicture picture);
  const StdPicture& Picture() const { return picture_; }
  // The picture as shown (32-bit), null when the box holds none.
  const QImage& Shown() const { return shown_; }

  // The area inside the border: children (a capture window) are placed relative to it,
  // as a window's children are placed in its client area. Its handle is the box's hWnd.
  QWidget* Client() const { return client_; }

  void SetAutoSize(bool on) { autoSize_ = on; }
  bool AutoSize() const { return autoSize_; }

  // The picture converted to a 32-bit image through the raster layer; null for an empty
  // picture or one the layer cannot read.
  static QImage ToImage(const StdPicture& picture);

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  QWidget* client_;
  StdPicture picture_;
  QImage shown_;
  bool autoSize_ = false;
};

}  // namespace okuva::qt
