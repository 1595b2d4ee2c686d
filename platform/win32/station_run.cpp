#include "platform/win32/station_run.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/win32/camera_watch.h"
#include "platform/win32/worker_process.h"
#include "station/worker_protocol.h"

namespace winplat {
namespace {

using SteadyClock = std::chrono::steady_clock;

// What the reader threads, the device notifications and the console handler tell the loop.
struct Message {
  enum class Kind { worker, ports, stop } kind = Kind::stop;
  winplat::WorkerReport report;
  std::vector<std::string> ports;
};

class Inbox {
 public:
  void Post(Message message) {
    {
      std::lock_guard lock(mutex_);
      messages_.push_back(std::move(message));
    }
    changed_.notify_one();
  }
  // What came in, waiting until `until` for something to come.
  std::deque<Message> Take(SteadyClock::time_point until) {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, until, [this] { return !messages_.empty(); });
    return std::exchange(messages_, {});
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Message> messages_;
};

Inbox inbox;

// Held by the loop while it handles what came in. A console close takes it and keeps it until
// the system ends the process, so that the end falls between two records, never inside one.
std::mutex loopMutex;

// Ctrl-C and Ctrl-Break stop the station as a closed console does: no new camera, running
// updates go on. The workers have no console, so none of these reach them.
BOOL WINAPI OnConsoleEvent(DWORD type) {
  inbox.Post({Message::Kind::stop, {}, {}});
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // The system ends the station when this returns or its time is up; the workers run on with
    // their ports locked, and the next station writes their end records.
    std::lock_guard hold(loopMutex);
    Sleep(30000);
  }
  return TRUE;
}

class StationRun : public station::StationLoop {
 public:
  StationRun(const station::StationOptions& options, std::string output, std::string worker,
             station::Station& station, std::optional<station::SimulatedPorts> simulated)
      : options_(options),
        output_(std::move(output)),
        worker_(std::move(worker)),
        station_(station),
        simulated_(std::move(simulated)),
        watchdog_(station::WatchdogBound(options)),
        orphans_(station, station::WatchdogBound(options), OrphanHooks()) {
    if (!simulated_) {
      // Real ports are one fixture for every station on this computer: their locks are too.
      char data[MAX_PATH] = {};
      const DWORD size = GetEnvironmentVariableA("ProgramData", data, sizeof data);
      if (size > 0 && size < sizeof data) {
        lockDir_ = std::string(data) + "\\reflash-station";
        if (CreateDirectoryA(lockDir_.c_str(), nullptr) == FALSE &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
          lockDir_.clear();
        }
      }
      const auto post = [](std::vector<std::string> ports) {
        inbox.Post({Message::Kind::ports, {}, std::move(ports)});
      };
      watching_ = watch_.Start(post, lastPorts_);
    }
  }

  void Reconcile(const std::string& logText) override {
    std::lock_guard hold(loopMutex);
    orphans_.Reconcile(logText);
  }

  int Run(station::StationScreen& screen) override {
    {
      std::lock_guard hold(loopMutex);
      Scan();
    }
    screen.Show(station_, true);
    auto lastDraw = SteadyClock::now();
    while (!station_.Done()) {
      std::deque<Message> messages = inbox.Take(NextWake());
      std::lock_guard hold(loopMutex);
      for (Message& message : messages) {
        switch (message.kind) {
          case Message::Kind::worker:
            FromWorker(message.report);
            break;
          case Message::Kind::ports:
            // Each notification's reading in turn: a quick swap shows as gone, then back.
            Present(message.ports);
            lastPorts_ = std::move(message.ports);
            break;
          case Message::Kind::stop:
            station_.Stop();
            break;
        }
      }
      Watchdog();
      orphans_.Check();
      const bool poll = !simulated_ && !watching_ && SteadyClock::now() - lastScan_ >= kPoll;
      if (simulated_ || poll || !busy_.empty()) {
        Scan();
      }
      const bool tick = SteadyClock::now() - lastDraw >= std::chrono::seconds(1);
      screen.Show(station_, tick);
      if (tick) {
        lastDraw = SteadyClock::now();
      }
    }
    screen.Show(station_, true);
    return station_.ExitStatus();
  }

 private:
  static constexpr auto kPoll = std::chrono::seconds(1);

  std::int64_t ElapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started_)
        .count();
  }

  // Until the next thing to do: a simulated plug, a watchdog, a busy port or an orphan to look
  // at again, a reading of the tree when nothing notifies, the elapsed times once a second.
  SteadyClock::time_point NextWake() const {
    const auto now = SteadyClock::now();
    auto wake = now + std::chrono::seconds(1);
    if (simulated_) {
      if (const auto next = simulated_->NextChangeAfter(ElapsedMs())) {
        wake = std::min(wake, started_ + std::chrono::milliseconds(*next));
      }
    }
    if (!orphans_.Empty() || !busy_.empty()) {
      wake = std::min(wake, now + std::chrono::milliseconds(250));
    }
    for (const auto& [port, deadline] : deadlines_) {
      wake = std::min(wake, deadline + std::chrono::milliseconds(1));
    }
    return wake;
  }

  std::string PortFolder(const std::string& port) const { return output_ + "\\" + port; }

  std::string LockPath(const std::string& port) const {
    return lockDir_.empty() ? PortFolder(port) + "\\port.lock" : lockDir_ + "\\" + port + ".lock";
  }

  void Scan() {
    lastScan_ = SteadyClock::now();
    if (simulated_) {
      Present(simulated_->PresentAt(ElapsedMs()));
    } else {
      Present(watching_ ? lastPorts_ : CameraPorts());
    }
  }

  void Present(const std::vector<std::string>& ports) {
    busy_.clear();
    for (const std::string& port : station_.Present(ports)) {
      Start(port);
    }
  }

  void Start(const std::string& port) {
    const std::string folder = PortFolder(port);
    if (CreateDirectoryA(folder.c_str(), nullptr) == FALSE &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      station_.PortFault(
          port, "cannot create " + folder + " (error " + std::to_string(GetLastError()) + ")");
      return;
    }
    bool busy = false;
    std::string error;
    const std::string lockPath = LockPath(port);
    HANDLE lock = TryLockFile(lockPath, busy, error);
    if (lock == nullptr && busy) {
      const auto holder = LockHolder(lockPath);
      station_.PortBusy(port, "another process updates this port" +
                                  (holder ? " (pid " + std::to_string(*holder) + ")" : ""));
      busy_.push_back(port);
      return;
    }
    if (lock == nullptr || !PreparePortFolder(folder, error)) {
      if (lock != nullptr) {
        CloseHandle(lock);
      }
      station_.PortFault(port, error);
      return;
    }
    if (simulated_) {
      DeleteFileA((folder + "\\" + station::SimulatedCameraAccount).c_str());  // the last camera's
    }
    if (!station_.Begin(port, Identity(port).value_or(station::UnitIdentity{}))) {
      CloseHandle(lock);
      return;
    }
    const auto argv = station::WorkerArguments(worker_, port, options_, simulated_, ElapsedMs());
    const std::uint64_t id = ++lastId_;
    WorkerProcess worker;
    const auto sink = [](WorkerReport report) {
      inbox.Post({Message::Kind::worker, std::move(report), {}});
    };
    if (!StartWorker(argv, folder, lock, id, sink, worker, error)) {
      CloseHandle(lock);
      station::WorkerEnd end;
      end.notStarted = true;
      end.reason = error;
      station_.WorkerEnded(port, end);
      return;
    }
    station_.Note(port, "worker pid " + std::to_string(worker.pid));
    deadlines_[port] = SteadyClock::now() + watchdog_;
    workerPorts_[id] = port;
    workers_[port] = worker;
  }

  void FromWorker(WorkerReport& report) {
    const auto found = workerPorts_.find(report.id);
    if (found == workerPorts_.end()) {
      return;
    }
    const std::string port = found->second;
    for (const std::string& line : report.lines) {
      station_.WorkerLine(port, line);
    }
    if (report.overlong) {
      station_.WorkerInvalid(port, "the worker wrote a line longer than " +
                                       std::to_string(station::kMaxWorkerLine) + " bytes");
    }
    if (!report.ended) {
      return;
    }
    const station::WorkerEnd end = FinishWorker(workers_.at(port), report.exitCode);
    workers_.erase(port);
    deadlines_.erase(port);
    workerPorts_.erase(found);
    Ended(port, end);
  }

  void Ended(const std::string& port, station::WorkerEnd end) {
    end.after = Identity(port);       // the camera after its reset, from the device tree
    station_.WorkerEnded(port, end);  // a failed write halts the station; the screen says so
  }

  // The camera on the port now, from the device tree: the Configuration Manager's, or the
  // simulated ports (where the account its worker left says whether it runs the image).
  std::optional<station::UnitIdentity> Identity(const std::string& port) const {
    if (!simulated_) {
      return CameraIdentity(port);
    }
    return station::SimulatedIdentity(*simulated_, port, PortFolder(port), ElapsedMs());
  }

  void Watchdog() {
    const auto now = SteadyClock::now();
    for (auto& [port, worker] : workers_) {
      if (!worker.hung && now >= deadlines_.at(port)) {
        EndWorker(worker);
        station_.Note(port, "worker hung: its job is ended");
      }
    }
  }

  station::OrphanUpdates::Hooks OrphanHooks() {
    station::OrphanUpdates::Hooks hooks;
    hooks.lockPath = [this](const std::string& port) { return LockPath(port); };
    hooks.portFolder = [this](const std::string& port) { return PortFolder(port); };
    hooks.tryLock = [](const std::string& path) {
      station::OrphanUpdates::LockState state;
      std::string error;
      HANDLE lock = TryLockFile(path, state.held, error);
      if (state.held) {
        state.holder = LockHolder(path);
      } else if (lock != nullptr) {
        state.release = [lock] { CloseHandle(lock); };
      }
      return state;
    };
    hooks.end = [](long pid) {
      return EndOrphan(static_cast<DWORD>(pid)) ? std::string("worker hung: its process is ended")
                                                : std::string();
    };
    hooks.resultLog = [](const std::string& folder) { return ReadResultLog(folder); };
    hooks.ended = [this](const std::string& port, station::WorkerEnd end) { Ended(port, end); };
    return hooks;
  }

  const station::StationOptions& options_;
  std::string output_;
  std::string worker_;
  station::Station& station_;
  std::optional<station::SimulatedPorts> simulated_;
  const SteadyClock::duration watchdog_;
  std::string lockDir_;
  CameraWatch watch_;
  bool watching_ = false;
  std::vector<std::string> lastPorts_;
  SteadyClock::time_point lastScan_;
  std::uint64_t lastId_ = 0;
  std::map<std::string, WorkerProcess> workers_;
  std::map<std::uint64_t, std::string> workerPorts_;
  std::map<std::string, SteadyClock::time_point> deadlines_;
  std::vector<std::string> busy_;
  station::OrphanUpdates orphans_;
  const SteadyClock::time_point started_ = SteadyClock::now();
};

}  // namespace

void InstallStationStopHandler() {
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::unique_ptr<station::StationLoop> MakeStationLoop(
    const station::StationOptions& options, std::string output, std::string worker,
    station::Station& station, std::optional<station::SimulatedPorts> simulated) {
  return std::make_unique<StationRun>(options, std::move(output), std::move(worker), station,
                                      std::move(simulated));
}

}  // namespace winplat
