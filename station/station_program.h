#pragma once
// What the Linux and the Windows station programs share around the station's loop: the
// station's configuration, the screen, and the run from the log's reconciliation to the exit
// status and its reason.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/display.h"
#include "station/port_host.h"
#include "station/screen_writer.h"
#include "station/simulated_ports.h"
#include "station/station.h"
#include "station/station_log.h"
#include "station/station_options.h"

namespace station {

Station::Config StationConfig(const StationOptions& options, std::string hostName,
                              std::string toolVersion, std::string imageSha256);

// What a station program starts with: its options, the simulated ports (--sim), and the worker
// program: --worker, else the tool (the simulator with --sim) in `programFolder`, named with
// `suffix` (".exe"), as an absolute path, for the worker starts in its port's folder.
struct StationStart {
  StationOptions options;
  std::optional<SimulatedPorts> simulated;
  std::string worker;
};
// Reads the command line; the exit status when the program ends here (a usage error, --help,
// --version), else nothing with `start` filled.
std::optional<int> ReadStationStart(int argc, const char* const* argv, const char* version,
                                    const std::string& programFolder, const std::string& suffix,
                                    StationStart& start);
// The commands besides the station itself that read the records: `history`, and with the factory
// database `db migrate` and `report --db`; their exit status, or nothing for anything else.
std::optional<int> DatabaseCommandLine(int argc, const char* const* argv);
// Why a station cannot start where another one (`holder`, when its pid is known) runs.
std::string AnotherStation(std::optional<long> holder, const std::string& output);

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

// From the log, opened here (one that cannot be opened is a usage error), to the exit status:
// the station, the page when asked for, the reconciliation, the loop, and the last line with
// the exit status and its reason.
int RunStationProgram(const StationOptions& options, const std::string& logPath, StationLog& log,
                      const Station::Config& config, StationScreen& screen, PortHost& host,
                      const std::string& worker, std::optional<SimulatedPorts> simulated);

}  // namespace station
