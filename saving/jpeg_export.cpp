#include "saving/jpeg_export.h"

#include <optional>

#include "platform/runtime/checked.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"
#include "platform/runtime/program.h"

namespace okuva {

namespace {

std::string ErrorSource() { return ExecutableName() + ".mIntelJPEGLibrary"; }

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
    Raise(kErrJpegExport, "Failed to initialise the IJL library: " + std::to_string(code),
          ErrorSource());
  }
  RecordGuard guard(library, record);

  // What a replaced file must keep: its times (its permission bits are carried over
  // by ReplaceFile, and set again below in case the temporary's were changed).
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

  // Written beside the target and renamed over it only when complete, so any failure
  // leaves an existing file as it was.
  files::ReplaceFile(sFile, [&](int fd, const std::string& tempPath) {
    record.JPGFile = tempPath.c_str();
    record.JPGFileDescriptor = fd;
    if (const int32_t code = library.Write(record, kJpegWriteWholeImage); code != kJpegOk) {
      guard.Free();
      Raise(kErrJpegExport, "Failed to save to JPG " + std::to_string(code), ErrorSource());
    }
    record.JPGFile = nullptr;
    record.JPGFileDescriptor = -1;
    if (existing) {
      // Renaming keeps these, so the replacement appears with them already in place.
      files::SetFileTimes(tempPath, existing->accessed, existing->modified, existing->created);
      files::SetFileMode(tempPath, existing->mode);
    }
  });

  guard.Free();
  return true;
}

}  // namespace okuva
