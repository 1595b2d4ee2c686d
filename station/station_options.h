#pragma once
// The command line of `reflash-station`.

#include <string>

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

// The exit statuses.
inline constexpr int ExitAllPassed = 0;
inline constexpr int ExitAnyFailed = 1;
inline constexpr int ExitNoCamera = 2;
inline constexpr int ExitUsage = 64;

}  // namespace station
