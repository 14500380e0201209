#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/qt/qt_services.h"
#include "platform/runtime/error.h"
#include "saving/qt/qt_save_file_dialog.h"
#include "saving/save_file_dialog.h"
#include "tests/support/station_fixture.h"
#include "tests/support/temp_folder.h"

namespace okuva {
namespace {

using testing::ScriptedSaveDialog;

const std::string kJpegFilter = "JPEG Files (*.JPG)|*.JPG|All Files (*.*)|*.*";

// The ten arguments as the save command passes them.
struct DialogArgs {
  std::string sFileName = "/opt/okuva/RuvoDiro.jpg";
  std::string sFileTitle;
  int16_t bOverwritePrompt = -1;
  std::string sFilter = kJpegFilter;
  int32_t lFilterIndex = 1;
  std::string sInitDir;
  std::string sDlgTitle;
  std::string sDefaultExt = "JPG";
  gdi::HWND hWndOwner = 0x1234;
  int32_t lFlags = 0;

  bool Call() {
    return SaveFileDialog(sFileName, sFileTitle, bOverwritePrompt, sFilter, lFilterIndex, sInitDir,
                          sDlgTitle, sDefaultExt, hWndOwner, lFlags);
  }
};

class SaveFileDialogTest : public ::testing::Test {
protected:
  void SetUp() override { old_ = SetSaveFileDialogBackend(dialog_); }
  void TearDown() override { SetSaveFileDialogBackend(old_); }
  std::shared_ptr<ScriptedSaveDialog> dialog_ = std::make_shared<ScriptedSaveDialog>();
  std::shared_ptr<SaveFileDialogBackend> old_;
};

TEST_F(SaveFileDialogTest, RecordIsFilledFromTheArguments) {
  DialogArgs args;
  args.sInitDir = "/tmp";
  args.sDlgTitle = "Guardar";
  dialog_->answer = "/tmp/x.JPG";
  ASSERT_TRUE(args.Call());
  ASSERT_EQ(dialog_->asked.size(), 1u);
  const OPENFILENAME& ofn = dialog_->asked[0];
  EXPECT_EQ(ofn.lStructSize, 76u);
  EXPECT_EQ(ofn.hwndOwner, 0x1234u);
  EXPECT_EQ(ofn.lpstrFilter,
            std::string("JPEG Files (*.JPG)\0*.JPG\0All Files (*.*)\0*.*\0\0", 46));
  EXPECT_EQ(ofn.nFilterIndex, 1u);
  EXPECT_EQ(ofn.nMaxFile, 260u);
  EXPECT_EQ(ofn.nMaxFileTitle, 260u);
  ASSERT_EQ(ofn.lpstrFile.size(), 260u);
  EXPECT_EQ(StripAtNul(ofn.lpstrFile), "/opt/okuva/RuvoDiro.jpg");
  EXPECT_EQ(ofn.lpstrFile.find_first_not_of('\0', 23), std::string::npos);
  EXPECT_EQ(ofn.lpstrFileTitle, std::string(260, '\0'));
  EXPECT_EQ(ofn.lpstrInitialDir, "/tmp");
  EXPECT_EQ(ofn.lpstrTitle, "Guardar");
  EXPECT_EQ(ofn.lpstrDefExt, "JPG");
  EXPECT_EQ(ofn.Flags, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT);
}

TEST_F(SaveFileDialogTest, FlagsDropHookAndTemplateAndAlwaysHideReadOnly) {
  DialogArgs args;
  args.bOverwritePrompt = 0;
  args.lFlags = static_cast<int32_t>(OFN_ENABLEHOOK | OFN_ENABLETEMPLATE | OFN_READONLY | 0x800);
  args.hWndOwner = 0xFFFFFFFFu;  // -1: no owner
  args.Call();
  ASSERT_EQ(dialog_->asked.size(), 1u);
  EXPECT_EQ(dialog_->asked[0].Flags, OFN_READONLY | OFN_HIDEREADONLY | 0x800u);
  EXPECT_EQ(dialog_->asked[0].hwndOwner, 0u);
}

TEST_F(SaveFileDialogTest, ConfirmationWritesTheChoiceBack) {
  DialogArgs args;
  dialog_->answer = "/home/op/ojo izquierdo.JPG";
  args.sInitDir = "/home";
  ASSERT_TRUE(args.Call());
  EXPECT_EQ(args.sFileName, "/home/op/ojo izquierdo.JPG");
  EXPECT_EQ(args.sFileTitle, "ojo izquierdo.JPG");
  EXPECT_EQ(args.sFilter, std::string("JPEG Files (*.JPG)\0*.JPG", 24));
  EXPECT_EQ(args.lFilterIndex, 1);
  EXPECT_EQ(args.lFlags, static_cast<int32_t>(OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT));
  // Inputs that are not outputs stay as they were.
  EXPECT_EQ(args.sInitDir, "/home");
  EXPECT_EQ(args.sDefaultExt, "JPG");
  EXPECT_EQ(args.bOverwritePrompt, -1);
}

TEST_F(SaveFileDialogTest, CancelClearsEveryOutput) {
  DialogArgs args;
  args.lFlags = 0x800;
  dialog_->answer.clear();
  EXPECT_FALSE(args.Call());
  EXPECT_EQ(args.sFileName, "");
  EXPECT_EQ(args.sFileTitle, "");
  EXPECT_EQ(args.sFilter, "");
  EXPECT_EQ(args.lFilterIndex, 0);
  EXPECT_EQ(args.lFlags, 0);
  EXPECT_EQ(args.sDefaultExt, "JPG");
}

TEST_F(SaveFileDialogTest, NoBackendAnswersAsCancelled) {
  SetSaveFileDialogBackend(nullptr);
  DialogArgs args;
  EXPECT_FALSE(args.Call());
  EXPECT_EQ(args.sFileName, "");
}

TEST_F(SaveFileDialogTest, ColonsSplitLikeBars) {
  DialogArgs args;
  args.sFilter = "Fotos: iris|*.jpg";
  args.Call();
  ASSERT_EQ(dialog_->asked.size(), 1u);
  EXPECT_EQ(dialog_->asked[0].lpstrFilter, std::string("Fotos\0 iris\0*.jpg\0\0", 19));
}

TEST_F(SaveFileDialogTest, LengthLimitsRaiseBeforeTheDialogOpens) {
  {
    DialogArgs args;
    args.sFileName = "/" + std::string(259, 'a');  // exactly 260 characters: accepted
    EXPECT_NO_THROW(args.Call());
  }
  {
    DialogArgs args;
    args.sFileName = "/" + std::string(260, 'a');
    try {
      args.Call();
      FAIL() << "a 261-character name was accepted";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), 5);
    }
  }
  {
    DialogArgs args;
    args.sFileTitle = std::string(261, 't');
    EXPECT_THROW(args.Call(), RuntimeError);
  }
  {
    // Characters, not bytes, are counted: 200 two-byte letters fit.
    DialogArgs args;
    std::string name;
    for (int i = 0; i < 200; ++i) {
      name += "ñ";
    }
    args.sFileName = name;
    EXPECT_NO_THROW(args.Call());
  }
  {
    DialogArgs args;
    args.sFilter = std::string(32768, 'f');
    try {
      args.Call();
      FAIL() << "an over-long filter was accepted";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), 6);
    }
  }
  EXPECT_EQ(dialog_->asked.size(), 2u);  // only the two accepted calls reached the dialog
}

TEST(FilterEntryTest, WalksTheNulSeparatedList) {
  const std::string list("JPEG Files (*.JPG)\0*.JPG\0All Files (*.*)\0*.*\0\0", 46);
  EXPECT_EQ(FilterEntry(list, 1), std::string("JPEG Files (*.JPG)\0*.JPG", 24));
  EXPECT_EQ(FilterEntry(list, 2), std::string("All Files (*.*)\0*.*", 19));
  EXPECT_EQ(FilterEntry("", 1), "");
  EXPECT_EQ(FilterEntry("no nul at all", 1), "");
  // A large index does not run away: the walk stays inside the list.
  EXPECT_LE(FilterEntry(list, 1000).size(), list.size());
  // An entry without a closing NUL runs to the end.
  EXPECT_EQ(FilterEntry(std::string("a\0b", 3), 1), std::string("a\0b", 3));
}

TEST(FilterEntryTest, IndexBelowOneNamesNoEntry) {
  const std::string list("A\0a\0\0", 5);
  EXPECT_EQ(FilterEntry(list, 0), "");
  EXPECT_EQ(FilterEntry(list, -3), "");
}

TEST(StripAtNulTest, KeepsTextBeforeTheFirstNul) {
  EXPECT_EQ(StripAtNul(std::string("abc\0def", 7)), "abc");
  EXPECT_EQ(StripAtNul("abc"), "abc");
  EXPECT_EQ(StripAtNul(std::string("\0x", 2)), "");
}

// The desktop dialog: driven the way an operator would, through its widgets.
class QtSaveFileDialogTest : public ::testing::Test {
protected:
  void SetUp() override { testing::App(); }

  OPENFILENAME Record(const std::string& proposed) {
    OPENFILENAME ofn;
    ofn.lpstrFilter = std::string("JPEG Files (*.JPG)\0*.JPG\0All Files (*.*)\0*.*\0\0", 46);
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = proposed + std::string(260 - proposed.size(), '\0');
    ofn.nMaxFile = 260;
    ofn.lpstrFileTitle = std::string(260, '\0');
    ofn.nMaxFileTitle = 260;
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    ofn.lpstrDefExt = "JPG";
    return ofn;
  }

  static void TypeAndAccept(QWidget* modal, const QString& name) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(edit, nullptr);
    edit->setText(name);
    QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
  }

  // Qt's Spanish texts, or an empty name when the translation file is not installed.
  static QString SpanishFile() {
    const QString qm = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_es.qm";
    return QFileInfo::exists(qm) ? qm : QString();
  }

  testing::TempFolder folder_{"okuva-dialog"};
  std::filesystem::path dir_ = folder_.Path();
};

TEST_F(QtSaveFileDialogTest, QtsOwnButtonsAndTitlesAreSpanish) {
  if (SpanishFile().isEmpty()) {
    GTEST_SKIP() << "qtbase_es.qm is not installed (qt6-translations-l10n)";
  }
  QStringList boxButtons;
  testing::ModalAnswer box([&](QWidget* modal) {
    for (QAbstractButton* b : modal->findChildren<QAbstractButton*>()) {
      boxButtons << b->text();
    }
    modal->close();
  });
  qt::QtMessageBoxService().Show("No hay Camara Web", MessageIcon::Exclamation, "Error");
  EXPECT_TRUE(boxButtons.contains(QStringLiteral("&Aceptar")) ||
              boxButtons.contains(QStringLiteral("Aceptar")))
      << boxButtons.join('|').toStdString();

  QString title;
  QStringList dialogButtons;
  OPENFILENAME ofn = Record((dir_ / "RuvoDiro.jpg").string());
  testing::ModalAnswer dialog([&](QWidget* modal) {
    title = modal->windowTitle();
    for (QPushButton* b : modal->findChildren<QPushButton*>()) {
      dialogButtons << b->text();
    }
    qobject_cast<QDialog*>(modal)->reject();
  });
  EXPECT_EQ(qt::QtSaveFileDialog().GetSaveFileNameA(ofn), 0);
  EXPECT_EQ(title.toStdString(), "Guardar como");
  EXPECT_TRUE(dialogButtons.contains(QStringLiteral("&Guardar")))
      << dialogButtons.join('|').toStdString();
}

// The dialog leaves nothing in the operator's folders (Qt would keep its history in
// the configuration folder). Run in a child with fresh folders: Qt reads their place
// once per process.
TEST_F(QtSaveFileDialogTest, LeavesNothingInTheUsersFolders) {
  if (std::getenv("OKUVA_DIALOG_CHILD") != nullptr) {
    qt::InstallQtServices();
    OPENFILENAME ofn = Record((dir_ / "RuvoDiro.jpg").string());
    testing::ModalAnswer answer(
        [](QWidget* modal) { TypeAndAccept(modal, QStringLiteral("ojo")); });
    ASSERT_EQ(qt::QtSaveFileDialog().GetSaveFileNameA(ofn), 1);
    return;
  }
  const std::filesystem::path home = dir_ / "home";
  std::filesystem::create_directories(home);
  char self[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
  const std::string h = home.string();
  const std::string cmd =
      "OKUVA_DIALOG_CHILD=1 OKUVA_KEEP_HOME=1 HOME='" + h + "' XDG_CONFIG_HOME='" + h +
      "/.config' XDG_DATA_HOME='" + h + "/.local/share' XDG_STATE_HOME='" + h +
      "/.local/state' XDG_CACHE_HOME='" + h + "/.cache' '" + self +
      "' --gtest_filter=QtSaveFileDialogTest.LeavesNothingInTheUsersFolders >/dev/null 2>&1";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's dialog did not run";
  // Font caches the system's libraries may keep are theirs, not ours.
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home)) {
    const std::string path = entry.path().string();
    if (!entry.is_directory() && path.rfind(h + "/.cache/", 0) != 0) {
      left.push_back(path);
    }
  }
  EXPECT_TRUE(left.empty()) << left.front();
}

TEST_F(QtSaveFileDialogTest, NameWithoutExtensionGetsTheDefaultOne) {
  qt::QtSaveFileDialog backend;
  OPENFILENAME ofn = Record((dir_ / "RuvoDiro.jpg").string());
  std::vector<std::string> filters;
  testing::ModalAnswer answer([&](QWidget* modal) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    if (dialog != nullptr) {
      for (const QString& f : dialog->nameFilters()) {
        filters.push_back(f.toStdString());
      }
      EXPECT_EQ(dialog->directory().absolutePath().toStdString(), dir_.string());
      EXPECT_FALSE(dialog->filter().testFlag(QDir::CaseSensitive));  // *.JPG matches ojo.jpg
      EXPECT_EQ(dialog->defaultSuffix(), "JPG");
    }
    TypeAndAccept(modal, QStringLiteral("ojo"));
  });
  ASSERT_EQ(backend.GetSaveFileNameA(ofn), 1);
  EXPECT_TRUE(answer.Ran());
  EXPECT_EQ(StripAtNul(ofn.lpstrFile), (dir_ / "ojo.JPG").string());
  EXPECT_EQ(StripAtNul(ofn.lpstrFileTitle), "ojo.JPG");
  EXPECT_EQ(ofn.lpstrFile.size(), 260u);
  EXPECT_EQ(ofn.nFilterIndex, 1u);
  EXPECT_EQ(filters, (std::vector<std::string>{"JPEG Files (*.JPG)", "All Files (*.*)"}));
}

TEST_F(QtSaveFileDialogTest, ReplacingAFileIsConfirmedFirst) {
  const std::filesystem::path existing = dir_ / "viejo.JPG";
  std::ofstream(existing) << "old";
  qt::QtSaveFileDialog backend;
  OPENFILENAME ofn = Record(existing.string());
  bool prompted = false;
  QString question;
  // First the file dialog, then its overwrite question, answered "no", then cancel.
  testing::ModalAnswer first(
      [&](QWidget* modal) { TypeAndAccept(modal, QStringLiteral("viejo.JPG")); });
  QTimer watcher;
  watcher.setInterval(5);
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      prompted = true;
      question = box->text();
      box->button(QMessageBox::No) != nullptr ? box->button(QMessageBox::No)->click()
                                              : box->reject();
    } else if (prompted && qobject_cast<QFileDialog*>(modal) != nullptr) {
      qobject_cast<QFileDialog*>(modal)->reject();
    }
  });
  watcher.start();
  EXPECT_EQ(backend.GetSaveFileNameA(ofn), 0);
  EXPECT_TRUE(prompted);
  if (!SpanishFile().isEmpty()) {
    EXPECT_TRUE(question.contains(QStringLiteral("ya existe"))) << question.toStdString();
  }
}

}  // namespace
}  // namespace okuva
