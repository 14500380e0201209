// A V4L2 video-capture device through libv4l2: mmap streaming with four buffers,
// non-blocking dequeue that keeps the newest frame, conversion to RGB24 once by
// libv4lconvert, controls, and reconnection to the same device after an unplug.
#pragma once

#include "platform/camera/camera.h"
#include "platform/camera/device_io.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct v4lconvert_data;

namespace okuva::camera {

// A capture-capable device node as VIDIOC_QUERYCAP describes it.
struct DeviceInfo {
  std::string path;  // "/dev/video0"
  std::string card;  // "HD Webcam C270"
  std::string busInfo;  // "usb-0000:00:14.0-1"
  std::string driver;   // "uvcvideo"
};

// The video-capture devices present, in numeric order of their /dev/videoN names.
// Nodes that are not capture devices (metadata, output, codecs) are left out, and so
// are nodes that cannot be opened; those are listed in *unopenable when given.
std::vector<DeviceInfo> EnumerateCaptureDevices(DeviceIo& io,
                                                std::vector<std::string>* unopenable = nullptr);

// Orders /dev/videoN paths by N (video2 before video10); other names after, by name.
void SortDeviceNodes(std::vector<std::string>& paths);

class V4l2Camera final : public Camera {
public:
  static constexpr uint32_t kBufferCount = 4;
  static constexpr uint32_t kDefaultSettleFrames = 5;

  // Nothing is opened until Start() or a query needs the device.
  V4l2Camera(std::string path, std::shared_ptr<DeviceIo> io);
  // For a device enumeration found: its name and identity are known before opening.
  V4l2Camera(const DeviceInfo& device, std::shared_ptr<DeviceIo> io);
  ~V4l2Camera() override;
  V4l2Camera(const V4l2Camera&) = delete;
  V4l2Camera& operator=(const V4l2Camera&) = delete;

  std::string Name() const override;      // the card name (the path before first open)
  std::string Identity() const override;  // bus info (the path before first open)
  const std::string& Path() const { return path_; }

  // Opens (re-applying the chosen format and control values), allocates and queues
  // the buffers and starts streaming. False with LastError when the device is missing,
  // busy, not permitted, or refuses every accepted format.
  bool Start() override;
  // Stops streaming, releases the buffers and closes the device.
  void Stop() override;
  CameraState State() const override { return state_; }
  int PollDescriptor() const override;
  bool Poll() override;
  const Frame& Latest() const override { return latest_; }

  // Accepted pixel formats only (AcceptedPixelFormats), with every size and rate.
  std::vector<FormatChoice> Formats() override;
  StreamFormat CurrentFormat() override;
  std::optional<StreamFormat> SetFormat(const StreamFormat& format) override;

  std::vector<Control> Controls() override;
  bool SetControl(uint32_t id, int32_t value) override;
  std::string LastError() const override { return lastError_; }

  void SetSettleFrames(uint32_t count) override { settleFrames_ = count; }
  uint32_t SettleFrames() const override { return settleFrames_; }
  // Looks for a capture device with the same card name and bus info (or, failing
  // that, the only one with the same card name), possibly under another /dev/videoN.
  bool Reconnect() override;

private:
  struct Buffer {
    void* start = nullptr;
    size_t length = 0;
  };
  bool OpenDevice();
  // Opens for a query when closed; the destructor closes again what it opened, so a
  // stopped camera does not keep the device from other programs.
  class QueryOpen;
  void CloseDevice();
  bool ApplyFormat(const StreamFormat& wanted, StreamFormat* granted);
  bool StartStreaming();
  void StopStreaming();
  void MarkUnplugged(int errnum);
  bool Convert(const Buffer& buffer, uint32_t bytesUsed);
  bool Fail(const std::string& what, int errnum);
  int Xioctl(unsigned long request, void* arg);
  std::optional<StreamFormat> DefaultFormat();

  std::string path_;
  std::shared_ptr<DeviceIo> io_;
  int fd_ = -1;
  v4lconvert_data* convert_ = nullptr;
  std::vector<Buffer> buffers_;
  bool streaming_ = false;
  CameraState state_ = CameraState::Closed;
  std::string card_, busInfo_;

  // What the device actually runs (read back after setting).
  StreamFormat current_;
  uint32_t bytesPerLine_ = 0, sizeImage_ = 0;
  // What the operator chose: re-applied on every open, including reconnection.
  std::optional<StreamFormat> chosen_;
  std::map<uint32_t, int32_t> chosenControls_;

  uint32_t settleFrames_ = kDefaultSettleFrames;
  uint32_t settleLeft_ = 0;
  uint64_t delivered_ = 0;
  Frame latest_;
  std::vector<uint8_t> scratch_;  // conversion target, swapped into latest_ on success
  std::string lastError_;
};

// A V4L2 camera for `path`; nullptr when no such device node exists.
std::unique_ptr<Camera> OpenV4l2Camera(const std::string& path, std::shared_ptr<DeviceIo> io);
// The first capture-capable device in numeric order. When none can be queried but some
// node exists that could not be opened (busy, no permission), a camera for the first of
// those, so that its Start() reports why. nullptr when there is no device at all.
std::unique_ptr<Camera> OpenFirstV4l2Camera(std::shared_ptr<DeviceIo> io);
// OpenDefaultCamera with the selection (the OKUVA_CAMERA value: "simulated", "none",
// a device path, or empty for the first device) and the device access given.
std::unique_ptr<Camera> OpenCamera(const std::string& selection, std::shared_ptr<DeviceIo> io);

}  // namespace okuva::camera
