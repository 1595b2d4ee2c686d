// CheckDevicePresent walking the simulated device tree.

#include <gtest/gtest.h>

#include <string>

#include "app/check_device_present.h"
#include "seams/device_tree.h"
#include "platform/sim/sim_device_tree.h"

namespace {

constexpr const char* kId = "vid_1f3a&pid_5c72";

class CheckDevicePresentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::SetCurrentDeviceTree(&tree);
    InstallDeviceTree(sim::DeviceTreeTable());
    hub = tree.addWorkStation();
  }
  void TearDown() override {
    sim::SetCurrentDeviceTree(nullptr);
    InstallDeviceTree(nullptr);
  }

  sim::DeviceTree tree;
  DevNode hub = 0;
};

// The walk asks for the properties by the platform's codes, which the tree answers on its own.
TEST_F(CheckDevicePresentTest, PropertyCodesAreThePlatformsHardwareIdAndClass) {
  EXPECT_EQ(CmDrpHardwareId, 0x00000002u);  // CM_DRP_HARDWAREID
  EXPECT_EQ(CmDrpClass, 0x00000008u);       // CM_DRP_CLASS
}

TEST_F(CheckDevicePresentTest, NoTreeIsZero) {
  InstallDeviceTree(nullptr);
  EXPECT_EQ(CheckDevicePresent(kId), 0);
}

TEST_F(CheckDevicePresentTest, NoImageNodeIsZero) {
  EXPECT_EQ(CheckDevicePresent(kId), 0);
}

TEST_F(CheckDevicePresentTest, CameraWithUpperCaseIdAndRevisionIsPresent) {
  tree.addUsbCamera(hub, kId);
  EXPECT_EQ(CheckDevicePresent(kId), 2);
}

TEST_F(CheckDevicePresentTest, ImageDeviceWithAnotherIdIsOne) {
  tree.addUsbCamera(hub, "vid_046d&pid_0825");
  EXPECT_EQ(CheckDevicePresent(kId), 1);
}

TEST_F(CheckDevicePresentTest, ClassMustBeImageInExactCase) {
  tree.addNode(hub, "image", {"USB\\VID_1F3A&PID_5C72&REV_0100"});
  tree.addNode(hub, "Imaging", {"USB\\VID_1F3A&PID_5C72&REV_0100"});
  tree.addNode(hub, "Image ", {"USB\\VID_1F3A&PID_5C72&REV_0100"});
  EXPECT_EQ(CheckDevicePresent(kId), 0);
}

TEST_F(CheckDevicePresentTest, MatchingIdOfAnotherClassDoesNotCount) {
  tree.addNode(hub, "MEDIA", {"USB\\VID_1F3A&PID_5C72&REV_0100"});
  EXPECT_EQ(CheckDevicePresent(kId), 0);
}

TEST_F(CheckDevicePresentTest, OnlyTheFirstHardwareIdTakesPart) {
  tree.addNode(hub, "Image", {"USB\\VID_046D&PID_0825&REV_0100", "USB\\VID_1F3A&PID_5C72"});
  EXPECT_EQ(CheckDevicePresent(kId), 1);
}

TEST_F(CheckDevicePresentTest, IdMustFollowTheUsbPrefix) {
  tree.addNode(hub, "Image", {"USB\\XVID_1F3A&PID_5C72"});
  tree.addNode(hub, "Image", {"HID\\VID_1F3A&PID_5C72"});
  tree.addNode(hub, "Image", {"USB\\VID_1F3A&PID_5C7"});
  EXPECT_EQ(CheckDevicePresent(kId), 1);
}

TEST_F(CheckDevicePresentTest, NodeWithoutPropertiesIsPassedOver) {
  tree.addNode(hub, std::nullopt, {});
  tree.addNode(hub, "Image", {});
  EXPECT_EQ(CheckDevicePresent(kId), 1);
}

TEST_F(CheckDevicePresentTest, PropertyLongerThanTheBufferDoesNotMatch) {
  std::string longId = "USB\\VID_1F3A&PID_5C72&REV_0100&";
  longId.resize(300, 'X');
  tree.addNode(hub, "Image", {longId});
  EXPECT_EQ(CheckDevicePresent(kId), 1);
}

TEST_F(CheckDevicePresentTest, WalkReachesEveryNodeClimbingBackUp) {
  // Deep under one branch, then a camera in a sibling of an ancestor three levels up.
  DevNode deep = tree.addNode(hub, "USB", {"USB\\ROOT_HUB"});
  for (int level = 0; level < 3; ++level) {
    deep = tree.addNode(deep, "USB", {"USB\\HUB"});
  }
  tree.addNode(deep, "Image", {"USB\\VID_046D&PID_0825"});
  const DevNode later = tree.addNode(tree.root(), "System", {"ACPI\\LATER"});
  const DevNode branch = tree.addNode(later, "USB", {"USB\\ROOT_HUB"});
  tree.addUsbCamera(branch, "vid_0c45&pid_6320");
  EXPECT_EQ(CheckDevicePresent("vid_0c45&pid_6320"), 2);
  EXPECT_EQ(CheckDevicePresent(kId), 1);
}

TEST_F(CheckDevicePresentTest, TreeOfOnlyTheRootIsZero) {
  sim::DeviceTree bare;
  sim::SetCurrentDeviceTree(&bare);
  // Only the root exists: nothing to find, and the walk ends.
  EXPECT_EQ(CheckDevicePresent(kId), 0);
}

}  // namespace
