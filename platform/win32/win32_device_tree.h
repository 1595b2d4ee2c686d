#pragma once
// The device-tree seam over the Configuration Manager (cfgmgr32).

#include "seams/device_tree.h"

// The table of real Configuration Manager calls; install it with InstallDeviceTree.
const DeviceTreeOps* Win32DeviceTreeOps();
