#pragma once
// The command line of `reflash-station`.

#include <optional>
#include <string>

#include "station/simulated_ports.h"
#include "station/station.h"

namespace station {

struct StationOptions {
  Mode mode = Mode::once;
  std::string output = ".";  // the folder for the ports' folders and station.jsonl
  std::string worker;        // the worker program; empty: the one beside the station
  std::string simulated;     // a description of simulated ports; empty: the real USB ports
  bool instant = false;      // simulated workers run on the simulated clock
  bool help = false;
  bool version = false;
};

// The --help text.
const char* StationUsage();

// Parses argv[1..]; false with a one-line `error` on a bad command line (exit status 64).
bool ParseStationOptions(int argc, const char* const* argv, StationOptions& options,
                         std::string& error);

// The description of simulated ports in the file `path`; nothing, with a one-line `error`, when
// it cannot be read or does not parse.
std::optional<SimulatedPorts> LoadSimulatedPorts(const std::string& path, std::string& error);

// Reads the command line as both platforms' stations do: usage errors, --help and --version are
// answered here and give the exit status to end with; otherwise nothing, with `options` filled
// and `simulated` loaded when --sim names a file.
std::optional<int> StationCommandLine(int argc, const char* const* argv, const char* version,
                                      StationOptions& options,
                                      std::optional<SimulatedPorts>& simulated);

// The exit statuses.
inline constexpr int ExitAllPassed = 0;
inline constexpr int ExitAnyFailed = 1;
inline constexpr int ExitNoCamera = 2;
inline constexpr int ExitUsage = 64;

}  // namespace station
