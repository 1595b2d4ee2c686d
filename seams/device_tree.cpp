#include "seams/device_tree.h"

#include <atomic>

namespace {
std::atomic<const DeviceTreeOps*> installedDeviceTree{nullptr};
}

void InstallDeviceTree(const DeviceTreeOps* ops) {
  installedDeviceTree.store(ops);
}

const DeviceTreeOps* DeviceTree() {
  return installedDeviceTree.load();
}
