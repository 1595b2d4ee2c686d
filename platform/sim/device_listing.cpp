#include "platform/sim/com_object.h"

#include <cctype>
#include <cstring>

#include "platform/sim/platform_guids.h"

// Capture devices as the framework lists them: enumerators, monikers, property bags, binding.

namespace sim {

namespace {

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

Device::Device(const DeviceSetup& setup, Clock& clock) : setup_(setup), clock_(clock) {
  if (setup_.hasExtensionUnit) {
    camera_ = std::make_unique<Camera>(setup_.camera, clock, faults_);
  }
}

void Device::setPlugged(bool plugged) {
  if (plugged == plugged_) {
    return;
  }
  plugged_ = plugged;
  if (!plugged) {
    attached_ = false;
    lostPower_ = true;
    // What the chip holds only while powered is gone now, not when it is next listed.
    if (camera_ != nullptr) {
      camera_->replug();
    }
    return;
  }
  awayUntilMicros_ = clock_.nowMicros() + setup_.camera.resetAwayMicros;
}

void Device::detach() {
  attached_ = false;
}

HResult CaptureFramework::createDeviceEnumerator(McObject** devEnum) {
  if (devEnum == nullptr) {
    return McPointer;
  }
  *devEnum = nullptr;
  if (ApartmentDepth() == 0) {
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
  if (!(category == VideoInputCategory)) {
    return McFalse;
  }
  std::vector<Device*> listed;
  for (auto& device : devices_) {
    if (!device->plugged_ ||
        (!device->attached_ && clock_.nowMicros() < device->awayUntilMicros_)) {
      continue;  // a camera still restarting after its reset is not on the bus yet
    }
    // Enumerating finds a camera that dropped off (reset, disconnect) back on the bus.
    if (!device->attached_) {
      device->attached_ = true;
      ++device->generation_;
      if (device->lostPower_ && device->camera_ != nullptr) {
        device->camera_->replug();
      }
      device->lostPower_ = false;
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

}  // namespace sim
