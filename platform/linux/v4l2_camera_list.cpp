// The cameras uvcvideo offers: their capture nodes found through sysfs, one per camera, with the
// device path the camera layer chooses by.

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "platform/linux/linux_syscalls.h"
#include "platform/linux/sysfs_files.h"
#include "platform/linux/usb_port.h"
#include "platform/linux/v4l2_media_capture.h"

namespace linuxplat {

namespace {

namespace fs = std::filesystem;

std::mutex rootsMutex;
std::string sysRootPath = "/sys";
std::string devRootPath = "/dev";

std::pair<std::string, std::string> Roots() {
  std::lock_guard lock(rootsMutex);
  return {sysRootPath, devRootPath};
}

std::u16string Widen(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

std::string HexLower(std::uint32_t value, int digits) {
  std::string text = Hex(value, digits);
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return text;
}

// The capture-interface path form the camera layer picks its device by.
std::u16string DevicePathOf(const V4l2Camera& camera) {
  return Widen("\\\\?\\usb#vid_" + HexLower(camera.vendorId, 4) + "&pid_" +
               HexLower(camera.productId, 4) + "&mi_" + HexLower(camera.interfaceNumber, 2) + "#" +
               camera.busPort + "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
}

int NodeNumber(const std::string& name) {
  if (name.rfind("video", 0) != 0 || name.size() == 5 || name.size() > 14) {
    return -1;
  }
  int number = 0;
  for (char c : name.substr(5)) {
    if (c < '0' || c > '9') {
      return -1;
    }
    number = number * 10 + (c - '0');
  }
  return number;
}

enum class Capture { Yes, No, Unknown };

// Whether the node captures video; Unknown when it cannot be opened to ask.
Capture QueryCapture(const std::string& node) {
  const int fd = Syscalls().open(node.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    return Capture::Unknown;
  }
  v4l2_capability caps{};
  int rc;
  do {
    rc = Syscalls().ioctl(fd, VIDIOC_QUERYCAP, &caps);
  } while (rc < 0 && errno == EINTR);
  Syscalls().close(fd);
  if (rc < 0) {
    return Capture::Unknown;
  }
  const std::uint32_t nodeCaps =
      (caps.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? caps.device_caps : caps.capabilities;
  return (nodeCaps & V4L2_CAP_VIDEO_CAPTURE) != 0 ? Capture::Yes : Capture::No;
}

// The "major:minor" of a sysfs `dev` attribute; 0 when absent or malformed.
std::uint64_t DeviceNumberOf(const fs::path& file) {
  const auto text = ReadAttribute(file);
  unsigned major = 0;
  unsigned minor = 0;
  char end = 0;
  if (!text || std::sscanf(text->c_str(), "%u:%u%c", &major, &minor, &end) != 2) {
    return 0;
  }
  return makedev(major, minor);
}

struct Candidate {
  V4l2Camera camera;
  std::string interfaceDir;
  bool confirmed = false;
};

void AddNode(std::vector<Candidate>& found, const fs::path& classDir, const std::string& devRoot,
             const std::string& name) {
  std::error_code ec;
  const fs::path interfaceDir = fs::canonical(classDir / name / "device", ec);
  const std::string interfaceName = interfaceDir.filename().string();
  const auto colon = interfaceName.find(':');
  if (ec || colon == std::string::npos) {
    return;  // not a USB interface
  }
  if (!OnSelectedUsbPort(interfaceName.substr(0, colon))) {
    return;  // another worker's camera: not even opened to ask
  }
  const fs::path deviceDir = interfaceDir.parent_path();
  const auto vid = ReadHexAttribute(deviceDir / "idVendor");
  const auto pid = ReadHexAttribute(deviceDir / "idProduct");
  if (!vid || !pid) {
    return;
  }
  const std::string node = devRoot + "/" + name;
  auto same = std::find_if(found.begin(), found.end(), [&](const Candidate& c) {
    return c.interfaceDir == interfaceDir.string();
  });
  if (same != found.end() && same->confirmed) {
    return;
  }
  const Capture capture = QueryCapture(node);
  if (capture == Capture::No) {
    return;
  }
  if (same == found.end()) {
    Candidate candidate;
    candidate.interfaceDir = interfaceDir.string();
    candidate.camera.busPort = interfaceName.substr(0, colon);
    candidate.camera.vendorId = *vid;
    candidate.camera.productId = *pid;
    candidate.camera.interfaceNumber =
        ReadHexAttribute(interfaceDir / "bInterfaceNumber").value_or(0);
    candidate.camera.deviceDir = deviceDir.string();
    found.push_back(std::move(candidate));
    same = found.end() - 1;
  }
  // A node that could not be asked stands in until one that answers as a capture node is seen.
  if (capture == Capture::Yes || same->camera.node.empty()) {
    same->camera.node = node;
    same->camera.deviceNumber = DeviceNumberOf(classDir / name / "dev");
    same->camera.nodeDir = (classDir / name).string();
    same->confirmed = capture == Capture::Yes;
  }
}

}  // namespace

void SetV4l2Roots(const std::string& sysRoot, const std::string& devRoot) {
  std::lock_guard lock(rootsMutex);
  sysRootPath = sysRoot;
  devRootPath = devRoot;
}

std::vector<V4l2Camera> ListV4l2Cameras() {
  const auto [sysRoot, devRoot] = Roots();
  const fs::path classDir = fs::path(sysRoot) / "class/video4linux";
  std::vector<std::pair<int, std::string>> names;
  std::error_code ec;
  for (fs::directory_iterator it(classDir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (const int number = NodeNumber(name); number >= 0) {
      names.emplace_back(number, name);
    }
  }
  std::sort(names.begin(), names.end());
  std::vector<Candidate> found;
  for (const auto& entry : names) {
    AddNode(found, classDir, devRoot, entry.second);
  }
  std::vector<V4l2Camera> cameras;
  for (Candidate& candidate : found) {
    candidate.camera.devicePath = DevicePathOf(candidate.camera);
    cameras.push_back(std::move(candidate.camera));
  }
  return cameras;
}

}  // namespace linuxplat
