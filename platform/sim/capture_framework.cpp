#include "platform/sim/capture_framework.h"

#include <cctype>
#include <cstring>

#include "camera/chip_registers.h"

// One reference-counted platform object. A filter's interfaces (control, topology, node
// controls) are objects of their own that point back at the filter.
struct McObject {
  sim::ObjectKind kind;
  std::uint32_t refs = 0;
  sim::Device* device = nullptr;
  McObject* filter = nullptr;  // for a filter's interfaces
  // Class enumerator.
  std::vector<sim::Device*> devices;
  std::size_t position = 0;
  // Filter.
  std::uint32_t generation = 0;
  McObject* control = nullptr;
  McObject* topology = nullptr;
  std::vector<McObject*> nodeControls;
};

namespace sim {

namespace {

thread_local int apartmentDepth = 0;

// {00000000-0000-0000-C000-000000000046}
constexpr Guid IID_IUnknown_{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr std::uint32_t FlagsSet = KsPropertyTypeSet | KsPropertyTypeTopology;
constexpr std::uint32_t FlagsGet = KsPropertyTypeGet | KsPropertyTypeTopology;
constexpr std::uint32_t FlagsSupport = KsPropertyTypeSetSupport | KsPropertyTypeTopology;

std::uint32_t ReadU32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::u16string Widen(std::string_view text) {
  return std::u16string(text.begin(), text.end());
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

bool IsFilterPart(const McObject* object) {
  return object->kind == ObjectKind::filter || object->kind == ObjectKind::filterControl ||
         object->kind == ObjectKind::topology;
}

McObject* FilterOf(McObject* object) {
  if (object == nullptr) {
    return nullptr;
  }
  return object->kind == ObjectKind::filter ? object : object->filter;
}

std::u16string PropertyName(const char16_t* name) {
  std::u16string out;
  while (name != nullptr && *name != 0) {
    out.push_back(*name++);
  }
  return out;
}

}  // namespace

std::u16string CameraDevicePath(std::string_view usbId, int instance) {
  // The shape of a USB video function's interface path, lower case as the platform gives it.
  const std::string text = "\\\\?\\usb#" + Lower(usbId) + "&mi_00#7&2f1c4e3a&0&" +
                           std::to_string(1000 + instance).substr(1) +
                           "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
  return Widen(text);
}

DeviceSetup CameraDevice(const CameraConfig& camera, std::string_view usbId, int instance) {
  DeviceSetup setup;
  setup.path = CameraDevicePath(usbId, instance);
  setup.friendlyName = u"USB Camera";
  setup.nodes = {NodeTypeCameraTerminal, NodeTypeVideoProcessing, NodeTypeVendorSpecific,
                 NodeTypeVendorSpecific};
  setup.xuNodeId = 3;
  setup.camera = camera;
  return setup;
}

DeviceSetup CameraDeviceWithoutVendorNodes(const CameraConfig& camera, std::string_view usbId,
                                           int instance) {
  DeviceSetup setup = CameraDevice(camera, usbId, instance);
  setup.nodes = {NodeTypeCameraTerminal, NodeTypeVideoProcessing};
  setup.xuNodeId = 2;
  return setup;
}

DeviceSetup ForeignCaptureDevice(std::string_view usbId, int instance) {
  DeviceSetup setup;
  setup.path = CameraDevicePath(usbId, instance);
  setup.friendlyName = u"HD Webcam";
  setup.nodes = {NodeTypeCameraTerminal, NodeTypeVideoProcessing, NodeTypeVendorSpecific};
  setup.hasExtensionUnit = false;
  setup.xuNodeId = 2;
  return setup;
}

const char* ObjectKindName(ObjectKind kind) {
  static constexpr const char* names[objectKindCount] = {
      "device enumerator", "class enumerator", "moniker",     "property bag", "filter",
      "filter control",    "topology",         "node control"};
  return names[static_cast<int>(kind)];
}

int ApartmentDepth() {
  return apartmentDepth;
}

// For ResetSimulator only: a test that failed half-way may have left this thread inside.
void ResetApartmentOfThisThread() {
  apartmentDepth = 0;
}

Device::Device(const DeviceSetup& setup, Clock& clock) : setup_(setup) {
  if (setup_.hasExtensionUnit) {
    camera_ = std::make_unique<Camera>(setup_.camera, clock, faults_);
  }
}

void Device::setPlugged(bool plugged) {
  plugged_ = plugged;
  if (!plugged) {
    attached_ = false;
  }
}

void Device::detach() {
  attached_ = false;
}

CaptureFramework::CaptureFramework() = default;

CaptureFramework::~CaptureFramework() {
  for (char16_t* text : strings_) {
    delete[] text;
  }
}

Device& CaptureFramework::addDevice(const DeviceSetup& setup) {
  std::lock_guard lock(mutex_);
  devices_.push_back(std::make_unique<Device>(setup, clock_));
  return *devices_.back();
}

Device* CaptureFramework::firstCameraDevice() {
  for (auto& device : devices_) {
    if (device->camera() != nullptr) {
      return device.get();
    }
  }
  return nullptr;
}

Camera* CaptureFramework::firstCamera() {
  Device* device = firstCameraDevice();
  return device != nullptr ? device->camera() : nullptr;
}

void CaptureFramework::clear() {
  std::lock_guard lock(mutex_);
  objects_.clear();
  devices_.clear();
  for (char16_t* text : strings_) {
    delete[] text;
  }
  strings_.clear();
  live_.fill(0);
  overReleases_ = 0;
  badStringFrees_ = 0;
  apartmentBalance_ = 0;
  unbalancedLeaves_ = 0;
  traceOut_ = nullptr;
  if (traceFile_.is_open()) {
    traceFile_.close();
  }
  clock_.reset(ClockMode::instant);
}

void CaptureFramework::traceTo(std::ostream* out) {
  std::lock_guard lock(mutex_);
  traceOut_ = out;
}

bool CaptureFramework::traceToFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (traceFile_.is_open()) {
    traceFile_.close();
  }
  traceFile_.clear();
  traceFile_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
  traceOut_ = traceFile_.is_open() ? &traceFile_ : nullptr;
  return traceOut_ != nullptr;
}

void CaptureFramework::stopTrace() {
  std::lock_guard lock(mutex_);
  traceOut_ = nullptr;
  if (traceFile_.is_open()) {
    traceFile_.close();
  }
}

std::int64_t CaptureFramework::liveReferences(ObjectKind kind) const {
  std::lock_guard lock(mutex_);
  return live_[static_cast<int>(kind)];
}

std::int64_t CaptureFramework::liveReferences() const {
  std::lock_guard lock(mutex_);
  std::int64_t total = 0;
  for (std::int64_t count : live_) {
    total += count;
  }
  return total;
}

std::int64_t CaptureFramework::liveStrings() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::int64_t>(strings_.size());
}

std::uint32_t CaptureFramework::overReleases() const {
  std::lock_guard lock(mutex_);
  return overReleases_;
}

std::uint32_t CaptureFramework::badStringFrees() const {
  std::lock_guard lock(mutex_);
  return badStringFrees_;
}

std::int64_t CaptureFramework::apartmentBalance() const {
  return apartmentBalance_.load();
}

std::uint32_t CaptureFramework::unbalancedLeaves() const {
  return unbalancedLeaves_.load();
}

McObject* CaptureFramework::newObject(ObjectKind kind, Device* device) {
  auto object = std::make_unique<McObject>();
  object->kind = kind;
  object->device = device;
  objects_.push_back(std::move(object));
  return objects_.back().get();
}

McObject* CaptureFramework::newFilter(Device& device) {
  McObject* filter = newObject(ObjectKind::filter, &device);
  filter->generation = device.generation_;
  filter->control = newObject(ObjectKind::filterControl, &device);
  filter->control->filter = filter;
  filter->topology = newObject(ObjectKind::topology, &device);
  filter->topology->filter = filter;
  for (std::size_t i = 0; i < device.setup().nodes.size(); ++i) {
    McObject* node = newObject(ObjectKind::nodeControl, &device);
    node->filter = filter;
    filter->nodeControls.push_back(node);
  }
  return filter;
}

void CaptureFramework::addRef(McObject* object) {
  ++object->refs;
  ++live_[static_cast<int>(object->kind)];
}

std::uint32_t CaptureFramework::release(McObject* object) {
  if (object == nullptr) {
    return 0;
  }
  std::lock_guard lock(mutex_);
  if (object->refs == 0) {
    ++overReleases_;
    return 0;
  }
  --object->refs;
  --live_[static_cast<int>(object->kind)];
  return object->refs;
}

HResult CaptureFramework::coInitialize() {
  ++apartmentDepth;
  ++apartmentBalance_;
  return apartmentDepth == 1 ? McOk : McFalse;
}

void CaptureFramework::coUninitialize() {
  if (apartmentDepth == 0) {
    ++unbalancedLeaves_;
    return;
  }
  --apartmentDepth;
  --apartmentBalance_;
}

HResult CaptureFramework::createDeviceEnumerator(McObject** devEnum) {
  if (devEnum == nullptr) {
    return McPointer;
  }
  *devEnum = nullptr;
  if (apartmentDepth == 0) {
    return McNotInitialized;
  }
  std::lock_guard lock(mutex_);
  *devEnum = newObject(ObjectKind::deviceEnumerator, nullptr);
  addRef(*devEnum);
  return McOk;
}

HResult CaptureFramework::createClassEnumerator(McObject* devEnum, const Guid& category,
                                                McObject** enumMoniker, std::uint32_t) {
  if (enumMoniker == nullptr) {
    return McPointer;
  }
  *enumMoniker = nullptr;
  if (devEnum == nullptr || devEnum->kind != ObjectKind::deviceEnumerator) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  if (!(category == CLSID_VideoInputDeviceCategory_)) {
    return McFalse;
  }
  std::vector<Device*> listed;
  for (auto& device : devices_) {
    if (!device->plugged_) {
      continue;
    }
    // Enumerating finds a camera that dropped off (reset, disconnect) back on the bus.
    if (!device->attached_) {
      device->attached_ = true;
      ++device->generation_;
    }
    listed.push_back(device.get());
  }
  if (listed.empty()) {
    return McFalse;  // an empty category gives no enumerator at all
  }
  McObject* enumerator = newObject(ObjectKind::classEnumerator, nullptr);
  enumerator->devices = std::move(listed);
  addRef(enumerator);
  *enumMoniker = enumerator;
  return McOk;
}

HResult CaptureFramework::enumReset(McObject* enumMoniker) {
  if (enumMoniker == nullptr || enumMoniker->kind != ObjectKind::classEnumerator) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  enumMoniker->position = 0;
  return McOk;
}

HResult CaptureFramework::enumNext(McObject* enumMoniker, McObject** moniker) {
  if (moniker == nullptr) {
    return McPointer;
  }
  *moniker = nullptr;
  if (enumMoniker == nullptr || enumMoniker->kind != ObjectKind::classEnumerator) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  if (enumMoniker->position >= enumMoniker->devices.size()) {
    return McFalse;
  }
  McObject* next = newObject(ObjectKind::moniker, enumMoniker->devices[enumMoniker->position++]);
  addRef(next);
  *moniker = next;
  return McOk;
}

HResult CaptureFramework::bindToStorage(McObject* moniker, McObject** propertyBag) {
  if (propertyBag == nullptr) {
    return McPointer;
  }
  *propertyBag = nullptr;
  if (moniker == nullptr || moniker->kind != ObjectKind::moniker) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  McObject* bag = newObject(ObjectKind::propertyBag, moniker->device);
  addRef(bag);
  *propertyBag = bag;
  return McOk;
}

HResult CaptureFramework::readStringProperty(McObject* propertyBag, const char16_t* name,
                                             char16_t** value) {
  if (value == nullptr || name == nullptr) {
    return McPointer;
  }
  *value = nullptr;
  if (propertyBag == nullptr || propertyBag->kind != ObjectKind::propertyBag) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  const DeviceSetup& setup = propertyBag->device->setup();
  const std::u16string key = PropertyName(name);
  const std::u16string* text = nullptr;
  if (key == u"DevicePath" && !setup.pathUnreadable) {
    text = &setup.path;
  } else if (key == u"FriendlyName") {
    text = &setup.friendlyName;
  }
  if (text == nullptr) {
    return McInvalidArg;
  }
  auto* copy = new char16_t[text->size() + 1];
  std::memcpy(copy, text->data(), text->size() * sizeof(char16_t));
  copy[text->size()] = 0;
  strings_.insert(copy);
  *value = copy;
  return McOk;
}

void CaptureFramework::freeString(char16_t* value) {
  if (value == nullptr) {
    return;
  }
  std::lock_guard lock(mutex_);
  if (strings_.erase(value) == 0) {
    ++badStringFrees_;
    return;
  }
  delete[] value;
}

HResult CaptureFramework::bindToObject(McObject* moniker, McObject** filter) {
  if (filter == nullptr) {
    return McPointer;
  }
  *filter = nullptr;
  if (moniker == nullptr || moniker->kind != ObjectKind::moniker) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  Device& device = *moniker->device;
  if (device.setup().cannotBind) {
    return McFail;
  }
  if (!device.plugged_) {
    return McDeviceNotConnected;
  }
  McObject* bound = newFilter(device);
  addRef(bound);
  *filter = bound;
  return McOk;
}

HResult CaptureFramework::queryInterface(McObject* object, const Guid& iid, McObject** out) {
  if (out == nullptr) {
    return McPointer;
  }
  *out = nullptr;
  if (object == nullptr) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  McObject* result = nullptr;
  if (IsFilterPart(object)) {
    McObject* filter = FilterOf(object);
    if (iid == IID_IBaseFilter_ || iid == IID_IUnknown_) {
      result = filter;
    } else if (iid == IID_IKsControl_) {
      result = filter->control;
    } else if (iid == IID_IKsTopologyInfo_ && filter->device->setup().hasTopology) {
      result = filter->topology;
    }
  } else if (iid == IID_IUnknown_ ||
             (object->kind == ObjectKind::nodeControl && iid == IID_IKsControl_) ||
             (object->kind == ObjectKind::propertyBag && iid == IID_IPropertyBag_) ||
             (object->kind == ObjectKind::deviceEnumerator && iid == IID_ICreateDevEnum_)) {
    result = object;
  }
  if (result == nullptr) {
    return McNoInterface;
  }
  addRef(result);
  *out = result;
  return McOk;
}

HResult CaptureFramework::getNumNodes(McObject* topology, std::uint32_t* count) {
  if (count == nullptr) {
    return McPointer;
  }
  if (topology == nullptr || topology->kind != ObjectKind::topology) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  *count = static_cast<std::uint32_t>(topology->device->setup().nodes.size());
  return McOk;
}

HResult CaptureFramework::getNodeType(McObject* topology, std::uint32_t index, Guid* type) {
  if (type == nullptr) {
    return McPointer;
  }
  if (topology == nullptr || topology->kind != ObjectKind::topology) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  const auto& nodes = topology->device->setup().nodes;
  if (index >= nodes.size()) {
    return McInvalidArg;
  }
  *type = nodes[index];
  return McOk;
}

HResult CaptureFramework::createNodeInstance(McObject* topology, std::uint32_t index,
                                             const Guid& iid, McObject** control) {
  if (control == nullptr) {
    return McPointer;
  }
  *control = nullptr;
  if (topology == nullptr || topology->kind != ObjectKind::topology) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  McObject* filter = topology->filter;
  if (index >= filter->nodeControls.size()) {
    return McInvalidArg;
  }
  if (!(iid == IID_IKsControl_)) {
    return McNoInterface;
  }
  McObject* node = filter->nodeControls[index];
  addRef(node);
  *control = node;
  return McOk;
}

HResult CaptureFramework::ksProperty(McObject* control, void* property,
                                     std::uint32_t propertyLength, void* data,
                                     std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  if (control == nullptr ||
      (control->kind != ObjectKind::filterControl && control->kind != ObjectKind::nodeControl)) {
    return McInvalidArg;
  }
  if (property == nullptr || propertyLength < KspNodeLength) {
    return McInvalidArg;  // no node header: the request never reaches a unit
  }
  const auto* header = static_cast<const std::uint8_t*>(property);
  const std::uint32_t flags = ReadU32(header + 20);
  RequestKind kind = RequestKind::set;
  if ((flags & KsPropertyTypeGet) != 0) {
    kind = RequestKind::get;
  } else if ((flags & KsPropertyTypeSetSupport) != 0) {
    kind = RequestKind::support;
  }
  std::lock_guard lock(mutex_);
  const HResult result = serveRequest(FilterOf(control), header, kind,
                                      static_cast<std::uint8_t*>(data), dataLength, bytesReturned);
  if (traceOut_ != nullptr) {
    trace(kind, ReadU32(header + 16), ReadU32(header + 24), static_cast<std::uint8_t*>(data),
          dataLength, result != McOk);
  }
  return result;
}

HResult CaptureFramework::serveRequest(McObject* filter, const std::uint8_t* header,
                                       RequestKind kind, std::uint8_t* data,
                                       std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  Device& device = *filter->device;
  Faults& faults = device.faults_;
  const std::uint32_t number = ++device.requestCount_;
  const std::uint32_t selector = ReadU32(header + 16);
  const std::uint32_t flags = ReadU32(header + 20);
  const std::uint32_t node = ReadU32(header + 24);
  if (bytesReturned != nullptr) {
    *bytesReturned = 0;
  }

  if (faults.disconnectAfter != 0 && number > faults.disconnectAfter) {
    faults.disconnectAfter = 0;
    device.attached_ = false;
  }
  if (!device.attached_ || filter->generation != device.generation_) {
    return McDeviceNotConnected;
  }
  if (faults.failRequest == number) {
    return McGenFailure;
  }
  if (faults.failNode >= 0 && static_cast<std::int64_t>(node) == faults.failNode) {
    return McGenFailure;
  }

  Guid set;
  std::memcpy(&set, header, sizeof set);
  const std::uint32_t expectedFlags =
      kind == RequestKind::get ? FlagsGet : (kind == RequestKind::set ? FlagsSet : FlagsSupport);
  if (!(set == XuPropertySet) || flags != expectedFlags || ReadU32(header + 28) != 0) {
    return McSetNotFound;
  }
  Camera* camera = device.camera();
  if (camera == nullptr || node != device.setup().xuNodeId) {
    return McNotFound;  // this node knows nothing of the property set
  }
  if (kind == RequestKind::support) {
    return McOk;
  }

  if (selector < XuSelectorRegister || selector > XuSelectorInfo) {
    return McNotFound;
  }
  if (faults.failSelector >= 0 && static_cast<std::int64_t>(selector) == faults.failSelector) {
    return McGenFailure;
  }
  if (data == nullptr || dataLength != XuRecordLength[selector]) {
    return McBufferTooSmall;  // a control takes exactly its own record length
  }
  bool ok = false;
  if (kind == RequestKind::set) {
    ok = camera->set(selector, data);
  } else {
    ok = camera->get(selector, data);
    if (ok && bytesReturned != nullptr) {
      *bytesReturned = dataLength;
    }
  }
  if (camera->takeResetRequest()) {
    device.attached_ = false;  // it drops off the bus while it restarts
  }
  return ok ? McOk : McGenFailure;
}

void CaptureFramework::trace(RequestKind kind, std::uint32_t selector, std::uint32_t node,
                             const std::uint8_t* data, std::uint32_t dataLength, bool failed) {
  char line[TraceLineCapacity];
  const std::size_t length = FormatTraceLine(line, kind, selector, node, data, dataLength, failed);
  traceOut_->write(line, static_cast<std::streamsize>(length));
  // Each line reaches the file at once, whichever way the process later ends.
  traceOut_->flush();
}

namespace {

std::atomic<CaptureFramework*> current{nullptr};

CaptureFramework& ProcessFramework() {
  static CaptureFramework framework;
  return framework;
}

CaptureFramework& Fw() {
  return CurrentFramework();
}

const MediaCaptureOps table{
    [] { return Fw().coInitialize(); },
    [] { Fw().coUninitialize(); },
    [](McObject** devEnum) { return Fw().createDeviceEnumerator(devEnum); },
    [](McObject* devEnum, const Guid& category, McObject** out, std::uint32_t flags) {
      return Fw().createClassEnumerator(devEnum, category, out, flags);
    },
    [](McObject* enumMoniker) { return Fw().enumReset(enumMoniker); },
    [](McObject* enumMoniker, McObject** moniker) { return Fw().enumNext(enumMoniker, moniker); },
    [](McObject* moniker, McObject** bag) { return Fw().bindToStorage(moniker, bag); },
    [](McObject* bag, const char16_t* name, char16_t** value) {
      return Fw().readStringProperty(bag, name, value);
    },
    [](char16_t* value) { Fw().freeString(value); },
    [](McObject* moniker, McObject** filter) { return Fw().bindToObject(moniker, filter); },
    [](McObject* object, const Guid& iid, McObject** out) {
      return Fw().queryInterface(object, iid, out);
    },
    [](McObject* topology, std::uint32_t* count) { return Fw().getNumNodes(topology, count); },
    [](McObject* topology, std::uint32_t index, Guid* type) {
      return Fw().getNodeType(topology, index, type);
    },
    [](McObject* topology, std::uint32_t index, const Guid& iid, McObject** control) {
      return Fw().createNodeInstance(topology, index, iid, control);
    },
    [](McObject* control, void* property, std::uint32_t propertyLength, void* data,
       std::uint32_t dataLength, std::uint32_t* bytesReturned) {
      return Fw().ksProperty(control, property, propertyLength, data, dataLength, bytesReturned);
    },
    [](McObject* object) { return Fw().release(object); },
    [](std::uint32_t milliseconds) { Fw().sleep(milliseconds); },
};

}  // namespace

CaptureFramework& CurrentFramework() {
  CaptureFramework* framework = current.load(std::memory_order_acquire);
  return framework != nullptr ? *framework : ProcessFramework();
}

void SetCurrentFramework(CaptureFramework* framework) {
  current.store(framework, std::memory_order_release);
}

const MediaCaptureOps* MediaCaptureTable() {
  return &table;
}

}  // namespace sim
