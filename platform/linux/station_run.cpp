#include "platform/linux/station_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/linux/sim_plug_signal.h"
#include "platform/linux/usb_camera_watch.h"
#include "platform/linux/worker_process.h"
#include "station/worker_protocol.h"

namespace linuxplat {
namespace {

using SteadyClock = std::chrono::steady_clock;

int signalPipe[2] = {-1, -1};

// 's' for a stop (SIGINT, SIGTERM, SIGHUP), 'c' for an ended child.
void OnSignal(int signal) {
  const int saved = errno;
  const char byte = signal == SIGCHLD ? 'c' : 's';
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

bool InstallStationSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    return false;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // A closed terminal or tmux session stops the station as SIGTERM does: running updates end.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
    ::sigaction(signal, &action, nullptr);
  }
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);  // a file-size limit is a failed write, not the station's end
  return true;
}

namespace {

class StationRun : public station::StationLoop {
 public:
  StationRun(const station::StationOptions& options, std::string worker, station::Station& station,
             std::optional<station::SimulatedPorts> simulated)
      : options_(options),
        worker_(std::move(worker)),
        station_(station),
        simulated_(std::move(simulated)),
        watchdog_(station::WatchdogBound(options)),
        orphans_(station, station::WatchdogBound(options), OrphanHooks()) {
    if (!simulated_) {
      // Real ports are one fixture for every station on this computer: their locks are too.
      lockDir_ = "/run/lock/reflash-station";
      if (::mkdir(lockDir_.c_str(), 01777) == 0) {
        ::chmod(lockDir_.c_str(), 01777);
      } else if (errno != EEXIST) {
        lockDir_.clear();
      }
    }
  }

  void Reconcile(const std::string& logText) override { orphans_.Reconcile(logText); }

  int Run(station::StationScreen& screen) override {
    Scan();
    screen.Show(station_, true);
    auto lastDraw = SteadyClock::now();
    while (!station_.Done()) {
      std::vector<pollfd> fds;
      fds.push_back({signalPipe[0], POLLIN, 0});
      const bool watchEvents = !simulated_ && events_.Handle() >= 0;
      if (watchEvents) {
        fds.push_back({events_.Handle(), POLLIN, 0});
      }
      std::vector<std::string> order;
      for (const auto& [port, worker] : workers_) {
        if (worker.pipe.valid()) {
          fds.push_back({worker.pipe.get(), POLLIN, 0});
          order.push_back(port);
        }
      }
      const int ready = ::poll(fds.data(), fds.size(), Timeout());
      if (ready < 0 && errno != EINTR) {
        screen.Say(std::string("reflash-station: poll: ") + std::strerror(errno));
        return station::ExitStationFault;
      }
      if ((fds[0].revents & POLLIN) != 0) {
        char bytes[64];
        for (ssize_t size; (size = ::read(signalPipe[0], bytes, sizeof bytes)) > 0;) {
          if (std::find(bytes, bytes + size, 's') != bytes + size) {
            station_.Stop();
          }
        }
      }
      bool rescan = simulated_ || !watchEvents;
      if (watchEvents && (fds[1].revents & POLLIN) != 0) {
        rescan = events_.Drain() || rescan;
      }
      const std::size_t firstWorker = fds.size() - order.size();
      for (std::size_t i = 0; i < order.size(); ++i) {
        if (fds[firstWorker + i].revents != 0) {
          ReadFrom(order[i]);
        }
      }
      Reap();
      Watchdog();
      orphans_.Check();
      if (rescan || !busy_.empty()) {
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
  std::int64_t ElapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started_)
        .count();
  }

  // Until the next thing to do: a simulated plug, a watchdog, a busy port or an orphan to look
  // at again, and the elapsed times on the screen once a second.
  int Timeout() const {
    std::int64_t wait = 1000;
    if (simulated_) {
      if (const auto next = simulated_->NextChangeAfter(ElapsedMs())) {
        wait = std::min(wait, std::max<std::int64_t>(0, *next - ElapsedMs()));
      }
    }
    if (!orphans_.Empty() || !busy_.empty()) {
      wait = std::min<std::int64_t>(wait, 250);
    }
    const auto now = SteadyClock::now();
    for (const auto& [port, worker] : workers_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadlines_.at(port) - now);
      wait = std::min<std::int64_t>(wait, std::max<std::int64_t>(0, left.count() + 1));
    }
    return static_cast<int>(wait);
  }

  std::string PortFolder(const std::string& port) const { return options_.output + "/" + port; }

  std::string LockPath(const std::string& port) const {
    return lockDir_.empty() ? PortFolder(port) + "/port.lock" : lockDir_ + "/" + port + ".lock";
  }

  void Scan() {
    const auto ports = simulated_ ? simulated_->PresentAt(ElapsedMs()) : CameraPorts();
    if (simulated_) {
      TellWorkersOfPlugs(ports);
    }
    busy_.clear();
    for (const std::string& port : station_.Present(ports)) {
      Start(port);
    }
  }

  // A simulated camera leaves its worker's bus when its port is unplugged, and comes back when
  // it is plugged in again during the same update.
  void TellWorkersOfPlugs(const std::vector<std::string>& ports) {
    for (const auto& [port, worker] : workers_) {
      const bool present = std::find(ports.begin(), ports.end(), port) != ports.end();
      const auto last = plugged_.find(port);
      if (last != plugged_.end() && last->second != present && worker.pid > 0) {
        SignalSimulatedPlug(worker.pid, present);
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

  void Start(const std::string& port) {
    const std::string folder = PortFolder(port);
    std::string error;
    if (::mkdir(folder.c_str(), 0775) != 0 && errno != EEXIST) {
      station_.PortFault(port, "cannot create " + folder + ": " + std::strerror(errno));
      return;
    }
    bool busy = false;
    const std::string lockPath = LockPath(port);
    UniqueFd lock = TryLockFile(lockPath, busy, error);
    if (!lock.valid() && busy) {
      const auto holder = LockHolder(lockPath);
      station_.PortBusy(port, "another process updates this port" +
                                  (holder ? " (pid " + std::to_string(*holder) + ")" : ""));
      busy_.push_back(port);
      return;
    }
    if (!lock.valid() || !PreparePortFolder(folder, error)) {
      station_.PortFault(port, error);
      return;
    }
    if (simulated_) {
      ::unlink((folder + "/" + station::SimulatedCameraAccount).c_str());  // the last camera's
    }
    if (!station_.Begin(port, Identity(port).value_or(station::UnitIdentity{}))) {
      return;
    }
    const auto argv = station::WorkerArguments(worker_, port, options_, simulated_, ElapsedMs());
    WorkerProcess worker;
    if (!StartWorker(argv, folder, lock, worker, error)) {
      station::WorkerEnd end;
      end.notStarted = true;
      end.reason = error;
      station_.WorkerEnded(port, end);
      return;
    }
    WriteLockHolder(worker.portLock.get(), worker.pid);
    station_.Note(port, "worker pid " + std::to_string(worker.pid));
    deadlines_[port] = SteadyClock::now() + watchdog_;
    plugged_[port] = true;
    workers_[port] = std::move(worker);
  }

  void ReadFrom(const std::string& port) {
    WorkerProcess& worker = workers_[port];
    std::vector<std::string> lines;
    ReadWorkerChunk(worker, lines);
    for (const std::string& line : lines) {
      station_.WorkerLine(port, line);
    }
    if (worker.lines.Overlong()) {
      station_.WorkerInvalid(port, "the worker wrote a line longer than " +
                                       std::to_string(station::kMaxWorkerLine) + " bytes");
    }
  }

  // Ends the updates whose workers have ended, without waiting for any; a worker that closed
  // its output and runs on is waited for by the watchdog, not by the loop.
  void Reap() {
    for (auto it = workers_.begin(); it != workers_.end();) {
      const std::string port = it->first;
      WorkerProcess& worker = it->second;
      auto end = PollWorkerEnd(worker);
      if (!end) {
        ++it;
        continue;
      }
      ReadFrom(port);  // what it wrote just before it ended
      // A process it left behind may hold the pipe: not waited for. Erasing the record closes
      // the pipe and the port's lock.
      deadlines_.erase(port);
      it = workers_.erase(it);
      Ended(port, *end);
    }
  }

  void Watchdog() {
    const auto now = SteadyClock::now();
    for (auto& [port, worker] : workers_) {
      if (!worker.hung && now >= deadlines_.at(port)) {
        worker.hung = true;
        ::kill(-worker.pid, SIGKILL);
        station_.Note(port, "worker hung: its process group is ended");
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
      auto lock = std::make_shared<UniqueFd>(TryLockFile(path, state.held, error));
      if (state.held) {
        state.holder = LockHolder(path);
      } else if (lock->valid()) {
        state.release = [lock] { lock->reset(); };
      }
      return state;
    };
    hooks.end = [](long pid) {
      ::kill(-static_cast<pid_t>(pid), SIGKILL);
      return std::string("worker hung: its process group is ended");
    };
    hooks.resultLog = [](const std::string& folder) { return ReadResultLog(folder); };
    hooks.ended = [this](const std::string& port, station::WorkerEnd end) {
      Ended(port, std::move(end));
    };
    return hooks;
  }

  void Ended(const std::string& port, station::WorkerEnd end) {
    end.after = Identity(port);       // the camera after its reset, from the device tree
    station_.WorkerEnded(port, end);  // a failed write halts the station; the screen says so
  }

  // The camera on the port now, from the device tree: sysfs, or the simulated ports. A
  // simulated camera reports the image's revision once its flash holds the image (its
  // simulator's account of the camera says so).
  std::optional<station::UnitIdentity> Identity(const std::string& port) const {
    if (!simulated_) {
      return UsbUnitIdentity(port);
    }
    return station::SimulatedIdentity(*simulated_, port, PortFolder(port), ElapsedMs());
  }

  const station::StationOptions& options_;
  std::string worker_;
  station::Station& station_;
  std::optional<station::SimulatedPorts> simulated_;
  const SteadyClock::duration watchdog_;
  std::string lockDir_;
  DeviceEvents events_;
  std::map<std::string, WorkerProcess> workers_;
  std::map<std::string, SteadyClock::time_point> deadlines_;
  std::map<std::string, bool> plugged_;
  std::vector<std::string> busy_;
  station::OrphanUpdates orphans_;
  const SteadyClock::time_point started_ = SteadyClock::now();
};

}  // namespace

std::unique_ptr<station::StationLoop> MakeStationLoop(
    const station::StationOptions& options, std::string worker, station::Station& station,
    std::optional<station::SimulatedPorts> simulated) {
  return std::make_unique<StationRun>(options, std::move(worker), station, std::move(simulated));
}

}  // namespace linuxplat
