#pragma once
// The cameras of the model on the USB ports, by port location ("Port_#0002.Hub_#0001"), from the
// Configuration Manager's device tree, and word of every USB device that arrives or leaves.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "station/unit_identity.h"

namespace winplat {

// The port locations of the cameras of the model in the device tree now.
std::vector<std::string> CameraPorts();

// The camera on `port` as the tree shows it: the serial part of its USB device's instance id
// and its first hardware id. nullopt: no camera there.
std::optional<station::UnitIdentity> CameraIdentity(const std::string& port);

// Watches USB device arrivals and removals through the Configuration Manager's notifications.
// At each one the device tree is read at once, so that a camera swapped quickly on a port is
// seen gone and back, and `changed` gets the ports with a camera (on the notification's thread).
class CameraWatch {
 public:
  using Changed = std::function<void(std::vector<std::string> ports)>;
  CameraWatch() = default;
  CameraWatch(const CameraWatch&) = delete;
  CameraWatch& operator=(const CameraWatch&) = delete;
  ~CameraWatch();
  // `present`: the ports with a camera as the watch begins, read in order with the
  // notifications' readings. False when this system cannot notify (older systems, Wine): the
  // caller reads the tree on a timer instead.
  bool Start(Changed changed, std::vector<std::string>& present);

 private:
  void* registration_ = nullptr;
  Changed changed_;
};

}  // namespace winplat
