// POSIX file services of the runtime. Failures raise the runtime's file errors
// (53, 61, 70, 75, 76) mapped from errno, unless a function says it reports.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace okuva::files {

// Classic attribute bits, mapped onto POSIX (see files.cpp for the exact mapping):
// read-only = no write permission bit; hidden = name starts with '.'; system has no
// Linux meaning; archive = always reported for regular files.
enum Attribute : uint32_t {
  kReadOnly = 0x01,
  kHidden = 0x02,
  kSystem = 0x04,
  kDirectory = 0x10,
  kArchive = 0x20,
  kNormal = 0x80,
};

struct FileInfo {
  std::string name;       // the file's name without its folder
  uint32_t attributes = 0;
  uint32_t mode = 0;      // POSIX permission bits (st_mode & 07777)
  timespec accessed{};
  timespec modified{};
  std::optional<timespec> created;  // birth time, where the file system reports it
};

// Finds a file (not a folder) by exact name, whatever its attributes; nullopt when
// there is none (or its folder is missing). Names are taken literally: no wildcards.
// A folder that cannot be searched raises a file error (70).
std::optional<FileInfo> FindFile(const std::string& path);

// Deletes a file; a refusal raises a file error: 53 when it is missing, 75 for a
// folder and for a read-only file (no owner write bit), as the classic delete refuses
// read-only files; otherwise the error of the refused unlink.
void DeleteFile(const std::string& path);

// Sets access and modify times (and the creation time where the system allows; it is
// silently kept otherwise). Raises a file error on refusal.
void SetFileTimes(const std::string& path, const timespec& accessed, const timespec& modified,
                  const std::optional<timespec>& created = std::nullopt);

// Sets POSIX permission bits. Raises a file error on refusal.
void SetFileMode(const std::string& path, uint32_t mode);

// Sets classic attributes: read-only clears/sets the write bits; the others have no
// POSIX effect. Raises a file error on refusal.
void SetFileAttributes(const std::string& path, uint32_t attributes);

// Creates a new file exclusively (fails if it exists, even if it appears between a
// check and the creation) and writes all bytes in one write. On any failure the
// partly written file is removed and a file error is raised (58 is not used: an
// existing file raises 75 "Path/File access error").
void WriteNewFile(const std::string& path, std::span<const uint8_t> bytes);

// Replaces (or creates) `path` atomically: `write` fills a temporary file in the same
// folder (given as an open descriptor and its path); it is flushed and renamed over
// `path`. The new file gets the old file's permission bits (a new name: 0666 less the
// umask); its times are those of the write. If `write` throws or any step fails, the temporary is removed, the old file
// is left byte for byte and the error propagates (file errors are raised as such).
void ReplaceFile(const std::string& path,
                 const std::function<void(int fd, const std::string& tempPath)>& write);

// Reads a whole file; raises a file error on failure (75 for a folder).
std::string ReadFile(const std::string& path);

// Writes all bytes to an open descriptor (retrying short writes and interrupts);
// raises the file error of a failed write, with `path` as its source.
void WriteAll(int fd, std::span<const uint8_t> bytes, const std::string& path = {});

}  // namespace okuva::files
