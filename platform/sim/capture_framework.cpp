#include "platform/sim/capture_framework.h"

namespace sim {

CaptureFramework::CaptureFramework() = default;

CaptureFramework::~CaptureFramework() = default;

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
  emulation_.clear();  // first: it closes what is still bound, through this source
  std::lock_guard lock(mutex_);
  bindings_.clear();
  devices_.clear();
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

capture::Emulation& CurrentEmulation() {
  return CurrentFramework().emulation();
}

}  // namespace

CaptureFramework& CurrentFramework() {
  CaptureFramework* framework = current.load(std::memory_order_acquire);
  return framework != nullptr ? *framework : ProcessFramework();
}

void SetCurrentFramework(CaptureFramework* framework) {
  current.store(framework, std::memory_order_release);
}

const MediaCaptureOps* MediaCaptureTable() {
  return capture::MediaCaptureOver<CurrentEmulation>();
}

}  // namespace sim
