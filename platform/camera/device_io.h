// The system-call boundary of the V4L2 camera: every call that reaches the device goes
// through DeviceIo, so tests can put a fake webcam behind it. The real one forwards to
// libv4l2 (v4l2_open, v4l2_ioctl, v4l2_mmap, ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace okuva::camera {

class DeviceIo {
public:
  virtual ~DeviceIo() = default;

  // The video device nodes present (/dev/videoN), in no particular order.
  virtual std::vector<std::string> ListDevices() = 0;
  // Each call below follows its POSIX namesake: -1 (MAP_FAILED for Mmap) with errno set
  // on failure.
  virtual int Open(const std::string& path, int flags) = 0;
  virtual int Close(int fd) = 0;
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual void* Mmap(size_t length, int prot, int flags, int fd, int64_t offset) = 0;
  virtual int Munmap(void* start, size_t length) = 0;
  // poll(2) on one descriptor; returns the number of ready descriptors (0 or 1), the
  // events in *revents.
  virtual int Poll(int fd, short events, short* revents, int timeoutMs) = 0;
};

// The process's libv4l2-backed device access (one shared instance).
std::shared_ptr<DeviceIo> LibV4l2Io();

}  // namespace okuva::camera
