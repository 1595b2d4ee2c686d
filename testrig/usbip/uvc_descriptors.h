#pragma once
// What the simulated camera tells the USB host about itself: device, configuration and string
// descriptors of a video-class camera with one extension unit and one uncompressed stream.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace usbip {

inline constexpr std::uint8_t VideoControlInterface = 0;
inline constexpr std::uint8_t VideoStreamingInterface = 1;
inline constexpr std::uint8_t StreamingTerminalId = 3;
inline constexpr std::uint8_t StreamingEndpoint = 0x81;
inline constexpr std::uint8_t ConfigurationValue = 1;

// Video streaming parameters the camera offers (its only format and frame): probe and commit
// answer with these.
inline constexpr std::size_t StreamControlLength = 26;

// Who the device says it is: its USB ids, and the id and code of its vendor extension unit.
struct DeviceIdentity {
  std::uint16_t vendorId;
  std::uint16_t productId;
  std::uint8_t terminalId;
  std::uint8_t unitId;
  std::array<std::uint8_t, 16> unitCode;  // guidExtensionCode as it stands in the descriptor
};

// The camera the tool updates.
const DeviceIdentity& CameraIdentity();
// Another maker's camera: other USB ids, and its own vendor unit (another code) at unit id 1,
// where the tool's fallback node ids point.
const DeviceIdentity& ForeignIdentity();

// The camera's own: its bcdDevice (the firmware it runs) and its serial number string (none:
// iSerialNumber 0).
struct UnitStrings {
  std::uint16_t release = 0x0100;
  std::string serial;  // empty: the device has no serial number
};

std::vector<std::uint8_t> DeviceDescriptor(const DeviceIdentity& identity,
                                           const UnitStrings& unit = {});
std::vector<std::uint8_t> ConfigurationDescriptor(const DeviceIdentity& identity);
// String `index` in US English; index 0 is the language list, 3 the serial number. Empty when
// there is none.
std::vector<std::uint8_t> StringDescriptor(std::uint8_t index, const UnitStrings& unit = {});
// The streaming parameters of the one format and frame the camera has.
const std::vector<std::uint8_t>& DefaultStreamControl();

}  // namespace usbip
