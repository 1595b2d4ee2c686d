#pragma once
// The simulated camera as a USB device: answers the transfers a host submits (standard requests,
// the extension unit's controls, the request error code, the streaming probe and commit) and says
// when it leaves the bus.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "platform/sim/sim_camera.h"
#include "testrig/usbip/uvc_descriptors.h"

namespace usbip {

// What the request error code control answers after a stalled request, as the video class numbers
// the causes.
enum class ErrorCode : std::uint8_t {
  none = 0x00,
  notReady = 0x01,
  wrongState = 0x02,
  outOfRange = 0x04,
  invalidUnit = 0x05,
  invalidControl = 0x06,
  invalidRequest = 0x07,
  unknown = 0xFF,
};

struct DeviceFaults {
  // The Nth SET_CUR or GET_CUR to the extension unit stalls (1-based); 0 for none.
  std::uint32_t failRequest = 0;
  // Every register write of this value to this register stalls and is not carried out.
  std::optional<std::uint16_t> failRegisterAddress;
  std::uint8_t failRegisterValue = 0;
  // The cause those two stalls give when the host asks for it.
  ErrorCode failCode = ErrorCode::unknown;
  // After this many SET_CUR/GET_CUR requests to the unit the device leaves the bus; 0 for never.
  std::uint32_t pullAfter = 0;
};

// Why the device leaves the bus after the transfer just answered.
enum class Leave { none, reset, pulled };

struct TransferResult {
  bool pending = false;  // held until the host takes it back
  std::int32_t status = 0;
  std::vector<std::uint8_t> data;  // IN data; for OUT transfers, empty
  std::uint32_t outAccepted = 0;   // OUT bytes taken
};

class UsbCameraDevice {
 public:
  UsbCameraDevice(sim::Camera& camera, const DeviceFaults& faults,
                  const DeviceIdentity& identity = CameraIdentity());

  // One transfer on endpoint `ep`: `setup` for endpoint 0, `out` the OUT data, `inLength` the
  // room the host has for IN data.
  TransferResult submit(std::uint32_t ep, bool in, const std::uint8_t* setup,
                        const std::uint8_t* out, std::uint32_t outLength, std::uint32_t inLength);

  // What to do after the last transfer; reading it clears it.
  Leave takeLeave();
  // Back on the bus: unconfigured, as after a plug-in.
  void busReset();
  // The serial number and bcdDevice it gives from the next enumeration on.
  void setUnit(const UnitStrings& unit) { unit_ = unit; }
  // One line per extension-unit request; null for none.
  void setTrace(std::FILE* trace) { trace_ = trace; }
  std::uint32_t unitRequests() const { return unitRequests_; }
  std::uint8_t configuration() const { return configuration_; }

 private:
  TransferResult control(const std::uint8_t* setup, const std::uint8_t* out,
                         std::uint32_t outLength);
  TransferResult standardRequest(std::uint8_t requestType, std::uint8_t request,
                                 std::uint16_t value, std::uint16_t index, std::uint16_t length);
  TransferResult unitRequest(std::uint8_t request, std::uint16_t value, std::uint16_t length,
                             const std::uint8_t* out, std::uint32_t outLength);
  TransferResult streamRequest(std::uint8_t request, std::uint16_t value, std::uint16_t length,
                               std::uint32_t outLength);
  TransferResult interfaceRequest(std::uint8_t request, std::uint16_t value, std::uint16_t length);
  TransferResult refuse(ErrorCode code);
  bool unitFault(std::uint32_t selector, bool set, const std::uint8_t* record) const;
  void trace(bool set, std::uint32_t selector, const std::uint8_t* record, std::uint32_t length,
             bool failed);
  void traceQuery(std::uint8_t request, std::uint32_t selector);

  sim::Camera& camera_;
  DeviceFaults faults_;
  DeviceIdentity identity_;
  UnitStrings unit_;
  ErrorCode errorCode_ = ErrorCode::none;
  std::FILE* trace_ = nullptr;
  std::uint8_t configuration_ = 0;
  std::uint32_t unitRequests_ = 0;
  Leave leave_ = Leave::none;
  std::vector<std::uint8_t> probe_;
  std::vector<std::uint8_t> commit_;
};

}  // namespace usbip
