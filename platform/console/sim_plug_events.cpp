#include "platform/console/sim_plug_events.h"

#include <atomic>
#include <mutex>

#include "platform/sim/simulator.h"

namespace console {
namespace {

constexpr int kNothing = 0;
constexpr int kPulled = 1;
constexpr int kPluggedIn = 2;

// Written by signal handlers, so they must not take a lock.
std::atomic<unsigned> pullsNoted{0};
std::atomic<int> lastNoted{kNothing};
static_assert(std::atomic<unsigned>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

std::mutex carryMutex;
sim::Device* watched = nullptr;
std::string watchedUsbId;
Timeline* recording = nullptr;
unsigned pullsCarried = 0;
bool present = true;

void SetPresent(bool plugged) {
  if (plugged == present) {
    return;
  }
  present = plugged;
  sim::SetCameraPlugged(*watched, watchedUsbId, plugged);
  if (recording != nullptr) {
    recording->Record(plugged ? "camera plugged in" : "camera pulled");
  }
}

const MediaCaptureOps* innerCapture = nullptr;
const DeviceTreeOps* innerTree = nullptr;

HResult CreateClassEnumerator(McObject* devEnum, const Guid& category, McObject** enumMoniker,
                              std::uint32_t flags) {
  CarryOutPlugEvents();
  return innerCapture->createClassEnumerator(devEnum, category, enumMoniker, flags);
}

HResult BindToObject(McObject* moniker, McObject** filter) {
  CarryOutPlugEvents();
  return innerCapture->bindToObject(moniker, filter);
}

HResult KsProperty(McObject* control, void* property, std::uint32_t propertyLength, void* data,
                   std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  CarryOutPlugEvents();
  return innerCapture->ksProperty(control, property, propertyLength, data, dataLength,
                                  bytesReturned);
}

void Sleep(std::uint32_t milliseconds) {
  innerCapture->sleep(milliseconds);
  CarryOutPlugEvents();
}

ConfigRet LocateRoot(DevNode* node) {
  CarryOutPlugEvents();
  return innerTree->locateRoot(node);
}

}  // namespace

void NoteCameraPulled() {
  // The count first: whoever reads the last event as a pull also finds the pull counted.
  pullsNoted.fetch_add(1);
  lastNoted.store(kPulled);
}

void NoteCameraPluggedIn() {
  lastNoted.store(kPluggedIn);
}

void WatchPlugEvents(sim::Device* device, const std::string& usbId, Timeline* timeline) {
  std::lock_guard lock(carryMutex);
  watched = device;
  watchedUsbId = usbId;
  recording = timeline;
  // The camera starts plugged in; a signal that came before the world was built still counts.
  present = true;
}

void CarryOutPlugEvents() {
  const unsigned pulls = pullsNoted.load();
  const int last = lastNoted.load();
  std::lock_guard lock(carryMutex);
  if (watched == nullptr) {
    return;
  }
  if (pulls != pullsCarried) {
    pullsCarried = pulls;
    SetPresent(false);
  }
  if (last != kNothing) {
    SetPresent(last == kPluggedIn);
  }
}

const MediaCaptureOps* PlugAwareMediaCapture(const MediaCaptureOps* inner) {
  static MediaCaptureOps ops;
  innerCapture = inner;
  ops = *inner;
  ops.createClassEnumerator = &CreateClassEnumerator;
  ops.bindToObject = &BindToObject;
  ops.ksProperty = &KsProperty;
  ops.sleep = &Sleep;
  return &ops;
}

const DeviceTreeOps* PlugAwareDeviceTree(const DeviceTreeOps* inner) {
  static DeviceTreeOps ops;
  innerTree = inner;
  ops = *inner;
  ops.locateRoot = &LocateRoot;
  return &ops;
}

}  // namespace console
