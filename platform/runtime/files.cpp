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

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <memory>
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
  if (errno != ENOSYS) {
    return errno;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return errno;
  }
  out.mode = st.st_mode;
  out.accessed = st.st_atim;
  out.modified = st.st_mtim;
  return 0;
}

std::atomic<bool> gUnnamedFiles{true};

// A short hidden name in the folder of `path`: short so that a target name near the
// file system's limit still leaves room for it.
std::string TemporaryName(const std::string& path) {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string suffix(8, '0');
  for (char& c : suffix) {
    c = kDigits[generator() % (sizeof(kDigits) - 1)];
  }
  return FolderPrefixOf(path) + ".~" + suffix;
}

// Named temporaries of this naming that a killed writer left in `folder`: regular files
// of this user with one name, not modified for a day (a write in progress keeps its
// file's time fresh). Removed so that files that cannot be unnamed leave no lasting litter.
void RemoveStaleTemporaries(const std::string& folder) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) {
    return;
  }
  const time_t dayAgo = ::time(nullptr) - 24 * 60 * 60;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.size() != 10 || name.compare(0, 2, ".~") != 0 ||
        !std::all_of(name.begin() + 2, name.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); })) {
      continue;
    }
    struct stat st {};
    if (::fstatat(::dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1 ||
        st.st_mtime > dayAgo) {
      continue;
    }
    ::unlinkat(::dirfd(dir.get()), name.c_str(), 0);
  }
}

// A process killed by SIGXFSZ in the middle of a write cannot clean up or report;
// ignored, the write fails with EFBIG and is reported as the full disk it is.
void IgnoreFileSizeSignal() {
  struct sigaction current {};
  if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    ::signal(SIGXFSZ, SIG_IGN);
  }
}

// Follows symbolic links from `path` to the name a write through it lands on (which
// may not exist yet: a dangling link creates its destination, as `>` does).
std::string FollowLinks(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      return current;
    }
    std::string destination(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t n = ::readlink(current.c_str(), destination.data(), destination.size());
    if (n < 0) {
      RaiseFileError(errno, path);
    }
    destination.resize(static_cast<size_t>(n));
    current = !destination.empty() && destination[0] == '/' ? destination
                                                            : FolderPrefixOf(current) + destination;
  }
  RaiseFileError(ELOOP, path);
}

// Links an unnamed file to `name`; fails with EEXIST when the name exists. The /proc
// form needs no privilege; the empty-path form serves where /proc is not mounted.
int LinkUnnamed(int fd, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return 0;
  }
  if (errno != ENOENT || ::access("/proc/self/fd", F_OK) == 0) {
    return errno;
  }
  return ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

void SyncFolderOf(const std::string& path) {
  const std::string folder = FolderPrefixOf(path).empty() ? "." : FolderPrefixOf(path);
  if (const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
}

}  // namespace

std::optional<FileInfo> FindFile(const std::string& path) {
  if (path.empty()) {
    return std::nullopt;
  }
  FileStat st;
  if (const int err = StatPath(path, st); err != 0) {
    if (err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG) {
      return std::nullopt;
    }
    RaiseFileError(err, path);
  }
  if (S_ISDIR(st.mode)) {
    return std::nullopt;
  }
  FileInfo info;
  info.name = NameOf(path);
  info.mode = st.mode & 07777;
  if ((st.mode & S_IWUSR) == 0) {
    info.attributes |= kReadOnly;
  }
  if (!info.name.empty() && info.name[0] == '.') {
    info.attributes |= kHidden;
  }
  if (S_ISREG(st.mode)) {
    info.attributes |= kArchive;
  }
  if (info.attributes == 0) {
    info.attributes = kNormal;
  }
  info.accessed = st.accessed;
  info.modified = st.modified;
  info.created = st.created;
  return info;
}

void DeleteFile(const std::string& path) {
  FileStat st;
  if (const int err = StatPath(path, st); err != 0) {
    RaiseFileError(err, path);
  }
  if (S_ISDIR(st.mode) || (st.mode & S_IWUSR) == 0) {
    Raise(kErrPathFileAccess, {}, path);
  }
  if (::unlink(path.c_str()) != 0) {
    RaiseFileError(errno, path);
  }
}

void SetFileTimes(const std::string& path, const timespec& accessed, const timespec& modified,
                  const std::optional<timespec>& /*created*/) {
  // Linux has no call that sets a birth time; it stays what the file system recorded.
  const timespec times[2] = {accessed, modified};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    RaiseFileError(errno, path);
  }
}

void SetFileMode(const std::string& path, uint32_t mode) {
  if (::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0) {
    RaiseFileError(errno, path);
  }
}

void SetFileAttributes(const std::string& path, uint32_t attributes) {
  FileStat st;
  if (const int err = StatPath(path, st); err != 0) {
    RaiseFileError(err, path);
  }
  mode_t mode = st.mode & 07777;
  if ((attributes & kReadOnly) != 0) {
    mode &= ~kAllWriteBits;
  } else if ((mode & S_IWUSR) == 0) {
    mode |= S_IWUSR;
  }
  if (mode != (st.mode & 07777)) {
    SetFileMode(path, mode);
  }
}

void WriteAll(int fd, std::span<const uint8_t> bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      RaiseFileError(errno, path);
    }
    if (n == 0) {
      RaiseFileError(ENOSPC, path);  // a device that takes nothing is full
    }
    done += static_cast<size_t>(n);
  }
}

NotRegularFileError::NotRegularFileError(const std::string& path)
    : RuntimeError(kErrPathFileAccess, DefaultDescription(kErrPathFileAccess), path) {}

void UseUnnamedFiles(bool enabled) { gUnnamedFiles = enabled; }

PendingFile::PendingFile(const std::string& path, Mode mode)
    : path_(path), target_(path), mode_(mode) {
  if (path.empty()) {
    RaiseFileError(ENOENT, path);
  }
  IgnoreFileSizeSignal();

  std::optional<struct stat> old;
  if (mode == Mode::kReplace) {
    target_ = FollowLinks(path);
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0)) {
        Raise(kErrPathFileAccess, {}, path);
      }
      if (!S_ISREG(st.st_mode)) {
        throw NotRegularFileError(path);
      }
      old = st;
    } else if (errno != ENOENT) {
      RaiseFileError(errno, path);
    }
  }

  const std::string folder = FolderPrefixOf(target_).empty() ? "." : FolderPrefixOf(target_);
  if (gUnnamedFiles) {
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kNewFileMode);
    // Without unnamed files the kernel or file system answers with one of these.
    if (fd_ < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      RaiseFileError(errno, path);
    }
  }
  if (fd_ < 0) {
    RemoveStaleTemporaries(folder);
  }
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    temp_ = TemporaryName(target_);
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd_ < 0 && errno != EEXIST) {
      temp_.clear();
      RaiseFileError(errno, path);
    }
  }
  if (fd_ < 0) {
    temp_.clear();
    RaiseFileError(EEXIST, path);
  }

  if (!old) {
    return;
  }
  try {
    // Root can give the file back to its owner; anyone else makes it their own, and
    // must not hand another owner's special bits to themselves.
    if (::geteuid() == 0 && ::fchown(fd_, old->st_uid, old->st_gid) != 0) {
      RaiseFileError(errno, path);
    }
    struct stat mine {};
    if (::fstat(fd_, &mine) != 0) {
      RaiseFileError(errno, path);
    }
    mode_t bits = old->st_mode & 07777;
    if (mine.st_uid != old->st_uid) {
      bits &= ~static_cast<mode_t>(S_ISUID | S_ISGID | S_ISVTX);
    }
    if (mine.st_gid != old->st_gid) {
      bits &= ~static_cast<mode_t>(S_ISGID);
    }
    if (::fchmod(fd_, bits) != 0) {
      RaiseFileError(errno, path);
    }
    oldMode_ = bits;
  } catch (...) {
    Discard();
    throw;
  }
}

PendingFile::~PendingFile() { Discard(); }

void PendingFile::Discard() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = -1;
  if (!committed_ && !temp_.empty()) {
    ::unlink(temp_.c_str());
  }
  temp_.clear();
}

void PendingFile::Commit() {
  if (fd_ < 0 || committed_) {
    Raise(kErrInvalidCall);
  }
  if (mode_ == Mode::kReplace) {
    // Writing took set-user-ID and set-group-ID away unless root wrote: given back.
    if (oldMode_ && ::fchmod(fd_, static_cast<mode_t>(*oldMode_)) != 0) {
      RaiseFileError(errno, path_);
    }
    // The data must be on disk before the name points at it, or a crash right after
    // the rename could leave an empty file where the old one was.
    if (::fsync(fd_) != 0) {
      RaiseFileError(errno, path_);
    }
  }
  if (temp_.empty()) {
    // Unnamed: a new name is linked directly (atomic, refused when it exists); a
    // replacement through a short hidden link renamed over the target.
    std::string linked = target_;
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
      if (mode_ == Mode::kReplace) {
        linked = TemporaryName(target_);
      }
      err = LinkUnnamed(fd_, linked);
      if (mode_ == Mode::kNew) {
        break;
      }
    }
    if (err != 0) {
      RaiseFileError(err, path_);
    }
    if (mode_ == Mode::kReplace && ::rename(linked.c_str(), target_.c_str()) != 0) {
      err = errno;
      ::unlink(linked.c_str());
      RaiseFileError(err, path_);
    }
    committed_ = true;
    const int closeErr = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    if (closeErr != 0 && mode_ == Mode::kNew) {
      // A delayed write error: what was linked may be incomplete.
      ::unlink(target_.c_str());
      RaiseFileError(closeErr, path_);
    }
  } else {
    const int closeErr = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    if (closeErr != 0) {
      RaiseFileError(closeErr, path_);
    }
    if (mode_ == Mode::kReplace) {
      if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        RaiseFileError(errno, path_);
      }
    } else {
      if (::link(temp_.c_str(), target_.c_str()) != 0) {
        RaiseFileError(errno, path_);
      }
      ::unlink(temp_.c_str());
    }
    committed_ = true;
    temp_.clear();
  }
  // Make the new name itself durable; a failure here loses nothing already written.
  if (mode_ == Mode::kReplace) {
    SyncFolderOf(target_);
  }
}

void WriteNewFile(const std::string& path, std::span<const uint8_t> bytes) {
  PendingFile file(path, PendingFile::Mode::kNew);
  WriteAll(file.Descriptor(), bytes, path);
  file.Commit();
}

void ReplaceFile(const std::string& path, const std::function<void(int fd)>& write) {
  PendingFile file(path, PendingFile::Mode::kReplace);
  write(file.Descriptor());
  file.Commit();
}

void SetFileTimes(int fd, const timespec& accessed, const timespec& modified,
                  const std::string& path) {
  const timespec times[2] = {accessed, modified};
  if (::futimens(fd, times) != 0) {
    RaiseFileError(errno, path);
  }
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

Descriptor OpenForReading(const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) {
    RaiseFileError(errno, path);
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    RaiseFileError(errno, path);
  }
  if (S_ISDIR(st.st_mode)) {
    Raise(kErrPathFileAccess, {}, path);
  }
  return fd;
}

std::string ReadFile(const std::string& path) {
  const Descriptor fd = OpenForReading(path);
  struct stat st {};
  std::string data;
  if (::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    data.reserve(static_cast<size_t>(st.st_size));
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      RaiseFileError(errno, path);
    }
    if (n == 0) {
      break;
    }
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

}  // namespace okuva::files
