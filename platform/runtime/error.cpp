#include "platform/runtime/error.h"

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
  if (description.empty()) description = DefaultDescription(number);
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

void RaiseFileError(int errnum, const std::string& path) {
  Raise(FileErrorNumber(errnum), {}, path);
}

}  // namespace okuva
