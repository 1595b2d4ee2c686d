#pragma once
// The simulated capture devices as a camera source: listing, binding, requests, trace and faults.

#include <array>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "seams/guid.h"
#include "seams/camera_source.h"
#include "seams/media_capture.h"
#include "platform/capture_emulation/capture_emulation.h"
#include "platform/sim/clock.h"
#include "platform/sim/faults.h"
#include "platform/sim/platform_guids.h"
#include "platform/sim/request_trace.h"
#include "platform/sim/sim_camera.h"

namespace sim {

// Result codes of the emulated framework the simulator's tests name.
using ::McDeviceNotConnected;
using capture::McBufferTooSmall;
using capture::McGenFailure;
using capture::McInvalidArg;
using capture::McNotInitialized;
using capture::McPointer;
using capture::McSetNotFound;

inline constexpr std::string_view DefaultUsbId = "vid_1f3a&pid_5c72";

// One capture device as the framework lists it.
struct DeviceSetup {
  std::u16string path;
  std::u16string friendlyName = u"USB Camera";
  bool pathUnreadable = false;  // "DevicePath" cannot be read from its property bag
  bool cannotBind = false;      // its capture filter cannot be bound
  bool hasTopology = true;      // the filter answers for IKsTopologyInfo
  std::vector<Guid> nodes;      // topology node types, by node index
  // Whether the device has the camera's extension unit (and so a chip behind it) at all.
  bool hasExtensionUnit = true;
  // Node id the extension unit answers on; it need not appear in `nodes` as vendor-specific.
  std::uint32_t xuNodeId = 3;
  CameraConfig camera{};  // used when the device is added
};

// The device path of a USB camera with the given id text, e.g. "vid_1f3a&pid_5c72".
std::u16string CameraDevicePath(std::string_view usbId, int instance = 0);
// Our camera: camera terminal, processing unit, another vendor's extension unit (which rejects
// the set-support probe) and ours, node 3.
DeviceSetup CameraDevice(const CameraConfig& camera = {}, std::string_view usbId = DefaultUsbId,
                         int instance = 0);
// The same camera with no vendor-specific node in its topology; its extension unit still
// answers on node 2, where the layer's node-id fallback finds it.
DeviceSetup CameraDeviceWithoutVendorNodes(const CameraConfig& camera = {},
                                           std::string_view usbId = DefaultUsbId, int instance = 0);
// A capture device of another make: no extension unit of ours.
DeviceSetup ForeignCaptureDevice(std::string_view usbId = "vid_046d&pid_0825", int instance = 0);

// The request refused with its repeats (the refuseRequest fault): what it was, and the
// refusals still to come.
struct RefusedRequest {
  int kind = -1;
  std::uint32_t selector = 0;
  std::array<std::uint8_t, 16> record{};
  std::uint32_t length = 0;
  std::uint32_t left = 0;
};

class Device {
 public:
  Device(const DeviceSetup& setup, Clock& clock);

  const DeviceSetup& setup() const { return setup_; }
  // Flags of the listing (path unreadable, cannot bind, topology) may change at any time.
  DeviceSetup& setup() { return setup_; }
  // The chip behind the extension unit; null for a device without one.
  Camera* camera() { return camera_.get(); }
  Faults& faults() { return faults_; }

  // Plugged: the framework lists it. Attached: its requests reach the camera.
  bool plugged() const { return plugged_; }
  // Pulled (false): off the bus at once, and its camera's power gone with it. Plugged in again
  // (true): listed, power-cycled, once it has enumerated, which takes as long as after a reset.
  void setPlugged(bool plugged);
  bool attached() const { return attached_; }
  // Drops off the bus until the framework is enumerated again (as after a reset).
  void detach();
  // Bumped at every attach; filters bound earlier stop working.
  std::uint32_t generation() const { return generation_; }
  // Requests that reached the device (each one numbered, 1-based, in this count).
  std::uint32_t requestCount() const { return requestCount_; }

 private:
  friend class CaptureFramework;

  DeviceSetup setup_;
  Clock& clock_;
  Faults faults_{};
  std::unique_ptr<Camera> camera_;
  bool plugged_ = true;
  bool attached_ = true;
  bool lostPower_ = false;  // pulled rather than reset: it comes back power-cycled
  std::uint32_t generation_ = 1;
  std::uint32_t requestCount_ = 0;
  std::uint64_t refuseUntilMicros_ = 0;  // end of the refusal spell, once it has begun
  RefusedRequest refusedRequest_;
  // A reset camera is off the bus until this time on the framework's clock.
  std::uint64_t awayUntilMicros_ = 0;
};

using capture::ObjectKind;
using capture::objectKindCount;
using capture::ObjectKindName;
// COM apartment depth of the calling thread (enters minus leaves).
using capture::ApartmentDepth;

// The simulated cameras as a camera source, each framework with its own emulation of the capture
// framework over them (the one the Linux platform and the fuzz targets use as well).
class CaptureFramework : public CameraSource {
 public:
  CaptureFramework();
  ~CaptureFramework() override;
  CaptureFramework(const CaptureFramework&) = delete;
  CaptureFramework& operator=(const CaptureFramework&) = delete;

  Clock& clock() { return clock_; }

  // Devices are listed in the order they were added. References stay valid until clear().
  Device& addDevice(const DeviceSetup& setup);
  std::size_t deviceCount() const { return devices_.size(); }
  Device& device(std::size_t index) { return *devices_[index]; }
  // The first device that has a camera, or null.
  Camera* firstCamera();
  Device* firstCameraDevice();

  // Back to an empty framework: no devices, no objects, counters zero, trace off, clock at 0
  // in instant mode. Objects handed out before are invalid afterwards.
  void clear();

  // Request trace. Off by default; `out` must outlive the trace (null turns it off).
  void traceTo(std::ostream* out);
  bool traceToFile(const std::string& path);
  void stopTrace();

  // Leak accounting of the framework over these cameras.
  capture::Emulation& emulation() { return emulation_; }
  std::int64_t liveReferences(ObjectKind kind) const { return emulation_.liveReferences(kind); }
  std::int64_t liveReferences() const { return emulation_.liveReferences(); }
  std::int64_t liveStrings() const { return emulation_.liveStrings(); }
  std::uint32_t overReleases() const { return emulation_.overReleases(); }
  std::uint32_t badStringFrees() const { return emulation_.badStringFrees(); }
  std::int64_t apartmentBalance() const { return emulation_.apartmentBalance(); }
  std::uint32_t unbalancedLeaves() const { return emulation_.unbalancedLeaves(); }

  // Held by every call of the source; hold it to look at a camera while another thread may use it.
  std::mutex& mutex() { return mutex_; }

  // The camera source.
  std::vector<SourceCamera> listCameras() override;
  int open(const SourceCamera& camera, std::uint64_t* binding) override;
  void close(std::uint64_t) override {}
  int query(const SourceQuery& query) override;
  void sleep(std::uint32_t milliseconds) override { clock_.sleepMillis(milliseconds); }

 private:
  // A bound filter: its device, and the attach it was bound in (a later one leaves it dead).
  struct Binding {
    Device* device;
    std::uint32_t generation;
  };
  int serveRequest(const Binding& binding, const SourceQuery& query, RequestKind kind);
  void trace(RequestKind kind, std::uint32_t selector, std::uint32_t node, const std::uint8_t* data,
             std::uint32_t dataLength, bool failed);

  mutable std::mutex mutex_;
  Clock clock_;
  std::vector<std::unique_ptr<Device>> devices_;
  std::vector<Binding> bindings_;
  std::ostream* traceOut_ = nullptr;
  std::ofstream traceFile_;
  capture::Emulation emulation_{*this};
};

// The framework the seam table works on; the process-wide one unless another was made current.
CaptureFramework& CurrentFramework();
void SetCurrentFramework(CaptureFramework* framework);  // null: back to the process-wide one
// The media-capture seam backed by the current framework, for CamInstallMediaCapture.
const MediaCaptureOps* MediaCaptureTable();

}  // namespace sim
