#include "platform/sim/capture_framework.h"

#include <cctype>

#include "platform/sim/platform_guids.h"

// Capture devices as the framework lists them, and binding one.

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

std::vector<SourceCamera> CaptureFramework::listCameras() {
  std::lock_guard lock(mutex_);
  std::vector<SourceCamera> listed;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    Device& device = *devices_[i];
    if (!device.plugged_ || (!device.attached_ && clock_.nowMicros() < device.awayUntilMicros_)) {
      continue;  // a camera still restarting after its reset is not on the bus yet
    }
    // Enumerating finds a camera that dropped off (reset, disconnect) back on the bus.
    if (!device.attached_) {
      device.attached_ = true;
      ++device.generation_;
      if (device.lostPower_ && device.camera_ != nullptr) {
        device.camera_->replug();
      }
      device.lostPower_ = false;
    }
    SourceCamera camera;
    camera.devicePath = device.setup_.path;
    camera.friendlyName = device.setup_.friendlyName;
    camera.nodeTypes = device.setup_.nodes;
    camera.pathUnreadable = device.setup_.pathUnreadable;
    camera.hasTopology = device.setup_.hasTopology;
    camera.key = i;
    listed.push_back(std::move(camera));
  }
  return listed;
}

int CaptureFramework::open(const SourceCamera& camera, std::uint64_t* binding) {
  std::lock_guard lock(mutex_);
  if (camera.key >= devices_.size()) {
    return CsInvalid;
  }
  Device& device = *devices_[camera.key];
  if (device.setup().cannotBind) {
    return CsIoError;
  }
  if (!device.plugged_) {
    return CsRemoved;
  }
  *binding = bindings_.size();
  bindings_.push_back({&device, device.generation_});
  return CsOk;
}

}  // namespace sim
