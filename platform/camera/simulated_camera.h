// The built-in simulated camera: a moving synthetic eye (skin, eyelids, sclera, an
// iris with fine radial texture, pupil, specular highlight) for machines without a
// camera and for tests. Every frame is a pure function of its index within the stream
// and of the control values, so tests can repeat it exactly.
#pragma once

#include "platform/camera/camera.h"

#include <chrono>
#include <compare>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace okuva::camera {

class SimulatedCamera final : public Camera {
public:
  // Control ids: the V4L2 ids of the same controls, so dialogs treat both cameras alike.
  static constexpr uint32_t kBrightnessId = 0x00980900;  // V4L2_CID_BRIGHTNESS
  static constexpr uint32_t kContrastId = 0x00980901;    // V4L2_CID_CONTRAST
  static constexpr uint32_t kFocusId = 0x009a090a;       // V4L2_CID_FOCUS_ABSOLUTE
  // The focus value at which the picture is sharp; blur grows with the distance.
  static constexpr int32_t kBestFocus = 128;
  // The camera's own pixel format: packed RGB24 ('RGB3'), the same bytes as a Frame.
  static constexpr uint32_t kFourcc = 0x33424752;

  struct Options {
    // Test mode: every Poll() delivers exactly the next frame, independent of time.
    bool framePerPoll = false;
    // Frames dropped after each start or format change (steady stream).
    uint32_t settleFrames = 2;
  };

  // The eye shown; lengths are in pixels of a 480-line frame (other heights scale
  // them). The defaults are the station's usual eye. Blur and brightness come from the
  // focus and brightness controls.
  struct Eye {
    double offsetX = 0, offsetY = 0;  // the eye's centre from the frame's centre
    double irisRadius = 110;  // about 220 pixels across at 640 x 480
    double pupilRadius = 42;
    double lidClosure = 0;  // 0 open .. 1 shut: how far the upper lid has come down
    double noise = 0;       // standard deviation of each pixel's sensor noise, levels
    // A near-infrared camera's look: grey, a dark iris, low pupil contrast and the
    // illuminator's bright spot inside the pupil.
    bool nearInfrared = false;
    // With nearInfrared, an iris camera's real look: dark levels (sclera about 47,
    // iris 25, pupil 10), soft edges (the limbus spread over a fifth of the iris
    // radius, the pupil's edge over a third of its own), the upper lid over the top
    // fifth of the iris with lashes hanging from it, and the illuminator's spot on
    // the pupil's lower edge. `darkIris` makes the iris nearly as dark as the pupil.
    bool dim = false;
    bool darkIris = false;
    bool drift = true;  // the eye wanders; false keeps it still
    // The iris's own pattern: 0 draws the station's usual iris; any other seed draws an
    // iris of its own, the same one for the same seed (one seed, one eye).
    uint32_t textureSeed = 0;
    // The iris turned about its centre, degrees counter-clockwise as seen (a tilted
    // head, the eye's torsion); lids, pupil and highlight stay where they are.
    double irisTurn = 0;
    auto operator<=>(const Eye&) const = default;
  };
  // Where the eye is in frame `index` of the current format, in frame pixels (origin
  // top-left, pixel (i, j) covering [i, i + 1) x [j, j + 1)).
  struct EyeGeometry {
    double x = 0, y = 0, irisRadius = 0, pupilRadius = 0;
  };

  SimulatedCamera();
  explicit SimulatedCamera(Options options);
  SimulatedCamera(Options options, Eye eye);
  ~SimulatedCamera() override;

  std::string Name() const override;      // "Cámara simulada"
  std::string Identity() const override;  // "simulated"
  bool Start() override;                  // false only while unplugged
  void Stop() override;
  CameraState State() const override;
  int PollDescriptor() const override { return -1; }  // poll on a timer
  bool Poll() override;
  const Frame& Latest() const override { return latest_; }

  std::vector<FormatChoice> Formats() override;
  StreamFormat CurrentFormat() override { return format_; }
  // Snaps size and rate to the nearest offered ones; refuses other pixel formats.
  std::optional<StreamFormat> SetFormat(const StreamFormat& format) override;

  std::vector<Control> Controls() override;
  // False (with LastError) for an unknown id or a value outside the control's range.
  bool SetControl(uint32_t id, int32_t value) override;
  std::string LastError() const override { return lastError_; }

  void SetSettleFrames(uint32_t count) override { options_.settleFrames = count; }
  uint32_t SettleFrames() const override { return options_.settleFrames; }
  bool Reconnect() override;
  bool Simulated() const override { return true; }

  // Renders frame `index` of the current format with the current control values;
  // the same arguments always give the same pixels. Does not touch Latest().
  Frame RenderFrame(uint64_t index);
  EyeGeometry GeometryAt(uint64_t index) const;
  const Eye& CurrentEye() const { return eye_; }
  // Shows another eye from the next frame on (another person steps in front).
  void SetEye(const Eye& eye);

  // Test hooks that act like pulling the cable and plugging it back in: after
  // Unplug() the next Poll() reports Unplugged; after Replug() Reconnect() succeeds.
  void Unplug() { plugged_ = false; }
  void Replug() { plugged_ = true; }

private:
  struct Template;
  // The still eye for a frame size, rendered once per process and shared.
  static std::shared_ptr<const Template> TemplateFor(int32_t width, int32_t height, const Eye& eye);
  // The drift's offset (template minus frame position) for frame `index`.
  void DriftAt(uint64_t index, int32_t margin, int32_t& ox, int32_t& oy) const;
  // The still as the current focus value shows it (cached for the last radius).
  std::shared_ptr<const Template> DefocusedTemplate(int32_t width, int32_t height);
  void RenderInto(uint64_t index, Frame& frame);
  int32_t ControlValue(uint32_t id) const;
  void RestartStream();

  Options options_;
  Eye eye_;
  StreamFormat format_;
  std::vector<Control> controls_;
  CameraState state_ = CameraState::Closed;
  bool plugged_ = true;
  std::chrono::steady_clock::time_point streamStart_;
  uint64_t nextIndex_ = 0;  // index within the current stream of the next frame
  uint64_t delivered_ = 0;  // frames delivered since construction (Frame::sequence)
  std::shared_ptr<const Template> defocused_;
  double defocusedRadius_ = 0;
  Frame latest_;
  std::string lastError_;
};

}  // namespace okuva::camera
