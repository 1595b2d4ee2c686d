#include "platform/sim/capture_framework.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/chip_register_map.h"
#include "platform/sim/platform_guids.h"

// The property requests that reach a bound camera: its faults, its extension unit, the trace.

namespace sim {

namespace {

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

int CaptureFramework::query(const SourceQuery& query) {
  RequestKind kind = RequestKind::set;
  if (query.request == SourceRequest::get) {
    kind = RequestKind::get;
  } else if (query.request == SourceRequest::setSupport) {
    kind = RequestKind::support;
  }
  std::lock_guard lock(mutex_);
  if (query.binding >= bindings_.size()) {
    return CsInvalid;
  }
  const int result = serveRequest(bindings_[query.binding], query, kind);
  if (traceOut_ != nullptr) {
    // A positive code is a success, however unusual; only failure codes are marked.
    trace(kind, query.selector, query.node, query.data, query.length, result < 0);
  }
  return result;
}

int CaptureFramework::serveRequest(const Binding& binding, const SourceQuery& query,
                                   RequestKind kind) {
  Device& device = *binding.device;
  Faults& faults = device.faults_;
  const std::uint32_t number = ++device.requestCount_;
  const std::uint32_t selector = query.selector;
  const std::uint32_t node = query.node;
  std::uint8_t* const data = query.data;
  const std::uint32_t dataLength = query.length;
  std::uint32_t* const bytesReturned = query.bytesReturned;
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
  if (!device.attached_ || binding.generation != device.generation_) {
    return CsRemoved;
  }
  if (faults.refuseFromRequest != 0 && number >= faults.refuseFromRequest) {
    const std::uint64_t now = clock_.nowMicros();
    if (number == faults.refuseFromRequest) {
      device.refuseUntilMicros_ = now + std::uint64_t{faults.refuseMillis} * 1000;
    }
    if (now < device.refuseUntilMicros_) {
      ++faults.fired.refused;
      clock_.sleepMillis(1);  // a stalled control transfer still takes its USB frame
      return CsStalled;
    }
  }
  if (faults.failRequest == number) {
    ++faults.fired.failRequest;
    return CsStalled;
  }
  if (RefusedAgain(device.refusedRequest_, faults, number, kind, selector, data, dataLength)) {
    return CsStalled;
  }
  if (faults.failNode >= 0 && static_cast<std::int64_t>(node) == faults.failNode) {
    return CsStalled;
  }

  if (!(query.set == ExtensionUnitSet) || !query.exactHeader) {
    return CsUnknownSet;
  }
  Camera* camera = device.camera();
  if (camera == nullptr || node != device.setup().xuNodeId) {
    return CsNoSuchFile;  // this node knows nothing of the property set
  }
  if (kind == RequestKind::support) {
    return CsOk;
  }

  if (selector < ControlRegister || selector > ControlInfo) {
    return CsNoSuchFile;
  }
  if (faults.failSelector >= 0 && static_cast<std::int64_t>(selector) == faults.failSelector) {
    return CsStalled;
  }
  if (data == nullptr || dataLength != RecordLengthOf[selector]) {
    return CsWrongLength;  // a control takes exactly its own record length
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
    return CsStalled;
  }
  if (faults.positiveSuccessRequest == number) {
    ++faults.fired.positiveSuccess;
    return faults.positiveSuccessCode;
  }
  return CsOk;
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
