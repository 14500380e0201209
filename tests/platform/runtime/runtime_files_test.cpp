#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/files.h"
#include "tests/support/raised.h"
#include "tests/support/temp_folder.h"
#include "tests/unprivileged_child.h"

// glibc answers a kernel's refusal of statx itself, from fstatat; this stands in for a
// C library that passes it on, so that the fallback to plain stat is reached.
static std::atomic<bool> gStatxMissing{false};
extern "C" int statx(int dirfd, const char* path, int flags, unsigned int mask,
                     struct statx* buf) noexcept {
  if (gStatxMissing) {
    errno = ENOSYS;
    return -1;
  }
  return static_cast<int>(syscall(SYS_statx, dirfd, path, flags, mask, buf));
}

namespace okuva::files {
namespace {

using okuva::testing::RaisedNumber;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Makes writes beyond `limit` bytes fail with EFBIG for as long as it lives: a full
// target that even root cannot write past.
class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved_;
    small.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, oldHandler_);
  }

private:
  rlimit saved_{};
  void (*oldHandler_)(int) = nullptr;
};

// From now on every open of an unnamed file in this process fails with `error`, as a
// file system without them answers; false when the kernel refuses the filter.
bool RefuseUnnamedFiles(int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, __O_TMPFILE & ~O_DIRECTORY, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(error)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class RuntimeFiles : public ::testing::Test {
protected:
  void TearDown() override {
    UseUnnamedFiles(true);
    gStatxMissing = false;
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Make(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
  }
  std::set<std::string> Entries(const std::string& folder = {}) const {
    std::set<std::string> names;
    for (const auto& e :
         std::filesystem::directory_iterator(folder.empty() ? dir_ : Path(folder))) {
      names.insert(e.path().filename().string());
    }
    return names;
  }

  okuva::testing::TempFolder folder_{"okuva-files"};
  std::string dir_ = folder_.Path().string();
};

TEST_F(RuntimeFiles, FindFileFindsOnlyFilesAndReportsAttributes) {
  EXPECT_FALSE(FindFile(Path("missing.jpg")));
  EXPECT_FALSE(FindFile(Path("no-folder/missing.jpg")));
  EXPECT_FALSE(FindFile(""));
  std::filesystem::create_directory(Path("folder"));
  EXPECT_FALSE(FindFile(Path("folder")));
  EXPECT_FALSE(FindFile(Path(std::string(300, 'n'))));  // longer than any name can be

  Make("plain.jpg", "x");
  SetFileMode(Path("plain.jpg"), 0644);
  auto plain = FindFile(Path("plain.jpg"));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->name, "plain.jpg");
  EXPECT_EQ(plain->mode, 0644u);
  EXPECT_EQ(plain->attributes, static_cast<uint32_t>(kArchive));

  Make(".hidden", "x");
  SetFileMode(Path(".hidden"), 0444);
  auto hidden = FindFile(Path(".hidden"));
  ASSERT_TRUE(hidden);
  EXPECT_EQ(hidden->attributes, static_cast<uint32_t>(kArchive | kHidden | kReadOnly));

  // A special file has none of the attributes: it is normal.
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  EXPECT_EQ(FindFile(Path("fifo"))->attributes, static_cast<uint32_t>(kNormal));

  // Names are exact: no case folding and no wildcards.
  EXPECT_FALSE(FindFile(Path("PLAIN.JPG")));
  EXPECT_FALSE(FindFile(Path("*.jpg")));
}

TEST_F(RuntimeFiles, TimesRoundTripToTheNanosecond) {
  Make("t.bin", "data");
  const timespec accessed{1000000000, 123456789};  // 2001
  const timespec modified{1200000000, 987654321};  // 2008
  const timespec created{900000000, 0};
  SetFileTimes(Path("t.bin"), accessed, modified, created);
  auto info = FindFile(Path("t.bin"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->accessed.tv_sec, accessed.tv_sec);
  EXPECT_EQ(info->accessed.tv_nsec, accessed.tv_nsec);
  EXPECT_EQ(info->modified.tv_sec, modified.tv_sec);
  EXPECT_EQ(info->modified.tv_nsec, modified.tv_nsec);
  if (info->created) {
    // Linux cannot set a birth time: it stays the moment the file was made.
    EXPECT_GT(info->created->tv_sec, created.tv_sec);
    EXPECT_LE(info->created->tv_sec, std::time(nullptr) + 1);
  }
  // The same through an open descriptor, the other way round.
  const int fd = open(Path("t.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  SetFileTimes(fd, modified, accessed, Path("t.bin"));
  close(fd);
  info = FindFile(Path("t.bin"));
  EXPECT_EQ(info->accessed.tv_nsec, modified.tv_nsec);
  EXPECT_EQ(info->modified.tv_sec, accessed.tv_sec);
  // Without statx plain stat serves: the same times, no birth time, missing is missing.
  gStatxMissing = true;
  info = FindFile(Path("t.bin"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->accessed.tv_nsec, modified.tv_nsec);
  EXPECT_EQ(info->modified.tv_sec, accessed.tv_sec);
  EXPECT_FALSE(info->created);
  EXPECT_FALSE(FindFile(Path("missing")));
  EXPECT_EQ(RaisedNumber([&] { DeleteFile(Path("missing")); }), 53);
  gStatxMissing = false;
  EXPECT_NE(RaisedNumber([&] { SetFileTimes(-1, accessed, modified); }), 0);
  EXPECT_EQ(RaisedNumber([&] { SetFileTimes(Path("missing"), accessed, modified); }), 53);
  EXPECT_EQ(RaisedNumber([&] { SetFileTimes(Path("nope/missing"), accessed, modified); }), 76);
}

TEST_F(RuntimeFiles, ModeAndAttributesRoundTrip) {
  Make("m.bin", "data");
  for (uint32_t mode : {0600u, 0640u, 0755u, 0444u, 0000u, 0664u}) {
    SetFileMode(Path("m.bin"), mode);
    auto info = FindFile(Path("m.bin"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->mode, mode);
    EXPECT_EQ((info->attributes & kReadOnly) != 0, (mode & 0200) == 0) << std::oct << mode;
  }
  // Mode is now 0664: read-only clears every write bit and keeps the rest.
  SetFileAttributes(Path("m.bin"), kReadOnly | kArchive);
  EXPECT_EQ(FindFile(Path("m.bin"))->mode, 0444u);
  EXPECT_NE(FindFile(Path("m.bin"))->attributes & kReadOnly, 0u);
  // Taking read-only away gives the owner write permission back.
  SetFileAttributes(Path("m.bin"), kArchive);
  EXPECT_EQ(FindFile(Path("m.bin"))->mode, 0644u);
  // Attributes without POSIX meaning change nothing.
  SetFileAttributes(Path("m.bin"), kNormal | kSystem | kHidden);
  EXPECT_EQ(FindFile(Path("m.bin"))->mode, 0644u);
  // A file's attributes carried over to another give it the same read-only state.
  Make("n.bin", "other");
  SetFileMode(Path("m.bin"), 0440);
  SetFileAttributes(Path("n.bin"), FindFile(Path("m.bin"))->attributes);
  EXPECT_NE(FindFile(Path("n.bin"))->attributes & kReadOnly, 0u);

  EXPECT_EQ(RaisedNumber([&] { SetFileMode(Path("missing"), 0644); }), 53);
  EXPECT_EQ(RaisedNumber([&] { SetFileAttributes(Path("missing"), kNormal); }), 53);
  EXPECT_EQ(RaisedNumber([&] { SetFileAttributes(Path("x/missing"), kNormal); }), 76);
}

TEST_F(RuntimeFiles, DeleteFileRemovesOrRaises) {
  Make("d.bin", "data");
  DeleteFile(Path("d.bin"));
  EXPECT_FALSE(FindFile(Path("d.bin")));
  EXPECT_EQ(RaisedNumber([&] { DeleteFile(Path("d.bin")); }), 53);
  EXPECT_EQ(RaisedNumber([&] { DeleteFile(Path("gone/d.bin")); }), 76);
  std::filesystem::create_directory(Path("folder"));
  EXPECT_EQ(RaisedNumber([&] { DeleteFile(Path("folder")); }), 75);
  EXPECT_TRUE(std::filesystem::is_directory(Path("folder")));
  // A read-only file is refused, as the classic delete refuses it.
  Make("ro.bin", "keep");
  SetFileMode(Path("ro.bin"), 0444);
  EXPECT_EQ(RaisedNumber([&] { DeleteFile(Path("ro.bin")); }), 75);
  EXPECT_EQ(ReadFile(Path("ro.bin")), "keep");
}

TEST_F(RuntimeFiles, WriteNewFileWritesExactlyAndNeverOverwrites) {
  std::vector<uint8_t> data(100000);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  WriteNewFile(Path("new.bin"), data);
  const std::string back = ReadFile(Path("new.bin"));
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.end()), data);

  WriteNewFile(Path("empty.bin"), {});
  EXPECT_EQ(ReadFile(Path("empty.bin")), "");
  PendingFile once(Path("once.bin"), PendingFile::Mode::kNew);
  once.Commit();
  EXPECT_EQ(RaisedNumber([&] { once.Commit(); }), 5);

  Make("old.bin", "precious");
  EXPECT_EQ(RaisedNumber([&] { WriteNewFile(Path("old.bin"), Bytes("overwrite")); }), 75);
  EXPECT_EQ(ReadFile(Path("old.bin")), "precious");

  EXPECT_EQ(RaisedNumber([&] { WriteNewFile(Path("no/such/folder.bin"), Bytes("x")); }), 76);
  // A file where the folder should be.
  EXPECT_EQ(RaisedNumber([&] { WriteNewFile(Path("old.bin/inner.bin"), Bytes("x")); }), 76);
}

TEST_F(RuntimeFiles, WriteNewFileRemovesAPartialFileWhenTheDiskFills) {
  const std::vector<uint8_t> data(8192, 0x5A);
  for (bool unnamed : {true, false}) {
    UseUnnamedFiles(unnamed);
    int32_t number = 0;
    {
      FileSizeLimit limit(1000);
      number = RaisedNumber([&] { WriteNewFile(Path("full.bin"), data); });
    }
    EXPECT_EQ(number, 61);
    EXPECT_TRUE(Entries().empty()) << unnamed;
  }
}

TEST_F(RuntimeFiles, ReplaceFileCreatesAndReplacesInTheSameFolder) {
  ReplaceFile(Path("r.bin"), [&](int fd) { WriteAll(fd, Bytes("first")); });
  EXPECT_EQ(ReadFile(Path("r.bin")), "first");

  SetFileMode(Path("r.bin"), 0604);
  ReplaceFile(Path("r.bin"), [&](int fd) { WriteAll(fd, Bytes("second, longer")); });
  EXPECT_EQ(ReadFile(Path("r.bin")), "second, longer");
  EXPECT_EQ(FindFile(Path("r.bin"))->mode, 0604u);  // the old file's permission bits stay
  EXPECT_EQ(Entries(), std::set<std::string>{"r.bin"});  // no temporary left behind
}

TEST_F(RuntimeFiles, ReplaceFileKeepsTheOldFileWhenTheWriterThrows) {
  Make("keep.bin", "old content");
  for (bool unnamed : {true, false}) {
    UseUnnamedFiles(unnamed);
    EXPECT_THROW(ReplaceFile(Path("keep.bin"),
                             [](int fd) {
                               WriteAll(fd, Bytes("half"));
                               throw std::runtime_error("encoder failed");
                             }),
                 std::runtime_error);
    EXPECT_EQ(ReadFile(Path("keep.bin")), "old content");
    EXPECT_EQ(Entries(), std::set<std::string>{"keep.bin"}) << unnamed;

    EXPECT_EQ(RaisedNumber([&] { ReplaceFile(Path("keep.bin"), [](int) { Raise(26001); }); }),
              26001);
    EXPECT_EQ(ReadFile(Path("keep.bin")), "old content");
    EXPECT_EQ(Entries(), std::set<std::string>{"keep.bin"}) << unnamed;
  }
}

TEST_F(RuntimeFiles, ReplaceFileKeepsTheOldFileWhenTheDiskFills) {
  Make("keep.bin", "old content");
  const std::vector<uint8_t> data(8192, 1);
  for (bool unnamed : {true, false}) {
    UseUnnamedFiles(unnamed);
    int32_t number = 0;
    {
      FileSizeLimit limit(1000);
      number =
          RaisedNumber([&] { ReplaceFile(Path("keep.bin"), [&](int fd) { WriteAll(fd, data); }); });
    }
    EXPECT_EQ(number, 61);
    EXPECT_EQ(ReadFile(Path("keep.bin")), "old content");
    EXPECT_EQ(Entries(), std::set<std::string>{"keep.bin"}) << unnamed;
  }
  // Without the signal ignored by the caller the limit would kill the process.
  const int64_t unguarded = okuva::testing::RunUnprivileged(dir_, [&]() -> int64_t {
    std::signal(SIGXFSZ, SIG_DFL);
    const rlimit small{1000, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &small);
    return RaisedNumber(
        [&] { ReplaceFile(Path("keep.bin"), [&](int fd) { WriteAll(fd, data); }); });
  });
  EXPECT_EQ(unguarded, 61);
  EXPECT_EQ(Entries(), std::set<std::string>{"keep.bin"});
}

TEST_F(RuntimeFiles, ReplaceFileRefusesUnwritableTargets) {
  bool called = false;
  auto writer = [&](int) { called = true; };
  EXPECT_EQ(RaisedNumber([&] { ReplaceFile(Path("none/r.bin"), writer); }), 76);
  Make("plain", "a file, not a folder");
  EXPECT_EQ(RaisedNumber([&] { ReplaceFile(Path("plain/r.bin"), writer); }), 76);
  std::filesystem::create_directory(Path("folder"));
  EXPECT_EQ(RaisedNumber([&] { ReplaceFile(Path("folder"), writer); }), 75);
  EXPECT_TRUE(std::filesystem::is_directory(Path("folder")));
  EXPECT_FALSE(called);
}

TEST_F(RuntimeFiles, ReplaceFileInAReadOnlyFolderRaisesPermissionDenied) {
  Make("keep.bin", "old content");
  SetFileMode(dir_, 0555);
  const int64_t number = okuva::testing::RunUnprivileged(dir_, [&]() -> int64_t {
    return RaisedNumber(
        [&] { ReplaceFile(Path("keep.bin"), [](int fd) { WriteAll(fd, Bytes("new")); }); });
  });
  SetFileMode(dir_, 0755);
  EXPECT_EQ(number, 70);
  EXPECT_EQ(ReadFile(Path("keep.bin")), "old content");
  EXPECT_EQ(Entries(), std::set<std::string>{"keep.bin"});
}

TEST_F(RuntimeFiles, ReplaceFileWritesThroughLinksAndRefusesSpecialFiles) {
  std::filesystem::create_directory(Path("sub"));
  std::filesystem::create_directory(Path("a"));
  std::filesystem::create_directory(Path("b"));
  for (bool unnamed : {true, false}) {
    UseUnnamedFiles(unnamed);
    // A device, FIFO or socket is never turned into a regular file.
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
    bool written = false;
    try {
      ReplaceFile(Path("fifo"), [&](int) { written = true; });
      ADD_FAILURE() << "a FIFO was replaced";
    } catch (const NotRegularFileError& e) {
      EXPECT_EQ(e.Number(), 75);
    }
    EXPECT_FALSE(written);
    EXPECT_TRUE(std::filesystem::is_fifo(Path("fifo")));
    std::filesystem::remove(Path("fifo"));

    // Links stay; the file they lead to is replaced in its own folder, or made.
    Make("sub/target.bin", "old");
    std::filesystem::create_symlink("sub/target.bin", Path("relative"));
    std::filesystem::create_symlink(Path("relative"), Path("chained"));
    std::filesystem::create_symlink("missing.bin", Path("sub/dangling"));
    ReplaceFile(Path("chained"), [](int fd) { WriteAll(fd, Bytes("through two links")); });
    ReplaceFile(Path("sub/dangling"), [](int fd) { WriteAll(fd, Bytes("made")); });
    EXPECT_TRUE(std::filesystem::is_symlink(Path("chained")));
    EXPECT_TRUE(std::filesystem::is_symlink(Path("relative")));
    EXPECT_TRUE(std::filesystem::is_symlink(Path("sub/dangling")));
    EXPECT_EQ(ReadFile(Path("sub/target.bin")), "through two links");
    EXPECT_EQ(ReadFile(Path("sub/missing.bin")), "made");
    // Each relative link is read from its own folder: a/l1 -> ../b/l2 -> t.bin is b/t.bin.
    std::filesystem::create_symlink("../b/l2", Path("a/l1"));
    std::filesystem::create_symlink("t.bin", Path("b/l2"));
    Make("b/t.bin", "old");
    ReplaceFile(Path("a/l1"), [](int fd) { WriteAll(fd, Bytes("across folders")); });
    EXPECT_EQ(ReadFile(Path("b/t.bin")), "across folders");
    // 39 links are followed to the file; a 40th is a loop, refused before anything is made.
    for (int i = 1; i <= 40; ++i) {
      std::filesystem::create_symlink(i == 1 ? "t.bin" : "c" + std::to_string(i - 1),
                                      Path("b/c" + std::to_string(i)));
    }
    ReplaceFile(Path("b/c39"), [](int fd) { WriteAll(fd, Bytes("39 links")); });
    EXPECT_EQ(ReadFile(Path("b/t.bin")), "39 links");
    EXPECT_EQ(RaisedNumber([&] { ReplaceFile(Path("b/c40"), [](int) {}); }),
              FileErrorNumber(ELOOP));
    EXPECT_EQ(ReadFile(Path("b/t.bin")), "39 links");
    for (int i = 1; i <= 40; ++i) {
      std::filesystem::remove(Path("b/c" + std::to_string(i)));
    }
    EXPECT_EQ(Entries("a"), std::set<std::string>{"l1"}) << unnamed;
    EXPECT_EQ(Entries("b"), (std::set<std::string>{"l2", "t.bin"})) << unnamed;
    EXPECT_EQ(Entries(), (std::set<std::string>{"a", "b", "chained", "relative", "sub"}))
        << unnamed;
    // A new file is never made through a link: the name exists.
    EXPECT_EQ(RaisedNumber([&] { WriteNewFile(Path("relative"), Bytes("x")); }), 75);
    EXPECT_EQ(ReadFile(Path("sub/target.bin")), "through two links");
    for (const char* name : {"chained", "relative", "sub/dangling", "sub/missing.bin",
                             "sub/target.bin", "a/l1", "b/l2", "b/t.bin"}) {
      std::filesystem::remove(Path(name));
    }
  }
}

TEST_F(RuntimeFiles, WithoutUnnamedFilesANamedTemporaryServesAndOtherRefusalsAreReported) {
  Make("keep.bin", "old content");
  // EOPNOTSUPP, EISDIR and EINVAL are how kernels and file systems without unnamed files
  // answer; a refused permission is a refusal.
  for (const int error : {EOPNOTSUPP, EISDIR, EINVAL, EACCES}) {
    const int64_t number = okuva::testing::RunUnprivileged(dir_, [&]() -> int64_t {
      if (!RefuseUnnamedFiles(error)) {
        return -1;
      }
      return RaisedNumber([&] {
        WriteNewFile(Path("new.bin"), Bytes("new"));
        ReplaceFile(Path("keep.bin"), [](int fd) { WriteAll(fd, Bytes("replaced")); });
      });
    });
    if (number == -1) {
      GTEST_SKIP() << "no system-call filter to stand in for such a file system";
    }
    if (error == EACCES) {
      EXPECT_EQ(number, 70);
      EXPECT_EQ(ReadFile(Path("keep.bin")), "old content");
      EXPECT_EQ(Entries(), std::set<std::string>{"keep.bin"});
      continue;
    }
    EXPECT_EQ(number, 0) << error;
    EXPECT_EQ(ReadFile(Path("new.bin")), "new") << error;
    EXPECT_EQ(ReadFile(Path("keep.bin")), "replaced") << error;
    EXPECT_EQ(Entries(), (std::set<std::string>{"keep.bin", "new.bin"})) << error;
    std::filesystem::remove(Path("new.bin"));
    Make("keep.bin", "old content");
  }
}

TEST_F(RuntimeFiles, LongNamesWorkAndAKilledWriterLeavesNothing) {
  const std::string name(250, 'n');
  for (bool unnamed : {true, false}) {
    UseUnnamedFiles(unnamed);
    WriteNewFile(Path(name), Bytes("new"));
    ReplaceFile(Path(name), [](int fd) { WriteAll(fd, Bytes("replaced")); });
    EXPECT_EQ(ReadFile(Path(name)), "replaced");
    EXPECT_EQ(Entries(), std::set<std::string>{name}) << unnamed;
    std::filesystem::remove(Path(name));
  }
  UseUnnamedFiles(true);
  Make("keep.bin", "old content");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    try {
      PendingFile file(Path("keep.bin"), PendingFile::Mode::kReplace);
      const std::vector<uint8_t> data(1 << 20, 7);
      WriteAll(file.Descriptor(), data);
      raise(SIGKILL);
    } catch (...) {
    }
    _exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(Entries(), std::set<std::string>{"keep.bin"});
  EXPECT_EQ(ReadFile(Path("keep.bin")), "old content");

  // Where files cannot be unnamed a killed writer leaves its named temporary; a later
  // write into the folder removes such leftovers once a day old, and nothing else.
  UseUnnamedFiles(false);
  const pid_t named = fork();
  ASSERT_GE(named, 0);
  if (named == 0) {
    PendingFile file(Path("keep.bin"), PendingFile::Mode::kReplace);
    raise(SIGKILL);
    _exit(1);
  }
  waitpid(named, &status, 0);
  std::set<std::string> left = Entries();
  ASSERT_EQ(left.size(), 2u);
  left.erase("keep.bin");
  const std::string leftover = *left.begin();
  EXPECT_EQ(leftover.substr(0, 2), ".~");
  Make(".~freshone", "recent");
  Make(".~old", "not of this naming");
  Make(".~09azazaz", "of this naming, a day and ten minutes old");
  Make(".~za90zzzz", "of this naming, ten minutes short of a day old");
  for (const auto& [old, age] :
       {std::pair{leftover, 2 * 86400}, std::pair{std::string(".~old"), 2 * 86400},
        std::pair{std::string(".~09azazaz"), 86400 + 600},
        std::pair{std::string(".~za90zzzz"), 86400 - 600}}) {
    const timespec then[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, Path(old).c_str(), then, 0), 0);
  }
  ReplaceFile(Path("keep.bin"), [](int fd) { WriteAll(fd, Bytes("new content")); });
  EXPECT_EQ(Entries(), (std::set<std::string>{"keep.bin", ".~freshone", ".~old", ".~za90zzzz"}));
  UseUnnamedFiles(true);
}

TEST_F(RuntimeFiles, ReplaceFileKeepsOwnersAndRefusesReadOnlyTargets) {
  Make("ro.bin", "read-only");
  SetFileMode(Path("ro.bin"), 0444);
  bool called = false;
  EXPECT_EQ(RaisedNumber([&] { ReplaceFile(Path("ro.bin"), [&](int) { called = true; }); }), 75);
  EXPECT_FALSE(called);
  EXPECT_EQ(ReadFile(Path("ro.bin")), "read-only");
  EXPECT_EQ(FindFile(Path("ro.bin"))->mode, 0444u);

  // The owner's own special bits stay, set-group-ID too while the group is the same.
  Make("suid.bin", "old");
  SetFileMode(Path("suid.bin"), 06755);
  ReplaceFile(Path("suid.bin"), [](int fd) { WriteAll(fd, Bytes("new")); });
  EXPECT_EQ(FindFile(Path("suid.bin"))->mode, 06755u);
  // The rest needs files of other owners.
  if (geteuid() != 0) {
    GTEST_SKIP() << "not root: another owner's file replaced by someone else is not checked";
  }

  // Anyone else replacing another owner's file makes it their own, without the bits
  // (root keeping the owner is checked end to end in the tool's tests).
  SetFileMode(Path("suid.bin"), 06775);
  const int64_t number = okuva::testing::RunUnprivileged(dir_, [&]() -> int64_t {
    return RaisedNumber(
        [&] { ReplaceFile(Path("suid.bin"), [](int fd) { WriteAll(fd, Bytes("theirs")); }); });
  });
  EXPECT_EQ(number, 0);
  struct stat st {};
  ASSERT_EQ(stat(Path("suid.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, okuva::testing::kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0775u);
  EXPECT_EQ(ReadFile(Path("suid.bin")), "theirs");

  // The owner replacing a file of another group makes it of their own group: set-group-ID
  // would hand them that group's rights, so it goes; the owner's other bits stay. In the
  // owner's own group it stays.
  for (const gid_t group : {gid_t{0}, gid_t{okuva::testing::kNobody}}) {
    Make("sgid.bin", "old");
    ASSERT_EQ(chown(Path("sgid.bin").c_str(), okuva::testing::kNobody, group), 0);
    SetFileMode(Path("sgid.bin"), 06775);
    const int64_t replaced = okuva::testing::RunUnprivileged(dir_, [&]() -> int64_t {
      return RaisedNumber([&] {
        ReplaceFile(Path("sgid.bin"), [](int fd) { WriteAll(fd, Bytes("same owner")); });
      });
    });
    EXPECT_EQ(replaced, 0);
    ASSERT_EQ(stat(Path("sgid.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, okuva::testing::kNobody);
    EXPECT_EQ(st.st_mode & 07777, group == 0 ? 04775u : 06775u) << group;
    EXPECT_EQ(ReadFile(Path("sgid.bin")), "same owner");
  }
  // Root replacing it gives it back to its owner and group, with every bit.
  ReplaceFile(Path("sgid.bin"), [](int fd) { WriteAll(fd, Bytes("root's")); });
  ASSERT_EQ(stat(Path("sgid.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, okuva::testing::kNobody);
  EXPECT_EQ(st.st_gid, okuva::testing::kNobody);
  EXPECT_EQ(st.st_mode & 07777, 06775u);
}

TEST_F(RuntimeFiles, ReadFileRaisesForMissingFilesAndFolders) {
  EXPECT_EQ(RaisedNumber([&] { ReadFile(Path("missing")); }), 53);
  EXPECT_EQ(RaisedNumber([&] { ReadFile(Path("missing/inner")); }), 76);
  EXPECT_EQ(RaisedNumber([&] { ReadFile(dir_); }), 75);
  try {
    ReadFile(Path("missing"));
    ADD_FAILURE() << "reading a missing file raised nothing";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Description(), "File not found");
    EXPECT_EQ(e.Source(), Path("missing"));
  }
  // The opened descriptor has one owner at a time and is closed when the last lets go.
  Make("a.bin", "abc");
  int fd = -1;
  {
    Descriptor first = OpenForReading(Path("a.bin"));
    fd = first.Get();
    Descriptor second = std::move(first);
    EXPECT_EQ(first.Get(), -1);
    first = std::move(second);
    char byte = 0;
    EXPECT_EQ(::read(fd, &byte, 1), 1);
    EXPECT_EQ(byte, 'a');
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(RaisedNumber([&] { OpenForReading(dir_); }), 75);
}

TEST(RuntimeFileErrors, ErrnoMapsToTheClassicNumbers) {
  EXPECT_EQ(FileErrorNumber(ENOENT), 53);
  EXPECT_EQ(FileErrorNumber(ENOSPC), 61);
  EXPECT_EQ(FileErrorNumber(EACCES), 70);
  EXPECT_EQ(FileErrorNumber(EEXIST), 75);
  EXPECT_EQ(FileErrorNumber(ENOTDIR), 76);
  EXPECT_EQ(FileErrorNumber(ENOENT, "/no-such-folder-okuva/file"), 76);
  EXPECT_EQ(FileErrorNumber(ENOENT, "/no-such-file-okuva"), 53);
  EXPECT_EQ(FileErrorNumber(ENOENT, "bare-name"), 53);
}

}  // namespace
}  // namespace okuva::files
