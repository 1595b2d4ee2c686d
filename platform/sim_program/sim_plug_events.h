#pragma once
// The simulated camera pulled from its port and plugged in again on word from outside the run (a
// signal from the station), carried out on the simulated work station at its next call.

#include <string>

#include "seams/camera_source.h"
#include "seams/device_tree.h"
#include "platform/console/timeline.h"

namespace sim {
class Device;
}

namespace console {

// Note that the camera was pulled, or that a camera was plugged in again on its port, just now.
// Async-signal-safe: each only stores to lock-free atomics.
void NoteCameraPulled();
void NoteCameraPluggedIn();

// From now on the noted events pull and plug in `device` (null: the world has no camera, and
// they do nothing), whose USB id is `usbId`; each one carried out is recorded in `timeline`
// ("camera pulled", "camera plugged in").
void WatchPlugEvents(sim::Device* device, const std::string& usbId, Timeline* timeline);
// Carries out what was noted since the last call, in order: a camera pulled and plugged in again
// between two calls has lost its power and enumerates anew. Any thread.
void CarryOutPlugEvents();

// `inner` with the noted events carried out before every call that can see the camera (and after
// the camera layer's sleeps). One of each per process.
CameraSource& PlugAwareSource(CameraSource& inner);
const DeviceTreeOps* PlugAwareDeviceTree(const DeviceTreeOps* inner);

}  // namespace console
