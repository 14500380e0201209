// A fake UVC webcam behind the DeviceIo boundary, for tests of the V4L2 camera and of
// anything built on it: YUYV and Motion-JPEG at 640x480 and 1280x720, integer, boolean,
// menu and button controls, mmap streaming driven by the test (DeliverFrames), damaged
// frames, and unplugging and plugging back in. It follows the kernel's rules where a
// careless caller would trip on them (EBUSY for a format change or buffer release with
// buffers still mapped, ENODEV on every call after an unplug).
#pragma once

#include "platform/camera/camera.h"
#include "platform/camera/device_io.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace okuva::camera {

class FakeUvcDevice final : public DeviceIo {
public:
  static constexpr const char* kCard = "Fake UVC Webcam";
  static constexpr const char* kBusInfo = "usb-0000:00:14.0-1";

  FakeUvcDevice() = default;
  ~FakeUvcDevice() override;

  // A webcam's capture node at `path` (its controls at their defaults, YUYV 640x480).
  void AddWebcam(const std::string& path, const std::string& card = kCard,
                 const std::string& busInfo = kBusInfo);
  // A node that opens but is no capture device (like the metadata node of a UVC camera).
  void AddMetadataNode(const std::string& path, const std::string& card = kCard,
                       const std::string& busInfo = kBusInfo);
  // A node that exists but cannot be opened (errno `error`, e.g. EACCES or EBUSY).
  void AddUnopenableNode(const std::string& path, int error);

  // The camera produces `count` frames: each lands in the oldest queued buffer, or is
  // lost when none is queued. Returns how many landed. Frame n (counting from 1) shows
  // n in its top bars (see FrameNumber).
  int DeliverFrames(const std::string& path, int count = 1);
  // The next frame delivered carries V4L2_BUF_FLAG_ERROR.
  void DamageNextFrame(const std::string& path);
  // The next frame arrives cut short (half its bytes) without an error flag, as a
  // sloppy driver may hand over after a lost USB packet.
  void ShortenNextFrame(const std::string& path);
  // The cable is pulled: the node disappears and every call on its descriptors fails
  // with ENODEV. Mappings stay valid until unmapped, as with a real driver.
  void Unplug(const std::string& path);
  // As Unplug, but poll keeps reporting the frames that were pending, so the caller
  // learns of the loss only from the dequeue failing with ENODEV.
  void UnplugDuringDequeue(const std::string& path);
  // Plugged back in, possibly under another node name: a fresh device with its
  // defaults and the same identity.
  void Replug(const std::string& oldPath, const std::string& newPath);

  // What the device is doing now (for assertions).
  int32_t ControlValue(const std::string& path, uint32_t id) const;
  int ButtonPresses(const std::string& path) const;
  StreamFormat Format(const std::string& path) const;
  bool Streaming(const std::string& path) const;
  int OpenDescriptors() const { return static_cast<int>(fds_.size()); }
  int Mappings() const { return static_cast<int>(maps_.size()); }
  int LastOpenFlags() const { return lastOpenFlags_; }
  // The frame number shown by a converted frame's top bars (modulo 256), -1 when the
  // bars are not clean black and white.
  static int FrameNumber(const Frame& frame);

  std::vector<std::string> ListDevices() override;
  int Open(const std::string& path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  void* Mmap(size_t length, int prot, int flags, int fd, int64_t offset) override;
  int Munmap(void* start, size_t length) override;
  int Poll(int fd, short events, short* revents, int timeoutMs) override;

  struct Instance;

private:
  struct Mapping {
    std::shared_ptr<Instance> instance;
    std::shared_ptr<std::vector<uint8_t>> memory;
    size_t length;
  };
  std::shared_ptr<Instance> Node(const std::string& path) const;
  int DoIoctl(Instance& dev, int fd, unsigned long request, void* arg);
  void Signal(Instance& dev);
  void Drain(Instance& dev);

  std::map<std::string, std::shared_ptr<Instance>> nodes_;
  std::map<int, std::shared_ptr<Instance>> fds_;
  std::map<void*, Mapping> maps_;
  std::map<std::string, std::pair<std::string, std::string>> unplugged_;  // path: card, bus
  int lastOpenFlags_ = 0;
};

}  // namespace okuva::camera
