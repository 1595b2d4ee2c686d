#pragma once
// The command line of `reflash-station`.

#include <optional>
#include <string>
#include <vector>

#include "station/simulated_ports.h"
#include "station/station.h"

namespace station {

struct StationOptions {
  Mode mode = Mode::once;
  std::string output = ".";        // the folder for the ports' folders and station.jsonl
  std::string worker;              // the worker program; empty: the one beside the station
  std::string simulated;           // a description of simulated ports; empty: the real USB ports
  bool instant = false;            // simulated workers run on the simulated clock
  std::vector<std::string> ports;  // --ports: the fixture's ports; empty: every port
  std::optional<long> watchdogSeconds;  // --watchdog, with --sim only: a shorter bound
  std::string operatorName;             // --operator: who runs the line, for the records
  std::string stationId;                // --station-id: which station, for the records
  std::string dbUrl;                    // --db: the factory database; empty: none
  long long logMaxBytes = 0;            // --log-size MB: rotate the log at this size too
  std::string httpHost;                 // --http: the page's address; empty: no page
  int httpPort = 0;
  bool help = false;
  bool version = false;
};

// The --help text.
const char* StationUsage();

// The port names of a --ports list ("1-1.1,1-1.2" or blank-separated); false with `error` on
// an empty list, a name that cannot be a folder, or a port named twice.
bool ParsePortList(const std::string& text, std::vector<std::string>& ports, std::string& error);

// An --http value: "ADDR:PORT", ":PORT" or "PORT" (those two on 127.0.0.1), ADDR an IPv4
// address or "[IPv6]"; false with `error` otherwise.
bool ParseHttpAddress(const std::string& text, std::string& host, int& port, std::string& error);

// Takes "--db URL" and "--station ID" out of the words of a command that reads the records
// (`report`, `history`) into `url` and `station`, the other words into `rest`; false with `error`
// when one lacks its value.
bool TakeDatabaseOptions(int argc, const char* const* argv, std::string& url, std::string& station,
                         std::vector<const char*>& rest, std::string& error);

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
inline constexpr int ExitNotFlashed = 3;    // --once saw a camera it did not flash
inline constexpr int ExitStationFault = 4;  // a port not prepared, an update interrupted
inline constexpr int ExitLogFailed = 5;     // the station log could not be written
inline constexpr int ExitUsage = 64;

}  // namespace station
