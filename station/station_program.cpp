#include "station/station_program.h"

#include <cstdio>
#include <filesystem>
#include <utility>

#ifdef REFLASH_STATION_WEB
#include "station/web_server.h"
#endif
#include "station/log_files.h"
#include "station/station_loop.h"

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

std::optional<int> ReadStationStart(int argc, const char* const* argv, const char* version,
                                    const std::string& programFolder, const std::string& suffix,
                                    StationStart& start) {
  if (const auto status = StationCommandLine(argc, argv, version, start.options, start.simulated)) {
    return status;
  }
  const std::filesystem::path worker =
      start.options.worker.empty() ? std::filesystem::path(programFolder) /
                                         ((start.simulated ? "reflash-sim" : "reflash") + suffix)
                                   : std::filesystem::path(start.options.worker);
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(worker, ec);
  start.worker = ec ? worker.string() : absolute.string();
  return std::nullopt;
}

std::string AnotherStation(std::optional<long> holder, const std::string& output) {
  return "another station (pid " + (holder ? std::to_string(*holder) : std::string("?")) +
         ") runs in " + output;
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

int RunStationProgram(const StationOptions& options, const std::string& logPath, StationLog& log,
                      const Station::Config& config, StationScreen& screen, PortHost& host,
                      const std::string& worker, std::optional<SimulatedPorts> simulated) {
  if (!log.Open(logPath)) {
    std::fprintf(stderr, "reflash-station: cannot open %s: %s\n", logPath.c_str(),
                 log.Error().c_str());
    return ExitUsage;
  }
  log.EnableRotation(options.logMaxBytes);
  Station station(config, &log, [&host] { return host.WallNow(); });
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
  StationLoop loop(station, host, options, worker, std::move(simulated));
  // An update that ran across a rotation has its start record in a rotated file.
  const std::string recent = RecentLogText(logPath);
  station.KnownPasses(recent);
  loop.Reconcile(recent);
  const int status = loop.Run([&](bool force) { screen.Show(station, force); });
  screen.Say("reflash-station: " + station.ExitReason());
  screen.Finish();
  return status;
}

}  // namespace station
