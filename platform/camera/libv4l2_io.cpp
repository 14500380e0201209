#include "platform/camera/device_io.h"

#include <libv4l2.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>

#include <cstring>

namespace okuva::camera {
namespace {

class LibV4l2DeviceIo final : public DeviceIo {
public:
  std::vector<std::string> ListDevices() override {
    std::vector<std::string> paths;
    DIR* dir = opendir("/dev");
    if (!dir) {
      return paths;
    }
    while (const dirent* entry = readdir(dir)) {
      const char* name = entry->d_name;
      if (std::strncmp(name, "video", 5) != 0 || name[5] == '\0') {
        continue;
      }
      bool digits = true;
      for (const char* p = name + 5; *p; ++p) {
        digits = digits && *p >= '0' && *p <= '9';
      }
      if (digits) {
        paths.push_back(std::string("/dev/") + name);
      }
    }
    closedir(dir);
    return paths;
  }
  int Open(const std::string& path, int flags) override {
    return v4l2_open(path.c_str(), flags | O_CLOEXEC);
  }
  int Close(int fd) override { return v4l2_close(fd); }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    return v4l2_ioctl(fd, request, arg);
  }
  void* Mmap(size_t length, int prot, int flags, int fd, int64_t offset) override {
    return v4l2_mmap(nullptr, length, prot, flags, fd, offset);
  }
  int Munmap(void* start, size_t length) override { return v4l2_munmap(start, length); }
  int Poll(int fd, short events, short* revents, int timeoutMs) override {
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, timeoutMs);
    *revents = r > 0 ? p.revents : 0;
    return r;
  }
};

}  // namespace

std::shared_ptr<DeviceIo> LibV4l2Io() {
  static const auto io = std::make_shared<LibV4l2DeviceIo>();
  return io;
}

}  // namespace okuva::camera
