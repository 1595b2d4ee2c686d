#pragma once
// The units of a VideoControl interface, read from the raw descriptors of a USB configuration.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace linuxplat {

// Class-specific VideoControl descriptor subtypes that describe units.
inline constexpr std::uint8_t UvcSelectorUnit = 0x04;
inline constexpr std::uint8_t UvcProcessingUnit = 0x05;
inline constexpr std::uint8_t UvcExtensionUnit = 0x06;
inline constexpr std::uint8_t UvcEncodingUnit = 0x07;

struct UvcUnit {
  std::uint8_t unitId = 0;
  std::uint8_t subtype = 0;
  // Extension units only: guidExtensionCode as it stands in the descriptor, and the controls.
  std::array<std::uint8_t, 16> guid{};
  std::uint8_t numControls = 0;
  std::uint8_t controlSize = 0;
  std::vector<std::uint8_t> controls;  // bmControls, controlSize bytes
};

// The units of the VideoControl interface numbered `interfaceNumber`, in descriptor order.
// Malformed input ends the list early; it never reads outside [data, data + size).
std::vector<UvcUnit> ParseUvcUnits(const std::uint8_t* data, std::size_t size,
                                   std::uint8_t interfaceNumber);

}  // namespace linuxplat
