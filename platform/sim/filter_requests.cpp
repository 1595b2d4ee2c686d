#include "platform/sim/com_object.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/chip_register_map.h"
#include "platform/sim/ksp_node.h"
#include "platform/sim/platform_guids.h"

// A bound filter: its topology nodes and the property requests that reach the extension unit.

namespace sim {

namespace {

constexpr std::uint32_t FlagsSet = KspFlagSet | KspFlagTopology;
constexpr std::uint32_t FlagsGet = KspFlagGet | KspFlagTopology;
constexpr std::uint32_t FlagsSupport = KspFlagSetSupport | KspFlagTopology;

// The refuseRequest fault: request `number` is refused, and after it every request that repeats
// it, until the tries it was given are used up.
bool RefusedAgain(RefusedRequest& refused, Faults& faults, std::uint32_t number, RequestKind kind,
                  std::uint32_t selector, const std::uint8_t* data, std::uint32_t dataLength) {
  const std::uint32_t length =
      data != nullptr ? std::min<std::uint32_t>(dataLength, refused.record.size()) : 0;
  if (faults.refuseRequest != 0 && faults.refuseRequest == number &&
      faults.refuseRequestTries > 0) {
    refused.kind = static_cast<int>(kind);
    refused.selector = selector;
    refused.length = length;
    std::copy(data, data + length, refused.record.begin());
    refused.left = faults.refuseRequestTries - 1;
    ++faults.fired.refusedRepeats;
    return true;
  }
  if (refused.left == 0 || refused.kind != static_cast<int>(kind) || refused.selector != selector ||
      refused.length != length || !std::equal(data, data + length, refused.record.begin())) {
    return false;
  }
  --refused.left;
  ++faults.fired.refusedRepeats;
  return true;
}

}  // namespace

McObject* CaptureFramework::newFilter(Device& device) {
  McObject* filter = newObject(ObjectKind::filter, &device);
  filter->generation = device.generation_;
  filter->control = newObject(ObjectKind::filterControl, &device);
  filter->control->filter = filter;
  filter->topology = newObject(ObjectKind::topology, &device);
  filter->topology->filter = filter;
  for (std::size_t i = 0; i < device.setup().nodes.size(); ++i) {
    McObject* node = newObject(ObjectKind::nodeControl, &device);
    node->filter = filter;
    filter->nodeControls.push_back(node);
  }
  return filter;
}

HResult CaptureFramework::getNumNodes(McObject* topology, std::uint32_t* count) {
  if (count == nullptr) {
    return McPointer;
  }
  if (topology == nullptr || topology->kind != ObjectKind::topology) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  *count = static_cast<std::uint32_t>(topology->device->setup().nodes.size());
  return McOk;
}

HResult CaptureFramework::getNodeType(McObject* topology, std::uint32_t index, Guid* type) {
  if (type == nullptr) {
    return McPointer;
  }
  if (topology == nullptr || topology->kind != ObjectKind::topology) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  const auto& nodes = topology->device->setup().nodes;
  if (index >= nodes.size()) {
    return McInvalidArg;
  }
  *type = nodes[index];
  return McOk;
}

HResult CaptureFramework::createNodeInstance(McObject* topology, std::uint32_t index,
                                             const Guid& iid, McObject** control) {
  if (control == nullptr) {
    return McPointer;
  }
  *control = nullptr;
  if (topology == nullptr || topology->kind != ObjectKind::topology) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  McObject* filter = topology->filter;
  if (index >= filter->nodeControls.size()) {
    return McInvalidArg;
  }
  if (!(iid == IidKsControl)) {
    return McNoInterface;
  }
  McObject* node = filter->nodeControls[index];
  addRef(node);
  *control = node;
  return McOk;
}

HResult CaptureFramework::ksProperty(McObject* control, void* property,
                                     std::uint32_t propertyLength, void* data,
                                     std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  if (control == nullptr ||
      (control->kind != ObjectKind::filterControl && control->kind != ObjectKind::nodeControl)) {
    return McInvalidArg;
  }
  if (property == nullptr || propertyLength != KspNodeSize) {
    return McInvalidArg;  // not a node header: the request never reaches a unit
  }
  const KspNode header = ParseKspNode(static_cast<const std::uint8_t*>(property));
  RequestKind kind = RequestKind::set;
  if ((header.flags & KspFlagGet) != 0) {
    kind = RequestKind::get;
  } else if ((header.flags & KspFlagSetSupport) != 0) {
    kind = RequestKind::support;
  }
  std::lock_guard lock(mutex_);
  const HResult result = serveRequest(FilterOf(control), header, kind,
                                      static_cast<std::uint8_t*>(data), dataLength, bytesReturned);
  if (traceOut_ != nullptr) {
    // A positive code is a success, however unusual; only failure codes are marked.
    trace(kind, header.id, header.nodeId, static_cast<std::uint8_t*>(data), dataLength, result < 0);
  }
  return result;
}

HResult CaptureFramework::serveRequest(McObject* filter, const KspNode& header, RequestKind kind,
                                       std::uint8_t* data, std::uint32_t dataLength,
                                       std::uint32_t* bytesReturned) {
  Device& device = *filter->device;
  Faults& faults = device.faults_;
  const std::uint32_t number = ++device.requestCount_;
  const std::uint32_t selector = header.id;
  const std::uint32_t node = header.nodeId;
  if (bytesReturned != nullptr) {
    *bytesReturned = 0;
  }
  if (faults.hangRequest == number) {
    ++faults.fired.hang;
    clock_.sleepMillis(faults.hangMillis);
  }

  if (faults.disconnectAfter != 0 && number > faults.disconnectAfter) {
    ++faults.fired.disconnect;
    faults.disconnectAfter = 0;
    device.attached_ = false;
    device.lostPower_ = true;
  }
  if (!device.attached_ || filter->generation != device.generation_) {
    return McDeviceNotConnected;
  }
  if (faults.refuseFromRequest != 0 && number >= faults.refuseFromRequest) {
    const std::uint64_t now = clock_.nowMicros();
    if (number == faults.refuseFromRequest) {
      device.refuseUntilMicros_ = now + std::uint64_t{faults.refuseMillis} * 1000;
    }
    if (now < device.refuseUntilMicros_) {
      ++faults.fired.refused;
      clock_.sleepMillis(1);  // a stalled control transfer still takes its USB frame
      return McGenFailure;
    }
  }
  if (faults.failRequest == number) {
    ++faults.fired.failRequest;
    return McGenFailure;
  }
  if (RefusedAgain(device.refusedRequest_, faults, number, kind, selector, data, dataLength)) {
    return McGenFailure;
  }
  if (faults.failNode >= 0 && static_cast<std::int64_t>(node) == faults.failNode) {
    return McGenFailure;
  }

  const std::uint32_t expectedFlags =
      kind == RequestKind::get ? FlagsGet : (kind == RequestKind::set ? FlagsSet : FlagsSupport);
  if (!(header.set == ExtensionUnitSet) || header.flags != expectedFlags || header.reserved != 0) {
    return McSetNotFound;
  }
  Camera* camera = device.camera();
  if (camera == nullptr || node != device.setup().xuNodeId) {
    return McNotFound;  // this node knows nothing of the property set
  }
  if (kind == RequestKind::support) {
    return McOk;
  }

  if (selector < ControlRegister || selector > ControlInfo) {
    return McNotFound;
  }
  if (faults.failSelector >= 0 && static_cast<std::int64_t>(selector) == faults.failSelector) {
    return McGenFailure;
  }
  if (data == nullptr || dataLength != RecordLengthOf[selector]) {
    return McBufferTooSmall;  // a control takes exactly its own record length
  }
  camera->setRequestNumber(number);
  bool ok = false;
  if (kind == RequestKind::set) {
    ok = camera->set(selector, data);
  } else {
    const bool shortAnswer = faults.shortGetRequest == number ||
                             (faults.shortGetSelector >= 0 &&
                              static_cast<std::int64_t>(selector) == faults.shortGetSelector);
    std::uint8_t answer[LongestRecord] = {};
    ok = camera->get(selector, answer);
    const std::uint32_t returned =
        shortAnswer ? std::min(faults.shortGetBytes, dataLength) : dataLength;
    if (ok) {
      faults.fired.shortGet += returned < dataLength ? 1 : 0;
      std::memcpy(data, answer, returned);
      if (bytesReturned != nullptr) {
        *bytesReturned = returned;
      }
    }
  }
  if (camera->takeResetRequest()) {
    device.attached_ = false;  // it drops off the bus while it restarts
    device.awayUntilMicros_ = clock_.nowMicros() + camera->config().resetAwayMicros;
  }
  if (!ok) {
    return McGenFailure;
  }
  if (faults.positiveSuccessRequest == number) {
    ++faults.fired.positiveSuccess;
    return faults.positiveSuccessCode;
  }
  return McOk;
}

void CaptureFramework::trace(RequestKind kind, std::uint32_t selector, std::uint32_t node,
                             const std::uint8_t* data, std::uint32_t dataLength, bool failed) {
  char line[TraceLineCapacity];
  const std::size_t length = FormatTraceLine(line, kind, selector, node, data, dataLength, failed);
  traceOut_->write(line, static_cast<std::streamsize>(length));
  // Each line reaches the file at once, whichever way the process later ends.
  traceOut_->flush();
}

}  // namespace sim
