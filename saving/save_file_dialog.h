// mCommonDialog: the save-file dialog behind one function, SaveFileDialog, which takes
// the dialog's settings as by-reference arguments and writes the operator's choice back
// into them. The dialog itself is a backend: the window installs the desktop one, tests
// install a scripted one. Without any backend every call is answered as cancelled.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/gdi/gdi.h"

namespace okuva {

// Dialog flags understood by the backends.
constexpr uint32_t OFN_READONLY = 0x1;
constexpr uint32_t OFN_OVERWRITEPROMPT = 0x2;
constexpr uint32_t OFN_HIDEREADONLY = 0x4;
constexpr uint32_t OFN_ENABLEHOOK = 0x20;
constexpr uint32_t OFN_ENABLETEMPLATE = 0x40;
constexpr uint32_t OFN_EXTENSIONDIFFERENT = 0x400;

// Room for a file name or a title, terminating NUL included.
constexpr int32_t kMaxFileChars = 260;

// The record a save dialog is shown from. Text travels as UTF-8 (our "ANSI" form).
// lpstrFile and lpstrFileTitle are buffers of exactly nMaxFile / nMaxFileTitle
// characters padded with NULs; a backend writes its answer into them NUL-ended and
// must refuse (return 0) an answer that does not fit.
struct OPENFILENAME {
  uint32_t lStructSize = 76;
  gdi::HWND hwndOwner = 0;
  std::string lpstrFilter;      // description NUL pattern NUL ... NUL NUL
  uint32_t nFilterIndex = 0;    // 1-based
  std::string lpstrFile;
  uint32_t nMaxFile = 0;
  std::string lpstrFileTitle;
  uint32_t nMaxFileTitle = 0;
  std::string lpstrInitialDir;  // empty: unset
  std::string lpstrTitle;       // empty: the dialog's own title
  uint32_t Flags = 0;
  std::string lpstrDefExt;      // appended (after a dot) to a name typed without extension
};

class SaveFileDialogBackend {
public:
  virtual ~SaveFileDialogBackend() = default;
  // Shows a modal save dialog for the record; returns 1 when the operator confirmed a
  // name (lpstrFile, lpstrFileTitle, nFilterIndex and Flags then describe the choice),
  // 0 on cancel or failure.
  virtual int GetSaveFileNameA(OPENFILENAME& ofn) = 0;
};

// Installs a backend (nullptr: every dialog is answered as cancelled); returns the old.
std::shared_ptr<SaveFileDialogBackend> SetSaveFileDialogBackend(
    std::shared_ptr<SaveFileDialogBackend> backend);

// Asks for a file name to save under. Returns true when the operator confirmed one:
// sFileName then holds the full path, sFileTitle the name without folder, sFilter the
// chosen filter entry (description NUL pattern), lFilterIndex the chosen filter and
// lFlags the flags as the dialog returned them. On cancel or dialog failure returns
// false with sFileName, sFileTitle and sFilter emptied and lFilterIndex, lFlags 0.
// hWndOwner -1 means no owner. Raises 5 when sFileName or sFileTitle is longer than
// 260 characters, 6 when sFilter is longer than 32767 characters.
bool SaveFileDialog(std::string& sFileName, std::string& sFileTitle, int16_t& bOverwritePrompt,
                    std::string& sFilter, int32_t& lFilterIndex, std::string& sInitDir,
                    std::string& sDlgTitle, std::string& sDefaultExt, gdi::HWND& hWndOwner,
                    int32_t& lFlags);

// The n-th entry (1-based) of a NUL-separated filter list: description and pattern with
// the NUL between them; empty text when the list is empty, has no such entry, or n < 1.
std::string FilterEntry(const std::string& sList, int32_t n);

// The characters of s before its first NUL (all of s when it has none).
std::string StripAtNul(const std::string& s);

// Number of characters (code points) of UTF-8 text; what the length limits count.
int32_t CharCount(const std::string& s);

}  // namespace okuva
