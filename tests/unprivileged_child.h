// Runs a step of a test in a forked child without root's privileges, so that
// permission bits stop it as they stop any user (CI runs the tests as root).
#pragma once

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

namespace okuva::testing {

constexpr uid_t kNobody = 65534;

// Runs `step` in a forked child; when the tests run as root, the child first gives up
// root for user and group 65534 and `folder` is handed to that user. Returns what
// `step` returned, or a negative number (-100 and below) when the child could not
// drop its privileges, threw or died. The parent checks the files afterwards.
inline int64_t RunUnprivileged(const std::string& folder, const std::function<int64_t()>& step) {
  const bool root = ::geteuid() == 0;
  if (root && ::chown(folder.c_str(), kNobody, kNobody) != 0) {
    return -100;
  }
  int fds[2];
  if (::pipe(fds) != 0) {
    return -101;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return -102;
  }
  if (pid == 0) {
    ::close(fds[0]);
    int64_t result = -103;
    if (!root ||
        (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0)) {
      try {
        result = ::geteuid() == 0 ? -104 : step();
      } catch (...) {
        result = -105;
      }
    }
    const ssize_t written = ::write(fds[1], &result, sizeof result);
    ::_exit(written == sizeof result ? 0 : 1);
  }
  ::close(fds[1]);
  int64_t result = -106;
  if (::read(fds[0], &result, sizeof result) != sizeof result) {
    result = -106;
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return result;
}

}  // namespace okuva::testing
