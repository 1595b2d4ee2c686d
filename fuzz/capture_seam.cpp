#include "fuzz/capture_seam.h"

#include <cstring>

// The seam's own objects: what each reference stands for.
struct McObject {
  enum class Kind { DeviceEnum, ClassEnum, Moniker, Bag, Filter, Topology, Control } kind;
  int device = -1;
  std::uint32_t node = 0;  // Control made for one topology node
  bool forNode = false;
  std::size_t next = 0;  // ClassEnum: the next device to hand out
};

namespace fuzz {
namespace {

// The platform's identifiers, written out from the framework's documentation.
constexpr Guid kVideoInputCategory{
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr Guid kTopologyInfo{
    0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
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
constexpr std::uint32_t kFlagsGet = 0x10000001;
constexpr std::uint32_t kFlagsSet = 0x10000002;
constexpr std::uint32_t kFlagsProbe = 0x10000100;

CaptureWorld world;
int heldObjects = 0;
int heldStrings = 0;
int apartment = 0;
std::uint32_t requests = 0;
std::uint32_t sleeps = 0;

McObject* Hand(McObject::Kind kind, int device) {
  ++heldObjects;
  auto* object = new McObject{kind};
  object->device = device;
  return object;
}

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// One result byte: mostly success, and the failure and odd success codes the layer must refuse.
HResult ResultOf(std::uint8_t b) {
  if (b < 0xC0) {
    return McOk;
  }
  constexpr HResult kOthers[4] = {McFalse, 2, McFail, McNotFound};
  return kOthers[(b >> 4) & 3];
}

bool OverCap() {
  return requests > world.requestCap || sleeps > world.requestCap;
}

HResult CoInitialize() {
  ++apartment;
  return McOk;
}

void CoUninitialize() {
  FUZZ_REQUIRE(apartment > 0);
  --apartment;
}

HResult CreateDeviceEnumerator(McObject** out) {
  FUZZ_REQUIRE(apartment > 0 && out != nullptr);
  if (world.deviceEnumFails) {
    return McFail;
  }
  *out = Hand(McObject::Kind::DeviceEnum, -1);
  return McOk;
}

HResult CreateClassEnumerator(McObject* devEnum, const Guid& category, McObject** out,
                              std::uint32_t flags) {
  FUZZ_REQUIRE(devEnum != nullptr && devEnum->kind == McObject::Kind::DeviceEnum);
  FUZZ_REQUIRE(category == kVideoInputCategory && flags == 0);
  if (world.classEnumFails || world.devices.empty()) {
    return McFalse;  // an empty category is S_FALSE, and no enumerator
  }
  *out = Hand(McObject::Kind::ClassEnum, -1);
  return McOk;
}

HResult EnumReset(McObject* classEnum) {
  FUZZ_REQUIRE(classEnum != nullptr && classEnum->kind == McObject::Kind::ClassEnum);
  classEnum->next = 0;
  return McOk;
}

HResult EnumNext(McObject* classEnum, McObject** out) {
  FUZZ_REQUIRE(classEnum != nullptr && classEnum->kind == McObject::Kind::ClassEnum);
  if (classEnum->next >= world.devices.size()) {
    return McFalse;
  }
  *out = Hand(McObject::Kind::Moniker, static_cast<int>(classEnum->next++));
  return McOk;
}

HResult BindToStorage(McObject* moniker, McObject** out) {
  FUZZ_REQUIRE(moniker != nullptr && moniker->kind == McObject::Kind::Moniker);
  if (world.devices[moniker->device].bagFails) {
    return McFail;
  }
  *out = Hand(McObject::Kind::Bag, moniker->device);
  return McOk;
}

HResult ReadStringProperty(McObject* bag, const char16_t* name, char16_t** value) {
  FUZZ_REQUIRE(bag != nullptr && bag->kind == McObject::Kind::Bag);
  FUZZ_REQUIRE(std::u16string(name) == u"DevicePath");
  const CaptureDevice& device = world.devices[bag->device];
  if (device.pathFails) {
    return McFail;
  }
  // Exactly as long as the path and its terminator, so a read past it is seen.
  *value = new char16_t[device.path.size() + 1];
  std::memcpy(*value, device.path.c_str(), sizeof(char16_t) * (device.path.size() + 1));
  ++heldStrings;
  return McOk;
}

void FreeString(char16_t* value) {
  FUZZ_REQUIRE(value != nullptr);
  --heldStrings;
  delete[] value;
}

HResult BindToObject(McObject* moniker, McObject** out) {
  FUZZ_REQUIRE(moniker != nullptr && moniker->kind == McObject::Kind::Moniker);
  FUZZ_REQUIRE(apartment > 0);
  if (world.devices[moniker->device].filterFails) {
    return McFail;
  }
  *out = Hand(McObject::Kind::Filter, moniker->device);
  return McOk;
}

HResult QueryInterface(McObject* object, const Guid& iid, McObject** out) {
  FUZZ_REQUIRE(object != nullptr && object->kind == McObject::Kind::Filter);
  FUZZ_REQUIRE(apartment > 0);
  const CaptureDevice& device = world.devices[object->device];
  if (iid == kTopologyInfo && !device.topologyFails) {
    *out = Hand(McObject::Kind::Topology, object->device);
    return McOk;
  }
  if (iid == kKsControl && !world.controlFails) {
    *out = Hand(McObject::Kind::Control, object->device);
    return McOk;
  }
  return McNoInterface;
}

HResult GetNumNodes(McObject* topology, std::uint32_t* count) {
  FUZZ_REQUIRE(topology != nullptr && topology->kind == McObject::Kind::Topology);
  const CaptureDevice& device = world.devices[topology->device];
  if (device.nodeCountFails) {
    return McFail;
  }
  *count = device.nodes;
  return McOk;
}

HResult GetNodeType(McObject* topology, std::uint32_t index, Guid* type) {
  FUZZ_REQUIRE(topology != nullptr && topology->kind == McObject::Kind::Topology);
  const CaptureDevice& device = world.devices[topology->device];
  FUZZ_REQUIRE(index < device.nodes);
  *type = index < 32 && (device.vendorNodes >> index & 1) ? kVendorNode : kOtherNode;
  return McOk;
}

HResult CreateNodeInstance(McObject* topology, std::uint32_t index, const Guid& iid,
                           McObject** out) {
  FUZZ_REQUIRE(topology != nullptr && topology->kind == McObject::Kind::Topology);
  const CaptureDevice& device = world.devices[topology->device];
  FUZZ_REQUIRE(index < device.nodes && iid == kKsControl);
  if (index < 32 && (device.instanceFails >> index & 1)) {
    return McFail;
  }
  McObject* control = Hand(McObject::Kind::Control, topology->device);
  control->node = index;
  control->forNode = true;
  *out = control;
  return McOk;
}

// The answers of a well-mannered camera: every request succeeds, and an internal-memory read
// answers with the identification block of a "220R0" revision 1 chip when the device identifies.
void WellMannered(const CaptureDevice& device, std::uint32_t selector, std::uint8_t* answer) {
  if (selector == 4 && device.identifies) {
    const std::uint8_t block[] = {8, '2', '2', '0', 'R', '0', 1, 0, 0};
    std::memcpy(answer + 2, block, sizeof block);
  }
}

HResult KsProperty(McObject* control, void* property, std::uint32_t propertyLength, void* data,
                   std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  FUZZ_REQUIRE(control != nullptr && control->kind == McObject::Kind::Control);
  FUZZ_REQUIRE(property != nullptr && propertyLength == 32 && bytesReturned != nullptr);
  std::uint8_t header[32];
  std::memcpy(header, property, sizeof header);
  FUZZ_REQUIRE(std::memcmp(header, kXuSetBytes, 16) == 0);
  const std::uint32_t selector = Le32(header + 16);
  const std::uint32_t flags = Le32(header + 20);
  FUZZ_REQUIRE(Le32(header + 28) == 0);
  const CaptureDevice& device = world.devices[control->device];
  ++requests;

  if (flags == kFlagsProbe) {
    FUZZ_REQUIRE(selector == 0 && data == nullptr && dataLength == 0);
    FUZZ_REQUIRE(control->forNode && Le32(header + 24) == control->node);
    if (world.answers == nullptr) {
      return McOk;
    }
    std::uint8_t b = 0;
    return world.answers->Byte(b) ? ResultOf(b) : McFail;
  }
  FUZZ_REQUIRE(flags == kFlagsGet || flags == kFlagsSet);
  FUZZ_REQUIRE(selector >= 1 && selector <= 5 && !(selector == 5 && flags == kFlagsSet));
  FUZZ_REQUIRE(data != nullptr && dataLength == kRecordLength[selector]);
  // Exact-size copies both ways, so a record shorter than its length is caught on either side.
  static std::uint8_t* const records[6] = {nullptr,
                                           new std::uint8_t[4],
                                           new std::uint8_t[8],
                                           new std::uint8_t[12],
                                           new std::uint8_t[12],
                                           new std::uint8_t[12]};
  std::uint8_t* const record = records[selector];
  std::memset(record, 0, dataLength);
  if (flags == kFlagsSet) {
    std::memcpy(record, data, dataLength);
  }
  if (OverCap()) {
    return McDeviceNotConnected;  // the device leaves, so no wait keeps a run going after the cap
  }
  HResult result = McOk;
  if (world.answers == nullptr) {
    WellMannered(device, selector, record);
  } else {
    std::uint8_t b = 0;
    if (!world.answers->Byte(b) ||
        (flags == kFlagsGet && !world.answers->Bytes(record, dataLength))) {
      return McFail;
    }
    result = ResultOf(b);
  }
  if (flags == kFlagsGet) {
    std::memcpy(data, record, dataLength);
    *bytesReturned = dataLength;
  }
  return result;
}

std::uint32_t Release(McObject* object) {
  FUZZ_REQUIRE(object != nullptr);
  --heldObjects;
  delete object;  // a second release of the same reference is a use after free
  return 0;
}

void Sleep(std::uint32_t /*milliseconds*/) {
  ++sleeps;
}

constexpr MediaCaptureOps kSeam{
    CoInitialize,
    CoUninitialize,
    CreateDeviceEnumerator,
    CreateClassEnumerator,
    EnumReset,
    EnumNext,
    BindToStorage,
    ReadStringProperty,
    FreeString,
    BindToObject,
    QueryInterface,
    GetNumNodes,
    GetNodeType,
    CreateNodeInstance,
    KsProperty,
    Release,
    Sleep,
};

}  // namespace

void StartCaptureWorld(CaptureWorld next) {
  FUZZ_REQUIRE(heldObjects == 0 && heldStrings == 0 && apartment == 0);
  world = std::move(next);
  requests = 0;
  sleeps = 0;
  CamInstallMediaCapture(&kSeam);
}

const MediaCaptureOps* CaptureSeam() {
  return &kSeam;
}

int HeldObjects() {
  return heldObjects;
}
int HeldStrings() {
  return heldStrings;
}
int ApartmentDepth() {
  return apartment;
}
std::uint32_t RequestsSent() {
  return requests;
}

int DeviceOfFilter(const McObject* filter) {
  return filter != nullptr && filter->kind == McObject::Kind::Filter ? filter->device : -1;
}

}  // namespace fuzz
