// The simulated device tree and its Configuration Manager conventions.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/simulator.h"

namespace {

// The platform's registry property codes: CM_DRP_HARDWAREID and CM_DRP_CLASS.
constexpr std::uint32_t kHardwareId = 2;
constexpr std::uint32_t kClass = 8;

// A class property as the buffer holds it, terminating zero included.
std::string ClassText(const char* name) {
  return std::string(name) + '\0';
}

class DeviceTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::ResetSimulator(); }
  void TearDown() override { sim::ResetSimulator(); }

  const DeviceTreeOps& ops() { return *sim::DeviceTreeTable(); }

  std::string property(DevNode node, std::uint32_t which) {
    char buffer[260];
    std::uint32_t length = sizeof buffer;
    if (ops().getRegistryProperty(node, which, buffer, &length) != CrSuccess) {
      return "<none>";
    }
    return std::string(buffer, length);
  }

  // Every node, parents before children, through the seam only.
  std::vector<DevNode> preOrder() {
    std::vector<DevNode> order;
    DevNode node = 0;
    if (ops().locateRoot(&node) != CrSuccess) {
      return order;
    }
    for (;;) {
      order.push_back(node);
      DevNode next = 0;
      if (ops().getChild(&next, node) == CrSuccess || ops().getSibling(&next, node) == CrSuccess) {
        node = next;
        continue;
      }
      for (;;) {
        if (ops().getParent(&next, node) != CrSuccess) {
          return order;
        }
        node = next;
        if (ops().getSibling(&next, node) == CrSuccess) {
          node = next;
          break;
        }
      }
    }
  }
};

TEST_F(DeviceTreeTest, ProductMachineShowsCameraAndItsSoundFunctionWithTheSameId) {
  sim::BuildOneCameraWorld();
  std::vector<std::string> imaging;
  std::vector<std::string> media;
  for (DevNode node : preOrder()) {
    const std::string cls = property(node, kClass);
    if (cls == ClassText("Image")) {
      imaging.push_back(property(node, kHardwareId));
    } else if (cls == ClassText("MEDIA")) {
      media.push_back(property(node, kHardwareId));
    }
  }
  const std::string first = "USB\\VID_1F3A&PID_5C72&REV_0100";
  const std::string ids = first + '\0' + "USB\\VID_1F3A&PID_5C72" + '\0' + '\0';
  EXPECT_EQ(imaging, std::vector<std::string>{ids});
  EXPECT_EQ(media, std::vector<std::string>{ids});
}

TEST_F(DeviceTreeTest, WalkVisitsEveryNodeOnceParentsFirst) {
  sim::DeviceTree& tree = sim::CurrentDeviceTree();
  const DevNode a = tree.addNode(tree.root(), "A", {});
  const DevNode a1 = tree.addNode(a, "A1", {});
  const DevNode a2 = tree.addNode(a, "A2", {});
  const DevNode a1x = tree.addNode(a1, "A1x", {});
  const DevNode b = tree.addNode(tree.root(), "B", {});
  EXPECT_EQ(preOrder(), (std::vector<DevNode>{tree.root(), a, a1, a1x, a2, b}));
}

TEST_F(DeviceTreeTest, WorkStationWithoutCameraHasNoImagingNode) {
  sim::WorldOptions options;
  options.cameraPresent = false;
  EXPECT_EQ(sim::BuildOneCameraWorld(options), nullptr);
  EXPECT_EQ(sim::CurrentFramework().deviceCount(), 0u);
  for (DevNode node : preOrder()) {
    EXPECT_NE(property(node, kClass), ClassText("Image"));
  }
  EXPECT_GT(preOrder().size(), 5u);
}

TEST_F(DeviceTreeTest, HardwareIdsAreUpperCaseWhateverTheIdText) {
  sim::DeviceTree& tree = sim::CurrentDeviceTree();
  const DevNode camera = tree.addUsbCamera(tree.root(), "vid_0c45&pid_6320");
  EXPECT_EQ(property(camera, kClass), ClassText("Image"));
  const std::string first = "USB\\VID_0C45&PID_6320&REV_0100";
  EXPECT_EQ(property(camera, kHardwareId).substr(0, first.size() + 1), first + '\0');
}

TEST_F(DeviceTreeTest, TooSmallBufferReportsTheLengthNeeded) {
  sim::DeviceTree& tree = sim::CurrentDeviceTree();
  const DevNode node = tree.addNode(tree.root(), "Image", {"USB\\X"});
  char buffer[4] = {'?', '?', '?', '?'};
  std::uint32_t length = sizeof buffer;
  EXPECT_EQ(ops().getRegistryProperty(node, kClass, buffer, &length), CrBufferSmall);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(buffer[0], '?');
  length = 0;
  EXPECT_EQ(ops().getRegistryProperty(node, kHardwareId, nullptr, &length), CrBufferSmall);
  EXPECT_EQ(length, 7u);
  char exact[7];
  length = 7;
  EXPECT_EQ(ops().getRegistryProperty(node, kHardwareId, exact, &length), CrSuccess);
  EXPECT_EQ(std::memcmp(exact, "USB\\X\0\0", 7), 0);
}

TEST_F(DeviceTreeTest, AbsentPropertiesAndNodesAreReportedAsSuch) {
  sim::DeviceTree& tree = sim::CurrentDeviceTree();
  const DevNode bare = tree.addNode(tree.root(), std::nullopt, {});
  char buffer[16];
  std::uint32_t length = sizeof buffer;
  EXPECT_EQ(ops().getRegistryProperty(bare, kClass, buffer, &length), CrNoSuchValue);
  EXPECT_EQ(ops().getRegistryProperty(bare, kHardwareId, buffer, &length), CrNoSuchValue);
  EXPECT_EQ(ops().getRegistryProperty(tree.root(), kClass, buffer, &length), CrNoSuchValue);
  EXPECT_EQ(ops().getRegistryProperty(999, kClass, buffer, &length), sim::CrInvalidDevnode);
  DevNode out = 0;
  EXPECT_EQ(ops().getParent(&out, tree.root()), CrNoSuchDevnode);
  EXPECT_EQ(ops().getSibling(&out, tree.root()), CrNoSuchDevnode);
  EXPECT_EQ(ops().getChild(&out, bare), CrNoSuchDevnode);
  EXPECT_EQ(ops().getSibling(&out, bare), CrNoSuchDevnode);
  EXPECT_EQ(ops().getChild(&out, 0), sim::CrInvalidDevnode);
}

TEST_F(DeviceTreeTest, TableFollowsTheCurrentTree) {
  sim::DeviceTree own;
  own.addNode(own.root(), "Image", {"USB\\VID_1F3A&PID_5C72"});
  sim::SetCurrentDeviceTree(&own);
  EXPECT_EQ(preOrder().size(), 2u);
  sim::SetCurrentDeviceTree(nullptr);
  EXPECT_EQ(preOrder().size(), 1u);
}

}  // namespace
