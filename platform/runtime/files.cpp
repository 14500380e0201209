// Attribute mapping between the classic attribute bits and POSIX:
//   read-only  <-> the owner write bit (S_IWUSR) is clear. Setting read-only clears
//                  every write bit; clearing it on a read-only file gives the owner
//                  write permission back (group and others stay as they are).
//   hidden     <-> the name starts with '.'; reported, never set (that would rename).
//   system     -- no POSIX meaning: never reported, ignored when set.
//   archive    -- POSIX keeps no "changed since backup" flag: every regular file
//                 reports it; ignored when set.
//   directory  -- FindFile finds only files, so it is never reported.
#include "platform/runtime/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "platform/runtime/error.h"

namespace okuva::files {

namespace {

constexpr mode_t kAllWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr mode_t kNewFileMode = 0666;  // less the umask, as every new file

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder part including its trailing '/', or "" for a bare name.
std::string FolderPrefixOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A descriptor closed on every path out of a scope.
class Descriptor {
public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }
  // Closes now and reports the error of close (a delayed write error on some file
  // systems); 0 when it succeeded.
  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

private:
  int fd_;
};

struct FileStat {
  mode_t mode = 0;
  timespec accessed{};
  timespec modified{};
  std::optional<timespec> created;
};

// stat with the birth time where the kernel and the file system report one.
int StatPath(const std::string& path, FileStat& out) {
  struct statx stx {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) == 0) {
    out.mode = stx.stx_mode;
    out.accessed = {static_cast<time_t>(stx.stx_atime.tv_sec), stx.stx_atime.tv_nsec};
    out.modified = {static_cast<time_t>(stx.stx_mtime.tv_sec), stx.stx_mtime.tv_nsec};
    if ((stx.stx_mask & STATX_BTIME) != 0) {
      out.created = timespec{static_cast<time_t>(stx.stx_btime.tv_sec), stx.stx_btime.tv_nsec};
    }
    return 0;
  }
  if (errno != ENOSYS) return errno;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  out.mode = st.st_mode;
  out.accessed = st.st_atim;
  out.modified = st.st_mtim;
  return 0;
}

std::string TemporaryName(const std::string& path) {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string suffix(8, '0');
  for (char& c : suffix) c = kDigits[generator() % (sizeof(kDigits) - 1)];
  return FolderPrefixOf(path) + "." + NameOf(path) + "." + suffix + ".tmp";
}

}  // namespace

std::optional<FileInfo> FindFile(const std::string& path) {
  if (path.empty()) return std::nullopt;
  FileStat st;
  if (const int err = StatPath(path, st); err != 0) {
    if (err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG) return std::nullopt;
    RaiseFileError(err, path);
  }
  if (S_ISDIR(st.mode)) return std::nullopt;
  FileInfo info;
  info.name = NameOf(path);
  info.mode = st.mode & 07777;
  if ((st.mode & S_IWUSR) == 0) info.attributes |= kReadOnly;
  if (!info.name.empty() && info.name[0] == '.') info.attributes |= kHidden;
  if (S_ISREG(st.mode)) info.attributes |= kArchive;
  if (info.attributes == 0) info.attributes = kNormal;
  info.accessed = st.accessed;
  info.modified = st.modified;
  info.created = st.created;
  return info;
}

void DeleteFile(const std::string& path) {
  FileStat st;
  if (const int err = StatPath(path, st); err != 0) RaiseFileError(err, path);
  if (S_ISDIR(st.mode) || (st.mode & S_IWUSR) == 0) Raise(kErrPathFileAccess, {}, path);
  if (::unlink(path.c_str()) != 0) RaiseFileError(errno, path);
}

void SetFileTimes(const std::string& path, const timespec& accessed, const timespec& modified,
                  const std::optional<timespec>& /*created*/) {
  // Linux has no call that sets a birth time; it stays what the file system recorded.
  const timespec times[2] = {accessed, modified};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) RaiseFileError(errno, path);
}

void SetFileMode(const std::string& path, uint32_t mode) {
  if (::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0) RaiseFileError(errno, path);
}

void SetFileAttributes(const std::string& path, uint32_t attributes) {
  FileStat st;
  if (const int err = StatPath(path, st); err != 0) RaiseFileError(err, path);
  mode_t mode = st.mode & 07777;
  if ((attributes & kReadOnly) != 0) {
    mode &= ~kAllWriteBits;
  } else if ((mode & S_IWUSR) == 0) {
    mode |= S_IWUSR;
  }
  if (mode != (st.mode & 07777)) SetFileMode(path, mode);
}

void WriteAll(int fd, std::span<const uint8_t> bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, path);
    }
    if (n == 0) RaiseFileError(ENOSPC, path);  // a device that takes nothing is full
    done += static_cast<size_t>(n);
  }
}

void WriteNewFile(const std::string& path, std::span<const uint8_t> bytes) {
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode));
  if (fd.Get() < 0) RaiseFileError(errno, path);
  try {
    WriteAll(fd.Get(), bytes, path);
    if (const int err = fd.Close(); err != 0) RaiseFileError(err, path);
  } catch (...) {
    // The file is ours alone (O_EXCL made it): a half-written file must not remain
    // looking like a finished one.
    ::unlink(path.c_str());
    throw;
  }
}

void ReplaceFile(const std::string& path,
                 const std::function<void(int fd, const std::string& tempPath)>& write) {
  if (path.empty()) RaiseFileError(ENOENT, path);
  FileStat old;
  const bool hadOld = StatPath(path, old) == 0;
  if (hadOld && S_ISDIR(old.mode)) Raise(kErrPathFileAccess, {}, path);

  std::string tempPath;
  int rawFd = -1;
  for (int attempt = 0; attempt < 100 && rawFd < 0; ++attempt) {
    tempPath = TemporaryName(path);
    rawFd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (rawFd < 0 && errno != EEXIST) RaiseFileError(errno, path);
  }
  if (rawFd < 0) RaiseFileError(EEXIST, path);

  Descriptor fd(rawFd);
  try {
    if (hadOld && ::fchmod(fd.Get(), old.mode & 07777) != 0) RaiseFileError(errno, path);
    write(fd.Get(), tempPath);
    // The data must be on disk before the name points at it, or a crash right after
    // the rename could leave an empty file where the old one was.
    if (::fsync(fd.Get()) != 0) RaiseFileError(errno, path);
    if (const int err = fd.Close(); err != 0) RaiseFileError(err, path);
    if (::rename(tempPath.c_str(), path.c_str()) != 0) RaiseFileError(errno, path);
  } catch (...) {
    ::unlink(tempPath.c_str());
    throw;
  }
  // Make the rename itself durable; a failure here loses nothing already written.
  const std::string folder = FolderPrefixOf(path).empty() ? "." : FolderPrefixOf(path);
  if (const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
}

std::string ReadFile(const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) RaiseFileError(errno, path);
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) RaiseFileError(errno, path);
  if (S_ISDIR(st.st_mode)) Raise(kErrPathFileAccess, {}, path);
  std::string data;
  if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, path);
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

}  // namespace okuva::files
