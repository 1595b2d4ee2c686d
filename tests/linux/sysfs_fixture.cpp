#include "tests/linux/sysfs_fixture.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

namespace linuxtest {

namespace fs = std::filesystem;

namespace {

void WriteText(const fs::path& file, const std::string& text) {
  std::ofstream(file) << text << '\n';
}

}  // namespace

SysfsFixture::SysfsFixture() {
  std::string pattern = (fs::temp_directory_path() / "reflash-sysfs-XXXXXX").string();
  root_ = mkdtemp(pattern.data());
  fs::create_directories(root_ / "bus/usb/devices");
  fs::create_directories(root_ / "bus/usb/drivers");
  fs::create_directories(root_ / "class/video4linux");
  fs::create_directories(root_ / "devices/pci0000:00");
  fs::create_directories(root_ / "dev");
}

SysfsFixture::~SysfsFixture() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

fs::path SysfsFixture::DeviceDir(const std::string& name) const {
  for (const auto& [known, dir] : dirs_) {
    if (known == name) {
      return dir;
    }
  }
  ADD_FAILURE() << "no device " << name << " in the fixture";
  return root_;
}

void SysfsFixture::AddDevice(const std::string& parent, const std::string& name,
                             const Attributes& attributes) {
  const fs::path dir = (parent.empty() ? root_ / "devices/pci0000:00" : DeviceDir(parent)) / name;
  fs::create_directories(dir);
  for (const auto& [file, value] : attributes) {
    WriteText(dir / file, value);
  }
  fs::create_directory_symlink(dir, root_ / "bus/usb/devices" / name);
  dirs_.emplace_back(name, dir);
}

void SysfsFixture::AddInterface(const std::string& device, const std::string& name,
                                const Attributes& attributes, const std::string& driver) {
  const fs::path dir = DeviceDir(device) / name;
  fs::create_directories(dir);
  for (const auto& [file, value] : attributes) {
    WriteText(dir / file, value);
  }
  if (!driver.empty()) {
    fs::create_directories(root_ / "bus/usb/drivers" / driver);
    fs::create_directory_symlink(root_ / "bus/usb/drivers" / driver, dir / "driver");
  }
  fs::create_directory_symlink(dir, root_ / "bus/usb/devices" / name);
  dirs_.emplace_back(name, dir);
}

void SysfsFixture::WriteDeviceFile(const std::string& device, const std::string& file,
                                   const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(DeviceDir(device) / file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void SysfsFixture::AddVideoNode(int number, const std::string& interfaceName) {
  const std::string name = "video" + std::to_string(number);
  const fs::path dir = root_ / "class/video4linux" / name;
  fs::create_directories(dir);
  fs::create_directory_symlink(DeviceDir(interfaceName), dir / "device");
  WriteText(dir / "dev", "81:" + std::to_string(number));
  WriteText(root_ / "dev" / name, "");
}

void AddCamera(SysfsFixture& fixture, const std::string& vcDriver) {
  fixture.AddDevice("", "usb1",
                    {{"idVendor", "1d6b"},
                     {"idProduct", "0002"},
                     {"bcdDevice", "0601"},
                     {"bDeviceClass", "09"},
                     {"bNumInterfaces", " 1"}});
  fixture.AddInterface("usb1", "1-0:1.0", {{"bInterfaceNumber", "00"}, {"bInterfaceClass", "09"}},
                       "hub");
  fixture.AddDevice("usb1", "1-1",
                    {{"idVendor", "1f3a"},
                     {"idProduct", "5c72"},
                     {"bcdDevice", "0100"},
                     {"bDeviceClass", "ef"},
                     {"bNumInterfaces", " 4"}});
  fixture.AddInterface(
      "1-1", "1-1:1.0",
      {{"bInterfaceNumber", "00"}, {"bInterfaceClass", "0e"}, {"bInterfaceSubClass", "01"}},
      vcDriver);
  fixture.AddInterface(
      "1-1", "1-1:1.1",
      {{"bInterfaceNumber", "01"}, {"bInterfaceClass", "0e"}, {"bInterfaceSubClass", "02"}},
      vcDriver);
  fixture.AddInterface(
      "1-1", "1-1:1.2",
      {{"bInterfaceNumber", "02"}, {"bInterfaceClass", "01"}, {"bInterfaceSubClass", "01"}},
      "snd-usb-audio");
  fixture.AddInterface(
      "1-1", "1-1:1.3",
      {{"bInterfaceNumber", "03"}, {"bInterfaceClass", "01"}, {"bInterfaceSubClass", "02"}},
      "snd-usb-audio");
}

}  // namespace linuxtest
