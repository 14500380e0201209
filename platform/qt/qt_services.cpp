#include "platform/qt/qt_services.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QSettings>
#include <QTranslator>
#include <cstring>

#include "platform/qt/window_handles.h"

namespace okuva::qt {
namespace {

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Exclamation: return QMessageBox::Warning;
    case MessageIcon::Critical: return QMessageBox::Critical;
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

void QtMessageBoxService::Show(const std::string& text, MessageIcon icon,
                               const std::string& title) {
  const std::string caption = title.empty() ? AppTitle() : title;
  QMessageBox box(ToQtIcon(icon), QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Ok, QApplication::activeWindow());
  box.setObjectName(QStringLiteral("okuvaMessageBox"));
  box.exec();
}

bool QtClipboardBackend::Open() { return true; }

void QtClipboardBackend::Close() {}

void QtClipboardBackend::Clear() { QGuiApplication::clipboard()->clear(); }

bool QtClipboardBackend::SetImage(const gdi::ClipboardImage& image) {
  if (image.width <= 0 || image.height <= 0 ||
      image.bgrx.size() <
          static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 4) {
    return false;
  }
  // RGB32 pixels are 0xffRRGGBB words: in memory blue, green, red, unused, as we hold them.
  QImage picture(image.width, image.height, QImage::Format_RGB32);
  if (picture.isNull()) {
    return false;
  }
  const size_t rowBytes = static_cast<size_t>(image.width) * 4;
  for (int32_t y = 0; y < image.height; ++y) {
    std::memcpy(picture.scanLine(y), image.bgrx.data() + static_cast<size_t>(y) * rowBytes,
                rowBytes);
  }
  QGuiApplication::clipboard()->setImage(picture);
  return true;
}

std::optional<gdi::ClipboardImage> QtClipboardBackend::GetImage() {
  const QImage offered = QGuiApplication::clipboard()->image();
  if (offered.isNull()) {
    return std::nullopt;
  }
  const QImage picture = offered.convertToFormat(QImage::Format_RGB32);
  gdi::ClipboardImage image;
  image.width = picture.width();
  image.height = picture.height();
  const size_t rowBytes = static_cast<size_t>(image.width) * 4;
  image.bgrx.resize(rowBytes * static_cast<size_t>(image.height));
  for (int32_t y = 0; y < image.height; ++y) {
    std::memcpy(image.bgrx.data() + static_cast<size_t>(y) * rowBytes, picture.constScanLine(y),
                rowBytes);
  }
  return image;
}

bool InstallSpanishTranslations() {
  static QTranslator* translator = nullptr;
  if (translator != nullptr) {
    return true;
  }
  auto* loaded = new QTranslator(QCoreApplication::instance());
  if (!loaded->load(QStringLiteral("qtbase_es"),
                    QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(loaded)) {
    delete loaded;
    return false;
  }
  translator = loaded;
  return true;
}

void InstallQtServices() {
  // The file dialog keeps its history in Qt's user settings; the station keeps no state
  // beyond the pictures it saves, so those settings go where nothing can be written
  // (a path under a character device, which no one can make a folder of).
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("/dev/null"));
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("/dev/null"));
  SetMessageBoxService(std::make_shared<QtMessageBoxService>());
  gdi::SetClipboardBackend(std::make_shared<QtClipboardBackend>());
}

}  // namespace okuva::qt
