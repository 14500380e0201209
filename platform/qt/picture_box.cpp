#include "platform/qt/picture_box.h"

#include <QPainter>

#include "platform/gdi/memory_dc.h"

namespace okuva::qt {

PictureBox::PictureBox(QWidget* parent) : QFrame(parent), client_(new QWidget(this)) {
  // A sunken 3D border two pixels wide, the classic picture box's look.
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(2);
  client_->setObjectName(QStringLiteral("client"));
  client_->setGeometry(contentsRect());
}

void PictureBox::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  client_->setGeometry(contentsRect());
}

QImage PictureBox::ToImage(const StdPicture& picture) {
  const int32_t width = picture.Width();
  const int32_t height = picture.Height();
  if (!picture || width <= 0 || height <= 0) {
    return {};
  }
  QImage image(width, height, QImage::Format_RGB32);
  if (image.isNull() || image.bytesPerLine() != static_cast<qsizetype>(width) * 4) {
    return {};
  }
  gdi::BITMAPINFO info{};
  info.bmiHeader = gdi::DibHeader(width, -height, 32);  // top-down, as QImage keeps its rows
  const gdi::MemoryDc dc(0);
  if (dc.Dc() == 0) {
    return {};
  }
  const int lines = gdi::GetDIBits(dc.Dc(), picture.Handle(), 0, static_cast<uint32_t>(height),
                                   image.bits(), &info, gdi::DIB_RGB_COLORS);
  if (lines != height) {
    return {};
  }
  return image;
}

void PictureBox::SetPicture(StdPicture picture) {
  picture_ = std::move(picture);
  shown_ = ToImage(picture_);
  if (autoSize_ && !shown_.isNull()) {
    const int border = frameWidth() * 2;
    resize(shown_.width() + border, shown_.height() + border);
  }
  update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  if (!shown_.isNull()) {
    QPainter painter(this);
    painter.setClipRect(contentsRect());
    painter.drawImage(contentsRect().topLeft(), shown_);
  }
}

}  // namespace okuva::qt
