#include "platform/sim/capture_framework.h"

#include "platform/sim/com_object.h"

namespace sim {

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
