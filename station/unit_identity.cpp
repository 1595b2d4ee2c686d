#include "station/unit_identity.h"

#include <cstdio>

namespace station {
namespace {

std::optional<std::uint16_t> HexAfter(std::string_view text, std::string_view key) {
  std::string upper(text);
  for (char& c : upper) {
    c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  const auto at = upper.find(key);
  if (at == std::string::npos) {
    return std::nullopt;
  }
  return ParseBcd(std::string_view(upper).substr(at + key.size(), 4));
}

}  // namespace

std::string BcdText(std::uint16_t bcd) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(bcd));
  return text;
}

std::optional<std::uint16_t> ParseBcd(std::string_view text) {
  if (text.size() != 4) {
    return std::nullopt;
  }
  std::uint16_t value = 0;
  for (const char c : text) {
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) {
      return std::nullopt;
    }
    value = static_cast<std::uint16_t>(value * 16 + digit);
  }
  return value;
}

std::string UsbIdText(std::uint16_t vendor, std::uint16_t product) {
  return BcdText(vendor) + ":" + BcdText(product);
}

UnitIdentity IdentityFromWindowsIds(std::string_view instanceId, std::string_view hardwareId) {
  UnitIdentity unit;
  const auto cut = instanceId.rfind('\\');
  if (cut != std::string_view::npos && cut + 1 < instanceId.size()) {
    const std::string_view part = instanceId.substr(cut + 1);
    if (part.find('&') == std::string_view::npos) {
      unit.serial = std::string(part);
    }
  }
  const auto vendor = HexAfter(hardwareId, "VID_");
  const auto product = HexAfter(hardwareId, "PID_");
  if (vendor && product) {
    unit.usbId = UsbIdText(*vendor, *product);
  }
  unit.bcdDevice = HexAfter(hardwareId, "REV_");
  return unit;
}

}  // namespace station
