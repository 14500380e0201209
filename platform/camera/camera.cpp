#include "platform/camera/camera.h"

#include "platform/camera/simulated_camera.h"
#include "platform/camera/v4l2_camera.h"

#include <cstdlib>

namespace okuva::camera {

std::unique_ptr<Camera> OpenDefaultCamera() {
  const char* selection = std::getenv("OKUVA_CAMERA");
  return OpenCamera(selection ? selection : "", LibV4l2Io());
}

std::unique_ptr<Camera> OpenCamera(const std::string& selection, std::shared_ptr<DeviceIo> io) {
  if (selection == "simulated") {
    return std::make_unique<SimulatedCamera>();
  }
  if (selection == "none") {
    return nullptr;
  }
  if (!selection.empty()) {
    return OpenV4l2Camera(selection, std::move(io));
  }
  return OpenFirstV4l2Camera(std::move(io));
}

}  // namespace okuva::camera
