#pragma once
// The worker's side of the station pipe: a front end started by `reflash-station` writes what it
// shows, one plain line per event, on its standard output instead of drawing the screen.
//
// The lines and what they mean are the worker protocol's (station/worker_protocol.h). The same
// lines go to the file worker.log in the current folder (the port's), synced at the end: a
// station that died during the update reads the worker's account from there.

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "seams/media_capture.h"
#include "station/worker_protocol.h"

namespace console {

class StationWorker {
 public:
  // Writes the opening lines to `out` (the station's pipe) and to worker.log.
  void Open(std::FILE* out, const std::string& port);
  bool IsOpen() const { return out_ != nullptr; }
  // One event line from the console host's timeline hook; any thread.
  void Event(std::string_view line);
  // `inner` with every request counted and the chosen device path reported. One per process.
  const MediaCaptureOps* Wrap(const MediaCaptureOps* inner);
  // The closing lines: the last attempt's outcome, requests, the verdict file, the exit status.
  // Once.
  void Finish(int status);

 private:
  void WriteLine(std::string_view line);

  std::mutex mutex_;
  std::FILE* out_ = nullptr;
  std::FILE* account_ = nullptr;  // worker.log
  bool finished_ = false;
  station::AttemptWatch attempts_;  // the worker states each attempt's outcome itself
};

// The one worker writer of this process.
StationWorker& Worker();

}  // namespace console
