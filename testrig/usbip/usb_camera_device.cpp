#include "testrig/usbip/usb_camera_device.h"

#include <algorithm>

#include "platform/sim/chip_register_map.h"
#include "platform/sim/request_trace.h"
#include "testrig/usbip/usbip_codec.h"
#include "testrig/usbip/uvc_descriptors.h"

namespace usbip {

namespace {

// Standard requests.
constexpr std::uint8_t GetStatus = 0x00;
constexpr std::uint8_t ClearFeature = 0x01;
constexpr std::uint8_t SetAddress = 0x05;
constexpr std::uint8_t GetDescriptor = 0x06;
constexpr std::uint8_t GetConfiguration = 0x08;
constexpr std::uint8_t SetConfiguration = 0x09;
constexpr std::uint8_t GetInterface = 0x0A;
constexpr std::uint8_t SetInterface = 0x0B;

// Video class requests.
constexpr std::uint8_t SetCur = 0x01;
constexpr std::uint8_t GetCur = 0x81;
constexpr std::uint8_t GetMin = 0x82;
constexpr std::uint8_t GetMax = 0x83;
constexpr std::uint8_t GetLen = 0x85;
constexpr std::uint8_t GetInfo = 0x86;
constexpr std::uint8_t GetDef = 0x87;
constexpr std::uint8_t InfoGetAndSet = 0x03;

constexpr std::uint8_t TypeMask = 0x60;
constexpr std::uint8_t TypeStandard = 0x00;
constexpr std::uint8_t TypeClass = 0x20;
constexpr std::uint8_t RecipientMask = 0x1F;
constexpr std::uint8_t RecipientInterface = 0x01;

constexpr std::uint8_t ProbeControl = 1;
constexpr std::uint8_t CommitControl = 2;
constexpr std::uint8_t ErrorCodeControl = 2;  // of the VideoControl interface itself
constexpr std::uint8_t InfoGetOnly = 0x01;

std::uint16_t Le16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

TransferResult Stall() {
  return {false, StatusStall, {}, 0};
}

TransferResult Answer(const std::uint8_t* bytes, std::size_t size, std::uint16_t length) {
  TransferResult result;
  result.data.assign(bytes, bytes + std::min<std::size_t>(size, length));
  return result;
}

TransferResult Answer(const std::vector<std::uint8_t>& bytes, std::uint16_t length) {
  return Answer(bytes.data(), bytes.size(), length);
}

TransferResult Accepted(std::uint32_t outLength) {
  TransferResult result;
  result.outAccepted = outLength;
  return result;
}

}  // namespace

UsbCameraDevice::UsbCameraDevice(sim::Camera& camera, const DeviceFaults& faults,
                                 const DeviceIdentity& identity)
    : camera_(camera),
      faults_(faults),
      identity_(identity),
      probe_(DefaultStreamControl()),
      commit_(DefaultStreamControl()) {}

Leave UsbCameraDevice::takeLeave() {
  const Leave leave = leave_;
  leave_ = Leave::none;
  return leave;
}

void UsbCameraDevice::busReset() {
  configuration_ = 0;
  errorCode_ = ErrorCode::none;
  probe_ = DefaultStreamControl();
  commit_ = DefaultStreamControl();
}

TransferResult UsbCameraDevice::submit(std::uint32_t ep, bool in, const std::uint8_t* setup,
                                       const std::uint8_t* out, std::uint32_t outLength,
                                       std::uint32_t inLength) {
  if (ep == 0) {
    TransferResult result = control(setup, out, outLength);
    if (result.data.size() > inLength) {
      result.data.resize(inLength);
    }
    return result;
  }
  // The stream never delivers a frame: a read waits until the host gives it up.
  if (in && ep == (StreamingEndpoint & 0x0F) && configuration_ != 0) {
    TransferResult result;
    result.pending = true;
    return result;
  }
  return Stall();
}

TransferResult UsbCameraDevice::control(const std::uint8_t* setup, const std::uint8_t* out,
                                        std::uint32_t outLength) {
  const std::uint8_t requestType = setup[0];
  const std::uint8_t request = setup[1];
  const std::uint16_t value = Le16(setup + 2);
  const std::uint16_t index = Le16(setup + 4);
  const std::uint16_t length = Le16(setup + 6);
  if ((requestType & TypeMask) == TypeStandard) {
    TransferResult result = standardRequest(requestType, request, value, index, length);
    if (result.status == StatusOk && (requestType & 0x80) == 0) {
      result.outAccepted = outLength;
    }
    return result;
  }
  if ((requestType & TypeMask) != TypeClass ||
      (requestType & RecipientMask) != RecipientInterface) {
    return Stall();
  }
  const std::uint8_t interface = static_cast<std::uint8_t>(index);
  const std::uint8_t entity = static_cast<std::uint8_t>(index >> 8);
  if (interface == VideoControlInterface && entity == 0) {
    return interfaceRequest(request, value, length);
  }
  // Every other class request that completes clears the error code; one that stalls sets it.
  errorCode_ = ErrorCode::none;
  if (interface == VideoControlInterface && entity == identity_.unitId) {
    return unitRequest(request, value, length, out, outLength);
  }
  if (interface == VideoStreamingInterface && entity == 0) {
    return streamRequest(request, value, length, outLength);
  }
  return refuse(ErrorCode::invalidUnit);
}

TransferResult UsbCameraDevice::refuse(ErrorCode code) {
  errorCode_ = code;
  return Stall();
}

// The host asks why its last request stalled: the answer is that request's cause, and the control
// reads as no error afterwards.
TransferResult UsbCameraDevice::interfaceRequest(std::uint8_t request, std::uint16_t value,
                                                 std::uint16_t length) {
  if (value != ErrorCodeControl << 8) {
    return refuse(ErrorCode::invalidControl);
  }
  if (request == GetInfo) {
    errorCode_ = ErrorCode::none;
    return Answer(&InfoGetOnly, 1, length);
  }
  if (request != GetCur || length < 1) {
    return refuse(ErrorCode::invalidRequest);
  }
  const std::uint8_t code = static_cast<std::uint8_t>(errorCode_);
  errorCode_ = ErrorCode::none;
  return Answer(&code, 1, length);
}

TransferResult UsbCameraDevice::standardRequest(std::uint8_t requestType, std::uint8_t request,
                                                std::uint16_t value, std::uint16_t index,
                                                std::uint16_t length) {
  static const std::uint8_t zeroStatus[2] = {0, 0};
  switch (request) {
    case GetDescriptor: {
      const std::uint8_t type = static_cast<std::uint8_t>(value >> 8);
      const std::uint8_t number = static_cast<std::uint8_t>(value);
      if (type == 0x01 && number == 0) {
        return Answer(DeviceDescriptor(identity_, unit_), length);
      }
      if (type == 0x02 && number == 0) {
        return Answer(ConfigurationDescriptor(identity_), length);
      }
      if (type == 0x03) {
        const std::vector<std::uint8_t> text = StringDescriptor(number, unit_);
        return text.empty() ? Stall() : Answer(text, length);
      }
      return Stall();
    }
    case SetAddress:
      return {};
    case SetConfiguration:
      if (value > ConfigurationValue) {
        return Stall();
      }
      configuration_ = static_cast<std::uint8_t>(value);
      return {};
    case GetConfiguration:
      return Answer(&configuration_, 1, length);
    case SetInterface:
      // Each interface has only its setting 0.
      if (index > VideoStreamingInterface || value != 0) {
        return Stall();
      }
      return {};
    case GetInterface: {
      static const std::uint8_t setting = 0;
      return index > VideoStreamingInterface ? Stall() : Answer(&setting, 1, length);
    }
    case GetStatus:
      return Answer(zeroStatus, 2, length);
    case ClearFeature:
      return (requestType & 0x80) == 0 ? TransferResult{} : Stall();
    default:
      return Stall();
  }
}

bool UsbCameraDevice::unitFault(std::uint32_t selector, bool set,
                                const std::uint8_t* record) const {
  if (faults_.failRequest != 0 && unitRequests_ == faults_.failRequest) {
    return true;
  }
  // A register write is address (low, high), value, direction 0.
  return set && selector == 1 && faults_.failRegisterAddress.has_value() && record[3] == 0 &&
         Le16(record) == *faults_.failRegisterAddress && record[2] == faults_.failRegisterValue;
}

TransferResult UsbCameraDevice::unitRequest(std::uint8_t request, std::uint16_t value,
                                            std::uint16_t length, const std::uint8_t* out,
                                            std::uint32_t outLength) {
  const std::uint32_t selector = value >> 8;
  if (request == GetLen || request == GetInfo) {
    traceQuery(request, selector);
  }
  if ((value & 0xFF) != 0 || selector < sim::ControlRegister || selector > sim::ControlInfo) {
    return refuse(ErrorCode::invalidControl);
  }
  const std::uint32_t recordLength = sim::RecordLengthOf[selector];
  if (request == GetLen) {
    const std::uint8_t answer[2] = {static_cast<std::uint8_t>(recordLength), 0};
    return Answer(answer, 2, length);
  }
  if (request == GetInfo) {
    return Answer(&InfoGetAndSet, 1, length);
  }
  if ((request != SetCur && request != GetCur) || length != recordLength) {
    return refuse(ErrorCode::invalidRequest);
  }
  const bool set = request == SetCur;
  if (set && outLength != recordLength) {
    return refuse(ErrorCode::invalidRequest);
  }
  ++unitRequests_;
  camera_.setRequestNumber(unitRequests_);
  std::uint8_t record[sim::LongestRecord] = {};
  if (set) {
    std::copy(out, out + recordLength, record);
  }
  bool ok = !unitFault(selector, set, record);
  ErrorCode cause = faults_.failCode;
  if (ok) {
    ok = set ? camera_.set(selector, record) : camera_.get(selector, record);
    // The chip refuses what it cannot do in its present state.
    cause = ErrorCode::wrongState;
  }
  trace(set, selector, record, recordLength, !ok);
  if (camera_.takeResetRequest()) {
    leave_ = Leave::reset;
  } else if (faults_.pullAfter != 0 && unitRequests_ == faults_.pullAfter) {
    leave_ = Leave::pulled;
  }
  if (!ok) {
    return refuse(cause);
  }
  return set ? Accepted(outLength) : Answer(record, recordLength, length);
}

TransferResult UsbCameraDevice::streamRequest(std::uint8_t request, std::uint16_t value,
                                              std::uint16_t length, std::uint32_t outLength) {
  const std::uint8_t selector = static_cast<std::uint8_t>(value >> 8);
  if ((selector != ProbeControl && selector != CommitControl) || (value & 0xFF) != 0) {
    return refuse(ErrorCode::invalidControl);
  }
  std::vector<std::uint8_t>& current = selector == ProbeControl ? probe_ : commit_;
  switch (request) {
    case SetCur:
      if (length != StreamControlLength || outLength != StreamControlLength) {
        return refuse(ErrorCode::invalidRequest);
      }
      // The camera has one format and one frame size: whatever the host proposes, it settles on
      // those, as a real camera answers a probe with what it can do.
      current = DefaultStreamControl();
      return Accepted(outLength);
    case GetCur:
      return Answer(current, length);
    case GetMin:
    case GetMax:
    case GetDef:
      return Answer(DefaultStreamControl(), length);
    case GetLen: {
      const std::uint8_t answer[2] = {StreamControlLength, 0};
      return Answer(answer, 2, length);
    }
    case GetInfo:
      return Answer(&InfoGetAndSet, 1, length);
    default:
      return refuse(ErrorCode::invalidRequest);
  }
}

void UsbCameraDevice::trace(bool set, std::uint32_t selector, const std::uint8_t* record,
                            std::uint32_t length, bool failed) {
  if (trace_ == nullptr) {
    return;
  }
  char line[sim::TraceLineCapacity];
  const std::size_t size =
      sim::FormatTraceLine(line, set ? sim::RequestKind::set : sim::RequestKind::get, selector,
                           identity_.unitId, record, length, failed);
  std::fwrite(line, 1, size, trace_);
  std::fflush(trace_);
}

// The driver's own questions to the unit (its controls' lengths and capabilities) are traced too,
// so a log shows whether anything reached the unit at all.
void UsbCameraDevice::traceQuery(std::uint8_t request, std::uint32_t selector) {
  if (trace_ == nullptr) {
    return;
  }
  std::fprintf(trace_, "%s %u %u\n", request == GetLen ? "GET_LEN" : "GET_INFO", selector,
               static_cast<unsigned>(identity_.unitId));
  std::fflush(trace_);
}

}  // namespace usbip
