#pragma once
// The worker's side of the station pipe: a front end started by `reflash-station` writes what it
// shows, one plain line per event, on its standard output instead of drawing the screen.
//
// The lines (the format is shared with the station's reader, station/worker_line.h):
//   reflash-worker 1                 first line; 1 is the format's version
//   port "1-1.2"                     the port the worker was told to take
//   status blue "Erase Flash ..."    the status line's colour (blue, red or 0x<COLORREF>) and text
//   progress 40                      the progress bar's position
//   device "\\?\usb#vid_1f3a..."     the device path of the camera the layer read, when it changes
//   requests 21209 4                 extension-unit requests sent and answered with a failure
//   result "Pass\r\nR06.00.01\r\n"   what Result.log holds when the front end ends ("" for none)
//   end 0                            the front end's exit status; the last line
// Other lines (timer, sleep) may appear and are to be skipped. Texts are quoted as in the
// timeline (\\, \", \r, \n escaped).
// The same lines go to the file worker.log in the current folder (the port's), synced at the
// end: a station that died during the update reads the worker's account from there.

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "seams/media_capture.h"

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
  // The closing lines: requests, the verdict file, the exit status. Once.
  void Finish(int status);

 private:
  void WriteLine(std::string_view line);

  std::mutex mutex_;
  std::FILE* out_ = nullptr;
  std::FILE* account_ = nullptr;  // worker.log
  bool finished_ = false;
};

// The one worker writer of this process.
StationWorker& Worker();

}  // namespace console
