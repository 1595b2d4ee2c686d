#include "platform/win32/win32_device_tree.h"

#include <windows.h>
#include <cfgmgr32.h>

namespace {

ConfigRet LocateRoot(DevNode* node) {
  DEVINST root = 0;
  const CONFIGRET cr = CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL);
  *node = root;
  return cr;
}

// Some Configuration Manager builds (Wine's stubs) report success without writing a node. The out
// value starts as the node asked about, which is never its own child, sibling or parent, so an
// unwritten answer reads as "no such node" instead of a walk that never ends.
ConfigRet Checked(CONFIGRET cr, DEVINST from, DEVINST found, DevNode* out) {
  if (cr == CR_SUCCESS && found == from) {
    return CR_NO_SUCH_DEVNODE;
  }
  *out = found;
  return cr;
}

ConfigRet GetChild(DevNode* child, DevNode node) {
  DEVINST found = node;
  const CONFIGRET cr = CM_Get_Child(&found, node, 0);
  return Checked(cr, node, found, child);
}

ConfigRet GetSibling(DevNode* sibling, DevNode node) {
  DEVINST found = node;
  const CONFIGRET cr = CM_Get_Sibling(&found, node, 0);
  return Checked(cr, node, found, sibling);
}

ConfigRet GetParent(DevNode* parent, DevNode node) {
  DEVINST found = node;
  const CONFIGRET cr = CM_Get_Parent(&found, node, 0);
  return Checked(cr, node, found, parent);
}

ConfigRet GetRegistryProperty(DevNode node, std::uint32_t property, void* buffer,
                              std::uint32_t* length) {
  ULONG len = *length;
  const CONFIGRET cr = CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, buffer, &len, 0);
  *length = len;
  return cr;
}

const DeviceTreeOps win32Tree{
    .locateRoot = LocateRoot,
    .getChild = GetChild,
    .getSibling = GetSibling,
    .getParent = GetParent,
    .getRegistryProperty = GetRegistryProperty,
};

}  // namespace

const DeviceTreeOps* Win32DeviceTreeOps() {
  return &win32Tree;
}
