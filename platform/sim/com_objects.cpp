#include "platform/sim/com_object.h"

#include "platform/sim/platform_guids.h"

// COM objects: apartments, reference counting, interface queries and leak accounting.

namespace sim {

namespace {
thread_local int apartmentDepth = 0;
}  // namespace

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
    if (iid == IidBaseFilter || iid == IidUnknown) {
      result = filter;
    } else if (iid == IidKsControl) {
      result = filter->control;
    } else if (iid == IidKsTopologyInfo && filter->device->setup().hasTopology) {
      result = filter->topology;
    }
  } else if (iid == IidUnknown ||
             (object->kind == ObjectKind::nodeControl && iid == IidKsControl) ||
             (object->kind == ObjectKind::propertyBag && iid == IidPropertyBag) ||
             (object->kind == ObjectKind::deviceEnumerator && iid == IidCreateDevEnum)) {
    result = object;
  }
  if (result == nullptr) {
    return McNoInterface;
  }
  addRef(result);
  *out = result;
  return McOk;
}

}  // namespace sim
