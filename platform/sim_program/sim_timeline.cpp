#include "platform/sim_program/sim_timeline.h"

#include <atomic>
#include <mutex>

#include "platform/capture_emulation/capture_emulation.h"
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

class Recording : public capture::ForwardingSource {
 public:
  using ForwardingSource::ForwardingSource;
  std::vector<SourceCamera> listCameras() override {
    std::vector<SourceCamera> listed = inner().listCameras();
    NoteAttachment();
    return listed;
  }
  int query(const SourceQuery& query) override {
    const int result = inner().query(query);
    NoteAttachment();
    if (report != nullptr) {
      // The camera layer takes only 0 as success, so any other answer counts as a failure.
      report->NoteRequest(query.request == SourceRequest::setSupport, query.selector, result != 0);
    }
    return result;
  }
  void sleep(std::uint32_t milliseconds) override {
    recording->Record("camera-sleep " + std::to_string(milliseconds));
    inner().sleep(milliseconds);
  }
};

}  // namespace

CameraSource& RecordingSource(CameraSource& inner, Timeline& timeline, sim::Device* device,
                              RunReport* runReport) {
  static Recording source(inner);
  source.setInner(inner);
  recording = &timeline;
  watched = device;
  report = runReport;
  wasAttached = device == nullptr || device->attached();
  return source;
}

}  // namespace console
