#include "platform/win32/camera_watch.h"

#include <windows.h>
#include <cfgmgr32.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include "seams/device_tree.h"
#include "product/product.h"
#include "platform/win32/port_location.h"
#include "platform/win32/win32_device_tree.h"

namespace winplat {
namespace {

std::string Upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

bool IsCameraNode(const DeviceTreeOps* tree, DevNode node) {
  char ids[1024] = {};
  std::uint32_t length = sizeof ids - 1;
  if (tree->getRegistryProperty(node, CmDrpHardwareId, ids, &length) != 0) {
    return false;
  }
  const std::string first = Upper(ids);
  for (const char* usbId : {UsbIdPrimary, UsbIdSecondary}) {
    if (first.rfind(Upper(std::string("USB\\") + usbId), 0) == 0) {
      return true;
    }
  }
  return false;
}

// The port location of a camera's node: its own, or its nearest parent's (a composite device's
// functions sit below the device on the port). `device`: the node that has it, the USB device.
std::string PortLocationOf(const DeviceTreeOps* tree, DevNode node, DevNode* device = nullptr) {
  for (int level = 0; level < 3; ++level) {
    char location[256] = {};
    std::uint32_t length = sizeof location - 1;
    if (tree->getRegistryProperty(node, CM_DRP_LOCATION_INFORMATION, location, &length) == 0 &&
        std::strncmp(location, "Port_#", 6) == 0) {
      if (device != nullptr) {
        *device = node;
      }
      return location;
    }
    if (tree->getParent(&node, node) != 0) {
      break;
    }
  }
  return {};
}

// Calls `found(port, device)` for each camera node of the tree, `device` being the USB device
// on the port; stops when it returns true.
template <typename Found>
void ForEachCamera(const DeviceTreeOps* tree, Found found) {
  DevNode root = 0;
  if (tree->locateRoot(&root) != 0) {
    return;
  }
  std::vector<DevNode> pending = {root};
  for (int visited = 0; !pending.empty() && visited < 100000; ++visited) {
    const DevNode node = pending.back();
    pending.pop_back();
    if (IsCameraNode(tree, node)) {
      DevNode device = node;
      const std::string port = PortLocationOf(tree, node, &device);
      if (!port.empty() && found(port, device)) {
        return;
      }
    }
    DevNode child = 0;
    for (bool more = tree->getChild(&child, node) == 0; more;
         more = tree->getSibling(&child, child) == 0) {
      pending.push_back(child);
    }
  }
}

// The port of the camera whose USB device interface `link` names, read from its node as the
// tree keeps it after the removal; empty when it is no camera of the model.
std::string PortOfRemovedCamera(const wchar_t* link) {
  const std::u16string path(reinterpret_cast<const char16_t*>(link));
  std::string id = InstanceIdOfDevicePath(path);
  DEVINST node = 0;
  if (id.empty() || CM_Locate_DevNodeA(&node, id.data(), CM_LOCATE_DEVNODE_PHANTOM) != CR_SUCCESS) {
    return {};
  }
  const DeviceTreeOps* tree = Win32DeviceTreeOps();
  return IsCameraNode(tree, node) ? PortLocationOf(tree, node) : std::string();
}

// The USB device interface class: every USB device, a camera among them, arrives with one.
constexpr GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

using RegisterNotification = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK,
                                                PHCMNOTIFICATION);
using UnregisterNotification = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

// Looked up at run time: systems before Windows 8 (and Wine) do not have them.
template <typename Function>
Function CfgmgrFunction(const char* name) {
  HMODULE module = GetModuleHandleA("cfgmgr32.dll");
  if (module == nullptr) {
    module = LoadLibraryA("cfgmgr32.dll");
  }
  return module == nullptr
             ? nullptr
             : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::mutex eventMutex;  // one reading of the tree at a time, reported in order

DWORD CALLBACK OnDeviceEvent(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                             PCM_NOTIFY_EVENT_DATA data, DWORD) {
  if (action != CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL &&
      action != CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL) {
    return ERROR_SUCCESS;
  }
  std::lock_guard lock(eventMutex);
  std::vector<std::string> ports = CameraPorts();
  // A node on its way out may still be in the tree: the camera that left is gone in any case.
  if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL && data != nullptr &&
      data->FilterType == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE) {
    const std::string gone = PortOfRemovedCamera(data->u.DeviceInterface.SymbolicLink);
    ports.erase(std::remove(ports.begin(), ports.end(), gone), ports.end());
  }
  (*static_cast<CameraWatch::Changed*>(context))(std::move(ports));
  return ERROR_SUCCESS;
}

}  // namespace

std::vector<std::string> CameraPorts() {
  std::vector<std::string> ports;
  ForEachCamera(Win32DeviceTreeOps(), [&ports](const std::string& port, DevNode) {
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) {
      ports.push_back(port);
    }
    return false;
  });
  std::sort(ports.begin(), ports.end());
  return ports;
}

std::optional<station::UnitIdentity> CameraIdentity(const std::string& port) {
  const DeviceTreeOps* tree = Win32DeviceTreeOps();
  std::optional<station::UnitIdentity> unit;
  ForEachCamera(tree, [&](const std::string& at, DevNode device) {
    if (at != port) {
      return false;
    }
    char instance[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDA(device, instance, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) {
      instance[0] = '\0';  // no instance id: no serial number either, never a made-up one
    }
    char ids[1024] = {};
    std::uint32_t length = sizeof ids - 1;
    if (tree->getRegistryProperty(device, CmDrpHardwareId, ids, &length) != 0) {
      ids[0] = '\0';
    }
    unit = station::IdentityFromWindowsIds(instance, ids);
    return true;
  });
  return unit;
}

bool CameraWatch::Start(Changed changed, std::vector<std::string>& present) {
  const auto registerNotification =
      CfgmgrFunction<RegisterNotification>("CM_Register_Notification");
  if (registerNotification == nullptr) {
    return false;
  }
  changed_ = std::move(changed);
  CM_NOTIFY_FILTER filter{};
  filter.cbSize = sizeof filter;
  filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
  filter.u.DeviceInterface.ClassGuid = kUsbDeviceInterface;
  HCMNOTIFICATION registration = nullptr;
  std::lock_guard lock(eventMutex);  // a notification from now on reads the tree after this
  if (registerNotification(&filter, &changed_, OnDeviceEvent, &registration) != CR_SUCCESS) {
    return false;
  }
  registration_ = registration;
  present = CameraPorts();
  return true;
}

CameraWatch::~CameraWatch() {
  if (registration_ == nullptr) {
    return;
  }
  if (const auto unregister =
          CfgmgrFunction<UnregisterNotification>("CM_Unregister_Notification")) {
    unregister(static_cast<HCMNOTIFICATION>(registration_));
  }
}

}  // namespace winplat
