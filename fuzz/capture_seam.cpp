#include "fuzz/capture_seam.h"

#include <cstring>

#include "platform/capture_emulation/capture_emulation.h"

namespace fuzz {
namespace {

// The platform's identifiers, written out from the framework's documentation.
constexpr Guid kVideoInputCategory{
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr Guid kKsControl{
    0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr Guid kVendorNode{
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
// A camera terminal node: any type but the vendor-specific one.
constexpr Guid kOtherNode{
    0xDFF229E1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// The extension unit's property set as it lies in a request header.
constexpr std::uint8_t kXuSetBytes[16] = {0x70, 0x33, 0xF0, 0x28, 0x11, 0x63, 0x2E, 0x4A,
                                          0xBA, 0x2C, 0x68, 0x90, 0xEB, 0x33, 0x40, 0x16};
// Record length of selectors 1 to 5.
constexpr std::uint32_t kRecordLength[6] = {0, 4, 8, 12, 12, 12};

CaptureWorld world;
std::uint32_t requests = 0;
std::uint32_t sleeps = 0;

// One result byte: mostly success, and the failure and odd success codes the layer must refuse.
int ResultOf(std::uint8_t b) {
  if (b < 0xC0) {
    return CsOk;
  }
  constexpr int kOthers[4] = {1, 2, CsIoError, CsNoSuchFile};
  return kOthers[(b >> 4) & 3];
}

bool OverCap() {
  return requests > world.requestCap || sleeps > world.requestCap;
}

// The answers of a well-mannered camera: every request succeeds, and an internal-memory read
// answers with the identification block of a "220R0" revision 1 chip when the device identifies.
void WellMannered(const CaptureDevice& device, std::uint32_t selector, std::uint8_t* answer) {
  if (selector == 4 && device.identifies) {
    const std::uint8_t block[] = {8, '2', '2', '0', 'R', '0', 1, 0, 0};
    std::memcpy(answer + 2, block, sizeof block);
  }
}

// The devices of the fuzz input as a camera source; the framework above them is the emulation.
class FuzzSource : public CameraSource {
 public:
  std::vector<SourceCamera> listCameras() override {
    std::vector<SourceCamera> listed;
    for (std::size_t i = 0; i < world.devices.size() && !world.classEnumFails; ++i) {
      const CaptureDevice& device = world.devices[i];
      SourceCamera camera;
      camera.devicePath = device.path;
      camera.pathUnreadable = device.pathFails;
      camera.hasTopology = !device.topologyFails;
      for (std::uint32_t node = 0; node < device.nodes; ++node) {
        const bool vendor = node < 32 && (device.vendorNodes >> node & 1);
        camera.nodeTypes.push_back(vendor ? kVendorNode : kOtherNode);
      }
      camera.key = i;
      listed.push_back(std::move(camera));
    }
    return listed;
  }
  int open(const SourceCamera& camera, std::uint64_t* binding) override {
    FUZZ_REQUIRE(capture::ApartmentDepth() > 0 && camera.key < world.devices.size());
    if (world.devices[camera.key].filterFails) {
      return CsIoError;
    }
    *binding = camera.key;
    return CsOk;
  }
  void close(std::uint64_t) override {}
  int query(const SourceQuery& query) override;
  void sleep(std::uint32_t) override { ++sleeps; }
};

int FuzzSource::query(const SourceQuery& query) {
  FUZZ_REQUIRE(query.bytesReturned != nullptr && query.exactHeader);
  FUZZ_REQUIRE(std::memcmp(&query.set, kXuSetBytes, 16) == 0);
  const CaptureDevice& device = world.devices[query.binding];
  const std::uint32_t selector = query.selector;
  const bool isSet = query.request == SourceRequest::set;
  ++requests;

  if (query.request == SourceRequest::setSupport) {
    FUZZ_REQUIRE(selector == 0 && query.data == nullptr && query.length == 0);
    FUZZ_REQUIRE(query.nodeInstance >= 0 &&
                 query.node == static_cast<std::uint32_t>(query.nodeInstance));
    if (world.answers == nullptr) {
      return CsOk;
    }
    std::uint8_t b = 0;
    return world.answers->Byte(b) ? ResultOf(b) : CsIoError;
  }
  FUZZ_REQUIRE(selector >= 1 && selector <= 5 && !(selector == 5 && isSet));
  FUZZ_REQUIRE(query.data != nullptr && query.length == kRecordLength[selector]);
  // Exact-size copies both ways, so a record shorter than its length is caught on either side.
  static std::uint8_t* const records[6] = {nullptr,
                                           new std::uint8_t[4],
                                           new std::uint8_t[8],
                                           new std::uint8_t[12],
                                           new std::uint8_t[12],
                                           new std::uint8_t[12]};
  std::uint8_t* const record = records[selector];
  std::memset(record, 0, query.length);
  if (isSet) {
    std::memcpy(record, query.data, query.length);
  }
  if (OverCap()) {
    return CsRemoved;  // the device leaves, so no wait keeps a run going after the cap
  }
  int result = CsOk;
  if (world.answers == nullptr) {
    WellMannered(device, selector, record);
  } else {
    std::uint8_t b = 0;
    if (!world.answers->Byte(b) || (!isSet && !world.answers->Bytes(record, query.length))) {
      return CsIoError;
    }
    result = ResultOf(b);
  }
  if (!isSet) {
    std::memcpy(query.data, record, query.length);
    *query.bytesReturned = query.length;
  }
  return result;
}

capture::Emulation& Emulation() {
  static FuzzSource source;
  static capture::Emulation emulation(source);
  return emulation;
}

const MediaCaptureOps& Emulated() {
  return *capture::MediaCaptureOver<Emulation>();
}

// The device an object stands for, from the source's key.
const CaptureDevice& DeviceOf(McObject* object) {
  std::uint64_t key = 0;
  FUZZ_REQUIRE(Emulation().cameraKeyOf(object, &key) && key < world.devices.size());
  return world.devices[key];
}

// Failures of the framework itself, which no camera source can cause, on top of the emulation;
// and a leave, release or string free too many traps at once.
const MediaCaptureOps kSeam = [] {
  MediaCaptureOps ops = Emulated();
  ops.coUninitialize = [] {
    FUZZ_REQUIRE(capture::ApartmentDepth() > 0);
    Emulated().coUninitialize();
  };
  ops.createDeviceEnumerator = [](McObject** out) {
    FUZZ_REQUIRE(capture::ApartmentDepth() > 0 && out != nullptr);
    return world.deviceEnumFails ? McFail : Emulated().createDeviceEnumerator(out);
  };
  ops.createClassEnumerator = [](McObject* devEnum, const Guid& category, McObject** out,
                                 std::uint32_t flags) {
    FUZZ_REQUIRE(category == kVideoInputCategory && flags == 0);
    return Emulated().createClassEnumerator(devEnum, category, out, flags);
  };
  ops.ksProperty = [](McObject* control, void* property, std::uint32_t propertyLength, void* data,
                      std::uint32_t dataLength, std::uint32_t* bytesReturned) {
    FUZZ_REQUIRE(property != nullptr && propertyLength == 32);
    return Emulated().ksProperty(control, property, propertyLength, data, dataLength,
                                 bytesReturned);
  };
  ops.bindToStorage = [](McObject* moniker, McObject** out) {
    return DeviceOf(moniker).bagFails ? McFail : Emulated().bindToStorage(moniker, out);
  };
  ops.queryInterface = [](McObject* object, const Guid& iid, McObject** out) {
    FUZZ_REQUIRE(capture::ApartmentDepth() > 0);
    if (iid == kKsControl && world.controlFails) {
      return McNoInterface;
    }
    return Emulated().queryInterface(object, iid, out);
  };
  ops.getNumNodes = [](McObject* topology, std::uint32_t* count) {
    return DeviceOf(topology).nodeCountFails ? McFail : Emulated().getNumNodes(topology, count);
  };
  ops.createNodeInstance = [](McObject* topology, std::uint32_t index, const Guid& iid,
                              McObject** out) {
    const CaptureDevice& device = DeviceOf(topology);
    FUZZ_REQUIRE(index < device.nodes && iid == kKsControl);
    if (index < 32 && (device.instanceFails >> index & 1)) {
      return McFail;
    }
    return Emulated().createNodeInstance(topology, index, iid, out);
  };
  ops.freeString = [](char16_t* value) {
    FUZZ_REQUIRE(value != nullptr);
    Emulated().freeString(value);
    FUZZ_REQUIRE(Emulation().badStringFrees() == 0);
  };
  ops.release = [](McObject* object) {
    FUZZ_REQUIRE(object != nullptr);
    const std::uint32_t left = Emulated().release(object);
    FUZZ_REQUIRE(Emulation().overReleases() == 0);
    return left;
  };
  return ops;
}();

}  // namespace

void StartCaptureWorld(CaptureWorld next) {
  FUZZ_REQUIRE(HeldObjects() == 0 && HeldStrings() == 0 && ApartmentDepth() == 0);
  Emulation().clear();  // the objects of the last input are freed
  world = std::move(next);
  requests = 0;
  sleeps = 0;
  CamInstallMediaCapture(&kSeam);
}

const MediaCaptureOps* CaptureSeam() {
  return &kSeam;
}

int HeldObjects() {
  return static_cast<int>(Emulation().liveReferences());
}
int HeldStrings() {
  return static_cast<int>(Emulation().liveStrings());
}
int ApartmentDepth() {
  return capture::ApartmentDepth();
}
std::uint32_t RequestsSent() {
  return requests;
}

int DeviceOfFilter(McObject* filter) {
  std::uint64_t key = 0;
  return filter != nullptr && Emulation().cameraKeyOf(filter, &key) ? static_cast<int>(key) : -1;
}

}  // namespace fuzz
