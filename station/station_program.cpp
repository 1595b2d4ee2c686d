#include "station/station_program.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>

#ifdef REFLASH_STATION_WEB
#include "station/web_server.h"
#endif
#include "station/orphan_account.h"
#include "station/worker_watchdog.h"

namespace station {

Station::Config StationConfig(const StationOptions& options, std::string hostName,
                              std::string toolVersion, std::string imageSha256) {
  Station::Config config;
  config.mode = options.mode;
  config.hostName = std::move(hostName);
  config.toolVersion = std::move(toolVersion);
  config.imageSha256 = std::move(imageSha256);
  config.ports = options.ports;
  config.stationId = options.stationId;
  config.operatorName = options.operatorName;
  return config;
}

std::chrono::milliseconds WatchdogBound(const StationOptions& options) {
  return std::chrono::milliseconds(options.watchdogSeconds ? *options.watchdogSeconds * 1000
                                                           : WorkerWatchdogMs);
}

std::vector<std::string> WorkerArguments(const std::string& worker, const std::string& port,
                                         const StationOptions& options,
                                         const std::optional<SimulatedPorts>& simulated,
                                         std::int64_t elapsedMs) {
  std::vector<std::string> argv = {worker};
  if (simulated) {
    const auto words = simulated->CameraWordsAt(port, elapsedMs);
    argv.insert(argv.end(), words.begin(), words.end());
  }
  argv.insert(argv.end(), {"--port", port, "--station"});
  if (simulated) {
    if (options.instant) {
      argv.push_back("--instant");
    }
    const auto extra = simulated->OptionsAt(port, elapsedMs);
    argv.insert(argv.end(), extra.begin(), extra.end());
  }
  return argv;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::optional<UnitIdentity> SimulatedIdentity(const SimulatedPorts& simulated,
                                              const std::string& port,
                                              const std::string& portFolder,
                                              std::int64_t elapsedMs) {
  const std::string account = ReadWholeFile(portFolder + "/" + SimulatedCameraAccount);
  return simulated.IdentityAt(port, elapsedMs, account);
}

void StationScreen::Show(Station& station, bool force) {
  if (onShow_) {
    onShow_(station);
  }
  const auto events = station.TakeEvents();
  if (size_) {
    if (force || !events.empty()) {
      writer_.Frame(live_.Redraw(station, size_()));
    }
    return;
  }
  for (const std::string& event : events) {
    writer_.Line(UtcTimestamp(std::chrono::system_clock::now()) + " " + event);
  }
}

void OrphanUpdates::Reconcile(const std::string& logText) {
  const auto now = SteadyClock::now();
  for (const UnendedUpdate& update : FindUnended(logText)) {
    station_.Resume(update.port, update.start, update.unit);
    const auto age = std::chrono::system_clock::now() - update.start;
    orphans_[update.port] = {
        hooks_.lockPath(update.port),
        now + std::chrono::duration_cast<SteadyClock::duration>(watchdog_ - age)};
  }
  Check();
}

void OrphanUpdates::Check() {
  const auto now = SteadyClock::now();
  for (auto it = orphans_.begin(); it != orphans_.end();) {
    const std::string port = it->first;  // a copy: the entry is erased before the update ends
    Orphan& orphan = it->second;
    const LockState lock = hooks_.tryLock(orphan.lockPath);
    if (lock.held) {
      if (now >= orphan.deadline && !orphan.killed && lock.holder) {
        const std::string note = hooks_.end(*lock.holder);
        orphan.killed = !note.empty();
        if (orphan.killed) {
          station_.Note(port, note);
        }
      }
      ++it;
      continue;
    }
    // The worker is gone (or the lock cannot be had at all): judge what it left.
    const std::string folder = hooks_.portFolder(port);
    const std::string account = ReadWholeFile(folder + "/" + WorkerAccountFile);
    WorkerEnd end = ReplayOrphanAccount(station_, port, account, orphan.killed);
    end.resultLog = hooks_.resultLog(folder);
    if (lock.release) {
      lock.release();
    }
    it = orphans_.erase(it);
    hooks_.ended(port, end);
  }
}

int RunStationProgram(const StationOptions& options, const std::string& logPath, StationLog& log,
                      const Station::Config& config, StationScreen& screen,
                      const std::function<std::unique_ptr<StationLoop>(Station&)>& makeLoop) {
  log.EnableRotation(options.logMaxBytes);
  Station station(config, &log);
#ifdef REFLASH_STATION_WEB
  WebView web;
  if (std::string error; !web.Start(options, logPath, log, error)) {
    std::fprintf(stderr, "reflash-station: %s\n", error.c_str());
    return ExitUsage;
  }
  if (!web.AddressLine().empty()) {
    screen.OnShow([&web](const Station& now) { web.Show(now); });
    screen.Say(web.AddressLine());
  }
#endif
  const std::unique_ptr<StationLoop> loop = makeLoop(station);
  // An update that ran across a rotation has its start record in a rotated file.
  const std::string recent = RecentLogText(logPath);
  station.KnownPasses(recent);
  loop->Reconcile(recent);
  const int status = loop->Run(screen);
  screen.Say("reflash-station: " + station.ExitReason());
  screen.Finish();
  return status;
}

}  // namespace station
