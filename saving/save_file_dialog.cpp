#include "saving/save_file_dialog.h"

#include <mutex>
#include <utility>

#include "platform/runtime/error.h"

namespace okuva {
namespace {

std::mutex g_backendMutex;
std::shared_ptr<SaveFileDialogBackend> g_backend;

std::shared_ptr<SaveFileDialogBackend> CurrentBackend() {
  std::lock_guard lock(g_backendMutex);
  return g_backend;
}

constexpr gdi::HWND kNoOwner = 0xFFFFFFFFu;  // -1 as the caller writes it
constexpr int32_t kMaxFilterChars = 32767;   // the filter's length is a 16-bit count

// Pads to exactly kMaxFileChars characters; a longer text cannot be padded and is
// refused the way the runtime refuses a negative repeat count.
std::string PadWithNuls(const std::string& s) {
  const int32_t chars = CharCount(s);
  if (chars > kMaxFileChars) {
    Raise(kErrInvalidCall);
  }
  return s + std::string(static_cast<size_t>(kMaxFileChars - chars), '\0');
}

// Bars and colons separate descriptions from patterns; the list ends with two NULs.
std::string TranslateFilter(const std::string& sFilter) {
  if (CharCount(sFilter) > kMaxFilterChars) {
    Raise(kErrOverflow);
  }
  std::string out;
  out.reserve(sFilter.size() + 2);
  for (char c : sFilter) {
    out.push_back(c == '|' || c == ':' ? '\0' : c);
  }
  out.append(2, '\0');
  return out;
}

}  // namespace

std::shared_ptr<SaveFileDialogBackend> SetSaveFileDialogBackend(
    std::shared_ptr<SaveFileDialogBackend> backend) {
  std::lock_guard lock(g_backendMutex);
  return std::exchange(g_backend, std::move(backend));
}

int32_t CharCount(const std::string& s) {
  int64_t count = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) != 0x80) {  // continuation bytes belong to the character before
      ++count;
    }
  }
  return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

std::string StripAtNul(const std::string& s) {
  const size_t nul = s.find('\0');
  return nul == std::string::npos ? s : s.substr(0, nul);
}

std::string FilterEntry(const std::string& sList, int32_t n) {
  // Entries are counted from 1; a smaller index names none (walking on would never
  // reach it).
  if (sList.empty() || n < 1) {
    return {};
  }
  size_t start = 0;
  for (;;) {
    const size_t first = sList.find('\0', start);
    if (first == std::string::npos) {
      return {};
    }
    const size_t second = sList.find('\0', first + 1);
    if (n == 1) {
      return second == std::string::npos ? sList.substr(start)
                                         : sList.substr(start, second - start);
    }
    --n;
    start = second == std::string::npos ? 0 : second + 1;
  }
}

bool SaveFileDialog(std::string& sFileName, std::string& sFileTitle, int16_t& bOverwritePrompt,
                    std::string& sFilter, int32_t& lFilterIndex, std::string& sInitDir,
                    std::string& sDlgTitle, std::string& sDefaultExt, gdi::HWND& hWndOwner,
                    int32_t& lFlags) {
  OPENFILENAME ofn;
  ofn.lpstrFilter = TranslateFilter(sFilter);

  uint32_t flags = static_cast<uint32_t>(lFlags) & ~(OFN_ENABLEHOOK | OFN_ENABLETEMPLATE);
  flags |= OFN_HIDEREADONLY;
  if (bOverwritePrompt != 0) {
    flags |= OFN_OVERWRITEPROMPT;
  }

  ofn.lpstrFile = PadWithNuls(sFileName);
  ofn.lpstrFileTitle = PadWithNuls(sFileTitle);
  ofn.hwndOwner = hWndOwner == kNoOwner ? 0 : hWndOwner;
  ofn.nFilterIndex = static_cast<uint32_t>(lFilterIndex);
  ofn.nMaxFile = kMaxFileChars;
  ofn.nMaxFileTitle = kMaxFileChars;
  ofn.lpstrInitialDir = sInitDir;
  ofn.lpstrTitle = sDlgTitle;
  ofn.Flags = flags;
  ofn.lpstrDefExt = sDefaultExt;

  const std::shared_ptr<SaveFileDialogBackend> backend = CurrentBackend();
  const int result = backend ? backend->GetSaveFileNameA(ofn) : 0;
  if (result == 1) {
    sFileName = StripAtNul(ofn.lpstrFile);
    sFileTitle = StripAtNul(ofn.lpstrFileTitle);
    lFlags = static_cast<int32_t>(ofn.Flags);
    lFilterIndex = static_cast<int32_t>(ofn.nFilterIndex);
    sFilter = FilterEntry(ofn.lpstrFilter, lFilterIndex);
    return true;
  }
  sFileName.clear();
  sFileTitle.clear();
  sFilter.clear();
  lFilterIndex = 0;
  lFlags = 0;
  return false;
}

}  // namespace okuva
