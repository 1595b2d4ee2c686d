#pragma once
// What the simulated camera tells the USB host about itself: device, configuration and string
// descriptors of a video-class camera with one extension unit and one uncompressed stream.

#include <cstdint>
#include <vector>

namespace usbip {

inline constexpr std::uint8_t VideoControlInterface = 0;
inline constexpr std::uint8_t VideoStreamingInterface = 1;
inline constexpr std::uint8_t CameraTerminalId = 1;
inline constexpr std::uint8_t ExtensionUnitId = 2;
inline constexpr std::uint8_t StreamingTerminalId = 3;
inline constexpr std::uint8_t StreamingEndpoint = 0x81;
inline constexpr std::uint8_t ConfigurationValue = 1;

// Video streaming parameters the camera offers (its only format and frame): probe and commit
// answer with these.
inline constexpr std::size_t StreamControlLength = 26;

const std::vector<std::uint8_t>& DeviceDescriptor();
const std::vector<std::uint8_t>& ConfigurationDescriptor();
// String `index` in US English; index 0 is the language list. Empty when there is none.
std::vector<std::uint8_t> StringDescriptor(std::uint8_t index);
// The streaming parameters of the one format and frame the camera has.
const std::vector<std::uint8_t>& DefaultStreamControl();

}  // namespace usbip
