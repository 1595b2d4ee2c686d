// Choosing one camera by its USB port: the device tree and the capture devices show only the
// camera on the chosen port, and the station's watch finds the ports that hold a camera.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/check_device_present.h"
#include "seams/device_tree.h"
#include "platform/linux/sysfs_device_tree.h"
#include "platform/linux/usb_camera_watch.h"
#include "platform/linux/usb_port.h"
#include "platform/linux/v4l2_media_capture.h"
#include "tests/linux/sysfs_fixture.h"

namespace {

using linuxtest::SysfsFixture;

// A camera with the given USB ids on `port` below the root hub of bus 1, with its VideoControl
// interface bound to uvcvideo and a capture node.
void AddCameraOn(SysfsFixture& fixture, const std::string& port, const std::string& vid,
                 const std::string& pid, int node) {
  fixture.AddDevice("usb1", port,
                    {{"idVendor", vid},
                     {"idProduct", pid},
                     {"bcdDevice", "0100"},
                     {"bDeviceClass", "ef"},
                     {"bNumInterfaces", " 2"}});
  fixture.AddInterface(
      port, port + ":1.0",
      {{"bInterfaceNumber", "00"}, {"bInterfaceClass", "0e"}, {"bInterfaceSubClass", "01"}},
      "uvcvideo");
  fixture.AddInterface(
      port, port + ":1.1",
      {{"bInterfaceNumber", "01"}, {"bInterfaceClass", "0e"}, {"bInterfaceSubClass", "02"}},
      "uvcvideo");
  fixture.AddVideoNode(node, port + ":1.0");
}

class UsbPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture.AddDevice("", "usb1",
                      {{"idVendor", "1d6b"}, {"idProduct", "0002"}, {"bDeviceClass", "09"}});
    fixture.AddInterface("usb1", "1-0:1.0", {{"bInterfaceNumber", "00"}, {"bInterfaceClass", "09"}},
                         "hub");
    AddCameraOn(fixture, "1-1", "1f3a", "5c72", 0);
    AddCameraOn(fixture, "1-2", "0c45", "6320", 2);
    AddCameraOn(fixture, "1-3", "046d", "0825", 4);  // another maker's camera
    linuxplat::SetSysfsRoot(fixture.Root());
    linuxplat::SetV4l2Roots(fixture.Root(), fixture.DevRoot());
    InstallDeviceTree(linuxplat::SysfsDeviceTreeOps());
  }
  void TearDown() override {
    linuxplat::SelectUsbPort("");
    linuxplat::SetSysfsRoot("/sys");
    linuxplat::SetV4l2Roots("/sys", "/dev");
    InstallDeviceTree(nullptr);
  }
  std::vector<std::string> ListedPorts() {
    std::vector<std::string> ports;
    for (const auto& camera : linuxplat::ListV4l2Cameras()) {
      ports.push_back(camera.busPort + " " + camera.node.substr(camera.node.rfind('/') + 1));
    }
    return ports;
  }

  SysfsFixture fixture;
};

TEST_F(UsbPortTest, WithoutAPortEveryCameraIsListed) {
  EXPECT_EQ(CheckDevicePresent("vid_1f3a&pid_5c72"), ImageDevicePresent);
  EXPECT_EQ(CheckDevicePresent("vid_0c45&pid_6320"), ImageDevicePresent);
  EXPECT_EQ(ListedPorts(), (std::vector<std::string>{"1-1 video0", "1-2 video2", "1-3 video4"}));
}

TEST_F(UsbPortTest, AChosenPortShowsOnlyItsCamera) {
  linuxplat::SelectUsbPort("1-2");
  // An imaging device is there, but not one with the id of the camera on 1-1.
  EXPECT_EQ(CheckDevicePresent("vid_1f3a&pid_5c72"), ImageDeviceOtherId);
  EXPECT_EQ(CheckDevicePresent("vid_0c45&pid_6320"), ImageDevicePresent);
  EXPECT_EQ(ListedPorts(), std::vector<std::string>{"1-2 video2"});
}

TEST_F(UsbPortTest, APortWithNoCameraShowsNone) {
  linuxplat::SelectUsbPort("1-1.4");
  EXPECT_EQ(CheckDevicePresent("vid_1f3a&pid_5c72"), DeviceTreeUnavailable);
  EXPECT_EQ(CheckDevicePresent("vid_0c45&pid_6320"), DeviceTreeUnavailable);
  EXPECT_TRUE(ListedPorts().empty());
}

TEST_F(UsbPortTest, TheWatchFindsThePortsWithEitherIdOnly) {
  EXPECT_EQ(linuxplat::CameraPorts(fixture.Root()), (std::vector<std::string>{"1-1", "1-2"}));
  EXPECT_TRUE(linuxplat::CameraPorts(fixture.Root() + "/absent").empty());
}

TEST_F(UsbPortTest, TheUnitsIdentityIsReadFromItsDeviceAlone) {
  const std::string serial = "RF2612A0042\n";  // as sysfs writes it
  fixture.WriteDeviceFile("1-2", "serial", std::vector<std::uint8_t>(serial.begin(), serial.end()));
  struct Case {
    const char* port;
    std::optional<std::string> serial;  // nullopt: none
    const char* usbId;                  // "": no device on the port
  } cases[] = {{"1-2", "RF2612A0042", "0c45:6320"},
               {"1-1", std::nullopt, "1f3a:5c72"},
               {"1-1.4", std::nullopt, ""},
               {"../1-2", std::nullopt, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    const auto unit = linuxplat::UsbUnitIdentity(c.port, fixture.Root());
    ASSERT_EQ(unit.has_value(), *c.usbId != 0);
    if (unit) {
      EXPECT_EQ(unit->serial, c.serial);
      EXPECT_EQ(unit->usbId, c.usbId);
      EXPECT_EQ(unit->bcdDevice, 0x0100);
    }
  }
}

TEST(UsbPortNames, BusPortPathsOnly) {
  for (const char* good : {"1-1", "3-1.2", "12-4.1.3", "1-1.2.3.4.5.6.7"}) {
    EXPECT_TRUE(linuxplat::IsUsbPortName(good)) << good;
  }
  for (const char* bad : {"", "usb1", "1-1:1.0", "1-", "-1", "1-1.", "1-1..2", "1-a", "a-1",
                          "1-1.2.3.4.5.6.7.8", "1-1/../..", "1-1 "}) {
    EXPECT_FALSE(linuxplat::IsUsbPortName(bad)) << bad;
  }
}

}  // namespace
