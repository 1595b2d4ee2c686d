#include "platform/linux/sysfs_files.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace linuxplat {

namespace {

bool ParseDecimal(const std::string& text, std::uint32_t& value) {
  if (text.empty() || text.size() > 9) {
    return false;
  }
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return true;
}

}  // namespace

std::optional<std::string> ReadAttribute(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) {
    return std::nullopt;
  }
  std::string text;
  try {
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::ios_base::failure&) {
    return std::nullopt;  // the device left while it was read (ENODEV); the stream throws then
  }
  if (in.bad()) {
    return std::nullopt;
  }
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) {
    return std::string();
  }
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::optional<std::uint32_t> ReadHexAttribute(const std::filesystem::path& file) {
  const auto text = ReadAttribute(file);
  if (!text || text->empty() || text->size() > 8) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  for (char c : *text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return std::nullopt;
    }
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

std::vector<std::uint8_t> ReadBinary(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return {};
  }
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
}

std::optional<UsbDeviceName> ParseUsbDeviceName(const std::string& name) {
  UsbDeviceName parsed;
  if (name.rfind("usb", 0) == 0) {
    if (!ParseDecimal(name.substr(3), parsed.bus)) {
      return std::nullopt;
    }
    return parsed;
  }
  const auto dash = name.find('-');
  if (dash == std::string::npos || name.find(':') != std::string::npos ||
      !ParseDecimal(name.substr(0, dash), parsed.bus)) {
    return std::nullopt;
  }
  std::size_t at = dash + 1;
  for (;;) {
    const auto dot = name.find('.', at);
    std::uint32_t port = 0;
    if (!ParseDecimal(name.substr(at, dot == std::string::npos ? std::string::npos : dot - at),
                      port)) {
      return std::nullopt;
    }
    parsed.ports.push_back(port);
    if (dot == std::string::npos) {
      return parsed;
    }
    at = dot + 1;
  }
}

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

}  // namespace linuxplat
