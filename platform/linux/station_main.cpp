// reflash-station for Linux: one `reflash` worker process per camera on the USB ports (or one
// `reflash-sim` per simulated port), a live line per port, each port's Result.log and the
// station log station.jsonl.
//
// Line safety: each update holds its port's lock file for the worker's whole life (the worker
// inherits it), the log gets a start record before a worker starts and an end record when it
// ends, and a station started after one that died first ends the updates that one left: it
// waits for a worker that still runs and judges the account that worker left in its folder.
// The loop never blocks on a worker, a pipe or the terminal.

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>

#include "platform/linux/screen_writer.h"
#include "platform/linux/sim_plug_signal.h"
#include "platform/linux/usb_camera_watch.h"
#include "platform/linux/worker_process.h"
#include "resources/embedded_image.h"
#include "station/display.h"
#include "station/orphan_account.h"
#include "station/sha256.h"
#include "station/simulated_ports.h"
#include "station/station.h"
#include "station/station_options.h"
#ifdef REFLASH_STATION_WEB
#include "station/web_server.h"
#endif
#include "station/worker_protocol.h"
#include "station/worker_watchdog.h"

#include "reflash_version.h"

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

bool InstallSignals() {
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

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t size = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (size <= 0) {
    return ".";
  }
  const std::string exe(path, static_cast<std::size_t>(size));
  return exe.substr(0, exe.rfind('/'));
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

station::ScreenSize TerminalSize() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
    return {};
  }
  return {size.ws_col, size.ws_row};
}

// Never deleted, and held from a static so that it is not a leak: a writer stuck on a paused
// terminal ends with the process.
linuxplat::ScreenWriter* TheWriter() {
  static auto* writer = new linuxplat::ScreenWriter(STDOUT_FILENO);
  return writer;
}

class Screen {
 public:
  explicit Screen(bool terminal) : terminal_(terminal) {}
  void Show(station::Station& station, bool force) {
    if (onShow_) {
      onShow_(station);
    }
    const auto events = station.TakeEvents();
    if (terminal_) {
      if (force || !events.empty()) {
        writer_->Frame(live_.Redraw(station, TerminalSize()));
      }
      return;
    }
    for (const std::string& event : events) {
      writer_->Line(station::UtcTimestamp(std::chrono::system_clock::now()) + " " + event);
    }
  }
  void Say(const std::string& line) { writer_->Line(line); }
  void Finish() { writer_->Finish(2000); }
  // Other views of the station, told of it whenever the screen is.
  void OnShow(std::function<void(const station::Station&)> view) { onShow_ = std::move(view); }

 private:
  bool terminal_;
  std::function<void(const station::Station&)> onShow_;
  station::LiveScreen live_;
  linuxplat::ScreenWriter* writer_ = TheWriter();
};

// An update that an earlier run of the station left: its worker may still run.
struct Orphan {
  std::string lockPath;
  SteadyClock::time_point deadline;
  bool killed = false;
};

class StationRun {
 public:
  StationRun(const station::StationOptions& options, std::string worker, station::Station& station,
             std::optional<station::SimulatedPorts> simulated)
      : options_(options),
        worker_(std::move(worker)),
        station_(station),
        simulated_(std::move(simulated)),
        watchdog_(std::chrono::milliseconds(options.watchdogSeconds
                                                ? *options.watchdogSeconds * 1000
                                                : station::WorkerWatchdogMs)) {
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

  // Takes over the updates that the log starts and never ends.
  void Reconcile(const std::string& logText) {
    const auto now = SteadyClock::now();
    for (const station::UnendedUpdate& update : station::FindUnended(logText)) {
      station_.Resume(update.port, update.start, update.unit);
      const auto age = std::chrono::system_clock::now() - update.start;
      orphans_[update.port] = {
          LockPath(update.port),
          now + std::chrono::duration_cast<SteadyClock::duration>(watchdog_ - age)};
    }
    CheckOrphans();
  }

  int Run(Screen& screen) {
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
        if (worker.pipe >= 0) {
          fds.push_back({worker.pipe, POLLIN, 0});
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
      CheckOrphans();
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
    if (!orphans_.empty() || !busy_.empty()) {
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
    const auto ports = simulated_ ? simulated_->PresentAt(ElapsedMs()) : linuxplat::CameraPorts();
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
        linuxplat::SignalSimulatedPlug(worker.pid, present);
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
    const int lock = linuxplat::TryLockFile(lockPath, busy, error);
    if (lock < 0 && busy) {
      const auto holder = linuxplat::LockHolder(lockPath);
      station_.PortBusy(port, "another process updates this port" +
                                  (holder ? " (pid " + std::to_string(*holder) + ")" : ""));
      busy_.push_back(port);
      return;
    }
    if (lock < 0 || !linuxplat::PreparePortFolder(folder, error)) {
      if (lock >= 0) {
        ::close(lock);
      }
      station_.PortFault(port, error);
      return;
    }
    if (simulated_) {
      ::unlink((folder + "/" + station::SimulatedCameraAccount).c_str());  // the last camera's
    }
    if (!station_.Begin(port, Identity(port).value_or(station::UnitIdentity{}))) {
      ::close(lock);
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
        argv.push_back("--instant");
      }
      const auto extra = simulated_->OptionsAt(port, ElapsedMs());
      argv.insert(argv.end(), extra.begin(), extra.end());
    }
    linuxplat::WorkerProcess worker;
    if (!linuxplat::StartWorker(argv, folder, lock, worker, error)) {
      ::close(lock);
      station::WorkerEnd end;
      end.notStarted = true;
      end.reason = error;
      station_.WorkerEnded(port, end);
      return;
    }
    linuxplat::WriteLockHolder(lock, worker.pid);
    station_.Note(port, "worker pid " + std::to_string(worker.pid));
    deadlines_[port] = SteadyClock::now() + watchdog_;
    plugged_[port] = true;
    workers_[port] = std::move(worker);
  }

  void ReadFrom(const std::string& port) {
    linuxplat::WorkerProcess& worker = workers_[port];
    std::vector<std::string> lines;
    linuxplat::ReadWorkerChunk(worker, lines);
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
      linuxplat::WorkerProcess& worker = it->second;
      auto end = linuxplat::PollWorkerEnd(worker);
      if (!end) {
        ++it;
        continue;
      }
      ReadFrom(port);  // what it wrote just before it ended
      if (worker.pipe >= 0) {
        ::close(worker.pipe);  // a process it left behind may hold the pipe: not waited for
      }
      ::close(worker.portLock);
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

  void CheckOrphans() {
    const auto now = SteadyClock::now();
    for (auto it = orphans_.begin(); it != orphans_.end();) {
      const std::string port = it->first;  // a copy: the entry is erased before the update ends
      Orphan& orphan = it->second;
      bool busy = false;
      std::string error;
      const int lock = linuxplat::TryLockFile(orphan.lockPath, busy, error);
      if (lock < 0 && busy) {
        const auto holder = linuxplat::LockHolder(orphan.lockPath);
        if (now >= orphan.deadline && !orphan.killed && holder) {
          orphan.killed = true;
          ::kill(-*holder, SIGKILL);
          station_.Note(port, "worker hung: its process group is ended");
        }
        ++it;
        continue;
      }
      // The worker is gone (or the lock cannot be had at all): judge what it left.
      std::ifstream file(PortFolder(port) + "/" + station::WorkerAccountFile, std::ios::binary);
      const std::string account(std::istreambuf_iterator<char>(file), {});
      station::WorkerEnd end = station::ReplayOrphanAccount(station_, port, account, orphan.killed);
      end.resultLog = linuxplat::ReadResultLog(PortFolder(port));
      if (lock >= 0) {
        ::close(lock);
      }
      it = orphans_.erase(it);
      Ended(port, end);
    }
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
      return linuxplat::UsbUnitIdentity(port);
    }
    std::ifstream file(PortFolder(port) + "/" + station::SimulatedCameraAccount, std::ios::binary);
    const std::string account(std::istreambuf_iterator<char>(file), {});
    return simulated_->IdentityAt(port, ElapsedMs(), account);
  }

  const station::StationOptions& options_;
  std::string worker_;
  station::Station& station_;
  std::optional<station::SimulatedPorts> simulated_;
  const SteadyClock::duration watchdog_;
  std::string lockDir_;
  linuxplat::DeviceEvents events_;
  std::map<std::string, linuxplat::WorkerProcess> workers_;
  std::map<std::string, SteadyClock::time_point> deadlines_;
  std::map<std::string, Orphan> orphans_;
  std::map<std::string, bool> plugged_;
  std::vector<std::string> busy_;
  const SteadyClock::time_point started_ = SteadyClock::now();
};

// The checks that make a station fault show at the start, not as failed cameras: the folder,
// the one station it may hold, the worker program and the log. An error line, or nothing.
std::optional<std::string> CheckStart(const station::StationOptions& options,
                                      const std::string& worker, int& folderLock,
                                      station::StationLog& log) {
  if (::mkdir(options.output.c_str(), 0775) != 0 && errno != EEXIST) {
    return "cannot create " + options.output + ": " + std::strerror(errno);
  }
  const std::string lockPath = options.output + "/station.lock";
  bool busy = false;
  std::string error;
  folderLock = linuxplat::TryLockFile(lockPath, busy, error);
  if (folderLock < 0) {
    if (!busy) {
      return error;
    }
    const auto holder = linuxplat::LockHolder(lockPath);
    return "another station (pid " + (holder ? std::to_string(*holder) : std::string("?")) +
           ") runs in " + options.output;
  }
  linuxplat::WriteLockHolder(folderLock, ::getpid());
  struct stat info {};
  if (::stat(worker.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      ::access(worker.c_str(), X_OK) != 0) {
    return "the worker program " + worker + " cannot be run";
  }
  if (!log.Open(options.output + "/station.jsonl")) {
    return "cannot open " + options.output + "/station.jsonl: " + log.Error();
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  station::StationOptions options;
  std::optional<station::SimulatedPorts> simulated;
  if (const auto status =
          station::StationCommandLine(argc, argv, REFLASH_VERSION_TEXT, options, simulated)) {
    return *status;
  }
  std::string worker = options.worker.empty()
                           ? ProgramFolder() + (simulated ? "/reflash-sim" : "/reflash")
                           : options.worker;
  // The worker starts in its port's folder; a path relative to here would not find it.
  std::error_code ec;
  if (const auto absolute = std::filesystem::absolute(worker, ec); !ec) {
    worker = absolute.string();
  }
  station::StationLog log;
  int folderLock = -1;
  if (const auto error = CheckStart(options, worker, folderLock, log)) {
    std::fprintf(stderr, "reflash-station: %s\n", error->c_str());
    return station::ExitUsage;
  }
  if (!InstallSignals()) {
    std::perror("reflash-station: pipe");
    return station::ExitUsage;
  }
  station::Station::Config config;
  config.mode = options.mode;
  config.hostName = HostName();
  config.toolVersion = REFLASH_VERSION_TEXT;
  config.imageSha256 = station::Sha256Hex(EmbeddedFirmwareImage, EmbeddedFirmwareImageSize);
  config.ports = options.ports;
  config.stationId = options.stationId;
  config.operatorName = options.operatorName;
  log.EnableRotation(options.logMaxBytes);
  station::Station station(config, &log);
  Screen screen(isatty(STDOUT_FILENO) != 0);
#ifdef REFLASH_STATION_WEB
  station::WebView web;
  if (std::string error; !web.Start(options, options.output + "/station.jsonl", log, error)) {
    std::fprintf(stderr, "reflash-station: %s\n", error.c_str());
    return station::ExitUsage;
  }
  if (!web.AddressLine().empty()) {
    screen.OnShow([&web](const station::Station& now) { web.Show(now); });
    screen.Say(web.AddressLine());
  }
#endif
  StationRun run(options, worker, station, std::move(simulated));
  // An update that ran across a rotation has its start record in a rotated file.
  const std::string recent = station::RecentLogText(options.output + "/station.jsonl");
  station.KnownPasses(recent);
  run.Reconcile(recent);
  const int status = run.Run(screen);
  screen.Say("reflash-station: " + station.ExitReason());
  screen.Finish();
  return status;
}
