// A stand-in cfgmgr32.dll for the Wine tests: the Configuration Manager calls the presence check
// makes, served from the simulator's device tree (Wine's own cfgmgr32 has no tree). Loaded from
// the program's directory with WINEDLLOVERRIDES=cfgmgr32=n.
//
// Environment: REFLASH_FIXTURE_TREE (camera | none), REFLASH_FIXTURE_LOG (one line per walk, with
// whether the update dialog was showing at that moment), REFLASH_FIXTURE_PORT (the camera's port
// location; none without it), REFLASH_FIXTURE_SERIAL (the serial number in the instance id of
// the camera's nodes; without it the instance part is one Windows makes up, holding '&').

#include <windows.h>
#include <cfgmgr32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "product/product.h"
#include "tests/win32/test_camera_scenario.h"

namespace {

const DeviceTreeOps* Tree() {
  // Made once and kept for the life of the process.
  static const DeviceTreeOps* tree = [] {
    const char* name = std::getenv("REFLASH_FIXTURE_TREE");
    return ScenarioDeviceTree(name != nullptr ? name : "camera");
  }();
  return tree;
}

// Every presence check starts with the root: one line per walk shows the attempts.
void LogWalk() {
  const char* path = std::getenv("REFLASH_FIXTURE_LOG");
  if (path == nullptr || path[0] == '\0') {
    return;
  }
  HWND dialog = FindWindowA(nullptr, DialogCaption);
  const bool shown = dialog != nullptr && IsWindowVisible(dialog) != FALSE;
  if (std::FILE* log = std::fopen(path, "a")) {
    std::fprintf(log, "locate dialog=%s\n", shown ? "shown" : "hidden");
    std::fclose(log);
  }
}

}  // namespace

extern "C" {

CONFIGRET WINAPI StandInLocateDevNodeA(DEVINST* node, const char* id, ULONG flags) {
  // Only the root is in this tree; a device's own instance id is not.
  if (node == nullptr || id != nullptr || flags != 0) {
    return CrFailure;
  }
  LogWalk();
  DevNode root = 0;
  const ConfigRet cr = Tree()->locateRoot(&root);
  *node = root;
  return cr;
}

CONFIGRET WINAPI StandInGetChild(DEVINST* child, DEVINST node, ULONG) {
  DevNode out = 0;
  const ConfigRet cr = Tree()->getChild(&out, node);
  *child = out;
  return cr;
}

CONFIGRET WINAPI StandInGetSibling(DEVINST* sibling, DEVINST node, ULONG) {
  DevNode out = 0;
  const ConfigRet cr = Tree()->getSibling(&out, node);
  *sibling = out;
  return cr;
}

CONFIGRET WINAPI StandInGetParent(DEVINST* parent, DEVINST node, ULONG) {
  DevNode out = 0;
  const ConfigRet cr = Tree()->getParent(&out, node);
  *parent = out;
  return cr;
}

CONFIGRET WINAPI StandInGetDevNodeRegistryPropertyA(DEVINST node, ULONG property, ULONG* type,
                                                    void* buffer, ULONG* length, ULONG) {
  if (length == nullptr) {
    return CrFailure;
  }
  if (type != nullptr) {
    *type = property == CM_DRP_HARDWAREID ? REG_MULTI_SZ : REG_SZ;
  }
  // REFLASH_FIXTURE_PORT: the port location of the camera's nodes (those with a USB id).
  const char* port = std::getenv("REFLASH_FIXTURE_PORT");
  if (property == CM_DRP_LOCATION_INFORMATION && port != nullptr) {
    char ids[512] = {};
    std::uint32_t idsLength = sizeof ids - 1;
    if (Tree()->getRegistryProperty(node, CmDrpHardwareId, ids, &idsLength) != 0 ||
        std::strncmp(ids, "USB\\VID_", 8) != 0) {
      return CR_NO_SUCH_VALUE;
    }
    const ULONG required = static_cast<ULONG>(std::strlen(port) + 1);
    if (buffer == nullptr || *length < required) {
      *length = required;
      return CR_BUFFER_SMALL;
    }
    std::memcpy(buffer, port, required);
    *length = required;
    return CR_SUCCESS;
  }
  std::uint32_t len = *length;
  const ConfigRet cr = Tree()->getRegistryProperty(node, property, buffer, &len);
  *length = len;
  return cr;
}

// The instance id of a camera's node: its second hardware id (the one without the revision)
// and the serial part.
CONFIGRET WINAPI StandInGetDeviceIdA(DEVINST node, char* buffer, ULONG length, ULONG) {
  char ids[512] = {};
  std::uint32_t idsLength = sizeof ids - 1;
  if (buffer == nullptr ||
      Tree()->getRegistryProperty(node, CmDrpHardwareId, ids, &idsLength) != 0) {
    return CR_NO_SUCH_DEVNODE;
  }
  const char* second = ids + std::strlen(ids) + 1;
  const char* serial = std::getenv("REFLASH_FIXTURE_SERIAL");
  const int written = std::snprintf(buffer, length, "%s\\%s", second[0] != '\0' ? second : ids,
                                    serial != nullptr ? serial : "6&2C3E1A7&0&2");
  return written >= 0 && static_cast<ULONG>(written) < length ? CR_SUCCESS : CR_BUFFER_SMALL;
}

}  // extern "C"
