#pragma once
// The station's device watch on Linux: the USB ports that hold a camera of the model, read from
// sysfs, and the kernel's device events (a netlink socket) that say when to read them again.

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"
#include "station/unit_identity.h"

namespace linuxplat {

// The bus-port paths ("1-1.2") of the USB devices with either of the camera's USB ids, read
// afresh from `sysRoot`/bus/usb/devices, in sorted order.
std::vector<std::string> CameraPorts(const std::string& sysRoot = "/sys");

// The USB device on port `port` as sysfs gives it (serial, bcdDevice, idVendor, idProduct),
// without a request to the device; nullopt when no device is on the port. A device without a
// serial attribute has none.
std::optional<station::UnitIdentity> UsbUnitIdentity(const std::string& port,
                                                     const std::string& sysRoot = "/sys");

// The kernel's device events. The socket is readable when a device came or went; no polling.
class DeviceEvents {
 public:
  DeviceEvents();
  // The descriptor to poll; -1 when the events cannot be had (then the caller rescans on a
  // timer instead).
  int Handle() const { return fd_.get(); }
  // Reads every pending event; true when any concerned a USB device.
  bool Drain();

 private:
  UniqueFd fd_;
};

}  // namespace linuxplat
