#pragma once
// The device-tree seam: the Configuration Manager calls the presence check walks the tree with.

#include <cstdint>

using DevNode = std::uint32_t;    // a device instance handle
using ConfigRet = std::uint32_t;  // CONFIGRET: 0 is success

inline constexpr ConfigRet CrSuccess = 0x00000000;
inline constexpr ConfigRet CrFailure = 0x00000013;
inline constexpr ConfigRet CrNoSuchDevnode = 0x0000000D;
inline constexpr ConfigRet CrNoSuchValue = 0x00000025;
inline constexpr ConfigRet CrBufferSmall = 0x0000001A;

inline constexpr std::uint32_t CmDrpHardwareId = 2;  // CM_DRP_HARDWAREID: a list of texts
inline constexpr std::uint32_t CmDrpClass = 8;       // CM_DRP_CLASS: the setup-class name

struct DeviceTreeOps {
  // CM_Locate_DevNodeA(node, nullptr, 0): the root of the tree.
  ConfigRet (*locateRoot)(DevNode* node);
  // CM_Get_Child / CM_Get_Sibling / CM_Get_Parent(out, node, 0).
  ConfigRet (*getChild)(DevNode* child, DevNode node);
  ConfigRet (*getSibling)(DevNode* sibling, DevNode node);
  ConfigRet (*getParent)(DevNode* parent, DevNode node);
  // CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, buffer, length, 0).
  ConfigRet (*getRegistryProperty)(DevNode node, std::uint32_t property, void* buffer,
                                   std::uint32_t* length);
};

void InstallDeviceTree(const DeviceTreeOps* ops);
const DeviceTreeOps* DeviceTree();
