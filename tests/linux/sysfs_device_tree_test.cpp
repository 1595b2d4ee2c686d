// The sysfs device tree: its nodes, classes and hardware ids, and the presence check over it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/check_device_present.h"
#include "seams/device_tree.h"
#include "platform/linux/sysfs_device_tree.h"
#include "tests/linux/sysfs_fixture.h"

namespace {

using linuxtest::AddCamera;
using linuxtest::SysfsFixture;

struct Property {
  std::uint32_t result = 0;
  std::string value;
  std::uint32_t length = 0;
};

class SysfsDeviceTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    linuxplat::SetSysfsRoot(fixture.Root());
    InstallDeviceTree(linuxplat::SysfsDeviceTreeOps());
  }
  void TearDown() override {
    linuxplat::SetSysfsRoot("/sys");
    InstallDeviceTree(nullptr);
  }

  Property Read(DevNode node, std::uint32_t property, std::uint32_t room = 260) {
    std::vector<char> buffer(room + 1, '#');
    Property out;
    out.length = room;
    out.result = ops->getRegistryProperty(node, property, buffer.data(), &out.length);
    if (out.result == 0) {
      out.value.assign(buffer.data(), out.length);
    }
    return out;
  }

  // "class|first hardware id" for every node, in the order the presence check visits them.
  std::vector<std::string> Walk() {
    std::vector<std::string> seen;
    DevNode node = 0;
    if (ops->locateRoot(&node) != 0) {
      return seen;
    }
    std::vector<DevNode> stack{node};
    while (!stack.empty()) {
      node = stack.back();
      stack.pop_back();
      const Property cls = Read(node, 8);
      const Property ids = Read(node, 2);
      seen.push_back((cls.result == 0 ? std::string(cls.value.c_str()) : "-") + "|" +
                     (ids.result == 0 ? std::string(ids.value.c_str()) : "-"));
      std::vector<DevNode> children;
      DevNode child = 0;
      for (auto r = ops->getChild(&child, node); r == 0; r = ops->getSibling(&child, child)) {
        children.push_back(child);
      }
      stack.insert(stack.end(), children.rbegin(), children.rend());
    }
    return seen;
  }

  SysfsFixture fixture;
  const DeviceTreeOps* ops = linuxplat::SysfsDeviceTreeOps();
};

TEST_F(SysfsDeviceTreeTest, CameraNodesCarryWindowsClassesAndIds) {
  AddCamera(fixture);
  EXPECT_EQ(Walk(), (std::vector<std::string>{
                        "-|-",
                        "USB|USB\\VID_1D6B&PID_0002&REV_0601",
                        "USB|USB\\VID_1D6B&PID_0002&REV_0601&MI_00",
                        "USB|USB\\VID_1F3A&PID_5C72&REV_0100",
                        "Image|USB\\VID_1F3A&PID_5C72&REV_0100&MI_00",
                        "-|USB\\VID_1F3A&PID_5C72&REV_0100&MI_01",
                        "MEDIA|USB\\VID_1F3A&PID_5C72&REV_0100&MI_02",
                        "MEDIA|USB\\VID_1F3A&PID_5C72&REV_0100&MI_03",
                    }));
}

TEST_F(SysfsDeviceTreeTest, DevicesFollowBusThenPortPathAndOneInterfaceDevicesTakeItsClass) {
  const linuxtest::Attributes hub{
      {"idVendor", "1d6b"}, {"idProduct", "0002"}, {"bcdDevice", "0601"}, {"bDeviceClass", "09"}};
  fixture.AddDevice("", "usb2", hub);
  fixture.AddDevice("", "usb1", hub);
  fixture.AddDevice("usb2", "2-1", {{"idVendor", "abcd"}, {"idProduct", "0001"}});
  fixture.AddDevice("usb1", "1-10", {{"idVendor", "abcd"}, {"idProduct", "0002"}});
  fixture.AddDevice("usb1", "1-2", {{"idVendor", "abcd"}, {"idProduct", "0003"}});
  fixture.AddDevice("usb1", "1-1", {{"idVendor", "abcd"}, {"idProduct", "0004"}});
  fixture.AddDevice("1-1", "1-1.2",
                    {{"idVendor", "abcd"}, {"idProduct", "0005"}, {"bNumInterfaces", " 1"}});
  fixture.AddInterface("1-1.2", "1-1.2:1.0",
                       {{"bInterfaceNumber", "00"}, {"bInterfaceClass", "03"}}, "usbhid");
  EXPECT_EQ(Walk(), (std::vector<std::string>{
                        "-|-",
                        "USB|USB\\VID_1D6B&PID_0002&REV_0601",
                        "-|USB\\VID_ABCD&PID_0004",
                        "HIDClass|USB\\VID_ABCD&PID_0005",
                        "HIDClass|USB\\VID_ABCD&PID_0005&MI_00",
                        "-|USB\\VID_ABCD&PID_0003",
                        "-|USB\\VID_ABCD&PID_0002",
                        "USB|USB\\VID_1D6B&PID_0002&REV_0601",
                        "-|USB\\VID_ABCD&PID_0001",
                    }));
}

TEST_F(SysfsDeviceTreeTest, PropertiesReadAsTheConfigurationManagerGivesThem) {
  AddCamera(fixture);
  DevNode root = 0;
  DevNode hub = 0;
  DevNode camera = 0;
  DevNode videoControl = 0;
  ASSERT_EQ(ops->locateRoot(&root), 0u);
  ASSERT_EQ(ops->getChild(&hub, root), 0u);
  ASSERT_EQ(ops->getSibling(&camera, hub), 0u);
  ASSERT_EQ(ops->getChild(&videoControl, camera), 0u);

  const std::string interfaceIds(
      "USB\\VID_1F3A&PID_5C72&REV_0100&MI_00\0"
      "USB\\VID_1F3A&PID_5C72&MI_00\0\0",
      66);
  const std::string deviceIds("USB\\VID_1F3A&PID_5C72&REV_0100\0USB\\VID_1F3A&PID_5C72\0\0", 54);
  struct Case {
    DevNode node;
    std::uint32_t property;
    std::uint32_t room;
    std::uint32_t result;
    std::uint32_t length;
    std::string value;
  };
  const Case cases[] = {
      {videoControl, 2, 260, 0x00, 66, interfaceIds},
      {camera, 2, 260, 0x00, 54, deviceIds},
      {videoControl, 8, 260, 0x00, 6, std::string("Image\0", 6)},
      {videoControl, 8, 6, 0x00, 6, std::string("Image\0", 6)},
      {videoControl, 8, 5, 0x1A, 6, ""},    // one byte short: the length needed comes back
      {videoControl, 2, 65, 0x1A, 66, ""},  //
      {root, 8, 260, 0x25, 260, ""},        // the root has no class and no ids
      {root, 2, 260, 0x25, 260, ""},        //
      {camera, 9, 260, 0x25, 260, ""},      // a property this tree does not hold
  };
  for (const Case& c : cases) {
    const Property got = Read(c.node, c.property, c.room);
    EXPECT_EQ(got.result, c.result) << "node " << c.node << " property " << c.property;
    EXPECT_EQ(got.length, c.length) << "node " << c.node << " property " << c.property;
    EXPECT_EQ(got.value, c.value) << "node " << c.node << " property " << c.property;
  }
  std::uint32_t length = 260;
  EXPECT_EQ(ops->getRegistryProperty(videoControl, 8, nullptr, &length), 0x1Au);
  EXPECT_EQ(length, 6u);
  DevNode none = 0;
  EXPECT_NE(ops->getParent(&none, root), 0u);
  EXPECT_NE(ops->getChild(&none, videoControl), 0u);
}

TEST_F(SysfsDeviceTreeTest, PresenceCheckFindsOnlyTheVideoFunctionByItsFirstId) {
  struct Case {
    const char* name;
    const char* vcDriver;  // the driver bound to the VideoControl interface
    const char* id;
    int expected;
  };
  const Case cases[] = {
      {"camera on the video driver", "uvcvideo", "vid_1f3a&pid_5c72", 2},
      {"id only in the second hardware id", "uvcvideo", "vid_1f3a&pid_5c72&mi_00", 1},
      {"first id with its revision", "uvcvideo", "vid_1f3a&pid_5c72&rev_0100&mi_00", 2},
      {"another camera's id", "uvcvideo", "vid_0c45&pid_6320", 1},
      {"video function bound elsewhere, sound left", "usbfs", "vid_1f3a&pid_5c72", 0},
      {"video function unbound, sound left", "", "vid_1f3a&pid_5c72", 0},
  };
  for (const Case& c : cases) {
    SysfsFixture own;
    AddCamera(own, c.vcDriver);
    linuxplat::SetSysfsRoot(own.Root());
    EXPECT_EQ(CheckDevicePresent(c.id), c.expected) << c.name;
  }
  linuxplat::SetSysfsRoot(fixture.Root() + "/absent");
  EXPECT_EQ(CheckDevicePresent("vid_1f3a&pid_5c72"), 0) << "no sysfs";
}

}  // namespace
