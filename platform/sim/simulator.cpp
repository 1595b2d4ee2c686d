#include "platform/sim/simulator.h"

#include <mutex>

namespace sim {

void ResetSimulator() {
  SetCurrentFramework(nullptr);
  SetCurrentDeviceTree(nullptr);
  CurrentFramework().clear();
  CurrentDeviceTree().clear();
  capture::ResetApartmentOfThisThread();
}

Device* BuildOneCameraWorld(const WorldOptions& options) {
  ResetSimulator();
  CaptureFramework& framework = CurrentFramework();
  framework.clock().reset(options.clockMode);
  DeviceTree& tree = CurrentDeviceTree();
  const DevNode hub = tree.addWorkStation();
  if (!options.cameraPresent) {
    return nullptr;
  }
  tree.addUsbCamera(hub, options.usbId);
  DeviceSetup setup = options.vendorNodes
                          ? CameraDevice(options.camera, options.usbId)
                          : CameraDeviceWithoutVendorNodes(options.camera, options.usbId);
  if (!options.devicePath.empty()) {
    setup.path = options.devicePath;
  }
  return &framework.addDevice(setup);
}

void SetCameraPlugged(Device& device, std::string_view usbId, bool plugged) {
  {
    std::lock_guard lock(CurrentFramework().mutex());
    device.setPlugged(plugged);
  }
  CurrentDeviceTree().setUsbCameraPresent(usbId, plugged);
}

}  // namespace sim
