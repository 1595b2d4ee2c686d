#pragma once
// Setting up and resetting the whole simulator: framework, device tree, cameras and clock.

#include <string>
#include <string_view>

#include "platform/sim/capture_framework.h"
#include "platform/sim/sim_camera.h"
#include "platform/sim/sim_device_tree.h"

namespace sim {

struct WorldOptions {
  CameraConfig camera{};
  std::string usbId{DefaultUsbId};
  bool cameraPresent = true;  // false: a work station with no camera at all
  bool vendorNodes = true;    // false: no vendor-specific node; the unit answers on node 2
  ClockMode clockMode = ClockMode::instant;
  std::u16string devicePath;  // empty: the usual path of its USB id
};

// Everything back to its start: the process-wide framework and device tree empty and current,
// the clock at 0 in instant mode, this thread outside any apartment.
void ResetSimulator();

// Resets the simulator, then builds a work station with one camera in the current device tree
// and the current framework. Returns the camera's capture device, or null without a camera.
Device* BuildOneCameraWorld(const WorldOptions& options = {});

// The camera `device`, whose USB id is `usbId`, pulled from its port (false) or plugged in again
// (true), in the current framework and device tree; see Device::setPlugged and
// DeviceTree::setUsbCameraPresent. Either does nothing when the camera already is so.
void SetCameraPlugged(Device& device, std::string_view usbId, bool plugged);

}  // namespace sim
