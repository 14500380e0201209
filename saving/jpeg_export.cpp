#include "saving/jpeg_export.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "platform/runtime/checked.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"
#include "platform/runtime/program.h"

namespace okuva {

namespace {

// The export's failures; each description is followed by the writer's status code.
enum class ExportFault : size_t { kInit, kSave };
constexpr std::array<const char*, 2> kExportMessages = {
    "Failed to initialise the IJL library: ",
    "Failed to save to JPG ",
};

[[noreturn]] void RaiseExportError(ExportFault fault, int32_t code) {
  Raise(kErrJpegExport, kExportMessages[static_cast<size_t>(fault)] + std::to_string(code),
        ExecutableName() + ".mIntelJPEGLibrary");
}

// Frees the writer's record on every way out once it was initialised.
class RecordGuard {
public:
  RecordGuard(const JpegLibrary& library, JpegCoreProperties& record)
      : library_(library), record_(record) {}
  ~RecordGuard() { Free(); }
  RecordGuard(const RecordGuard&) = delete;
  RecordGuard& operator=(const RecordGuard&) = delete;
  void Free() {
    if (armed_) {
      armed_ = false;
      library_.Free(record_);
    }
  }

private:
  const JpegLibrary& library_;
  JpegCoreProperties& record_;
  bool armed_ = true;
};

}  // namespace

bool SaveDIBAsJPG(const cDIBSection& cDib, const std::string& sFile, int32_t lQuality) {
  return SaveDIBAsJPG(cDib, sFile, lQuality, JpegLibrary{});
}

bool SaveDIBAsJPG(const cDIBSection& cDib, const std::string& sFile, int32_t lQuality,
                  const JpegLibrary& library) {
  JpegCoreProperties record{};
  if (const int32_t code = library.Init(record); code != kJpegOk) {
    RaiseExportError(ExportFault::kInit, code);
  }
  RecordGuard guard(library, record);

  // What a replaced file must keep: its times (its permission bits, and as root its
  // owner, are carried over by the file service).
  const std::optional<files::FileInfo> existing = files::FindFile(sFile);

  const int32_t width = cDib.Width();
  const int32_t height = cDib.Height();
  record.DIBWidth = width;
  record.DIBHeight = CheckedSub(0, height);  // negative: the rows are stored bottom-up
  record.DIBBytes = cDib.DIBSectionBitsPtr();
  record.DIBPadBytes = CheckedSub(cDib.BytesPerScanLine(), CheckedMul(3, width));
  record.JPGWidth = width;
  record.JPGHeight = height;
  record.jquality = lQuality;

  // Written beside the target and put in its place only when complete, so any failure
  // leaves an existing file as it was. Refusing an existing file (read-only, or a
  // folder that may not be changed) is the file error of the refused delete; failing
  // to make the new file where none was is the writer's failure to open its file.
  std::optional<files::PendingFile> file;
  try {
    file.emplace(sFile, files::PendingFile::Mode::kReplace);
  } catch (const RuntimeError&) {
    if (existing) {
      throw;
    }
    guard.Free();
    RaiseExportError(ExportFault::kSave, kJpegErrFileOpen);
  }
  const std::string target = file->Target();
  record.JPGFile = target.c_str();
  record.JPGFileDescriptor = file->Descriptor();
  if (const int32_t code = library.Write(record, kJpegWriteWholeImage); code != kJpegOk) {
    guard.Free();
    RaiseExportError(ExportFault::kSave, code);
  }
  record.JPGFile = nullptr;
  record.JPGFileDescriptor = -1;
  if (existing) {
    // Putting the file in place keeps these, so it appears with them already set.
    files::SetFileTimes(file->Descriptor(), existing->accessed, existing->modified, sFile);
  }
  file->Commit();

  guard.Free();
  return true;
}

}  // namespace okuva
