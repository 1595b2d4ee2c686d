#pragma once
// A sysfs tree of USB devices and video nodes, built in a temporary folder for one test.

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace linuxtest {

using Attributes = std::vector<std::pair<std::string, std::string>>;

class SysfsFixture {
 public:
  SysfsFixture();
  ~SysfsFixture();
  SysfsFixture(const SysfsFixture&) = delete;
  SysfsFixture& operator=(const SysfsFixture&) = delete;

  std::string Root() const { return root_.string(); }
  std::string DevRoot() const { return (root_ / "dev").string(); }

  // A USB device ("usb1", "1-1", "1-1.2") below `parent` (empty for a root hub), listed in
  // bus/usb/devices; each attribute is written as sysfs does, one line.
  void AddDevice(const std::string& parent, const std::string& name, const Attributes& attributes);
  // An interface ("1-1:1.0") of `device`; `driver` names the bound driver, empty for none.
  void AddInterface(const std::string& device, const std::string& name,
                    const Attributes& attributes, const std::string& driver);
  // A raw file in the device's folder (its `descriptors`).
  void WriteDeviceFile(const std::string& device, const std::string& file,
                       const std::vector<std::uint8_t>& bytes);
  // class/video4linux/videoN, whose `device` is the interface and `dev` is 81:N, and an empty
  // dev/videoN.
  void AddVideoNode(int number, const std::string& interfaceName);

 private:
  std::filesystem::path DeviceDir(const std::string& name) const;
  std::filesystem::path root_;
  std::vector<std::pair<std::string, std::filesystem::path>> dirs_;
};

// The camera: a root hub on bus 1 and the camera on port 1 with its VideoControl (bound to the
// video driver), VideoStreaming and two audio interfaces.
void AddCamera(SysfsFixture& fixture, const std::string& vcDriver = "uvcvideo");

}  // namespace linuxtest
