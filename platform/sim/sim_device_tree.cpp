#include "platform/sim/sim_device_tree.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>

namespace sim {

namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

}  // namespace

DeviceTree::DeviceTree() {
  clear();
}

void DeviceTree::clear() {
  std::lock_guard lock(mutex_);
  nodes_.clear();
  nodes_.push_back(Node{});  // the root: no class, no hardware ids
}

std::size_t DeviceTree::nodeCount() const {
  std::lock_guard lock(mutex_);
  return nodes_.size();
}

DevNode DeviceTree::addNode(DevNode parent, std::optional<std::string> className,
                            std::vector<std::string> hardwareIds) {
  std::lock_guard lock(mutex_);
  if (parent == 0 || parent > nodes_.size()) {
    parent = RootNode;
  }
  Node node;
  node.parent = parent;
  node.className = std::move(className);
  node.hardwareIds = std::move(hardwareIds);
  nodes_.push_back(std::move(node));
  const auto handle = static_cast<DevNode>(nodes_.size());
  nodes_[parent - 1].children.push_back(handle);
  return handle;
}

DevNode DeviceTree::addUsbCamera(DevNode hub, std::string_view usbId) {
  const std::string id = "USB\\" + Upper(usbId);
  const DevNode video = addNode(hub, "Image", {id + "&REV_0100", id});
  addNode(hub, "MEDIA", {id + "&REV_0100", id});
  return video;
}

void DeviceTree::setUsbCameraPresent(std::string_view usbId, bool present) {
  const std::string id = "USB\\" + Upper(usbId);
  std::lock_guard lock(mutex_);
  for (std::size_t index = 0; index < nodes_.size(); ++index) {
    Node& node = nodes_[index];
    const auto& ids = node.hardwareIds;
    if (node.present == present || std::find(ids.begin(), ids.end(), id) == ids.end()) {
      continue;
    }
    node.present = present;
    auto& brothers = nodes_[node.parent - 1].children;
    const auto handle = static_cast<DevNode>(index + 1);
    if (present) {
      brothers.push_back(handle);
    } else {
      brothers.erase(std::remove(brothers.begin(), brothers.end(), handle), brothers.end());
    }
  }
}

DevNode DeviceTree::addWorkStation() {
  const DevNode computer = addNode(root(), "Computer", {"acpiapic"});
  const DevNode pci = addNode(computer, "System", {"ACPI\\PNP0A08", "*PNP0A08"});
  addNode(pci, "Display", {"PCI\\VEN_8086&DEV_3E92&SUBSYS_86941043&REV_00"});
  addNode(pci, "SCSIAdapter", {"PCI\\VEN_8086&DEV_A352&CC_0106"});
  const DevNode host = addNode(pci, "USB", {"PCI\\VEN_8086&DEV_A36D&SUBSYS_86941043&REV_10"});
  const DevNode hub =
      addNode(host, "USB", {"USB\\ROOT_HUB30&VID8086&PID_A36D&REV0010", "USB\\ROOT_HUB30"});
  addNode(hub, "HIDClass", {"USB\\VID_046D&PID_C31C&REV_6400", "USB\\VID_046D&PID_C31C"});
  addNode(root(), "Volume", {"STORAGE\\Volume"});
  return hub;
}

const DeviceTree::Node* DeviceTree::find(DevNode node) const {
  if (node == 0 || node > nodes_.size() || !nodes_[node - 1].present) {
    return nullptr;
  }
  return &nodes_[node - 1];
}

ConfigRet DeviceTree::locateRoot(DevNode* node) const {
  if (node == nullptr) {
    return CrInvalidPointer;
  }
  *node = RootNode;
  return CrSuccess;
}

ConfigRet DeviceTree::getChild(DevNode* child, DevNode node) const {
  if (child == nullptr) {
    return CrInvalidPointer;
  }
  std::lock_guard lock(mutex_);
  const Node* found = find(node);
  if (found == nullptr) {
    return CrInvalidDevnode;
  }
  if (found->children.empty()) {
    return CrNoSuchDevnode;
  }
  *child = found->children.front();
  return CrSuccess;
}

ConfigRet DeviceTree::getSibling(DevNode* sibling, DevNode node) const {
  if (sibling == nullptr) {
    return CrInvalidPointer;
  }
  std::lock_guard lock(mutex_);
  const Node* found = find(node);
  if (found == nullptr) {
    return CrInvalidDevnode;
  }
  if (found->parent == 0) {
    return CrNoSuchDevnode;
  }
  const auto& brothers = nodes_[found->parent - 1].children;
  const auto at = std::find(brothers.begin(), brothers.end(), node);
  if (at == brothers.end() || at + 1 == brothers.end()) {
    return CrNoSuchDevnode;
  }
  *sibling = *(at + 1);
  return CrSuccess;
}

ConfigRet DeviceTree::getParent(DevNode* parent, DevNode node) const {
  if (parent == nullptr) {
    return CrInvalidPointer;
  }
  std::lock_guard lock(mutex_);
  const Node* found = find(node);
  if (found == nullptr) {
    return CrInvalidDevnode;
  }
  if (found->parent == 0) {
    return CrNoSuchDevnode;
  }
  *parent = found->parent;
  return CrSuccess;
}

ConfigRet DeviceTree::getRegistryProperty(DevNode node, std::uint32_t property, void* buffer,
                                          std::uint32_t* length) const {
  if (length == nullptr) {
    return CrInvalidPointer;
  }
  std::lock_guard lock(mutex_);
  const Node* found = find(node);
  if (found == nullptr) {
    return CrInvalidDevnode;
  }
  std::string value;  // with its terminating zeros
  if (property == PropertyClass && found->className) {
    value = *found->className;
    value.push_back('\0');
  } else if (property == PropertyHardwareId && !found->hardwareIds.empty()) {
    for (const std::string& id : found->hardwareIds) {
      value += id;
      value.push_back('\0');
    }
    value.push_back('\0');
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

namespace {

std::atomic<DeviceTree*> current{nullptr};

DeviceTree& ProcessTree() {
  static DeviceTree tree;
  return tree;
}

const DeviceTreeOps table{
    .locateRoot = [](DevNode* node) { return CurrentDeviceTree().locateRoot(node); },
    .getChild = [](DevNode* child,
                   DevNode node) { return CurrentDeviceTree().getChild(child, node); },
    .getSibling = [](DevNode* sibling,
                     DevNode node) { return CurrentDeviceTree().getSibling(sibling, node); },
    .getParent = [](DevNode* parent,
                    DevNode node) { return CurrentDeviceTree().getParent(parent, node); },
    .getRegistryProperty =
        [](DevNode node, std::uint32_t property, void* buffer, std::uint32_t* length) {
          return CurrentDeviceTree().getRegistryProperty(node, property, buffer, length);
        },
};

}  // namespace

DeviceTree& CurrentDeviceTree() {
  DeviceTree* tree = current.load(std::memory_order_acquire);
  return tree != nullptr ? *tree : ProcessTree();
}

void SetCurrentDeviceTree(DeviceTree* tree) {
  current.store(tree, std::memory_order_release);
}

const DeviceTreeOps* DeviceTreeTable() {
  return &table;
}

}  // namespace sim
