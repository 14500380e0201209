// Camera access without any user-interface toolkit: a device that streams frames,
// describes its formats and controls, and hands over the newest frame converted once
// to RGB. Implementations: V4L2 through libv4l2/libv4lconvert (v4l2_camera.h) and the
// built-in simulated camera (simulated_camera.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace okuva::camera {

// A frame in memory: top-down rows, 3 bytes per pixel in the order red, green, blue,
// stride = 3 * width.
struct Frame {
  int32_t width = 0;
  int32_t height = 0;
  uint64_t sequence = 0;  // increases with every frame the device delivered
  std::vector<uint8_t> rgb;
};

// One format the device offers: a pixel format (fourcc and a readable name), a frame
// size and the frame intervals it allows at that size.
struct FrameRate {
  uint32_t numerator = 1;    // frame interval numerator (seconds)
  uint32_t denominator = 30; // frame interval denominator
};
struct FormatChoice {
  uint32_t fourcc = 0;
  std::string formatName;  // "YUYV 4:2:2", "Motion-JPEG", ...
  int32_t width = 0;
  int32_t height = 0;
  std::vector<FrameRate> rates;
};
struct StreamFormat {
  uint32_t fourcc = 0;
  int32_t width = 0;
  int32_t height = 0;
  FrameRate rate;
};

enum class ControlKind { Integer, Boolean, Menu, Button };
struct Control {
  uint32_t id = 0;
  std::string name;
  ControlKind kind = ControlKind::Integer;
  int32_t minimum = 0, maximum = 0, step = 1, defaultValue = 0, value = 0;
  std::vector<std::pair<int32_t, std::string>> menu;  // menu items: value, label
  bool readOnly = false;  // shown but not settable
  bool inactive = false;  // settable but without effect now (e.g. manual value under auto)
};

enum class CameraState { Closed, Streaming, Stopped, Unplugged };

class Camera {
public:
  virtual ~Camera() = default;

  // Identity for messages and reconnection ("Cámara simulada", the card name, ...).
  virtual std::string Name() const = 0;
  virtual std::string Identity() const = 0;  // bus info / serial where known

  virtual bool Start() = 0;  // opens if needed and starts streaming; false on failure
  virtual void Stop() = 0;
  virtual CameraState State() const = 0;
  // A file descriptor that becomes readable when a frame is ready (-1 when the
  // implementation is polled on a timer instead).
  virtual int PollDescriptor() const = 0;
  // Never blocks: dequeues whatever the device delivered, keeps the newest frame and
  // returns true when a new one arrived since the last call. A vanished device puts
  // the camera into Unplugged.
  virtual bool Poll() = 0;
  // The newest frame delivered (empty before the first).
  virtual const Frame& Latest() const = 0;

  virtual std::vector<FormatChoice> Formats() = 0;
  virtual StreamFormat CurrentFormat() = 0;
  // Tries, sets and reads back; restarts the stream when it was running. Returns the
  // format the device granted, or nullopt when it refused.
  virtual std::optional<StreamFormat> SetFormat(const StreamFormat& format) = 0;

  virtual std::vector<Control> Controls() = 0;
  virtual bool SetControl(uint32_t id, int32_t value) = 0;
  virtual std::string LastError() const = 0;

  // Steady stream: how many frames are dropped after every start and format change
  // (while the exposure settles) before Latest() shows one. Takes effect at the next
  // start; 0 keeps every frame.
  virtual void SetSettleFrames(uint32_t count) { (void)count; }
  virtual uint32_t SettleFrames() const { return 0; }
  // After an unplug: when a device of the same identity is present again, reopens it,
  // re-applies the format and the control values that were set and restarts the
  // stream. True when streaming again; false (nothing changed) when it is not back.
  virtual bool Reconnect() { return false; }
  // True for a camera that makes its pictures up instead of seeing through a sensor:
  // the live view marks them, and a record of them names no sensor technology.
  virtual bool Simulated() const { return false; }
};

// The camera that driver index 0 means: OKUVA_CAMERA=simulated gives the simulated
// camera, OKUVA_CAMERA=/dev/videoN that device, otherwise the first capture-capable
// /dev/video* in order. nullptr when no capture device exists at all (also for a named
// node that does not exist, and for OKUVA_CAMERA=none). A device that exists but is
// busy or forbidden is returned: its Start() fails and LastError() says why.
std::unique_ptr<Camera> OpenDefaultCamera();

}  // namespace okuva::camera
