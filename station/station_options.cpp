#include "station/station_options.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

namespace station {

const char* StationUsage() {
  return "usage: reflash-station --once|--watch [options]\n"
         "Updates every camera of the model on this computer's USB ports, one worker process\n"
         "per camera, and keeps each port's Result.log and the station log station.jsonl.\n"
         "  --once           update the cameras attached now, all at once, then end\n"
         "  --watch          update each camera as it is plugged in, until SIGINT or SIGTERM\n"
         "                   (running updates are finished first)\n"
         "  --output DIR     folder for <port>/Result.log and station.jsonl (default: .)\n"
         "  --worker PATH    the single-camera program to run per camera (default: the one\n"
         "                   installed beside reflash-station)\n"
         "  --sim FILE       a simulated station: ports, plug times and faults from FILE;\n"
         "                   the workers are reflash-sim\n"
         "  --instant        with --sim: the workers run on the simulated clock\n"
         "  --help           this text\n"
         "  --version        the version\n"
         "Exit status: 0 every camera passed, 1 any camera failed, 2 no camera found (--once),\n"
         "64 a bad command line.\n";
}

bool ParseStationOptions(int argc, const char* const* argv, StationOptions& options,
                         std::string& error) {
  bool modeGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    std::string* value = nullptr;
    if (name == "--once" || name == "--watch") {
      if (modeGiven) {
        error = "give one of --once and --watch";
        return false;
      }
      modeGiven = true;
      options.mode = name == "--once" ? Mode::once : Mode::watch;
    } else if (name == "--instant") {
      options.instant = true;
    } else if (name == "--help") {
      options.help = true;
    } else if (name == "--version") {
      options.version = true;
    } else if (name == "--output") {
      value = &options.output;
    } else if (name == "--worker") {
      value = &options.worker;
    } else if (name == "--sim") {
      value = &options.simulated;
    } else {
      error = "unknown option '" + name + "'";
      return false;
    }
    if (value != nullptr) {
      if (i + 1 >= argc || argv[i + 1][0] == 0) {
        error = "option '" + name + "' needs a value";
        return false;
      }
      *value = argv[++i];
    }
  }
  if (options.help || options.version) {
    return true;
  }
  if (!modeGiven) {
    error = "give --once or --watch";
    return false;
  }
  if (options.instant && options.simulated.empty()) {
    error = "option '--instant' needs --sim";
    return false;
  }
  return true;
}

std::optional<SimulatedPorts> LoadSimulatedPorts(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read '" + path + "'";
    return std::nullopt;
  }
  const std::string text(std::istreambuf_iterator<char>(file), {});
  std::vector<SimulatedPlug> plugs;
  if (!ParseSimulatedPorts(text, plugs, error)) {
    error = path + ": " + error;
    return std::nullopt;
  }
  return SimulatedPorts(std::move(plugs));
}

std::optional<int> StationCommandLine(int argc, const char* const* argv, const char* version,
                                      StationOptions& options,
                                      std::optional<SimulatedPorts>& simulated) {
  std::string error;
  if (!ParseStationOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "reflash-station: %s\n%s", error.c_str(), StationUsage());
    return ExitUsage;
  }
  if (options.help) {
    std::fputs(StationUsage(), stdout);
    return ExitAllPassed;
  }
  if (options.version) {
    std::printf("reflash-station %s\n", version);
    return ExitAllPassed;
  }
  if (!options.simulated.empty() && !(simulated = LoadSimulatedPorts(options.simulated, error))) {
    std::fprintf(stderr, "reflash-station: option '--sim': %s\n", error.c_str());
    return ExitUsage;
  }
  return std::nullopt;
}

}  // namespace station
