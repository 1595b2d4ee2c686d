#pragma once
// The device-tree seam over sysfs: the USB devices and their interfaces, with the class names
// and hardware ids the presence check reads, in the forms the Configuration Manager gives them.

#include <string>

#include "seams/device_tree.h"

namespace linuxplat {

// The table of operations; install it with InstallDeviceTree.
const DeviceTreeOps* SysfsDeviceTreeOps();

// The folder sysfs is mounted on ("/sys" unless a test points it at a fixture).
void SetSysfsRoot(const std::string& root);

}  // namespace linuxplat
