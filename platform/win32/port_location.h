#pragma once
// The USB port a station worker was told to take, by its port location as the Configuration
// Manager gives it ("Port_#0002.Hub_#0001", the Location shown by the Device Manager): the device
// tree and the capture devices show only the camera there.

#include <string>

#include "seams/device_tree.h"
#include "seams/media_capture.h"

// Empty (the default) for every port.
void SelectPortLocation(const std::string& location);

// `inner` with the nodes on other ports (and all below them) left out of the walk.
const DeviceTreeOps* PortFilteredDeviceTree(const DeviceTreeOps* inner);
// `inner` with the capture devices on other ports left out of the enumeration. A device whose
// location cannot be read is kept: the device tree has already said whether a camera is there.
const MediaCaptureOps* PortFilteredMediaCapture(const MediaCaptureOps* inner);

// The instance id of a capture interface's device path:
// "\\?\usb#vid_1f3a&pid_5c72&mi_00#7&2a3b&0&0000#{guid}\global" ->
// "USB\VID_1F3A&PID_5C72&MI_00\7&2A3B&0&0000".
std::string InstanceIdOfDevicePath(const std::u16string& path);
