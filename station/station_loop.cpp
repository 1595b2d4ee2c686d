#include "station/station_loop.h"

#include <algorithm>
#include <utility>

#include "product/product.h"
#include "station/log_files.h"
#include "station/orphan_account.h"
#include "station/worker_watchdog.h"

namespace station {
namespace {

constexpr auto kReadPortsEvery = std::chrono::seconds(1);
constexpr auto kLookAgainEvery = std::chrono::milliseconds(250);  // a busy port, an orphan
constexpr const char* kResultLog = "Result.log";
constexpr std::size_t kMaxPortName = 64;

}  // namespace

std::optional<std::string> PortNameProblem(const std::string& port) {
  const std::string why = "the port name \"" + Printable(port) + "\" ";
  if (port.empty() || port == "." || port == "..") {
    return why + "names no folder of its own";
  }
  if (port.size() > kMaxPortName) {
    return why + "is longer than " + std::to_string(kMaxPortName) + " characters";
  }
  for (const char c : port) {
    if (c == '/' || c == '\\' || c == ':') {
      return why + "holds a path separator";
    }
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return why + "holds a control character";
    }
  }
  // The station's own files live beside the ports' folders: a port must never pass for one.
  const auto endsWith = [&port](const std::string& tail) {
    return port.size() >= tail.size() &&
           port.compare(port.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (endsWith(".jsonl") || endsWith(".lock")) {
    return why + "has the shape of the station's own files";
  }
  return std::nullopt;
}

StationLoop::StationLoop(Station& station, PortHost& host, const StationOptions& options,
                         std::string worker, std::optional<SimulatedPorts> simulated)
    : station_(station),
      host_(host),
      options_(options),
      worker_(std::move(worker)),
      simulated_(std::move(simulated)),
      watchdog_(options.watchdogSeconds ? *options.watchdogSeconds * 1000 : WorkerWatchdogMs),
      started_(host.Now()),
      lastScan_(started_) {
  station_.OnFailedVerdict([this](const std::string& port, std::string& error) {
    return host_.ReplacePortFile(port, kResultLog, ResultFailText, error);
  });
}

std::int64_t StationLoop::ElapsedMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(host_.Now() - started_).count();
}

void StationLoop::Reconcile(const std::string& logText) {
  const SteadyTime now = host_.Now();
  const WallTime wallNow = host_.WallNow();
  for (const UnendedUpdate& update : FindUnended(logText)) {
    station_.Resume(update.port, update.start, update.unit);
    const auto age = std::chrono::duration_cast<SteadyTime::duration>(wallNow - update.start);
    orphans_[update.port] = {now + std::chrono::duration_cast<SteadyTime::duration>(watchdog_) -
                             age};
  }
  CheckOrphans();
}

int StationLoop::Run(const std::function<void(bool force)>& show) {
  Scan();
  show(true);
  SteadyTime lastDraw = host_.Now();
  while (!station_.Done()) {
    HostEvents events = host_.Wait(NextWake());
    if (beforeEvents_) {
      beforeEvents_();
    }
    if (events.stop) {
      station_.Stop();
    }
    if (!simulated_) {
      // Each reading in turn: a quick swap shows as gone, then back.
      for (const auto& ports : events.readings) {
        Present(ports);
      }
    }
    for (const auto& [port, bytes] : events.output) {
      Feed(port, bytes);
    }
    for (const auto& [port, how] : events.ended) {
      Ended(port, how);
    }
    Watchdog();
    CheckOrphans();
    const bool poll = !host_.NotifiesPorts() && host_.Now() - lastScan_ >= kReadPortsEvery;
    if (simulated_ || poll || !busy_.empty()) {
      Scan();
    }
    const bool tick = host_.Now() - lastDraw >= std::chrono::seconds(1);
    show(tick);
    if (tick) {
      lastDraw = host_.Now();
    }
  }
  show(true);
  return station_.ExitStatus();
}

// The next thing to do: a simulated plug, a watchdog, a busy port or an orphan to look at again,
// a reading of the ports where nothing tells of them, the elapsed times once a second.
SteadyTime StationLoop::NextWake() {
  const SteadyTime now = host_.Now();
  SteadyTime wake = now + std::chrono::seconds(1);
  if (simulated_) {
    if (const auto next = simulated_->NextChangeAfter(ElapsedMs())) {
      wake = std::min(wake, started_ + std::chrono::milliseconds(*next));
    }
  }
  if (!orphans_.empty() || !busy_.empty()) {
    wake = std::min(wake, now + kLookAgainEvery);
  }
  for (const auto& [port, worker] : workers_) {
    if (!worker.hung) {
      wake = std::min(wake, worker.deadline);
    }
  }
  return std::max(wake, now);
}

void StationLoop::Scan() {
  lastScan_ = host_.Now();
  Present(simulated_ ? simulated_->PresentAt(ElapsedMs()) : host_.CameraPorts());
}

void StationLoop::Present(const std::vector<std::string>& ports) {
  if (simulated_) {
    TellWorkersOfPlugs(ports);
  }
  busy_.clear();
  for (const std::string& port : station_.Present(ports)) {
    Start(port);
  }
}

// A simulated camera leaves its worker's bus when its port is unplugged, and comes back when it
// is plugged in again during the same update.
void StationLoop::TellWorkersOfPlugs(const std::vector<std::string>& ports) {
  for (const auto& [port, worker] : workers_) {
    const bool present = std::find(ports.begin(), ports.end(), port) != ports.end();
    const auto last = plugged_.find(port);
    if (last != plugged_.end() && last->second != present) {
      host_.TellPlug(port, present);
    }
  }
  plugged_.clear();
  for (const std::string& port : ports) {
    plugged_[port] = true;
  }
  for (const auto& [port, worker] : workers_) {
    plugged_.emplace(port, false);
  }
}

void StationLoop::Start(const std::string& port) {
  if (const auto problem = PortNameProblem(port)) {
    station_.PortFault(port, *problem);
    return;
  }
  const PortLock lock = host_.LockPort(port);
  if (lock.state == PortLock::State::busy) {
    station_.PortBusy(
        port, "another process updates this port" +
                  (lock.holder ? " (pid " + std::to_string(*lock.holder) + ")" : std::string()));
    busy_.push_back(port);
    return;
  }
  if (lock.state == PortLock::State::failed) {
    station_.PortFault(port, lock.error);
    return;
  }
  // What an earlier camera left in the folder must not stand for this one.
  std::vector<std::string> stale = {kResultLog, WorkerAccountFile};
  if (simulated_) {
    stale.emplace_back(SimulatedCameraAccount);
  }
  std::string error;
  if (!host_.PreparePort(port, stale, error)) {
    host_.ReleasePort(port);
    station_.PortFault(port, error);
    return;
  }
  // The start record is on disk before the worker exists.
  if (!station_.Begin(port, Identity(port).value_or(UnitIdentity{}))) {
    host_.ReleasePort(port);
    return;
  }
  std::vector<std::string> argv = {worker_};
  if (simulated_) {
    const auto words = simulated_->CameraWordsAt(port, ElapsedMs());
    argv.insert(argv.end(), words.begin(), words.end());
  }
  argv.insert(argv.end(), {"--port", port, "--station"});
  if (simulated_) {
    if (options_.instant) {
      argv.emplace_back("--instant");
    }
    const auto extra = simulated_->OptionsAt(port, ElapsedMs());
    argv.insert(argv.end(), extra.begin(), extra.end());
  }
  const auto pid = host_.StartWorker(port, argv, error);
  if (!pid) {
    WorkerEnd end;
    end.notStarted = true;
    end.reason = error;
    Finish(port, end);
    return;
  }
  station_.Note(port, "worker pid " + std::to_string(*pid));
  Worker& worker = workers_[port];
  worker = Worker{};
  worker.pid = *pid;
  worker.deadline = host_.Now() + watchdog_;
  plugged_[port] = true;
}

void StationLoop::Feed(const std::string& port, const std::string& bytes) {
  const auto found = workers_.find(port);
  if (found == workers_.end()) {
    return;
  }
  Worker& worker = found->second;
  std::vector<std::string> lines;
  worker.lines.Feed(bytes.data(), bytes.size(), lines);
  for (const std::string& line : lines) {
    station_.WorkerLine(port, line);
  }
  if (worker.lines.Overlong() && !worker.overlongTold) {
    worker.overlongTold = true;
    station_.WorkerInvalid(
        port, "the worker wrote a line longer than " + std::to_string(kMaxWorkerLine) + " bytes");
  }
}

void StationLoop::Ended(const std::string& port, const ProcessEnd& how) {
  const auto found = workers_.find(port);
  if (found == workers_.end()) {
    return;
  }
  WorkerEnd end;
  end.hung = found->second.hung;
  end.notStarted = how.notStarted;
  end.exited = how.exited && !how.notStarted;
  end.status = how.status;
  end.reason = how.exited ? std::string() : how.how;
  if (how.notStarted) {
    end.reason = how.how.empty() ? "the worker could not be started" : how.how;
  }
  // A worker's last write to its account is the moment it ended, when the platform does not
  // say: a station that was stopped for a while learns of the end only when it runs again.
  end.endedAt = how.at;
  if (!end.endedAt && how.exited) {
    end.endedAt = host_.PortFileTime(port, WorkerAccountFile);
  }
  workers_.erase(found);
  Finish(port, std::move(end));
}

void StationLoop::Finish(const std::string& port, WorkerEnd end) {
  if (!end.notStarted) {
    end.resultLog = host_.ReadPortFile(port, kResultLog, kMaxResultLogBytes);
  }
  end.after = Identity(port);       // the camera after its reset, from the device tree
  station_.WorkerEnded(port, end);  // a failed write halts the station; the screen says so
  // Only now may another process take the port: its end record is written.
  host_.ReleasePort(port);
}

void StationLoop::Watchdog() {
  const SteadyTime now = host_.Now();
  for (auto& [port, worker] : workers_) {
    if (!worker.hung && now >= worker.deadline) {
      worker.hung = true;
      host_.EndWorker(port);
      station_.Note(port, "worker hung: ended by the station");
    }
  }
}

void StationLoop::CheckOrphans() {
  const SteadyTime now = host_.Now();
  for (auto it = orphans_.begin(); it != orphans_.end();) {
    const std::string port = it->first;  // a copy: the entry is erased before the update ends
    Orphan& orphan = it->second;
    const PortLock lock = host_.LockPort(port);
    if (lock.state == PortLock::State::busy) {
      if (now >= orphan.deadline && !orphan.killed && lock.holder) {
        orphan.killed = host_.EndProcess(*lock.holder);
        if (orphan.killed) {
          station_.Note(port, "worker hung: ended by the station");
        }
      }
      ++it;
      continue;
    }
    // The worker is gone (or the lock cannot be had at all): judge what it left.
    const auto account = host_.ReadPortFile(port, WorkerAccountFile, kMaxAccountBytes);
    WorkerEnd end = ReplayOrphanAccount(station_, port, account.value_or(""), orphan.killed);
    if (account && account->size() > kMaxAccountBytes) {
      station_.WorkerInvalid(port, "the worker's account is longer than " +
                                       std::to_string(kMaxAccountBytes) + " bytes");
    }
    if (!orphan.killed) {
      end.endedAt = host_.PortFileTime(port, WorkerAccountFile);
    }
    it = orphans_.erase(it);
    Finish(port, std::move(end));
  }
}

// The camera on the port now, from the device tree: the platform's, or the simulated ports
// (where the account its simulator left says whether it runs the image).
std::optional<UnitIdentity> StationLoop::Identity(const std::string& port) {
  if (!simulated_) {
    return host_.Identity(port);
  }
  const auto account = host_.ReadPortFile(port, SimulatedCameraAccount, kMaxAccountBytes);
  return simulated_->IdentityAt(port, ElapsedMs(), account.value_or(""));
}

}  // namespace station
