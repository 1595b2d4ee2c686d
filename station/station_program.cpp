#include "station/station_program.h"

#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <utility>

#ifdef REFLASH_STATION_WEB
#include "station/web_server.h"
#endif
#ifdef REFLASH_STATION_DB
#include "station/db/db_commands.h"
#include "station/db/pg.h"
#include "station/db/shipper.h"
#endif
#include "station/history.h"
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
  if (const auto status = DatabaseCommandLine(argc, argv)) {
    return status;
  }
  if (const auto status = StationCommandLine(argc, argv, version, start.options, start.simulated)) {
    return status;
  }
  if (!start.options.dbUrl.empty()) {
#ifdef REFLASH_STATION_DB
    const auto problem = db::UrlProblem(start.options.dbUrl);
#else
    const std::optional<std::string> problem = "this build ships to no database";
#endif
    if (problem) {
      std::fprintf(stderr, "reflash-station: option '--db': %s\n", problem->c_str());
      return ExitUsage;
    }
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

std::optional<int> DatabaseCommandLine(int argc, const char* const* argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  [[maybe_unused]] const auto needsDatabase = [](const char* name) {
    std::fprintf(stderr, "reflash-station %s: this build has no database support\n", name);
    return ExitUsage;
  };
  if (command == "history") {
    HistoryOptions options;
    std::string error;
    if (!ParseHistoryOptions(argc - 2, argv + 2, options, error)) {
      std::fprintf(stderr, "reflash-station history: %s\n", error.c_str());
      return ExitUsage;
    }
    if (options.dbUrl.empty()) {
      return RunFileHistory(options);
    }
#ifdef REFLASH_STATION_DB
    return db::RunDatabaseHistory(options);
#else
    return needsDatabase("history");
#endif
  }
  const bool databaseReport =
      command == "report" && std::find_if(argv + 2, argv + argc, [](const char* word) {
                               return std::string(word) == "--db";
                             }) != argv + argc;
  if (command == "db" || databaseReport) {
#ifdef REFLASH_STATION_DB
    return command == "db" ? db::RunMigrate(argc - 2, argv + 2)
                           : db::RunDatabaseReport(argc - 2, argv + 2);
#else
    return needsDatabase(command.c_str());
#endif
  }
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

#ifdef REFLASH_STATION_DB
namespace {

std::chrono::system_clock::time_point TimeOf(const std::string& text) {
  return ParseUtcTimestamp(text).value_or(std::chrono::system_clock::time_point{});
}

// The database is asked of each update's camera as it starts; its answers reach the station
// before the events of each turn, and what changes in the shipping is said on the screen.
void ShipToDatabase(db::Shipper& shipper, Station& station, StationLoop& loop,
                    StationScreen& screen) {
  station.OnBegin([&shipper](const UpdateRecord& record) {
    const std::chrono::system_clock::time_point day{std::chrono::days(UtcDay(record.start))};
    shipper.AskPassedElsewhere(record.port, UtcTimestamp(record.start), *record.unit.serial,
                               UtcTimestamp(day), UtcTimestamp(day + std::chrono::days(1)));
  });
  auto said = std::make_shared<ShipperStatus>();
  loop.BeforeEvents([&shipper, &station, &screen, said] {
    for (const PassElsewhere& answer : shipper.TakeAnswers()) {
      station.PassedElsewhere(answer.port, TimeOf(answer.start),
                              {answer.otherStation, answer.otherPort, TimeOf(answer.otherStart),
                               TimeOf(answer.otherEnd)});
    }
    const ShipperStatus now = shipper.Status();
    if (now.up != said->up || (!now.up && now.error != said->error)) {
      screen.Say("reflash-station: database " + now.where + ": " +
                 (now.up ? "shipping" : "away (" + now.error + "); the records wait in the log"));
    }
    if (now.rejected != said->rejected) {
      screen.Say("reflash-station: database " + now.where + " refused a " + now.rejectedLine);
    }
    *said = now;
  });
}

}  // namespace
#endif

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
#ifdef REFLASH_STATION_DB
  std::unique_ptr<db::Shipper> shipper;
  if (!options.dbUrl.empty()) {
    shipper = std::make_unique<db::Shipper>(
        db::Shipper::Settings{options.dbUrl, db::TakePasswordFromEnvironment(), logPath,
                              config.stationId.empty() ? config.hostName : config.stationId});
    ShipToDatabase(*shipper, station, loop, screen);
#ifdef REFLASH_STATION_WEB
    web.Shipping([&shipper] { return shipper->Status(); });
#endif
    shipper->Start();
  }
#endif
  // An update that ran across a rotation has its start record in a rotated file.
  const std::string recent = RecentLogText(logPath);
  station.KnownPasses(recent);
  loop.Reconcile(recent);
  const int status = loop.Run([&](bool force) { screen.Show(station, force); });
#ifdef REFLASH_STATION_DB
  if (shipper) {
    // What the last updates wrote goes now if the database takes it at once; else at the next
    // start, from the log.
    shipper->Finish(std::chrono::seconds(5));
    const ShipperStatus shipped = shipper->Status();
    screen.Say("reflash-station: database " + shipped.where + ": " + std::to_string(shipped.lag) +
               " records not shipped yet" +
               (shipped.rejected > 0 ? ", " + std::to_string(shipped.rejected) + " refused" : ""));
  }
#endif
  screen.Say("reflash-station: " + station.ExitReason());
  screen.Finish();
  return status;
}

}  // namespace station
