// The one error type of the runtime: a numbered error with a description and a
// source, raised where a behaviour says "raise" and caught only by callers that say
// they catch (the window's resize handler, the window's error reporter, okuva-tool).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace okuva {

// Numbers of the runtime's own errors, with their classic descriptions.
enum ErrorNumber : int32_t {
  kErrInvalidCall = 5,       // "Invalid procedure call or argument"
  kErrOverflow = 6,          // "Overflow"
  kErrOutOfMemory = 7,       // "Out of memory"
  kErrSubscript = 9,         // "Subscript out of range"
  kErrFileNotFound = 53,     // "File not found"
  kErrDiskFull = 61,         // "Disk full"
  kErrPermissionDenied = 70, // "Permission denied"
  kErrPathFileAccess = 75,   // "Path/File access error"
  kErrPathNotFound = 76,     // "Path not found"
};

class RuntimeError : public std::runtime_error {
public:
  RuntimeError(int32_t number, std::string description, std::string source = {});

  int32_t Number() const noexcept { return number_; }
  const std::string& Description() const noexcept { return description_; }
  // Empty when the raiser gave none; reporters then show the application's name.
  const std::string& Source() const noexcept { return source_; }

private:
  int32_t number_;
  std::string description_;
  std::string source_;
};

// The classic description of a runtime error number ("" for numbers it does not know).
std::string DefaultDescription(int32_t number);

// Raises error `number` with its classic description (or `description` when given).
[[noreturn]] void Raise(int32_t number, std::string description = {}, std::string source = {});

// Maps an errno value of a failed file operation to the runtime's file error
// (53, 61, 70, 75 or 76) and raises it; `path` is appended to the description's
// context only through the source, never changing the classic description.
[[noreturn]] void RaiseFileError(int errnum, const std::string& path = {});

// The file error number an errno value maps to.
int32_t FileErrorNumber(int errnum);
// The same for a failure on `path`: ENOENT becomes 76 "Path not found" when the
// folder of `path` does not exist, 53 "File not found" otherwise.
int32_t FileErrorNumber(int errnum, const std::string& path);

}  // namespace okuva
