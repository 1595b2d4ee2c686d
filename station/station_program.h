#pragma once
// What the Linux and the Windows station programs share between the command line and their
// loops: the station's configuration, a worker's command line, the simulated cameras' identity,
// the screen, the updates an earlier station left, and the run from the log's reconciliation to
// the exit status and its reason.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/display.h"
#include "station/screen_writer.h"
#include "station/simulated_ports.h"
#include "station/station.h"
#include "station/station_log.h"
#include "station/station_options.h"

namespace station {

Station::Config StationConfig(const StationOptions& options, std::string hostName,
                              std::string toolVersion, std::string imageSha256);

// The watchdog's bound: --watchdog (simulated ports only), else the longest update and more.
std::chrono::milliseconds WatchdogBound(const StationOptions& options);

// The worker's command line for `port`: the program, the simulated camera's words, the port, and
// the simulated port's options at `elapsedMs`.
std::vector<std::string> WorkerArguments(const std::string& worker, const std::string& port,
                                         const StationOptions& options,
                                         const std::optional<SimulatedPorts>& simulated,
                                         std::int64_t elapsedMs);

// The simulated camera on `port` now; it reports the image's revision once its flash holds the
// image, as the account its simulator left in `portFolder` says.
std::optional<UnitIdentity> SimulatedIdentity(const SimulatedPorts& simulated,
                                              const std::string& port,
                                              const std::string& portFolder,
                                              std::int64_t elapsedMs);

// The whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// The station's screen: the live block on a terminal, else one plain line per event; the
// other views (the page) are told of the station whenever it is shown.
class StationScreen {
 public:
  using Size = std::function<ScreenSize()>;
  // `size` is empty when the output is no terminal.
  StationScreen(ScreenWriter& writer, Size size) : writer_(writer), size_(std::move(size)) {}
  void Show(Station& station, bool force);
  void Say(const std::string& line) { writer_.Line(line); }
  void Finish() { writer_.Finish(2000); }
  void OnShow(std::function<void(const Station&)> view) { onShow_ = std::move(view); }

 private:
  ScreenWriter& writer_;
  Size size_;
  std::function<void(const Station&)> onShow_;
  LiveScreen live_;
};

// The updates that an earlier run of the station started and never ended; their workers may
// still run, holding their ports' locks.
class OrphanUpdates {
 public:
  using SteadyClock = std::chrono::steady_clock;
  // What the platform knows of a port lock: held by another process (its holder's pid when it
  // is written in the lock), or free, in which case it is taken until `release`.
  struct LockState {
    bool held = false;
    std::optional<long> holder;
    std::function<void()> release;
  };
  struct Hooks {
    std::function<std::string(const std::string& port)> lockPath;
    std::function<std::string(const std::string& port)> portFolder;
    std::function<LockState(const std::string& lockPath)> tryLock;
    // Ends a hung worker (its process, or its group); what the port's line says of it, empty
    // when it could not be ended.
    std::function<std::string(long pid)> end;
    std::function<std::optional<std::string>(const std::string& portFolder)> resultLog;
    // The update has ended: record it (the platform adds the camera now on the port).
    std::function<void(const std::string& port, WorkerEnd end)> ended;
  };

  OrphanUpdates(Station& station, std::chrono::milliseconds watchdog, Hooks hooks)
      : station_(station), watchdog_(watchdog), hooks_(std::move(hooks)) {}
  // Takes over the updates that the log starts and never ends, then looks at them.
  void Reconcile(const std::string& logText);
  // Ends each update whose worker is gone, judging the account it left; a worker past the
  // watchdog's bound is ended first.
  void Check();
  bool Empty() const { return orphans_.empty(); }

 private:
  struct Orphan {
    std::string lockPath;
    SteadyClock::time_point deadline;
    bool killed = false;
  };
  Station& station_;
  std::chrono::milliseconds watchdog_;
  Hooks hooks_;
  std::map<std::string, Orphan> orphans_;
};

// A platform's loop over the station's workers and cameras.
class StationLoop {
 public:
  virtual ~StationLoop() = default;
  // Takes over what an earlier station left in the log.
  virtual void Reconcile(const std::string& logText) = 0;
  // Until the station is done; the exit status.
  virtual int Run(StationScreen& screen) = 0;
};

// From an opened log to the exit status: the station, the page when asked for, the
// reconciliation, the loop, and the last line with the exit status and its reason.
int RunStationProgram(const StationOptions& options, const std::string& logPath, StationLog& log,
                      const Station::Config& config, StationScreen& screen,
                      const std::function<std::unique_ptr<StationLoop>(Station&)>& makeLoop);

}  // namespace station
