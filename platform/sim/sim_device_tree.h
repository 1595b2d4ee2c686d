#pragma once
// The simulated device tree: nodes with a setup class and hardware ids, behind the tree seam.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "seams/device_tree.h"

namespace sim {

inline constexpr ConfigRet CrInvalidPointer = 0x00000003;
inline constexpr ConfigRet CrInvalidDevnode = 0x00000005;
// The registry properties a node answers, by the platform's own codes: CM_DRP_HARDWAREID and
// CM_DRP_CLASS.
inline constexpr std::uint32_t PropertyHardwareId = 0x00000002;
inline constexpr std::uint32_t PropertyClass = 0x00000008;

class DeviceTree {
 public:
  DeviceTree();

  DevNode root() const { return RootNode; }
  // A node under `parent`, after its existing children. No class: the node has no class
  // property; no ids: it has no hardware-id property.
  DevNode addNode(DevNode parent, std::optional<std::string> className,
                  std::vector<std::string> hardwareIds);
  // Only the root is left.
  void clear();
  std::size_t nodeCount() const;

  // A camera with the given id text ("vid_1f3a&pid_5c72") under `hub`: its video function of
  // class "Image" and its audio function of class "MEDIA", both with the first hardware id
  // "USB\VID_1F3A&PID_5C72&REV_0100", in upper case as the platform writes it. Returns the video
  // function.
  DevNode addUsbCamera(DevNode hub, std::string_view usbId);
  // A camera pulled from its port (false) or plugged in again (true): the nodes that carry the
  // hardware id of `usbId` leave their parent, and come back after its other children, as the
  // platform lists a device that has just arrived. A node that left is no node at all.
  void setUsbCameraPresent(std::string_view usbId, bool present);
  // The tree of a work station: root, computer, PCI bus, USB host controller and root hub
  // (returned), a keyboard, a display and a disk; no camera yet.
  DevNode addWorkStation();

  // The seam's operations.
  ConfigRet locateRoot(DevNode* node) const;
  ConfigRet getChild(DevNode* child, DevNode node) const;
  ConfigRet getSibling(DevNode* sibling, DevNode node) const;
  ConfigRet getParent(DevNode* parent, DevNode node) const;
  ConfigRet getRegistryProperty(DevNode node, std::uint32_t property, void* buffer,
                                std::uint32_t* length) const;

 private:
  static constexpr DevNode RootNode = 1;
  struct Node {
    DevNode parent = 0;
    std::vector<DevNode> children;
    std::optional<std::string> className;
    std::vector<std::string> hardwareIds;
    bool present = true;
  };
  const Node* find(DevNode node) const;

  mutable std::mutex mutex_;
  std::vector<Node> nodes_;  // handle n is nodes_[n - 1]
};

// The tree the device-tree seam walks; the process-wide one unless another was made current.
DeviceTree& CurrentDeviceTree();
void SetCurrentDeviceTree(DeviceTree* tree);  // null: back to the process-wide one
// The device-tree seam backed by the current tree, for InstallDeviceTree.
const DeviceTreeOps* DeviceTreeTable();

}  // namespace sim
