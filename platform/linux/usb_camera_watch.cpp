#include "platform/linux/usb_camera_watch.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "product/product.h"
#include "platform/linux/sysfs_files.h"
#include "platform/linux/usb_port.h"

namespace linuxplat {

std::vector<std::string> CameraPorts(const std::string& sysRoot) {
  namespace fs = std::filesystem;
  std::vector<std::string> ports;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(sysRoot) / "bus/usb/devices", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!IsUsbPortName(name)) {
      continue;  // an interface ("1-1:1.0") or a root hub ("usb1")
    }
    const auto vid = ReadHexAttribute(it->path() / "idVendor");
    const auto pid = ReadHexAttribute(it->path() / "idProduct");
    if (!vid || !pid) {
      continue;
    }
    char id[32];
    std::snprintf(id, sizeof id, "vid_%04x&pid_%04x", static_cast<unsigned>(*vid),
                  static_cast<unsigned>(*pid));
    if (std::string(id) == UsbIdPrimary || std::string(id) == UsbIdSecondary) {
      ports.push_back(name);
    }
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

std::optional<station::UnitIdentity> UsbUnitIdentity(const std::string& port,
                                                     const std::string& sysRoot) {
  if (!IsUsbPortName(port)) {
    return std::nullopt;
  }
  const std::filesystem::path device = std::filesystem::path(sysRoot) / "bus/usb/devices" / port;
  const auto vid = ReadHexAttribute(device / "idVendor");
  const auto pid = ReadHexAttribute(device / "idProduct");
  if (!vid || !pid) {
    return std::nullopt;
  }
  station::UnitIdentity unit;
  unit.usbId =
      station::UsbIdText(static_cast<std::uint16_t>(*vid), static_cast<std::uint16_t>(*pid));
  if (const auto bcd = ReadAttribute(device / "bcdDevice")) {
    unit.bcdDevice = station::ParseBcd(*bcd);
  }
  // An empty string is no serial number either: nothing in it tells two cameras apart.
  if (auto serial = ReadAttribute(device / "serial"); serial && !serial->empty()) {
    unit.serial = std::move(*serial);
  }
  return unit;
}

DeviceEvents::DeviceEvents()
    : fd_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT)) {
  if (!fd_.valid()) {
    return;
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = 1;  // the kernel's own events, readable without privileges
  if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    fd_.reset();
  }
}

bool DeviceEvents::Drain() {
  bool usb = false;
  char buffer[8192];
  for (;;) {
    const ssize_t size = ::recv(fd_.get(), buffer, sizeof buffer - 1, 0);
    if (size < 0 && errno == ENOBUFS) {
      usb = true;  // events were lost: look again in any case
      continue;
    }
    if (size <= 0) {
      return usb;
    }
    buffer[size] = 0;
    // "add@/devices/pci0000:00/.../usb1/1-1" then NUL-separated KEY=VALUE pairs.
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(buffer + at)) + 1) {
      usb = usb || std::string(buffer + at) == "SUBSYSTEM=usb";
    }
  }
}

}  // namespace linuxplat
