#include "platform/linux/usb_port.h"

#include <mutex>

namespace linuxplat {
namespace {

std::mutex portMutex;
std::string selectedPort;

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 3) {
    return false;
  }
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

}  // namespace

void SelectUsbPort(const std::string& port) {
  std::lock_guard lock(portMutex);
  selectedPort = port;
}

std::string SelectedUsbPort() {
  std::lock_guard lock(portMutex);
  return selectedPort;
}

bool OnSelectedUsbPort(const std::string& name) {
  std::lock_guard lock(portMutex);
  return selectedPort.empty() || name == selectedPort;
}

bool IsUsbPortName(const std::string& port) {
  const auto dash = port.find('-');
  if (dash == std::string::npos || !AllDigits(port.substr(0, dash))) {
    return false;
  }
  // USB allows at most 7 tiers below the root hub.
  std::size_t start = dash + 1;
  for (int tier = 0; tier < 7; ++tier) {
    const auto dot = port.find('.', start);
    if (!AllDigits(port.substr(start, dot == std::string::npos ? dot : dot - start))) {
      return false;
    }
    if (dot == std::string::npos) {
      return true;
    }
    start = dot + 1;
  }
  return false;
}

}  // namespace linuxplat
