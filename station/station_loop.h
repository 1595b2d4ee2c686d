#pragma once
// The station's loop, written once over a port host: it takes the cameras the station takes,
// starts a worker on each locked port, reads the workers' accounts, ends the ones past the
// watchdog's bound, takes over the updates an earlier station left, and wakes only when there
// is something to do. It never blocks on a worker, a pipe or the terminal.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "station/port_host.h"
#include "station/simulated_ports.h"
#include "station/station.h"
#include "station/station_options.h"
#include "station/worker_protocol.h"

namespace station {

// The most of a port file the station reads: a Result.log, and the account an earlier
// station's worker left (a whole update writes a few hundred lines).
inline constexpr std::size_t kMaxResultLogBytes = 4096;
inline constexpr std::size_t kMaxAccountBytes = 1 << 20;

// Why `port` cannot be a port's name (a folder of the station's output): a path separator, a
// control character, the shape of the station's own files; nullopt for a good name.
std::optional<std::string> PortNameProblem(const std::string& port);

class StationLoop {
 public:
  StationLoop(Station& station, PortHost& host, const StationOptions& options, std::string worker,
              std::optional<SimulatedPorts> simulated);
  // Takes over the updates that the log starts and never ends.
  void Reconcile(const std::string& logText);
  // Until the station is done; the exit status. `show` is called after each turn, `force` once
  // a second and at the start and the end.
  int Run(const std::function<void(bool force)>& show);
  // Called after each wait, before the station hears of what came: news from elsewhere (the
  // factory database) reaches an update before its end record is written.
  void BeforeEvents(std::function<void()> hook) { beforeEvents_ = std::move(hook); }

 private:
  struct Worker {
    long pid = 0;
    WorkerLineSplitter lines;
    SteadyTime deadline;
    bool hung = false;  // the watchdog ended it
    bool overlongTold = false;
  };
  struct Orphan {
    SteadyTime deadline;
    bool killed = false;
  };

  std::int64_t ElapsedMs();
  SteadyTime NextWake();
  void Scan();
  void Present(const std::vector<std::string>& ports);
  void TellWorkersOfPlugs(const std::vector<std::string>& ports);
  void Start(const std::string& port);
  void Feed(const std::string& port, const std::string& bytes);
  void Ended(const std::string& port, const ProcessEnd& how);
  void Finish(const std::string& port, WorkerEnd end);
  void Watchdog();
  void CheckOrphans();
  std::optional<UnitIdentity> Identity(const std::string& port);

  Station& station_;
  PortHost& host_;
  const StationOptions& options_;
  std::string worker_;
  std::optional<SimulatedPorts> simulated_;
  std::chrono::milliseconds watchdog_;
  SteadyTime started_;
  SteadyTime lastScan_;
  std::map<std::string, Worker> workers_;
  std::map<std::string, Orphan> orphans_;
  std::map<std::string, bool> plugged_;
  std::vector<std::string> busy_;
  std::function<void()> beforeEvents_;
};

}  // namespace station
