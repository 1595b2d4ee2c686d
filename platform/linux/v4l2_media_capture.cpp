#include "platform/linux/v4l2_media_capture.h"

#include <fcntl.h>
#include <sys/file.h>
#include <linux/usb/video.h>
#include <sys/stat.h>
#include <linux/uvcvideo.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "product/product.h"
#include "seams/camera_source.h"
#include "seams/platform_ids.h"
#include "platform/capture_emulation/capture_emulation.h"
#include "platform/linux/linux_syscalls.h"
#include "platform/linux/operator_notice.h"
#include "platform/linux/sysfs_files.h"
#include "platform/linux/uvc_descriptors.h"

namespace linuxplat {

namespace {

namespace fs = std::filesystem;

// The framework's codes for a failure are the kernel's own errno numbers.
static_assert(CsNoSuchFile == -ENOENT && CsIoError == -EIO && CsRemoved == -ENODEV &&
              CsInvalid == -EINVAL && CsStalled == -EPIPE && CsWrongLength == -EMSGSIZE &&
              CsUnknownSet == -ENOPROTOOPT);

// Any unit but an extension unit: nothing ever looks for the other kinds by type.
constexpr Guid OtherUnitType{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
// Listings a moniker may still be bound from (the layer binds within the walk that listed it).
constexpr std::size_t ListingsKept = 8;

// An open capture node, closed when the framework lets go of the camera's last object.
struct OpenNode {
  int fd = -1;
  std::string path;
  bool chosen = false;  // a camera with one of the product's USB ids: its failures are told
  std::string nodeDir;  // sysfs folders whose going means the camera has left
  std::string deviceDir;
  std::vector<UvcUnit> units;
  ~OpenNode() {
    if (fd >= 0) {
      Syscalls().close(fd);
    }
  }
};

std::vector<UvcUnit> UnitsOf(const V4l2Camera& camera) {
  const std::vector<std::uint8_t> descriptors =
      ReadBinary(fs::path(camera.deviceDir) / "descriptors");
  return ParseUvcUnits(descriptors.data(), descriptors.size(),
                       static_cast<std::uint8_t>(camera.interfaceNumber));
}

// Whether the camera carries one of the USB ids the tool looks for; only its failures are told to
// the operator, not those of other video devices on the same computer.
bool IsChosenCamera(const V4l2Camera& camera) {
  const std::string id = "vid_" + Hex(camera.vendorId, 4) + "&pid_" + Hex(camera.productId, 4);
  const auto same = [&id](const char* wanted) {
    return id.size() == std::strlen(wanted) &&
           std::equal(id.begin(), id.end(), wanted, [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) ==
                    std::tolower(static_cast<unsigned char>(b));
           });
  };
  return same(UsbIdPrimary) || same(UsbIdSecondary);
}

// The node's device number must be the one the listing read beside the camera it examined. That
// catches a node name taken over by another device between the listing and the open (the camera
// replaced and its number given to something else); a replacement that gets the same number
// passes, and the chip's identification is what tells it apart.
bool IsListedNode(int fd, const V4l2Camera& camera, bool chosen) {
  struct stat info {};
  if (Syscalls().fstat(fd, &info) != 0) {
    if (chosen) {
      NoticeNodeStatFailed(camera.node, errno);
    }
    return false;
  }
  if (camera.deviceNumber == 0) {
    if (chosen) {
      NoticeNoDeviceNumber(camera.node);
    }
    return false;
  }
  if (S_ISCHR(info.st_mode) && info.st_rdev == camera.deviceNumber) {
    return true;
  }
  if (chosen) {
    NoticeWrongNode(camera.node, camera.deviceNumber,
                    S_ISCHR(info.st_mode) ? static_cast<std::uint64_t>(info.st_rdev) : 0);
  }
  return false;
}

// Whether a failed request means the camera has left: the driver says so, or the node or the USB
// device is gone from sysfs. Anything else is a camera that may answer again.
bool LeftTheBus(const OpenNode& node, int error) {
  if (error == ENODEV || error == ESHUTDOWN) {
    return true;
  }
  std::error_code ec;
  const auto gone = [&ec](const std::string& dir) {
    return !dir.empty() && !fs::exists(dir, ec) && !ec;
  };
  return gone(node.nodeDir) || gone(node.deviceDir);
}

bool CarriesSet(const UvcUnit& unit, const std::uint8_t* set) {
  return unit.subtype == UvcExtensionUnit && std::memcmp(unit.guid.data(), set, 16) == 0;
}

// The extension unit a request is for, or null: a request goes only to a unit whose code is the
// request's property set. A node made for one unit is that unit; the filter's own control takes the
// node id as a topology index, else (the fallback ids when no node was found) as a unit id.
const UvcUnit* UnitFor(const OpenNode& node, int nodeInstance, std::uint32_t nodeId,
                       const std::uint8_t* set) {
  const std::vector<UvcUnit>& units = node.units;
  if (nodeInstance >= 0) {
    if (static_cast<std::size_t>(nodeInstance) >= units.size()) {
      return nullptr;
    }
    const UvcUnit& unit = units[static_cast<std::size_t>(nodeInstance)];
    return CarriesSet(unit, set) ? &unit : nullptr;
  }
  if (nodeId < units.size() && CarriesSet(units[nodeId], set)) {
    return &units[nodeId];
  }
  for (const UvcUnit& unit : units) {
    if (unit.unitId == nodeId && CarriesSet(unit, set)) {
      return &unit;
    }
  }
  return nullptr;
}

// The cameras uvcvideo offers, as the one emulation of the capture framework sees them.
class V4l2Source : public CameraSource {
 public:
  std::vector<SourceCamera> listCameras() override;
  int open(const SourceCamera& camera, std::uint64_t* binding) override;
  void close(std::uint64_t binding) override {
    std::lock_guard lock(mutex_);
    open_.erase(binding);
  }
  int query(const SourceQuery& query) override;
  void sleep(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

 private:
  // The emulation keeps a binding until its last reference goes, so a query never outlives it.
  const OpenNode& NodeOf(std::uint64_t binding) {
    std::lock_guard lock(mutex_);
    return *open_.at(binding);
  }
  std::mutex mutex_;
  std::uint64_t lastBinding_ = 0;
  std::map<std::uint64_t, std::unique_ptr<OpenNode>> open_;
  std::uint64_t listingNumber_ = 0;
  std::deque<std::pair<std::uint64_t, std::vector<V4l2Camera>>> listings_;
};

std::vector<SourceCamera> V4l2Source::listCameras() {
  std::vector<V4l2Camera> cameras = ListV4l2Cameras();
  std::vector<SourceCamera> listed;
  std::lock_guard lock(mutex_);
  const std::uint64_t number = ++listingNumber_;
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    SourceCamera camera;
    camera.devicePath = cameras[i].devicePath;
    camera.vendorId = static_cast<std::uint16_t>(cameras[i].vendorId);
    camera.productId = static_cast<std::uint16_t>(cameras[i].productId);
    camera.port = cameras[i].busPort;
    for (const UvcUnit& unit : UnitsOf(cameras[i])) {
      camera.nodeTypes.push_back(unit.subtype == UvcExtensionUnit ? KSNODETYPE_DEV_SPECIFIC_
                                                                  : OtherUnitType);
    }
    camera.key = number << 16 | i;
    listed.push_back(std::move(camera));
  }
  listings_.emplace_back(number, std::move(cameras));
  if (listings_.size() > ListingsKept) {
    listings_.pop_front();
  }
  return listed;
}

int V4l2Source::open(const SourceCamera& listed, std::uint64_t* binding) {
  V4l2Camera camera;
  {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(listings_.begin(), listings_.end(), [&](const auto& listing) {
      return listing.first == listed.key >> 16;
    });
    if (found == listings_.end() || (listed.key & 0xFFFF) >= found->second.size()) {
      return CsRemoved;  // listed too long ago to be told from what is there now
    }
    camera = found->second[listed.key & 0xFFFF];
  }
  const bool chosen = IsChosenCamera(camera);
  const int fd = Syscalls().open(camera.node.c_str(), O_RDWR);
  if (fd < 0) {
    const int error = errno;
    if ((error == EACCES || error == EPERM) && chosen) {
      NoticeOpenDenied(camera.node);
    }
    return -error;
  }
  auto node = std::make_unique<OpenNode>();
  node->fd = fd;
  node->path = camera.node;
  node->chosen = chosen;
  node->nodeDir = camera.nodeDir;
  node->deviceDir = camera.deviceDir;
  if (!IsListedNode(fd, camera, chosen)) {
    return CsRemoved;
  }
  // Two processes must never write one camera: the node is held, without waiting, for as long
  // as it is open; a camera another process holds is not opened (advisory, so a fake node
  // number that cannot be locked is not refused).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return -EBUSY;
  }
  node->units = UnitsOf(camera);
  std::lock_guard lock(mutex_);
  *binding = ++lastBinding_;
  open_.emplace(*binding, std::move(node));
  return CsOk;
}

int V4l2Source::query(const SourceQuery& query) {
  const OpenNode& node = NodeOf(query.binding);
  const std::uint8_t* set = reinterpret_cast<const std::uint8_t*>(&query.set);
  const UvcUnit* unit = UnitFor(node, query.nodeInstance, query.node, set);
  if (unit == nullptr) {
    return CsNoSuchFile;
  }
  if (!query.exactHeader) {
    return CsInvalid;
  }
  if (query.request == SourceRequest::setSupport) {
    return CsOk;  // answered from the descriptors
  }
  if (query.data == nullptr || query.length == 0 || query.length > 0xFFFF ||
      query.selector > 0xFF) {
    return CsIoError;
  }
  uvc_xu_control_query request{};
  request.unit = unit->unitId;
  request.selector = static_cast<std::uint8_t>(query.selector);
  request.query = query.request == SourceRequest::get ? UVC_GET_CUR : UVC_SET_CUR;
  request.size = static_cast<std::uint16_t>(query.length);
  request.data = query.data;
  int rc;
  do {
    rc = Syscalls().ioctl(node.fd, UVCIOC_CTRL_QUERY, &request);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    const int error = errno;
    if (node.chosen) {
      NoticeRequestFailed(node.path, error, unit->unitId, query.selector, query.length);
    }
    return LeftTheBus(node, error) ? CsRemoved : -error;
  }
  if (query.bytesReturned != nullptr) {
    *query.bytesReturned = query.length;
  }
  return CsOk;
}

capture::Emulation& ProcessEmulation() {
  static V4l2Source source;
  static capture::Emulation emulation(source);
  return emulation;
}

}  // namespace

const MediaCaptureOps* V4l2MediaCaptureOps() {
  return capture::MediaCaptureOver<ProcessEmulation>();
}

capture::Emulation& V4l2Emulation() {
  return ProcessEmulation();
}

}  // namespace linuxplat
