#include "platform/capture_emulation/capture_emulation.h"

#include <cstring>
#include <string>

#include "seams/platform_ids.h"
#include "platform/capture_emulation/emulated_object.h"

// Apartments, reference counting, interface queries, the device listing and leak accounting.

namespace capture {

namespace {

thread_local int apartmentDepth = 0;

// {00000000-0000-0000-C000-000000000046}: the interface every object answers to.
constexpr Guid IidUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

std::u16string PropertyName(const char16_t* name) {
  std::u16string out;
  while (name != nullptr && *name != 0) {
    out.push_back(*name++);
  }
  return out;
}

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

void ResetApartmentOfThisThread() {
  apartmentDepth = 0;
}

Emulation::Emulation(CameraSource& source) : own_(source), source_(&source) {}

Emulation::~Emulation() {
  for (char16_t* text : strings_) {
    delete[] text;
  }
}

void Emulation::clear() {
  std::vector<std::uint64_t> stillOpen;
  {
    std::lock_guard lock(mutex_);
    for (const auto& object : objects_) {
      if (object->kind == ObjectKind::filter && object->open) {
        stillOpen.push_back(object->binding);
      }
    }
    objects_.clear();
    for (char16_t* text : strings_) {
      delete[] text;
    }
    strings_.clear();
    live_.fill(0);
    overReleases_ = 0;
    badStringFrees_ = 0;
    apartmentBalance_ = 0;
    unbalancedLeaves_ = 0;
  }
  for (std::uint64_t binding : stillOpen) {
    source().close(binding);
  }
  source_ = &own_;
}

std::int64_t Emulation::liveReferences(ObjectKind kind) const {
  std::lock_guard lock(mutex_);
  return live_[static_cast<int>(kind)];
}

std::int64_t Emulation::liveReferences() const {
  std::lock_guard lock(mutex_);
  std::int64_t total = 0;
  for (std::int64_t count : live_) {
    total += count;
  }
  return total;
}

std::int64_t Emulation::liveStrings() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::int64_t>(strings_.size());
}

std::uint32_t Emulation::overReleases() const {
  std::lock_guard lock(mutex_);
  return overReleases_;
}

std::uint32_t Emulation::badStringFrees() const {
  std::lock_guard lock(mutex_);
  return badStringFrees_;
}

std::int64_t Emulation::apartmentBalance() const {
  return apartmentBalance_.load();
}

std::uint32_t Emulation::unbalancedLeaves() const {
  return unbalancedLeaves_.load();
}

bool Emulation::cameraKeyOf(McObject* handle, std::uint64_t* key) const {
  std::lock_guard lock(mutex_);
  const Object* object = AsObject(handle);
  if (object == nullptr || object->camera == nullptr) {
    return false;
  }
  *key = object->camera->key;
  return true;
}

Object* Emulation::newObject(ObjectKind kind) {
  objects_.push_back(std::make_unique<Object>());
  objects_.back()->kind = kind;
  return objects_.back().get();
}

Object* Emulation::live(McObject* handle, ObjectKind kind) const {
  Object* object = AsObject(handle);
  return object != nullptr && object->kind == kind ? object : nullptr;
}

void Emulation::addRef(Object* object) {
  ++object->refs;
  ++live_[static_cast<int>(object->kind)];
  if (object->kind != ObjectKind::filter && object->filter == nullptr) {
    return;
  }
  ++FilterOf(object)->heldInGroup;
}

std::uint32_t Emulation::release(McObject* handle) {
  Object* object = AsObject(handle);
  if (object == nullptr) {
    return 0;
  }
  bool closing = false;
  std::uint64_t binding = 0;
  std::uint32_t left = 0;
  {
    std::lock_guard lock(mutex_);
    if (object->refs == 0) {
      ++overReleases_;
      return 0;
    }
    left = --object->refs;
    --live_[static_cast<int>(object->kind)];
    if (object->kind == ObjectKind::filter || object->filter != nullptr) {
      Object* filter = FilterOf(object);
      if (--filter->heldInGroup == 0 && filter->open) {
        filter->open = false;
        closing = true;
        binding = filter->binding;
      }
    }
  }
  if (closing) {
    source().close(binding);  // the last reference on the camera is gone
  }
  return left;
}

HResult Emulation::coInitialize() {
  ++apartmentDepth;
  ++apartmentBalance_;
  return apartmentDepth == 1 ? McOk : McFalse;
}

void Emulation::coUninitialize() {
  if (apartmentDepth == 0) {
    ++unbalancedLeaves_;
    return;
  }
  --apartmentDepth;
  --apartmentBalance_;
}

HResult Emulation::queryInterface(McObject* handle, const Guid& iid, McObject** out) {
  if (out == nullptr) {
    return McPointer;
  }
  *out = nullptr;
  Object* object = AsObject(handle);
  if (object == nullptr) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  Object* result = nullptr;
  if (IsFilterPart(object)) {
    Object* filter = FilterOf(object);
    if (iid == IID_IBaseFilter_ || iid == IidUnknown) {
      result = filter;
    } else if (iid == IID_IKsControl_) {
      result = filter->control;
    } else if (iid == IID_IKsTopologyInfo_ && filter->camera->hasTopology) {
      result = filter->topology;
    }
  } else if (iid == IidUnknown ||
             (object->kind == ObjectKind::nodeControl && iid == IID_IKsControl_) ||
             (object->kind == ObjectKind::propertyBag && iid == IID_IPropertyBag_) ||
             (object->kind == ObjectKind::deviceEnumerator && iid == IID_ICreateDevEnum_)) {
    result = object;
  }
  if (result == nullptr) {
    return McNoInterface;
  }
  addRef(result);
  *out = Handle(result);
  return McOk;
}

HResult Emulation::createDeviceEnumerator(McObject** devEnum) {
  if (devEnum == nullptr) {
    return McPointer;
  }
  *devEnum = nullptr;
  if (ApartmentDepth() == 0) {
    return McNotInitialized;
  }
  std::lock_guard lock(mutex_);
  Object* enumerator = newObject(ObjectKind::deviceEnumerator);
  addRef(enumerator);
  *devEnum = Handle(enumerator);
  return McOk;
}

HResult Emulation::createClassEnumerator(McObject* devEnum, const Guid& category,
                                         McObject** enumMoniker, std::uint32_t) {
  if (enumMoniker == nullptr) {
    return McPointer;
  }
  *enumMoniker = nullptr;
  if (live(devEnum, ObjectKind::deviceEnumerator) == nullptr) {
    return McInvalidArg;
  }
  if (!(category == CLSID_VideoInputDeviceCategory_)) {
    return McFalse;
  }
  std::vector<SourceCamera> listed = source().listCameras();
  if (listed.empty()) {
    return McFalse;  // an empty category gives no enumerator at all
  }
  std::lock_guard lock(mutex_);
  Object* enumerator = newObject(ObjectKind::classEnumerator);
  for (SourceCamera& camera : listed) {
    enumerator->cameras.push_back(std::make_shared<const SourceCamera>(std::move(camera)));
  }
  addRef(enumerator);
  *enumMoniker = Handle(enumerator);
  return McOk;
}

HResult Emulation::enumReset(McObject* enumMoniker) {
  Object* enumerator = live(enumMoniker, ObjectKind::classEnumerator);
  if (enumerator == nullptr) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  enumerator->position = 0;
  return McOk;
}

HResult Emulation::enumNext(McObject* enumMoniker, McObject** moniker) {
  if (moniker == nullptr) {
    return McPointer;
  }
  *moniker = nullptr;
  Object* enumerator = live(enumMoniker, ObjectKind::classEnumerator);
  if (enumerator == nullptr) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  if (enumerator->position >= enumerator->cameras.size()) {
    return McFalse;
  }
  Object* next = newObject(ObjectKind::moniker);
  next->camera = enumerator->cameras[enumerator->position++];
  addRef(next);
  *moniker = Handle(next);
  return McOk;
}

HResult Emulation::bindToStorage(McObject* moniker, McObject** propertyBag) {
  if (propertyBag == nullptr) {
    return McPointer;
  }
  *propertyBag = nullptr;
  Object* listed = live(moniker, ObjectKind::moniker);
  if (listed == nullptr) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  Object* bag = newObject(ObjectKind::propertyBag);
  bag->camera = listed->camera;
  addRef(bag);
  *propertyBag = Handle(bag);
  return McOk;
}

HResult Emulation::readStringProperty(McObject* propertyBag, const char16_t* name,
                                      char16_t** value) {
  if (value == nullptr || name == nullptr) {
    return McPointer;
  }
  *value = nullptr;
  Object* bag = live(propertyBag, ObjectKind::propertyBag);
  if (bag == nullptr) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  const SourceCamera& camera = *bag->camera;
  const std::u16string key = PropertyName(name);
  const std::u16string* text = nullptr;
  if (key == u"DevicePath" && !camera.pathUnreadable) {
    text = &camera.devicePath;
  } else if (key == u"FriendlyName" && !camera.friendlyName.empty()) {
    text = &camera.friendlyName;
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

void Emulation::freeString(char16_t* value) {
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

HResult Emulation::bindToObject(McObject* moniker, McObject** filter) {
  if (filter == nullptr) {
    return McPointer;
  }
  *filter = nullptr;
  Object* listed = live(moniker, ObjectKind::moniker);
  if (listed == nullptr) {
    return McInvalidArg;
  }
  std::shared_ptr<const SourceCamera> camera;
  {
    std::lock_guard lock(mutex_);
    camera = listed->camera;
  }
  std::uint64_t binding = 0;
  const int opened = source().open(*camera, &binding);
  if (opened < 0) {
    return ResultOf(opened);
  }
  std::lock_guard lock(mutex_);
  Object* bound = newFilter(std::move(camera), binding);
  addRef(bound);
  *filter = Handle(bound);
  return McOk;
}

}  // namespace capture
