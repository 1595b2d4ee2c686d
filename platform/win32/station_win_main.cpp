// reflash-station.exe: one worker process per camera, a live line per port, each port's
// Result.log and the station log station.jsonl. The workers are reflash.exe on the cameras'
// port locations, found in the Configuration Manager's device tree (read again whenever a USB
// device arrives or leaves), or reflash-sim.exe on simulated ports (--sim).
//
// Line safety: each update holds its port's lock file for the worker's whole life (the worker
// inherits it), the log gets a start record before a worker starts and an end record when it
// ends, and a station started after one that died first ends the updates that one left: it
// waits for a worker that still runs and judges the account that worker left in its folder.
// The loop never waits on a worker, a pipe or the console: reader threads, the device
// notifications and the console handler post to it.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/camera_watch.h"
#include "platform/win32/screen_writer.h"
#include "platform/win32/worker_process.h"
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

namespace fs = std::filesystem;
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

std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD size = GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string exe(path, size);
  const auto slash = exe.find_last_of("\\/");
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? name : "";
}

// The ANSI escapes of the live display need the console's virtual-terminal mode.
bool ConsoleOutput() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || out == nullptr || !GetConsoleMode(out, &mode)) {
    return false;
  }
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

station::ScreenSize ConsoleSize() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return {};
  }
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  if (columns <= 0 || rows <= 0) {
    return {};
  }
  return {columns, rows};
}

class Screen {
 public:
  explicit Screen(bool console) : console_(console) {}
  void Show(station::Station& station, bool force) {
    if (onShow_) {
      onShow_(station);
    }
    const auto events = station.TakeEvents();
    if (console_) {
      if (force || !events.empty()) {
        writer_->Frame(live_.Redraw(station, ConsoleSize()));
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
  bool console_;
  std::function<void(const station::Station&)> onShow_;
  station::LiveScreen live_;
  // Never deleted: a writer stuck on a paused console ends with the process.
  winplat::ScreenWriter* writer_ = new winplat::ScreenWriter(GetStdHandle(STD_OUTPUT_HANDLE));
};

// An update that an earlier run of the station left: its worker may still run.
struct Orphan {
  std::string lockPath;
  SteadyClock::time_point deadline;
  bool killed = false;
};

class StationRun {
 public:
  StationRun(const station::StationOptions& options, std::string output, std::string worker,
             station::Station& station, std::optional<station::SimulatedPorts> simulated)
      : options_(options),
        output_(std::move(output)),
        worker_(std::move(worker)),
        station_(station),
        simulated_(std::move(simulated)),
        watchdog_(std::chrono::milliseconds(options.watchdogSeconds
                                                ? *options.watchdogSeconds * 1000
                                                : station::WorkerWatchdogMs)) {
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
      CheckOrphans();
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
    if (!orphans_.empty() || !busy_.empty()) {
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
      Present(watching_ ? lastPorts_ : winplat::CameraPorts());
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
    HANDLE lock = winplat::TryLockFile(lockPath, busy, error);
    if (lock == nullptr && busy) {
      const auto holder = winplat::LockHolder(lockPath);
      station_.PortBusy(port, "another process updates this port" +
                                  (holder ? " (pid " + std::to_string(*holder) + ")" : ""));
      busy_.push_back(port);
      return;
    }
    if (lock == nullptr || !winplat::PreparePortFolder(folder, error)) {
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
    const std::uint64_t id = ++lastId_;
    winplat::WorkerProcess worker;
    const auto sink = [](winplat::WorkerReport report) {
      inbox.Post({Message::Kind::worker, std::move(report), {}});
    };
    if (!winplat::StartWorker(argv, folder, lock, id, sink, worker, error)) {
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

  void FromWorker(winplat::WorkerReport& report) {
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
    const station::WorkerEnd end = winplat::FinishWorker(workers_.at(port), report.exitCode);
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
      return winplat::CameraIdentity(port);
    }
    std::ifstream file(PortFolder(port) + "\\" + station::SimulatedCameraAccount, std::ios::binary);
    const std::string account(std::istreambuf_iterator<char>(file), {});
    return simulated_->IdentityAt(port, ElapsedMs(), account);
  }

  void Watchdog() {
    const auto now = SteadyClock::now();
    for (auto& [port, worker] : workers_) {
      if (!worker.hung && now >= deadlines_.at(port)) {
        winplat::EndWorker(worker);
        station_.Note(port, "worker hung: its job is ended");
      }
    }
  }

  void CheckOrphans() {
    const auto now = SteadyClock::now();
    for (auto it = orphans_.begin(); it != orphans_.end();) {
      const std::string& port = it->first;
      Orphan& orphan = it->second;
      bool busy = false;
      std::string error;
      HANDLE lock = winplat::TryLockFile(orphan.lockPath, busy, error);
      if (lock == nullptr && busy) {
        const auto holder = winplat::LockHolder(orphan.lockPath);
        if (now >= orphan.deadline && !orphan.killed && holder) {
          orphan.killed = winplat::EndOrphan(*holder);
          if (orphan.killed) {
            station_.Note(port, "worker hung: its process is ended");
          }
        }
        ++it;
        continue;
      }
      // The worker is gone (or the lock cannot be had at all): judge what it left.
      std::ifstream file(PortFolder(port) + "\\" + station::WorkerAccountFile, std::ios::binary);
      const std::string account(std::istreambuf_iterator<char>(file), {});
      station::WorkerEnd end = station::ReplayOrphanAccount(station_, port, account, orphan.killed);
      end.resultLog = winplat::ReadResultLog(PortFolder(port));
      if (lock != nullptr) {
        CloseHandle(lock);
      }
      const std::string ended = port;
      it = orphans_.erase(it);
      Ended(ended, end);
    }
  }

  const station::StationOptions& options_;
  std::string output_;
  std::string worker_;
  station::Station& station_;
  std::optional<station::SimulatedPorts> simulated_;
  const SteadyClock::duration watchdog_;
  std::string lockDir_;
  winplat::CameraWatch watch_;
  bool watching_ = false;
  std::vector<std::string> lastPorts_;
  SteadyClock::time_point lastScan_;
  std::uint64_t lastId_ = 0;
  std::map<std::string, winplat::WorkerProcess> workers_;
  std::map<std::uint64_t, std::string> workerPorts_;
  std::map<std::string, SteadyClock::time_point> deadlines_;
  std::map<std::string, Orphan> orphans_;
  std::vector<std::string> busy_;
  const SteadyClock::time_point started_ = SteadyClock::now();
};

// The checks that make a station fault show at the start, not as failed cameras: the folder,
// the one station it may hold, the worker program and the log. An error line, or nothing.
std::optional<std::string> CheckStart(const std::string& output, const std::string& worker,
                                      HANDLE& folderLock, station::StationLog& log) {
  std::error_code ec;
  fs::create_directories(output, ec);
  if (!fs::is_directory(output, ec)) {
    return "cannot create " + output;
  }
  const std::string lockPath = output + "\\station.lock";
  bool busy = false;
  std::string error;
  folderLock = winplat::TryLockFile(lockPath, busy, error);
  if (folderLock == nullptr) {
    if (!busy) {
      return error;
    }
    const auto holder = winplat::LockHolder(lockPath);
    return "another station (pid " + (holder ? std::to_string(*holder) : std::string("?")) +
           ") runs in " + output;
  }
  winplat::WriteLockHolder(folderLock, GetCurrentProcessId());
  const DWORD attributes = GetFileAttributesA(worker.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "the worker program " + worker + " cannot be run";
  }
  if (!log.Open(output + "\\station.jsonl")) {
    return "cannot open " + output + "\\station.jsonl: " + log.Error();
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
  std::error_code ec;
  // The workers start in their ports' folders; relative paths would not find them.
  std::string output = fs::absolute(options.output, ec).string();
  if (ec) {
    output = options.output;
  }
  std::string worker = options.worker.empty()
                           ? ProgramFolder() + (simulated ? "\\reflash-sim.exe" : "\\reflash.exe")
                           : options.worker;
  if (const auto absolute = fs::absolute(worker, ec); !ec) {
    worker = absolute.string();
  }
  station::StationLog log;
  HANDLE folderLock = nullptr;  // held until the process ends
  if (const auto error = CheckStart(output, worker, folderLock, log)) {
    std::fprintf(stderr, "reflash-station: %s\n", error->c_str());
    return station::ExitUsage;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

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
  Screen screen(ConsoleOutput());
#ifdef REFLASH_STATION_WEB
  station::WebView web;
  if (std::string error; !web.Start(options, output + "\\station.jsonl", log, error)) {
    std::fprintf(stderr, "reflash-station: %s\n", error.c_str());
    return station::ExitUsage;
  }
  if (!web.AddressLine().empty()) {
    screen.OnShow([&web](const station::Station& now) { web.Show(now); });
    screen.Say(web.AddressLine());
  }
#endif
  StationRun run(options, output, worker, station, std::move(simulated));
  {
    // An update that ran across a rotation has its start record in a rotated file.
    const std::string recent = station::RecentLogText(output + "\\station.jsonl");
    std::lock_guard hold(loopMutex);
    station.KnownPasses(recent);
    run.Reconcile(recent);
  }
  const int status = run.Run(screen);
  screen.Say("reflash-station: " + station.ExitReason());
  screen.Finish();
  return status;
}
