#include "platform/win32/port_location.h"

#include <windows.h>
#include <cfgmgr32.h>

#include <cctype>
#include <string_view>

namespace {

std::string selected;
const DeviceTreeOps* innerTree = nullptr;
DeviceTreeOps filteredTree{};
const MediaCaptureOps* innerCapture = nullptr;
MediaCaptureOps filteredCapture{};

bool IsPortLocation(std::string_view location) {
  return location.rfind("Port_#", 0) == 0;
}

// True for a node whose own location names another port.
bool OnOtherPort(DevNode node) {
  char location[256] = {};
  std::uint32_t length = sizeof location - 1;
  if (innerTree->getRegistryProperty(node, CM_DRP_LOCATION_INFORMATION, location, &length) != 0) {
    return false;
  }
  return IsPortLocation(location) && selected != location;
}

ConfigRet SkipOtherPorts(ConfigRet result, DevNode* node) {
  while (result == 0 && OnOtherPort(*node)) {
    result = innerTree->getSibling(node, *node);
  }
  return result;
}

ConfigRet GetChild(DevNode* child, DevNode node) {
  return SkipOtherPorts(innerTree->getChild(child, node), child);
}

ConfigRet GetSibling(DevNode* sibling, DevNode node) {
  return SkipOtherPorts(innerTree->getSibling(sibling, node), sibling);
}

// The port location of the device behind a capture interface: its node's, or the nearest
// parent's (a composite device's functions sit below the device on the port).
std::string LocationOf(const std::u16string& devicePath) {
  const std::string id = InstanceIdOfDevicePath(devicePath);
  DEVINST node = 0;
  if (id.empty() || CM_Locate_DevNodeA(&node, const_cast<char*>(id.c_str()),
                                       CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
    return {};
  }
  for (int level = 0; level < 3; ++level) {
    char location[256] = {};
    ULONG length = sizeof location - 1;
    if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_LOCATION_INFORMATION, nullptr, location,
                                          &length, 0) == CR_SUCCESS &&
        IsPortLocation(location)) {
      return location;
    }
    if (CM_Get_Parent(&node, node, 0) != CR_SUCCESS) {
      break;
    }
  }
  return {};
}

bool OnSelectedPort(McObject* moniker) {
  McObject* bag = nullptr;
  if (innerCapture->bindToStorage(moniker, &bag) != 0 || bag == nullptr) {
    return true;
  }
  char16_t* path = nullptr;
  std::string location;
  if (innerCapture->readStringProperty(bag, u"DevicePath", &path) == 0 && path != nullptr) {
    location = LocationOf(path);
    innerCapture->freeString(path);
  }
  innerCapture->release(bag);
  return location.empty() || location == selected;
}

HResult EnumNext(McObject* enumMoniker, McObject** moniker) {
  for (;;) {
    const HResult result = innerCapture->enumNext(enumMoniker, moniker);
    if (result != 0 || moniker == nullptr || *moniker == nullptr || OnSelectedPort(*moniker)) {
      return result;
    }
    innerCapture->release(*moniker);
    *moniker = nullptr;
  }
}

}  // namespace

void SelectPortLocation(const std::string& location) {
  selected = location;
}

const DeviceTreeOps* PortFilteredDeviceTree(const DeviceTreeOps* inner) {
  if (selected.empty()) {
    return inner;
  }
  innerTree = inner;
  filteredTree = *inner;
  filteredTree.getChild = GetChild;
  filteredTree.getSibling = GetSibling;
  return &filteredTree;
}

const MediaCaptureOps* PortFilteredMediaCapture(const MediaCaptureOps* inner) {
  if (selected.empty()) {
    return inner;
  }
  innerCapture = inner;
  filteredCapture = *inner;
  filteredCapture.enumNext = EnumNext;
  return &filteredCapture;
}

std::string InstanceIdOfDevicePath(const std::u16string& path) {
  std::string text;
  for (char16_t c : path) {
    if (c >= 0x80) {
      return {};
    }
    text.push_back(static_cast<char>(c));
  }
  if (text.rfind("\\\\?\\", 0) != 0) {
    return {};
  }
  text.erase(0, 4);
  const auto guid = text.find("#{");
  if (guid == std::string::npos) {
    return {};
  }
  text.erase(guid);
  for (char& c : text) {
    c = c == '#' ? '\\' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}
