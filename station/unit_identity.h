#pragma once
// Who a camera is, as the device tree says without a request to the camera: its USB serial
// number, bcdDevice and USB ids, and the readings of them that each platform's tree gives.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace station {

struct UnitIdentity {
  std::optional<std::string> serial;       // nullopt: the camera has no serial number
  std::optional<std::uint16_t> bcdDevice;  // nullopt: not known
  std::string usbId;                       // "1f3a:5c72"; empty: not known
};

// bcdDevice as sysfs writes it: "0601".
std::string BcdText(std::uint16_t bcd);
// The four hex digits of BcdText; nullopt for any other text.
std::optional<std::uint16_t> ParseBcd(std::string_view text);
// "1f3a:5c72".
std::string UsbIdText(std::uint16_t vendor, std::uint16_t product);

// Windows: the identity from the USB device's instance id ("USB\VID_1F3A&PID_5C72\SN0001") and
// its first hardware id ("USB\VID_1F3A&PID_5C72&REV_0601"). An instance part holding '&' was
// made up by Windows for a device without a serial number: the serial is nullopt then.
UnitIdentity IdentityFromWindowsIds(std::string_view instanceId, std::string_view hardwareId);

}  // namespace station
