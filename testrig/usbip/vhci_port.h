#pragma once
// Plugging a device into a port of the kernel's virtual host controller and pulling it out.

#include <cstdint>
#include <string>

namespace usbip {

struct PortAddress {
  std::string vhci;  // the controller's sysfs folder
  std::uint32_t port = 0;
  std::uint32_t devid = 0;
  std::uint32_t speed = 0;
};

// Hands one end of a new stream socket pair to the controller and returns the other end, which
// then carries the device's side of the protocol; -1 on failure with `error` set.
int AttachToPort(const PortAddress& address, std::string& error);
// Takes the device off the port; false when the controller refused (it may be gone already).
bool DetachFromPort(const PortAddress& address);

}  // namespace usbip
