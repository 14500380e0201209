#include "saving/qt/qt_save_file_dialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <memory>

#include "platform/qt/window_handles.h"

namespace okuva::qt {
namespace {

// Splits a NUL-separated list (ended by two NULs) into its texts.
QStringList SplitAtNuls(const std::string& list) {
  QStringList parts;
  size_t start = 0;
  while (start < list.size()) {
    const size_t nul = list.find('\0', start);
    const size_t end = nul == std::string::npos ? list.size() : nul;
    if (end == start) {
      break;  // the closing double NUL
    }
    parts.append(QString::fromStdString(list.substr(start, end - start)));
    start = end + 1;
  }
  return parts;
}

// Qt reads a filter's patterns from the parentheses that end it; descriptions that
// already name their patterns that way are kept as they are.
QString QtNameFilter(const QString& description, const QString& patterns) {
  QString list = patterns;
  list.replace(';', ' ');
  if (description.endsWith(QStringLiteral("(") + list + QStringLiteral(")"))) {
    return description;
  }
  return description + QStringLiteral(" (") + list + QStringLiteral(")");
}

// Writes text into a fixed buffer of `room` characters (NUL included), NUL-padded.
bool FillBuffer(std::string& buffer, uint32_t room, const std::string& text) {
  if (static_cast<uint32_t>(CharCount(text)) + 1 > room) {
    return false;
  }
  buffer = text;
  buffer.resize(buffer.size() + (room - static_cast<uint32_t>(CharCount(text))), '\0');
  return true;
}

}  // namespace

int QtSaveFileDialog::GetSaveFileNameA(OPENFILENAME& ofn) {
  QFileDialog dialog(WidgetFromHandle(ofn.hwndOwner));
  dialog.setObjectName(QStringLiteral("okuvaSaveFileDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::DontConfirmOverwrite, (ofn.Flags & OFN_OVERWRITEPROMPT) == 0);
  if (!ofn.lpstrTitle.empty()) {
    dialog.setWindowTitle(QString::fromStdString(ofn.lpstrTitle));
  }

  const QStringList parts = SplitAtNuls(ofn.lpstrFilter);
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    filters.append(QtNameFilter(parts[i], parts[i + 1]));
  }
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    if (ofn.nFilterIndex >= 1 && ofn.nFilterIndex <= static_cast<uint32_t>(filters.size())) {
      dialog.selectNameFilter(filters[static_cast<qsizetype>(ofn.nFilterIndex) - 1]);
    }
  }
  const QString defaultExt = QString::fromStdString(ofn.lpstrDefExt);
  if (!defaultExt.isEmpty()) {
    dialog.setDefaultSuffix(defaultExt);
  }

  const QString proposed = QString::fromStdString(StripAtNul(ofn.lpstrFile));
  const QFileInfo proposedInfo(proposed);
  if (!ofn.lpstrInitialDir.empty()) {
    dialog.setDirectory(QString::fromStdString(ofn.lpstrInitialDir));
  }
  if (proposed.contains('/')) {
    dialog.setDirectory(proposedInfo.absolutePath());
  }
  if (!proposed.isEmpty()) {
    dialog.selectFile(proposedInfo.fileName());
  }

  for (;;) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
      return 0;
    }
    const QString chosen = dialog.selectedFiles().constFirst();
    const std::string path = chosen.toStdString();
    const std::string title = QFileInfo(chosen).fileName().toStdString();
    std::string file;
    std::string fileTitle;
    if (!FillBuffer(file, ofn.nMaxFile, path) || !FillBuffer(fileTitle, ofn.nMaxFileTitle, title)) {
      QMessageBox::warning(&dialog, dialog.windowTitle(),
                           QStringLiteral("El nombre del archivo es demasiado largo."));
      continue;
    }
    ofn.lpstrFile = file;
    ofn.lpstrFileTitle = fileTitle;
    ofn.nFilterIndex = static_cast<uint32_t>(filters.indexOf(dialog.selectedNameFilter()) + 1);
    if (!defaultExt.isEmpty() &&
        QFileInfo(chosen).suffix().compare(defaultExt, Qt::CaseInsensitive) != 0) {
      ofn.Flags |= OFN_EXTENSIONDIFFERENT;
    }
    return 1;
  }
}

void InstallQtSaveFileDialog() { SetSaveFileDialogBackend(std::make_shared<QtSaveFileDialog>()); }

}  // namespace okuva::qt
