#include "platform/console/sim_timeline.h"

#include <atomic>
#include <mutex>

#include "platform/sim/ksp_node.h"
#include "platform/sim/simulator.h"

namespace console {

RequestTraceSplitter::int_type RequestTraceSplitter::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) {
    return traits_type::not_eof(c);
  }
  line_ += traits_type::to_char_type(c);
  if (line_.back() == '\n') {
    if (traceFile_ != nullptr) {
      std::fwrite(line_.data(), 1, line_.size(), traceFile_);
      std::fflush(traceFile_);
    }
    line_.pop_back();
    timeline_.Record("request " + line_);
    line_.clear();
  }
  return c;
}

namespace {

const MediaCaptureOps* inner = nullptr;
Timeline* recording = nullptr;
sim::Device* watched = nullptr;
RunReport* report = nullptr;
std::atomic<bool> wasAttached{true};

// Called after every call that can move the camera on or off the bus.
void NoteAttachment() {
  if (watched == nullptr) {
    return;
  }
  bool attached = false;
  {
    std::lock_guard lock(sim::CurrentFramework().mutex());
    attached = watched->attached();
  }
  if (wasAttached.exchange(attached) != attached) {
    recording->Record(attached ? "camera back" : "camera gone");
  }
}

HResult CreateClassEnumerator(McObject* devEnum, const Guid& category, McObject** enumMoniker,
                              std::uint32_t flags) {
  const HResult result = inner->createClassEnumerator(devEnum, category, enumMoniker, flags);
  NoteAttachment();
  return result;
}

HResult KsProperty(McObject* control, void* property, std::uint32_t propertyLength, void* data,
                   std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  const HResult result =
      inner->ksProperty(control, property, propertyLength, data, dataLength, bytesReturned);
  NoteAttachment();
  if (report != nullptr) {
    sim::KspNode header{};
    if (property != nullptr && propertyLength >= sim::KspNodeSize) {
      header = sim::ParseKspNode(static_cast<const std::uint8_t*>(property));
    }
    const bool probe =
        (header.flags & sim::KspFlagGet) == 0 && (header.flags & sim::KspFlagSetSupport) != 0;
    // The camera layer takes only 0 as success, so any other answer counts as a failure.
    report->NoteRequest(probe, header.id, result != McOk);
  }
  return result;
}

void Sleep(std::uint32_t milliseconds) {
  recording->Record("camera-sleep " + std::to_string(milliseconds));
  inner->sleep(milliseconds);
}

}  // namespace

const MediaCaptureOps* RecordingMediaCapture(const MediaCaptureOps* innerOps, Timeline& timeline,
                                             sim::Device* device, RunReport* runReport) {
  static MediaCaptureOps ops;
  inner = innerOps;
  recording = &timeline;
  watched = device;
  report = runReport;
  wasAttached = device == nullptr || device->attached();
  ops = *innerOps;
  ops.createClassEnumerator = &CreateClassEnumerator;
  ops.ksProperty = &KsProperty;
  ops.sleep = &Sleep;
  return &ops;
}

}  // namespace console
