// Capture-device enumeration, binding of one device by its path, extension-unit node discovery
// and release of the binding, over the media-capture seam.

#include <cstring>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "camera/chip_registers.h"
#include "seams/media_capture.h"
#include "camera/xu_transport.h"
#include "seams/platform_ids.h"

namespace {

constexpr char16_t DevicePathName[] = u"DevicePath";

// Drops one reference when it goes out of scope, so every exit path releases what it obtained.
class Ref {
 public:
  explicit Ref(const MediaCaptureOps* ops) : ops_(ops) {}
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  McObject** Out() { return &object_; }
  McObject* Get() const { return object_; }
  void Reset() {
    if (object_ != nullptr) {
      ops_->release(object_);
      object_ = nullptr;
    }
  }

 private:
  const MediaCaptureOps* ops_;
  McObject* object_ = nullptr;
};

class DeviceString {
 public:
  explicit DeviceString(const MediaCaptureOps* ops) : ops_(ops) {}
  ~DeviceString() {
    if (value_ != nullptr) {
      ops_->freeString(value_);
    }
  }
  DeviceString(const DeviceString&) = delete;
  DeviceString& operator=(const DeviceString&) = delete;
  char16_t** Out() { return &value_; }
  const char16_t* Get() const { return value_; }

 private:
  const MediaCaptureOps* ops_;
  char16_t* value_ = nullptr;
};

std::size_t Length16(const char16_t* text) {
  std::size_t n = 0;
  while (text[n] != 0) {
    ++n;
  }
  return n;
}

// wcsncmp over 16-bit characters.
bool SamePath(const char16_t* a, const char16_t* b, int length) {
  for (int i = 0; i < length; ++i) {
    if (a[i] != b[i]) {
      return false;
    }
    if (a[i] == 0) {
      return true;
    }
  }
  return true;
}

void ReleaseBoundFilter(const MediaCaptureOps* ops) {
  if (cameraBinding.boundFilter != nullptr) {
    ops->release(cameraBinding.boundFilter);
    cameraBinding.boundFilter = nullptr;
  }
}

// Enters the apartment and opens the video-input class enumerator; on failure leaves the
// apartment again.
bool OpenVideoInputDevices(const MediaCaptureOps* ops, Ref& classEnum) {
  ops->coInitialize();
  Ref devEnum(ops);
  if (ops->createDeviceEnumerator(devEnum.Out()) != McOk || devEnum.Get() == nullptr ||
      ops->createClassEnumerator(devEnum.Get(), CLSID_VideoInputDeviceCategory_, classEnum.Out(),
                                 0) != McOk ||
      classEnum.Get() == nullptr) {
    classEnum.Reset();
    devEnum.Reset();
    ops->coUninitialize();
    return false;
  }
  devEnum.Reset();
  ops->enumReset(classEnum.Get());
  return true;
}

// Reads the device's path from its property bag and binds its filter into the binding record.
// The caller holds the bag and the path until the device is done with: they are released after
// the filter, in the order bag, path, moniker.
bool BindCandidate(const MediaCaptureOps* ops, McObject* moniker, Ref& bag, DeviceString& path) {
  if (ops->bindToStorage(moniker, bag.Out()) < 0 || bag.Get() == nullptr) {
    return false;
  }
  if (ops->readStringProperty(bag.Get(), DevicePathName, path.Out()) != McOk ||
      path.Get() == nullptr) {
    return false;
  }
  McObject* filter = nullptr;
  if (ops->bindToObject(moniker, &filter) != McOk || filter == nullptr) {
    return false;
  }
  cameraBinding.boundFilter = filter;
  return true;
}

// Two tries; when no extension-unit node is found, node ids 1 and then 2 are tried instead.
bool IdentifyBoundChip() {
  for (std::uint32_t attempt = 1; attempt <= 2; ++attempt) {
    if (!CamFindXuNode(&cameraBinding.xuNodeId)) {
      cameraBinding.xuNodeId = attempt;
    }
    std::uint8_t romId[8] = {};
    if (CamMatchRomId(0, opTransfer, romId)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool CamEnumerate(char16_t* paths, int count, int pathLength, int* found) {
  if (paths == nullptr || found == nullptr || count <= 0 || pathLength <= 0) {
    return false;
  }
  std::memset(paths, 0, sizeof(char16_t) * static_cast<std::size_t>(count) * pathLength);
  *found = 0;
  const MediaCaptureOps* ops = CamMediaCapture();
  // The walk borrows the binding record; with a camera still open it would lose its filter.
  if (ops == nullptr || cameraBinding.boundFilter != nullptr) {
    return false;
  }
  Ref classEnum(ops);
  if (!OpenVideoInputDevices(ops, classEnum)) {
    return false;
  }
  while (*found < count) {
    Ref moniker(ops);
    if (ops->enumNext(classEnum.Get(), moniker.Out()) != McOk || moniker.Get() == nullptr) {
      break;
    }
    DeviceString path(ops);
    Ref bag(ops);
    if (!BindCandidate(ops, moniker.Get(), bag, path)) {
      continue;
    }
    // A path that cannot be stored whole with its terminator is left out rather than cut.
    if (IdentifyBoundChip() && Length16(path.Get()) < static_cast<std::size_t>(pathLength)) {
      char16_t* entry = paths + static_cast<std::size_t>(*found) * pathLength;
      std::memcpy(entry, path.Get(), sizeof(char16_t) * Length16(path.Get()));
      ++*found;
    }
    ReleaseBoundFilter(ops);
  }
  classEnum.Reset();
  ops->coUninitialize();
  return *found != 0;
}

bool CamBindDevice(const char16_t* path, int pathLength) {
  const MediaCaptureOps* ops = CamMediaCapture();
  if (path == nullptr || pathLength <= 0 || ops == nullptr ||
      cameraBinding.boundFilter != nullptr) {
    return false;
  }
  Ref classEnum(ops);
  if (!OpenVideoInputDevices(ops, classEnum)) {
    return false;
  }
  for (;;) {
    Ref moniker(ops);
    if (ops->enumNext(classEnum.Get(), moniker.Out()) != McOk || moniker.Get() == nullptr) {
      break;
    }
    DeviceString devicePath(ops);
    Ref bag(ops);
    if (!BindCandidate(ops, moniker.Get(), bag, devicePath)) {
      continue;
    }
    if (SamePath(devicePath.Get(), path, pathLength)) {
      break;
    }
    ReleaseBoundFilter(ops);
  }
  classEnum.Reset();
  if (cameraBinding.boundFilter == nullptr) {
    ops->coUninitialize();
    return false;
  }
  if (IdentifyBoundChip()) {
    return true;
  }
  ReleaseBoundFilter(ops);
  ops->coUninitialize();
  return false;
}

bool CamFindXuNode(std::uint32_t* nodeId) {
  const MediaCaptureOps* ops = CamMediaCapture();
  if (nodeId == nullptr || ops == nullptr || cameraBinding.boundFilter == nullptr) {
    return false;
  }
  Ref topology(ops);
  if (ops->queryInterface(cameraBinding.boundFilter, IID_IKsTopologyInfo_, topology.Out()) !=
          McOk ||
      topology.Get() == nullptr) {
    return false;
  }
  std::uint32_t nodes = 0;
  if (ops->getNumNodes(topology.Get(), &nodes) < 0 || nodes == 0) {
    return false;
  }
  for (std::uint32_t i = 0; i < nodes; ++i) {
    Guid type{};
    if (ops->getNodeType(topology.Get(), i, &type) < 0 || !(type == KSNODETYPE_DEV_SPECIFIC_)) {
      continue;
    }
    Ref control(ops);
    if (ops->createNodeInstance(topology.Get(), i, IID_IKsControl_, control.Out()) < 0 ||
        control.Get() == nullptr) {
      continue;
    }
    std::uint8_t header[KspNodeLength];
    XuBuildHeader(header, 0, KsPropertyTypeSetSupport | KsPropertyTypeTopology, i);
    std::uint32_t returned = 0;
    const HResult probe =
        ops->ksProperty(control.Get(), header, KspNodeLength, nullptr, 0, &returned);
    control.Reset();
    if (probe >= 0) {
      *nodeId = i;
      return true;
    }
  }
  return false;
}

bool CamReleaseDevice(int /*slot*/) {
  const MediaCaptureOps* ops = CamMediaCapture();
  if (ops == nullptr) {
    cameraBinding.boundFilter = nullptr;
    return true;
  }
  ReleaseBoundFilter(ops);
  ops->coUninitialize();
  return true;
}
