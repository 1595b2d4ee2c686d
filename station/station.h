#pragma once
// The station's bookkeeping, apart from any operating system: which port has a camera, which
// worker runs on which port and what it shows, the counters, and the start and end record of
// each update in the station log.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "station/port_order.h"
#include "station/port_view.h"
#include "station/station_log.h"
#include "station/unit_identity.h"
#include "station/worker_protocol.h"

namespace station {

enum class Mode {
  once,   // the cameras attached at the start, then end
  watch,  // each camera as it is plugged in, until stopped
};

// How a worker ended.
struct WorkerEnd {
  bool exited = false;  // it returned from main or called exit; false: killed or never started
  int status = 0;
  std::string reason;                    // when not exited: why ("killed by signal 9")
  std::optional<std::string> resultLog;  // its Result.log; nullopt when there is none
  bool hung = false;                     // the watchdog ended it
  bool notStarted = false;               // the station could not start it
  bool orphan = false;                   // it ran on after the station that started it had stopped
  // The camera on the port as it ended (after the camera's reset), from the device tree;
  // nullopt: no camera there, or the platform does not read it.
  std::optional<UnitIdentity> after;
  // When it ended, where that is known better than by the moment the station learned of it (a
  // station that was stopped for a while learns late).
  std::optional<std::chrono::system_clock::time_point> endedAt;
};

// Why the station stopped taking cameras on its own.
enum class Halt { none, logFailed };

class Station {
 public:
  struct Config {
    Mode mode = Mode::once;
    std::string hostName;
    std::string toolVersion;
    std::string imageSha256;
    std::string stationId;           // --station-id; empty: none
    std::string operatorName;        // --operator; empty: none
    std::vector<std::string> ports;  // the fixture's ports, in its layout; empty: every port
  };
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // `log` receives the start and the end of every update; it may be null.
  Station(Config config, StationLog* log, Clock clock = std::chrono::system_clock::now);

  // The ports that have a camera now. Returns the ports whose update is to start now; for each
  // the caller calls Begin once the port is locked and prepared, or PortBusy or PortFault.
  std::vector<std::string> Present(const std::vector<std::string>& ports);
  // Writes the start record of the port's update, naming the camera on the port as the device
  // tree gives it (serial number nullopt: none, or not read); false (and the station halts)
  // when the log could not be written. A serial number that passed on this station today is
  // flagged as a duplicate, and still flashed.
  bool Begin(const std::string& port, const UnitIdentity& unit = {});
  // Told of each update whose start record is written, with the camera's serial number: the
  // factory database is asked whether another station passed it today.
  using BeginObserver = std::function<void(const UpdateRecord&)>;
  void OnBegin(BeginObserver observer) { onBegin_ = std::move(observer); }
  // The database's answer: the camera of the update started at `start` on `port` passed on
  // another station today. Flagged as a duplicate when that update still runs and is flagged
  // for nothing else.
  void PassedElsewhere(const std::string& port, std::chrono::system_clock::time_point start,
                       const PriorPass& pass);
  // The passes of the station's log (RecentLogText) that count for the duplicate check.
  void KnownPasses(const std::string& logText);
  // Another process holds the port: the update is not started now and is offered again.
  void PortBusy(const std::string& port, const std::string& note);
  // The station could not prepare the port: a station fault, not a camera's failure.
  void PortFault(const std::string& port, const std::string& reason);
  // An update that an earlier run of the station started and never ended; its worker may still
  // run. It ends with WorkerEnded like any other.
  void Resume(const std::string& port, std::chrono::system_clock::time_point start,
              const UnitIdentity& unit = {});
  // One line the worker on `port` wrote.
  void WorkerLine(const std::string& port, std::string_view line);
  // The worker's account can no longer be trusted (a line over the bound): it cannot pass.
  void WorkerInvalid(const std::string& port, const std::string& reason);
  // The worker on `port` ended; a verdict that is not a pass replaces the port's Result.log with
  // the fail text (OnFailedVerdict), then its end record is written to the log, then its row
  // shows the verdict. False when the log could not be written (the station halts).
  bool WorkerEnded(const std::string& port, const WorkerEnd& end);
  // Writes the fail text into the port's Result.log, as a whole; false with `error`.
  using MarkFailed = std::function<bool(const std::string& port, std::string& error)>;
  void OnFailedVerdict(MarkFailed markFailed) { markFailed_ = std::move(markFailed); }
  // An event of the platform's about `port` for the plain display ("worker 1234").
  void Note(const std::string& port, const std::string& text) { Event(port, text); }
  // Take no new camera; running updates go on to their verdicts.
  void Stop() { stopping_ = true; }
  bool Stopping() const { return stopping_ || halt_ != Halt::none; }
  Halt Halted() const { return halt_; }
  // Nothing is left to do: every update reached its verdict and no new one will start.
  bool Done() const;
  // The ports of cameras that --once saw and did not flash: plugged in after its start, also
  // those pulled again before the end.
  std::vector<std::string> NotFlashed() const;
  Mode GetMode() const { return config_.mode; }
  // The exit status (station_options.h) and its one-line reason.
  int ExitStatus() const;
  std::string ExitReason() const;

  const std::map<std::string, PortRow, PortOrder>& Rows() const { return rows_; }
  Counters Count() const;
  std::chrono::system_clock::time_point Now() const { return clock_(); }
  // The events since the last call, one plain line each ("A1 start", "A1 40% Update Firmware
  // ...", "A1 pass", and the counters after each verdict), for a display without a terminal.
  std::vector<std::string> TakeEvents();

 private:
  struct Run {
    UpdateRecord record;
    bool sawHeader = false;
    std::optional<std::string> portLine;  // the port its "port" line names
    std::optional<long> endStatus;        // the worker's first "end" line
    int endLines = 0;
    int afterEnd = 0;                       // lines after the first "end" line
    bool lastStated = false;                // the last attempt's outcome is the worker's own
    std::optional<std::string> resultText;  // the worker's "result" line
    AttemptWatch attempts;
    std::optional<std::string> statedOutcome;  // the running attempt's, from its "attempt" line
    std::chrono::system_clock::time_point attemptStart;
    std::string invalid;  // why the account cannot be trusted
  };
  // Ends the running attempt at `at`; `cut`: the worker did not end it with its account.
  void CloseAttempt(Run& run, std::chrono::system_clock::time_point at, bool cut);
  void Judge(const std::string& port, Run& run, const WorkerEnd& end) const;
  void SameSerialNow(const std::string& port, UpdateRecord& record);
  bool Wanted(const std::string& port) const;
  void NewRun(const std::string& port, std::chrono::system_clock::time_point start);
  void Annotate(UpdateRecord& record) const;
  void RememberPass(const std::string& serial, const PriorPass& pass);
  void Event(const std::string& port, const std::string& text);

  Config config_;
  StationLog* log_;
  Clock clock_;
  bool stopping_ = false;
  Halt halt_ = Halt::none;
  bool scanned_ = false;
  bool anyCamera_ = false;
  std::map<std::string, PortRow, PortOrder> rows_;
  std::map<std::string, Run> runs_;
  Counters done_;
  std::vector<std::string> events_;
  std::map<std::string, PriorPass> passes_;  // by serial number: its first pass, on any day
  std::set<std::string> seenNotFlashed_;     // --once: ports that had a camera it did not take
  MarkFailed markFailed_;
  BeginObserver onBegin_;
};

}  // namespace station
