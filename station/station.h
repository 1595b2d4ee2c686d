#pragma once
// The station's bookkeeping, apart from any operating system: which port has a camera, which
// worker runs on which port and what it shows, the counters, and the record of each finished
// camera in the station log.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/station_log.h"

namespace station {

enum class Mode {
  once,   // the cameras attached at the start, then end
  watch,  // each camera as it is plugged in, until stopped
};

enum class PortState {
  idle,      // no update; the next camera on the port is taken
  running,   // a worker updates the port's camera
  finished,  // the verdict is given; the camera is taken again only after it was unplugged
};

// What one port's line shows.
struct PortRow {
  PortState state = PortState::idle;
  bool present = false;  // a camera is on the port now
  int progress = 0;
  std::string status;          // the worker's status text
  std::string colour;          // "blue", "red" or "0x<COLORREF>"
  std::optional<bool> passed;  // the last verdict on this port
  int updates = 0;             // workers started on this port
};

struct Counters {
  int passed = 0;
  int failed = 0;
  int running = 0;
  int waiting = 0;  // cameras attached and not being updated (done, or come while stopping)
};

// The counters as one plain line: "passed 3  failed 1  running 0  waiting 2".
std::string CountersLine(const Counters& counters);

// How a worker ended.
struct WorkerEnd {
  bool exited = false;  // it returned from main or called exit; false: killed or never started
  int status = 0;
  std::string reason;                    // when not exited: why ("killed by signal 9")
  std::optional<std::string> resultLog;  // its Result.log; nullopt when there is none
};

class Station {
 public:
  struct Config {
    Mode mode = Mode::once;
    std::string hostName;
    std::string toolVersion;
    std::string imageSha256;
  };
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // `log` receives every finished camera, before its row shows the verdict; it may be null.
  Station(Config config, StationLog* log, Clock clock = std::chrono::system_clock::now);

  // The ports that have a camera now. Returns the ports whose update starts now; the caller
  // starts a worker on each, and reports its end with WorkerEnded.
  std::vector<std::string> Present(const std::vector<std::string>& ports);
  // One line the worker on `port` wrote.
  void WorkerLine(const std::string& port, std::string_view line);
  // The worker on `port` ended; its record is written to the log, then its row shows the
  // verdict. False when the log could not be written.
  bool WorkerEnded(const std::string& port, const WorkerEnd& end);
  // An event of the platform's about `port` for the plain display ("worker 1234").
  void Note(const std::string& port, const std::string& text) { Event(port, text); }
  // Take no new camera; running updates go on to their verdicts.
  void Stop() { stopping_ = true; }
  bool Stopping() const { return stopping_; }
  // Nothing is left to do: every update reached its verdict and no new one will start.
  bool Done() const;
  // 0 every camera passed, 1 any failed, 2 --once found no camera.
  int ExitStatus() const;

  const std::map<std::string, PortRow>& Rows() const { return rows_; }
  Counters Count() const;
  // The events since the last call, one plain line each ("A1 start", "A1 40% Update Firmware
  // ...", "A1 pass", and the counters after each verdict), for a display without a terminal.
  std::vector<std::string> TakeEvents();

 private:
  struct Run {
    FinishedCamera record;
    bool sawEnd = false;
    int attemptProgress = -1;  // -1 before the first attempt
    std::string attemptRed;
  };
  void CloseAttempt(Run& run);
  void Event(const std::string& port, const std::string& text);

  Config config_;
  StationLog* log_;
  Clock clock_;
  bool stopping_ = false;
  bool scanned_ = false;
  bool anyCamera_ = false;
  std::map<std::string, PortRow> rows_;
  std::map<std::string, Run> runs_;
  Counters done_;
  std::vector<std::string> events_;
};

}  // namespace station
