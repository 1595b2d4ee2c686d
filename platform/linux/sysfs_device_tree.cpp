#include "platform/linux/sysfs_device_tree.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/sysfs_files.h"
#include "platform/linux/usb_port.h"

namespace linuxplat {

namespace {

namespace fs = std::filesystem;

struct Node {
  int parent = -1;
  int firstChild = -1;
  int nextSibling = -1;
  std::optional<std::string> className;
  std::string hardwareIds;  // the multi-string with its final extra terminator; empty for none
};

struct UsbInterface {
  std::uint32_t number = 0;
  fs::path dir;
};

struct UsbDevice {
  UsbDeviceName name;
  fs::path dir;
  std::vector<UsbInterface> interfaces;
};

std::mutex treeMutex;
std::string sysfsRoot = "/sys";
// The snapshot taken when the root is located: handles are index + 1 and stay valid until the
// next walk starts.
std::vector<Node> snapshot;

std::optional<std::string> InterfaceClass(const fs::path& dir) {
  const auto cls = ReadHexAttribute(dir / "bInterfaceClass");
  if (!cls) {
    return std::nullopt;
  }
  switch (*cls) {
    case 0x0E: {
      // Only the driver's VideoControl function is an imaging device to the system.
      std::error_code ec;
      const fs::path driver = fs::read_symlink(dir / "driver", ec);
      if (!ec && ReadHexAttribute(dir / "bInterfaceSubClass") == 0x01u &&
          driver.filename() == "uvcvideo") {
        return "Image";
      }
      return std::nullopt;
    }
    case 0x01:
      return "MEDIA";
    case 0x03:
      return "HIDClass";
    case 0x09:
      return "USB";
    default:
      return std::nullopt;
  }
}

std::string MultiString(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) {
    out += text;
    out.push_back('\0');
  }
  out.push_back('\0');
  return out;
}

// "USB\VID_1F3A&PID_5C72", or nothing when the device lacks its ids.
std::optional<std::string> IdStem(const fs::path& deviceDir) {
  const auto vid = ReadHexAttribute(deviceDir / "idVendor");
  const auto pid = ReadHexAttribute(deviceDir / "idProduct");
  if (!vid || !pid) {
    return std::nullopt;
  }
  return "USB\\VID_" + Hex(*vid, 4) + "&PID_" + Hex(*pid, 4);
}

std::string DeviceIds(const fs::path& dir) {
  const auto stem = IdStem(dir);
  if (!stem) {
    return {};
  }
  const auto rev = ReadHexAttribute(dir / "bcdDevice");
  if (!rev) {
    return MultiString({*stem});
  }
  return MultiString({*stem + "&REV_" + Hex(*rev, 4), *stem});
}

std::string InterfaceIds(const fs::path& deviceDir, std::uint32_t number) {
  const auto stem = IdStem(deviceDir);
  if (!stem) {
    return {};
  }
  const std::string mi = "&MI_" + Hex(number, 2);
  const auto rev = ReadHexAttribute(deviceDir / "bcdDevice");
  if (!rev) {
    return MultiString({*stem + mi});
  }
  return MultiString({*stem + "&REV_" + Hex(*rev, 4) + mi, *stem + mi});
}

std::optional<std::string> DeviceClass(const UsbDevice& device) {
  if (ReadHexAttribute(device.dir / "bDeviceClass") == 0x09u) {
    return "USB";
  }
  const auto declared = ReadAttribute(device.dir / "bNumInterfaces");
  const std::size_t count = declared && !declared->empty()
                                ? std::strtoul(declared->c_str(), nullptr, 10)
                                : device.interfaces.size();
  if (count > 1 || device.interfaces.size() > 1) {
    return "USB";
  }
  if (device.interfaces.size() == 1) {
    return InterfaceClass(device.interfaces.front().dir);
  }
  return std::nullopt;
}

// "3-1.2:1.0" belongs to "3-1.2"; a root hub's "3-0:1.0" to "usb3".
std::string OwnerOfInterface(const std::string& name) {
  std::string owner = name.substr(0, name.find(':'));
  const auto dash = owner.find('-');
  if (dash != std::string::npos && owner.substr(dash + 1) == "0") {
    owner = "usb" + owner.substr(0, dash);
  }
  return owner;
}

std::uint32_t InterfaceNumber(const fs::path& dir, const std::string& name) {
  if (const auto number = ReadHexAttribute(dir / "bInterfaceNumber")) {
    return *number;
  }
  const auto dot = name.rfind('.');
  return dot == std::string::npos ? 0 : std::strtoul(name.c_str() + dot + 1, nullptr, 10);
}

bool ListUsbDevices(const fs::path& folder, std::vector<UsbDevice>& devices) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) {
    return false;
  }
  std::vector<std::pair<std::string, fs::path>> interfaces;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.find(':') != std::string::npos) {
      interfaces.emplace_back(name, it->path());
    } else if (const auto parsed = ParseUsbDeviceName(name); parsed && OnSelectedUsbPort(name)) {
      devices.push_back({*parsed, it->path(), {}});
    }
  }
  // The kernel's order: bus number, then port path (a root hub, with no ports, first).
  std::sort(devices.begin(), devices.end(), [](const UsbDevice& a, const UsbDevice& b) {
    return a.name.bus != b.name.bus ? a.name.bus < b.name.bus : a.name.ports < b.name.ports;
  });
  for (const auto& [name, dir] : interfaces) {
    const std::string owner = OwnerOfInterface(name);
    for (UsbDevice& device : devices) {
      if (device.dir.filename() == owner) {
        device.interfaces.push_back({InterfaceNumber(dir, name), dir});
      }
    }
  }
  for (UsbDevice& device : devices) {
    std::sort(device.interfaces.begin(), device.interfaces.end(),
              [](const UsbInterface& a, const UsbInterface& b) { return a.number < b.number; });
  }
  return true;
}

int AddChild(std::vector<Node>& nodes, int parent, int& lastChild, Node node) {
  node.parent = parent;
  const int index = static_cast<int>(nodes.size());
  nodes.push_back(std::move(node));
  if (lastChild < 0) {
    nodes[parent].firstChild = index;
  } else {
    nodes[lastChild].nextSibling = index;
  }
  lastChild = index;
  return index;
}

std::vector<Node> BuildTree(const std::vector<UsbDevice>& devices) {
  std::vector<Node> nodes(1);
  int lastDevice = -1;
  for (const UsbDevice& device : devices) {
    const int index =
        AddChild(nodes, 0, lastDevice, {-1, -1, -1, DeviceClass(device), DeviceIds(device.dir)});
    int lastInterface = -1;
    for (const UsbInterface& usbInterface : device.interfaces) {
      AddChild(nodes, index, lastInterface,
               {-1, -1, -1, InterfaceClass(usbInterface.dir),
                InterfaceIds(device.dir, usbInterface.number)});
    }
  }
  return nodes;
}

const Node* Find(DevNode node) {
  if (node == 0 || node > snapshot.size()) {
    return nullptr;
  }
  return &snapshot[node - 1];
}

ConfigRet Related(DevNode* out, DevNode node, int Node::*link) {
  std::lock_guard lock(treeMutex);
  const Node* found = Find(node);
  if (out == nullptr || found == nullptr) {
    return CrNoSuchDevnode;
  }
  const int index = found->*link;
  if (index < 0) {
    return CrNoSuchDevnode;
  }
  *out = static_cast<DevNode>(index) + 1;
  return CrSuccess;
}

ConfigRet LocateRoot(DevNode* node) {
  std::string root;
  {
    std::lock_guard lock(treeMutex);
    root = sysfsRoot;
  }
  std::vector<UsbDevice> devices;
  if (node == nullptr || !ListUsbDevices(fs::path(root) / "bus/usb/devices", devices)) {
    return CrFailure;
  }
  std::vector<Node> nodes = BuildTree(devices);
  std::lock_guard lock(treeMutex);
  snapshot = std::move(nodes);
  *node = 1;
  return CrSuccess;
}

ConfigRet GetChild(DevNode* child, DevNode node) {
  return Related(child, node, &Node::firstChild);
}

ConfigRet GetSibling(DevNode* sibling, DevNode node) {
  return Related(sibling, node, &Node::nextSibling);
}

ConfigRet GetParent(DevNode* parent, DevNode node) {
  return Related(parent, node, &Node::parent);
}

ConfigRet GetRegistryProperty(DevNode node, std::uint32_t property, void* buffer,
                              std::uint32_t* length) {
  std::lock_guard lock(treeMutex);
  const Node* found = Find(node);
  if (found == nullptr || length == nullptr) {
    return CrNoSuchDevnode;
  }
  std::string value;  // with its terminators, as the caller receives it
  if (property == CmDrpClass && found->className) {
    value = *found->className;
    value.push_back('\0');
  } else if (property == CmDrpHardwareId && !found->hardwareIds.empty()) {
    value = found->hardwareIds;
  } else {
    return CrNoSuchValue;
  }
  const auto required = static_cast<std::uint32_t>(value.size());
  if (buffer == nullptr || *length < required) {
    *length = required;
    return CrBufferSmall;
  }
  std::memcpy(buffer, value.data(), required);
  *length = required;
  return CrSuccess;
}

const DeviceTreeOps sysfsTree{
    .locateRoot = LocateRoot,
    .getChild = GetChild,
    .getSibling = GetSibling,
    .getParent = GetParent,
    .getRegistryProperty = GetRegistryProperty,
};

}  // namespace

const DeviceTreeOps* SysfsDeviceTreeOps() {
  return &sysfsTree;
}

void SetSysfsRoot(const std::string& root) {
  std::lock_guard lock(treeMutex);
  sysfsRoot = root;
}

}  // namespace linuxplat
