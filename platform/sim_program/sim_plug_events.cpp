#include "platform/sim_program/sim_plug_events.h"

#include <atomic>
#include <mutex>

#include "platform/capture_emulation/capture_emulation.h"
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

const DeviceTreeOps* innerTree = nullptr;

class PlugAware : public capture::ForwardingSource {
 public:
  using ForwardingSource::ForwardingSource;
  std::vector<SourceCamera> listCameras() override {
    CarryOutPlugEvents();
    return inner().listCameras();
  }
  int open(const SourceCamera& camera, std::uint64_t* binding) override {
    CarryOutPlugEvents();
    return inner().open(camera, binding);
  }
  int query(const SourceQuery& query) override {
    CarryOutPlugEvents();
    return inner().query(query);
  }
  void sleep(std::uint32_t milliseconds) override {
    inner().sleep(milliseconds);
    CarryOutPlugEvents();
  }
};

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

CameraSource& PlugAwareSource(CameraSource& inner) {
  static PlugAware source(inner);
  source.setInner(inner);
  return source;
}

const DeviceTreeOps* PlugAwareDeviceTree(const DeviceTreeOps* inner) {
  static DeviceTreeOps ops;
  innerTree = inner;
  ops = *inner;
  ops.locateRoot = &LocateRoot;
  return &ops;
}

}  // namespace console
