#pragma once
// The simulated work station's side of a run's timeline: the extension-unit requests, the camera
// layer's sleeps, and the camera leaving and coming back to the bus.

#include <cstdio>
#include <streambuf>
#include <string>

#include "seams/camera_source.h"
#include "platform/sim_program/run_report.h"
#include "platform/console/timeline.h"

namespace sim {
class Device;
}

namespace console {

// Takes the framework's request trace line by line: each line goes unchanged to the trace file
// (when there is one) and as a "request" event to the timeline.
class RequestTraceSplitter : public std::streambuf {
 public:
  RequestTraceSplitter(Timeline& timeline, std::FILE* traceFile)
      : timeline_(timeline), traceFile_(traceFile) {}

 protected:
  int_type overflow(int_type c) override;

 private:
  Timeline& timeline_;
  std::FILE* traceFile_;
  std::string line_;
};

// `inner` with the camera layer's sleeps, and `device` dropping off and coming back, recorded in
// `timeline`, and every request with its answer counted in `report` (when given). One recording
// source per process.
CameraSource& RecordingSource(CameraSource& inner, Timeline& timeline, sim::Device* device,
                              RunReport* report = nullptr);

}  // namespace console
