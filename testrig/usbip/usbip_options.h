#pragma once
// The options of `reflash-usbip-camera`: which simulated camera, where it attaches, which faults.

#include <cstdint>
#include <optional>
#include <string>

#include "testrig/usbip/usb_camera_device.h"

namespace usbip {

struct CameraOptions {
  int chip = 12;
  std::optional<std::uint8_t> flashType;
  std::uint32_t port = 0;
  std::string vhci = "/sys/devices/platform/vhci_hcd.0";
  std::uint32_t devid = (1u << 16) | 2u;  // bus 1, device 2
  std::uint32_t speed = 3;                // high speed
  std::string flashIn;
  std::string flashOut;
  std::string stateOut;  // the flash's protection, written with flashOut
  DeviceFaults faults;
  bool foreign = false;  // another maker's camera (ForeignIdentity) instead of ours
  std::optional<std::uint32_t> replugAfterMs;  // none: a pulled camera stays away
  std::uint32_t resetPauseMs = 300;
  std::optional<std::string> serial;  // nullopt: RFQ-P<port>; empty: no serial number
  std::uint16_t bcdDevice = 0x0500;   // until the flash holds the image
  std::string trace;
  bool quiet = false;
  bool help = false;
};

const char* CameraUsage();

// Parses argv[1..]; on a bad option or value returns false with a one-line `error` naming it.
bool ParseCameraOptions(int argc, const char* const* argv, CameraOptions& options,
                        std::string& error);

}  // namespace usbip
