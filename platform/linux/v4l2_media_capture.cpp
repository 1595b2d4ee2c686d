#include "platform/linux/v4l2_media_capture.h"

#include <fcntl.h>
#include <sys/file.h>
#include <linux/usb/video.h>
#include <sys/stat.h>
#include <linux/uvcvideo.h>

#include <atomic>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "product/product.h"
#include "seams/platform_ids.h"
#include "platform/linux/linux_syscalls.h"
#include "platform/linux/operator_notice.h"
#include "platform/linux/sysfs_files.h"
#include "platform/linux/uvc_descriptors.h"

namespace linuxplat {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t KspNodeSize = 32;
// Any unit but an extension unit: nothing ever looks for the other kinds by type.
constexpr Guid OtherUnitType{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Closes the node when the last object that uses it is released.
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

enum class Kind {
  DeviceEnumerator,
  ClassEnumerator,
  Moniker,
  PropertyBag,
  Filter,
  Topology,
  Control
};

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  std::atomic<std::uint32_t> references{1};
  const Kind kind;
};

struct ClassEnumerator : Object {
  ClassEnumerator() : Object(Kind::ClassEnumerator) {}
  std::vector<V4l2Camera> cameras;
  std::size_t next = 0;
};

struct Moniker : Object {
  explicit Moniker(V4l2Camera c) : Object(Kind::Moniker), camera(std::move(c)) {}
  V4l2Camera camera;
};

struct PropertyBag : Object {
  explicit PropertyBag(std::u16string p) : Object(Kind::PropertyBag), devicePath(std::move(p)) {}
  std::u16string devicePath;
};

// Filter, topology and control share the open node.
struct NodeObject : Object {
  NodeObject(Kind k, std::shared_ptr<OpenNode> n, int u = -1)
      : Object(k), node(std::move(n)), unitIndex(u) {}
  std::shared_ptr<OpenNode> node;
  int unitIndex;  // a control made for one node; -1 for the filter's own control
};

McObject* Handle(Object* object) {
  return reinterpret_cast<McObject*>(object);
}

template <typename T>
T* As(McObject* object, Kind kind) {
  auto* base = reinterpret_cast<Object*>(object);
  return base != nullptr && base->kind == kind ? static_cast<T*>(base) : nullptr;
}

// A failure code of our own (the customer bit set) with the errno in its low bits, so a trace shows
// what the kernel said without passing it off as a system error code.
HResult FromErrno(int error) {
  return static_cast<HResult>(0xA0000000u | (static_cast<std::uint32_t>(error) & 0xFFFFu));
}

// ---- the table ----

HResult CoInitializeOp() {
  return McOk;
}

void CoUninitializeOp() {}

HResult CreateDeviceEnumerator(McObject** devEnum) {
  if (devEnum == nullptr) {
    return McFail;
  }
  *devEnum = Handle(new Object(Kind::DeviceEnumerator));
  return McOk;
}

HResult CreateClassEnumerator(McObject* devEnum, const Guid& category, McObject** enumMoniker,
                              std::uint32_t /*flags*/) {
  if (enumMoniker == nullptr) {
    return McFail;
  }
  *enumMoniker = nullptr;
  if (As<Object>(devEnum, Kind::DeviceEnumerator) == nullptr) {
    return McFail;
  }
  auto cameras = ListV4l2Cameras();
  if (!(category == CLSID_VideoInputDeviceCategory_) || cameras.empty()) {
    return McFalse;  // an empty category, as the system reports it
  }
  auto* enumerator = new ClassEnumerator;
  enumerator->cameras = std::move(cameras);
  *enumMoniker = Handle(enumerator);
  return McOk;
}

HResult EnumReset(McObject* enumMoniker) {
  auto* enumerator = As<ClassEnumerator>(enumMoniker, Kind::ClassEnumerator);
  if (enumerator == nullptr) {
    return McFail;
  }
  enumerator->next = 0;
  return McOk;
}

HResult EnumNext(McObject* enumMoniker, McObject** moniker) {
  auto* enumerator = As<ClassEnumerator>(enumMoniker, Kind::ClassEnumerator);
  if (moniker == nullptr || enumerator == nullptr) {
    return McFail;
  }
  *moniker = nullptr;
  if (enumerator->next >= enumerator->cameras.size()) {
    return McFalse;
  }
  *moniker = Handle(new Moniker(enumerator->cameras[enumerator->next++]));
  return McOk;
}

HResult BindToStorage(McObject* moniker, McObject** propertyBag) {
  auto* source = As<Moniker>(moniker, Kind::Moniker);
  if (propertyBag == nullptr || source == nullptr) {
    return McFail;
  }
  *propertyBag = Handle(new PropertyBag(source->camera.devicePath));
  return McOk;
}

HResult ReadStringProperty(McObject* propertyBag, const char16_t* name, char16_t** value) {
  auto* bag = As<PropertyBag>(propertyBag, Kind::PropertyBag);
  if (bag == nullptr || name == nullptr || value == nullptr ||
      std::u16string(name) != u"DevicePath") {
    return McFail;
  }
  auto* text = new char16_t[bag->devicePath.size() + 1];
  std::copy(bag->devicePath.begin(), bag->devicePath.end(), text);
  text[bag->devicePath.size()] = 0;
  *value = text;
  return McOk;
}

void FreeString(char16_t* value) {
  delete[] value;
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

HResult BindToObject(McObject* moniker, McObject** filter) {
  auto* source = As<Moniker>(moniker, Kind::Moniker);
  if (filter == nullptr || source == nullptr) {
    return McFail;
  }
  *filter = nullptr;
  const V4l2Camera& camera = source->camera;
  const bool chosen = IsChosenCamera(camera);
  const int fd = Syscalls().open(camera.node.c_str(), O_RDWR);
  if (fd < 0) {
    const int error = errno;
    if ((error == EACCES || error == EPERM) && chosen) {
      NoticeOpenDenied(camera.node);
    }
    return FromErrno(error);
  }
  auto node = std::make_shared<OpenNode>();
  node->fd = fd;
  node->path = camera.node;
  node->chosen = chosen;
  node->nodeDir = camera.nodeDir;
  node->deviceDir = camera.deviceDir;
  if (!IsListedNode(fd, camera, chosen)) {
    return FromErrno(ENODEV);
  }
  // Two processes must never write one camera: the node is held, without waiting, for as long
  // as it is open; a camera another process holds is not opened (advisory, so a fake node
  // number that cannot be locked is not refused).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return FromErrno(EBUSY);
  }
  const std::vector<std::uint8_t> descriptors =
      ReadBinary(fs::path(camera.deviceDir) / "descriptors");
  node->units = ParseUvcUnits(descriptors.data(), descriptors.size(),
                              static_cast<std::uint8_t>(camera.interfaceNumber));
  *filter = Handle(new NodeObject(Kind::Filter, std::move(node)));
  return McOk;
}

HResult QueryInterface(McObject* object, const Guid& iid, McObject** out) {
  if (out == nullptr) {
    return McFail;
  }
  *out = nullptr;
  auto* filter = As<NodeObject>(object, Kind::Filter);
  if (filter == nullptr) {
    return McNoInterface;
  }
  if (iid == IID_IKsTopologyInfo_) {
    *out = Handle(new NodeObject(Kind::Topology, filter->node));
  } else if (iid == IID_IKsControl_) {
    *out = Handle(new NodeObject(Kind::Control, filter->node));
  } else if (iid == IID_IBaseFilter_) {
    filter->references.fetch_add(1);
    *out = object;
  } else {
    return McNoInterface;
  }
  return McOk;
}

HResult GetNumNodes(McObject* topology, std::uint32_t* count) {
  auto* info = As<NodeObject>(topology, Kind::Topology);
  if (info == nullptr || count == nullptr) {
    return McFail;
  }
  *count = static_cast<std::uint32_t>(info->node->units.size());
  return McOk;
}

HResult GetNodeType(McObject* topology, std::uint32_t index, Guid* type) {
  auto* info = As<NodeObject>(topology, Kind::Topology);
  if (info == nullptr || type == nullptr || index >= info->node->units.size()) {
    return McFail;
  }
  *type = info->node->units[index].subtype == UvcExtensionUnit ? KSNODETYPE_DEV_SPECIFIC_
                                                               : OtherUnitType;
  return McOk;
}

HResult CreateNodeInstance(McObject* topology, std::uint32_t index, const Guid& iid,
                           McObject** control) {
  auto* info = As<NodeObject>(topology, Kind::Topology);
  if (control == nullptr) {
    return McFail;
  }
  *control = nullptr;
  if (info == nullptr || index >= info->node->units.size()) {
    return McFail;
  }
  if (!(iid == IID_IKsControl_)) {
    return McNoInterface;
  }
  *control = Handle(new NodeObject(Kind::Control, info->node, static_cast<int>(index)));
  return McOk;
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

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool CarriesSet(const UvcUnit& unit, const std::uint8_t* set) {
  return unit.subtype == UvcExtensionUnit && std::memcmp(unit.guid.data(), set, 16) == 0;
}

// The extension unit a request is for, or null: a request goes only to a unit whose code is the
// request's property set. A node made for one unit is that unit; the filter's own control takes the
// node id as a topology index, else (the fallback ids when no node was found) as a unit id.
const UvcUnit* UnitFor(const NodeObject& control, std::uint32_t nodeId, const std::uint8_t* set) {
  const std::vector<UvcUnit>& units = control.node->units;
  if (control.unitIndex >= 0) {
    const UvcUnit& unit = units[static_cast<std::size_t>(control.unitIndex)];
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

HResult KsPropertyOp(McObject* controlObject, void* property, std::uint32_t propertyLength,
                     void* data, std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  auto* control = As<NodeObject>(controlObject, Kind::Control);
  if (control == nullptr || property == nullptr || propertyLength < KspNodeSize) {
    return McFail;
  }
  const auto* header = static_cast<const std::uint8_t*>(property);
  const std::uint32_t selector = Le32(header + 16);
  const std::uint32_t flags = Le32(header + 20);
  const std::uint32_t nodeId = Le32(header + 24);
  const UvcUnit* unit = UnitFor(*control, nodeId, header);
  if (unit == nullptr) {
    return McNotFound;
  }
  if ((flags & KsPropertyTypeSetSupport) != 0) {
    return McOk;
  }
  std::uint8_t query;
  if ((flags & KsPropertyTypeGet) != 0) {
    query = UVC_GET_CUR;
  } else if ((flags & KsPropertyTypeSet) != 0) {
    query = UVC_SET_CUR;
  } else {
    return McFail;
  }
  if (data == nullptr || dataLength == 0 || dataLength > 0xFFFF || selector > 0xFF) {
    return McFail;
  }
  uvc_xu_control_query request{};
  request.unit = unit->unitId;
  request.selector = static_cast<std::uint8_t>(selector);
  request.query = query;
  request.size = static_cast<std::uint16_t>(dataLength);
  request.data = static_cast<std::uint8_t*>(data);
  int rc;
  do {
    rc = Syscalls().ioctl(control->node->fd, UVCIOC_CTRL_QUERY, &request);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    const int error = errno;
    if (control->node->chosen) {
      NoticeRequestFailed(control->node->path, error, unit->unitId, selector, dataLength);
    }
    return LeftTheBus(*control->node, error) ? McDeviceNotConnected : FromErrno(error);
  }
  if (bytesReturned != nullptr) {
    *bytesReturned = dataLength;
  }
  return McOk;
}

std::uint32_t Release(McObject* object) {
  auto* base = reinterpret_cast<Object*>(object);
  if (base == nullptr) {
    return 0;
  }
  const std::uint32_t left = base->references.fetch_sub(1) - 1;
  if (left == 0) {
    delete base;
  }
  return left;
}

void SleepOp(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

const MediaCaptureOps v4l2Capture{
    CoInitializeOp, CoUninitializeOp,   CreateDeviceEnumerator, CreateClassEnumerator,
    EnumReset,      EnumNext,           BindToStorage,          ReadStringProperty,
    FreeString,     BindToObject,       QueryInterface,         GetNumNodes,
    GetNodeType,    CreateNodeInstance, KsPropertyOp,           Release,
    SleepOp,
};

}  // namespace

const MediaCaptureOps* V4l2MediaCaptureOps() {
  return &v4l2Capture;
}

}  // namespace linuxplat
