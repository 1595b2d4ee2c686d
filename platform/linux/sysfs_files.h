#pragma once
// Small readers of sysfs attribute files and USB device names.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace linuxplat {

// The attribute's text without surrounding white space; nothing when it cannot be read.
std::optional<std::string> ReadAttribute(const std::filesystem::path& file);
// A hexadecimal attribute ("0e", "1f3a"); nothing when absent or not hexadecimal.
std::optional<std::uint32_t> ReadHexAttribute(const std::filesystem::path& file);
// The whole file as bytes (a binary attribute such as `descriptors`).
std::vector<std::uint8_t> ReadBinary(const std::filesystem::path& file);

// The bus and port path of a USB device entry: "usb3" is bus 3 with no ports, "3-1.2" bus 3,
// ports 1 then 2. Nothing for names of another form (interfaces, "3-0:1.0", are not devices).
struct UsbDeviceName {
  std::uint32_t bus = 0;
  std::vector<std::uint32_t> ports;
};
std::optional<UsbDeviceName> ParseUsbDeviceName(const std::string& name);

// Upper-case hexadecimal with `digits` digits.
std::string Hex(std::uint32_t value, int digits);

}  // namespace linuxplat
