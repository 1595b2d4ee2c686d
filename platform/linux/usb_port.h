#pragma once
// The USB port a station worker was told to take: the listings show only the camera on it.

#include <string>

namespace linuxplat {

// The bus-port path as sysfs names the device ("1-1.2"); empty (the default) for every port.
void SelectUsbPort(const std::string& port);
std::string SelectedUsbPort();
// Whether a USB device named `name` in sysfs ("1-1.2", "usb1") is on the selected port.
bool OnSelectedUsbPort(const std::string& name);
// Whether `port` has the form of a bus-port path: bus, dash, port numbers joined by dots.
bool IsUsbPortName(const std::string& port);

}  // namespace linuxplat
