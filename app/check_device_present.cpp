#include "app/check_device_present.h"

#include <cstdio>
#include <cstring>

#include "seams/device_tree.h"

namespace {

constexpr std::uint32_t kValueSize = 260;

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Reads a text property; false when it cannot be read or does not end within the buffer.
bool ReadText(const DeviceTreeOps& tree, DevNode node, std::uint32_t property, char* value) {
  std::uint32_t length = kValueSize;
  if (tree.getRegistryProperty(node, property, value, &length) != CrSuccess) {
    return false;
  }
  return std::memchr(value, 0, kValueSize) != nullptr;
}

bool BeginsWithIgnoringCase(const char* value, const char* prefix, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (value[i] == 0 || LowerAscii(value[i]) != LowerAscii(prefix[i])) {
      return false;
    }
  }
  return true;
}

// One step of the tree; an implementation that reports success without naming another node
// counts as "none", so a broken tree cannot keep the walk on one node forever.
bool Step(ConfigRet (*get)(DevNode*, DevNode), DevNode& node) {
  DevNode next = node;
  if (get(&next, node) != CrSuccess || next == node) {
    return false;
  }
  node = next;
  return true;
}

}  // namespace

int CheckDevicePresent(const char* id) {
  const DeviceTreeOps* tree = DeviceTree();
  DevNode node = 0;
  if (tree == nullptr || id == nullptr || tree->locateRoot(&node) != CrSuccess) {
    return DeviceTreeUnavailable;
  }
  int result = DeviceTreeUnavailable;
  char value[kValueSize];
  char prefix[kValueSize];
  for (;;) {
    if (ReadText(*tree, node, CmDrpClass, value) && std::strcmp(value, "Image") == 0) {
      result = ImageDeviceOtherId;
      // Only the first text of the hardware-id list takes part.
      if (ReadText(*tree, node, CmDrpHardwareId, value)) {
        std::memset(prefix, 0, sizeof prefix);
        std::snprintf(prefix, sizeof prefix, "usb\\%s", id);
        if (BeginsWithIgnoringCase(value, prefix, std::strlen(prefix))) {
          return ImageDevicePresent;
        }
      }
    }
    if (Step(tree->getChild, node) || Step(tree->getSibling, node)) {
      continue;
    }
    for (;;) {
      if (!Step(tree->getParent, node)) {
        return result;
      }
      if (Step(tree->getSibling, node)) {
        break;
      }
    }
  }
}
