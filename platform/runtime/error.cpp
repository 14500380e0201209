#include "platform/runtime/error.h"

#include <sys/stat.h>

#include <cerrno>

namespace okuva {

RuntimeError::RuntimeError(int32_t number, std::string description, std::string source)
    : std::runtime_error("Error " + std::to_string(number) + ": " + description),
      number_(number),
      description_(std::move(description)),
      source_(std::move(source)) {}

std::string DefaultDescription(int32_t number) {
  switch (number) {
    case kErrInvalidCall: return "Invalid procedure call or argument";
    case kErrOverflow: return "Overflow";
    case kErrOutOfMemory: return "Out of memory";
    case kErrSubscript: return "Subscript out of range";
    case kErrFileNotFound: return "File not found";
    case kErrDiskFull: return "Disk full";
    case kErrPermissionDenied: return "Permission denied";
    case kErrPathFileAccess: return "Path/File access error";
    case kErrPathNotFound: return "Path not found";
    default: return {};
  }
}

void Raise(int32_t number, std::string description, std::string source) {
  if (description.empty()) {
    description = DefaultDescription(number);
  }
  throw RuntimeError(number, std::move(description), std::move(source));
}

int32_t FileErrorNumber(int errnum) {
  switch (errnum) {
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return kErrDiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EBUSY: return kErrPermissionDenied;
    default: return kErrPathFileAccess;
  }
}

namespace {

// The folder part of a path ("" for a bare name, "/" for a file at the root).
std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return {};
  }
  if (slash == 0) {
    return "/";
  }
  return path.substr(0, slash);
}

}  // namespace

int32_t FileErrorNumber(int errnum, const std::string& path) {
  // POSIX says ENOENT both for a missing file and for a missing folder on the way to
  // it; the runtime tells them apart as 53 and 76.
  if (errnum == ENOENT && !path.empty()) {
    const std::string folder = FolderOf(path);
    struct stat st {};
    if (!folder.empty() && (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
      return kErrPathNotFound;
    }
  }
  return FileErrorNumber(errnum);
}

void RaiseFileError(int errnum, const std::string& path) {
  Raise(FileErrorNumber(errnum, path), {}, path);
}

}  // namespace okuva
