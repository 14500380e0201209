// POSIX file services of the runtime. Failures raise the runtime's file errors
// (53, 61, 70, 75, 76) mapped from errno, unless a function says it reports.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/runtime/error.h"

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

// A file being written: its content goes into an unnamed file in the target's folder
// (a short hidden temporary where the file system has no unnamed files) and appears
// under the target's name only on Commit, whole. Dropped uncommitted, nothing of it
// stays; a process killed while writing leaves nothing behind (unnamed files).
//
// kNew never overwrites: Commit fails with 75 when the name exists, even if it
// appeared meanwhile. kReplace replaces (or creates) the file atomically and refuses,
// before anything is written: a folder (75), a target that is not a regular file
// (NotRegularFileError), a read-only target (no owner write bit: 75, as the classic
// delete refuses it). A symbolic link is written through: the link stays and the
// file it leads to is replaced in its own folder. The replacement gets the old
// file's permission bits (set-user-ID, set-group-ID and sticky only when it keeps the
// old owner) and, when running as root, its owner and group; a new name gets 0666
// less the umask. Writing beyond the file-size limit raises 61 (SIGXFSZ is ignored).
class PendingFile {
public:
  enum class Mode { kNew, kReplace };
  PendingFile(const std::string& path, Mode mode);  // raises the file error of a refusal
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // The descriptor to write the content to (owned by this object).
  int Descriptor() const { return fd_; }
  // The name the content will appear under (a link's destination for kReplace).
  const std::string& Target() const { return target_; }
  // Puts the written content in place under the target's name.
  void Commit();

private:
  void Discard() noexcept;

  std::string path_;     // as the caller gave it, for error sources
  std::string target_;   // the name replaced or created
  std::string temp_;     // the named temporary, when unnamed files are unavailable
  std::optional<uint32_t> oldMode_;  // the permission bits a replacement takes
  Mode mode_;
  int fd_ = -1;
  bool committed_ = false;
};

// Raised (as error 75) when a replace is asked of a device, FIFO or socket.
class NotRegularFileError : public RuntimeError {
public:
  explicit NotRegularFileError(const std::string& path);
};

// Whether new content is written into unnamed files where the file system has them
// (the default); false forces the named temporary everywhere, for file systems that
// mishandle unnamed files and to exercise that path.
void UseUnnamedFiles(bool enabled);

// Creates a new file from `bytes` that appears only complete (a PendingFile of kNew).
// An existing name, even one that appears meanwhile, raises 75 "Path/File access
// error" and is left as it was.
void WriteNewFile(const std::string& path, std::span<const uint8_t> bytes);

// Replaces (or creates) `path` atomically through a PendingFile of kReplace: `write`
// fills the new content through the descriptor it is given. If `write` throws or any
// step fails, nothing new remains, the old file is left byte for byte and the error
// propagates.
void ReplaceFile(const std::string& path, const std::function<void(int fd)>& write);

// Sets the access and modify times of an open file. Raises a file error on refusal.
void SetFileTimes(int fd, const timespec& accessed, const timespec& modified,
                  const std::string& path = {});

// An open file descriptor, closed with its owner's scope; a move hands it on.
class Descriptor {
public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor();
  int Get() const { return fd_; }

private:
  int fd_ = -1;
};

// Opens `path` for reading. A folder is refused with 75 "Path/File access error";
// any other refusal raises the file error of its errno. Devices and pipes open, and
// are read forward as the caller reads them.
Descriptor OpenForReading(const std::string& path);

// Reads a whole file; raises a file error on failure (75 for a folder).
std::string ReadFile(const std::string& path);

// Writes all bytes to an open descriptor (retrying short writes and interrupts);
// raises the file error of a failed write, with `path` as its source.
void WriteAll(int fd, std::span<const uint8_t> bytes, const std::string& path = {});

}  // namespace okuva::files
