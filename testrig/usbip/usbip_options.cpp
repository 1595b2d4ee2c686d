#include "testrig/usbip/usbip_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace usbip {

namespace {

// Decimal, or hexadecimal with 0x; the whole text must be the number.
bool ParseNumber(const char* text, unsigned long max, unsigned long& value) {
  if (text == nullptr || *text == 0 || *text == '-') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 0);
  return errno == 0 && *end == 0 && value <= max;
}

bool ParseRegisterWrite(const char* text, DeviceFaults& faults) {
  const char* colon = text == nullptr ? nullptr : std::strchr(text, ':');
  if (colon == nullptr) {
    return false;
  }
  const std::string address(text, colon);
  unsigned long registerNumber = 0;
  unsigned long value = 0;
  if (!ParseNumber(address.c_str(), 0xFFFF, registerNumber) ||
      !ParseNumber(colon + 1, 0xFF, value)) {
    return false;
  }
  faults.failRegisterAddress = static_cast<std::uint16_t>(registerNumber);
  faults.failRegisterValue = static_cast<std::uint8_t>(value);
  return true;
}

bool ParseFailCode(const char* text, DeviceFaults& faults) {
  const std::string kind = text == nullptr ? "" : text;
  if (kind == "stall") {
    faults.failCode = ErrorCode::unknown;
  } else if (kind == "busy") {
    faults.failCode = ErrorCode::notReady;
  } else if (kind == "out-of-range") {
    faults.failCode = ErrorCode::outOfRange;
  } else {
    return false;
  }
  return true;
}

}  // namespace

const char* CameraUsage() {
  return "usage: reflash-usbip-camera [options]\n"
         "  --chip N                   simulated chip model 0-18 (default 12)\n"
         "  --flash-type N             flash type register value 0-255\n"
         "  --port N                   virtual host controller port (default 0)\n"
         "  --vhci DIR                 controller folder (default "
         "/sys/devices/platform/vhci_hcd.0)\n"
         "  --devid N                  device id, bus << 16 | device (default 65538)\n"
         "  --flash-in FILE            flash contents at start (65,536 bytes)\n"
         "  --flash-out FILE           flash contents, written at every reset and at the end\n"
         "  --state-out FILE           the flash's protection (status register, write-protect\n"
         "                             pin), written when the flash is\n"
         "  --fail-request N           the Nth extension-unit SET_CUR/GET_CUR stalls\n"
         "  --fail-register-write A:V  every write of V to register A stalls\n"
         "  --fail-as KIND             what the request error code says of those stalls:\n"
         "                             stall (unknown cause, default), busy, out-of-range\n"
         "  --foreign                  another maker's camera: other USB ids, its own vendor\n"
         "                             unit (another code) at unit id 1\n"
         "  --pull-after N             leave the bus after N extension-unit requests\n"
         "  --replug-after-ms M        a pulled camera comes back, power-cycled, after M ms\n"
         "  --reset-pause-ms M         time off the bus at a chip reset (default 300)\n"
         "  --trace FILE               one line per extension-unit request\n"
         "  --serial TEXT              its USB serial number (default RFQ-P<port>)\n"
         "  --no-serial                it has no serial number\n"
         "  --bcd HHHH                 its bcdDevice until its flash holds the image, which\n"
         "                             it reports as 0601 (default 0500)\n"
         "  --quiet                    no attach/detach lines\n";
}

bool ParseCameraOptions(int argc, const char* const* argv, CameraOptions& options,
                        std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (name == "--foreign") {
      options.foreign = true;
      continue;
    }
    if (name == "--no-serial") {
      options.serial = "";
      continue;
    }
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long number = 0;
    bool ok = true;
    if (name == "--chip") {
      ok = ParseNumber(value, 18, number);
      options.chip = static_cast<int>(number);
    } else if (name == "--flash-type") {
      ok = ParseNumber(value, 0xFF, number);
      options.flashType = static_cast<std::uint8_t>(number);
    } else if (name == "--port") {
      ok = ParseNumber(value, 0xFFFF, number);
      options.port = static_cast<std::uint32_t>(number);
    } else if (name == "--devid") {
      ok = ParseNumber(value, 0xFFFFFFFFul, number);
      options.devid = static_cast<std::uint32_t>(number);
    } else if (name == "--fail-request") {
      ok = ParseNumber(value, 0xFFFFFFFFul, number);
      options.faults.failRequest = static_cast<std::uint32_t>(number);
    } else if (name == "--pull-after") {
      ok = ParseNumber(value, 0xFFFFFFFFul, number);
      options.faults.pullAfter = static_cast<std::uint32_t>(number);
    } else if (name == "--replug-after-ms") {
      ok = ParseNumber(value, 0xFFFFFFFFul, number);
      options.replugAfterMs = static_cast<std::uint32_t>(number);
    } else if (name == "--reset-pause-ms") {
      ok = ParseNumber(value, 0xFFFFFFFFul, number);
      options.resetPauseMs = static_cast<std::uint32_t>(number);
    } else if (name == "--serial") {
      ok = value != nullptr && *value != 0 && std::strlen(value) <= 126;
      if (ok) {
        options.serial = value;
      }
    } else if (name == "--bcd") {
      ok = value != nullptr && std::strlen(value) == 4 &&
           std::strspn(value, "0123456789abcdefABCDEF") == 4;
      if (ok) {
        options.bcdDevice = static_cast<std::uint16_t>(std::strtoul(value, nullptr, 16));
      }
    } else if (name == "--fail-register-write") {
      ok = ParseRegisterWrite(value, options.faults);
    } else if (name == "--fail-as") {
      ok = ParseFailCode(value, options.faults);
    } else if (name == "--vhci" || name == "--flash-in" || name == "--flash-out" ||
               name == "--state-out" || name == "--trace") {
      ok = value != nullptr && *value != 0;
      std::string& target = name == "--vhci"        ? options.vhci
                            : name == "--flash-in"  ? options.flashIn
                            : name == "--flash-out" ? options.flashOut
                            : name == "--state-out" ? options.stateOut
                                                    : options.trace;
      if (ok) {
        target = value;
      }
    } else {
      error = "unknown option " + name;
      return false;
    }
    if (!ok) {
      error = "bad value for " + name;
      return false;
    }
    ++i;
  }
  return true;
}

}  // namespace usbip
