#include "station/station_options.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "station/station_report.h"

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
         "  --ports LIST     only these ports (comma-separated, in the fixture's order); a\n"
         "                   camera of the model on another port is shown and left alone\n"
         "  --watchdog S     with --sim: end a worker after S seconds instead of the bound\n"
         "                   above the tool's worst case (see reflash-station(1))\n"
         "  --operator NAME  who runs the line; written into every record\n"
         "  --station-id ID  this station's name on the line; written into every record\n"
         "  --log-size MB    start a new log also when station.jsonl would grow over MB\n"
         "                   megabytes (1 or more); a new one is started each UTC day anyway\n"
#ifdef REFLASH_STATION_WEB
         "  --http ADDR:PORT serve the live page, its API and metrics there (PORT alone:\n"
         "                   on 127.0.0.1 only); read-only\n"
#endif
#ifdef REFLASH_STATION_DB
         "  --db URL         also ship every record to the factory's PostgreSQL database\n"
         "                   (postgresql://USER@HOST/DB[?sslmode=verify-full]); the password\n"
         "                   only from PGPASSFILE or PGPASSWORD\n"
#endif
         "  --help           this text\n"
         "  --version        the version\n"
         "reflash-station report [--since T] [--until T] [--csv|--json] LOG|DIR...\n"
         "  yield, failures, ports, days, images, durations and repeated serial numbers of\n"
         "  the station logs named (a folder: its station.jsonl and the files rotated from it)\n"
         "reflash-station history SERIAL LOG|DIR...\n"
         "  every update of one unit in the logs named\n"
#ifdef REFLASH_STATION_DB
         "reflash-station report --db URL [--station ID] [--since T] [--until T] [--csv|--json]\n"
         "reflash-station history SERIAL --db URL [--station ID]\n"
         "  the same from the factory database, over every station or one\n"
         "reflash-station db migrate --db URL [--grant ROLE]\n"
         "  create or update the database's tables; ROLE may then read them and add rows\n"
#endif
         "Exit status: 0 every camera passed, 1 a camera failed, 2 no camera found (--once),\n"
         "3 a camera seen and not flashed (--once), 4 a station fault (a port not prepared or\n"
         "an update interrupted), 5 the station log could not be written (the station\n"
         "stopped), 64 a bad command line or a station that cannot start (another station\n"
         "in the folder, an unusable folder, worker or log).\n";
}

bool TakeDatabaseOptions(int argc, const char* const* argv, std::string& url, std::string& station,
                         std::vector<const char*>& rest, std::string& error) {
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--db" || word == "--station") {
      if (i + 1 >= argc) {
        error = "option '" + word + "' needs a value";
        return false;
      }
      (word == "--db" ? url : station) = argv[++i];
    } else {
      rest.push_back(argv[i]);
    }
  }
  return true;
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
    } else if (name == "--operator") {
      value = &options.operatorName;
    } else if (name == "--station-id") {
      value = &options.stationId;
    } else if (name == "--db") {
      value = &options.dbUrl;
    } else if (name == "--http") {
#ifdef REFLASH_STATION_WEB
      std::string why;
      if (i + 1 >= argc ||
          !ParseHttpAddress(argv[i + 1], options.httpHost, options.httpPort, why)) {
        error = "option '--http' needs ADDR:PORT or PORT";
        error.append(why.empty() ? "" : ": ").append(why);
        return false;
      }
      ++i;
#else
      error = "this build has no web page";
      return false;
#endif
    } else if (name == "--ports" || name == "--watchdog" || name == "--log-size") {
      if (i + 1 >= argc) {
        error = "option '" + name + "' needs a value";
        return false;
      }
      const std::string text = argv[++i];
      if (name == "--ports" && !ParsePortList(text, options.ports, error)) {
        error.insert(0, "option '--ports': ");
        return false;
      }
      if (name == "--watchdog") {
        long seconds = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
        if (ec != std::errc() || end != text.data() + text.size() || seconds < 1) {
          error = "option '--watchdog' needs a whole number of seconds, 1 or more";
          return false;
        }
        options.watchdogSeconds = seconds;
      }
      if (name == "--log-size") {
        long megabytes = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), megabytes);
        if (ec != std::errc() || end != text.data() + text.size() || megabytes < 1 ||
            megabytes > 1'000'000) {
          error = "option '--log-size' needs a whole number of megabytes, 1 or more";
          return false;
        }
        options.logMaxBytes = static_cast<long long>(megabytes) << 20;
      }
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
  // A bound below the tool's worst case would kill a worker mid-write on a real camera.
  if (options.watchdogSeconds && options.simulated.empty()) {
    error = "option '--watchdog' needs --sim";
    return false;
  }
  return true;
}

bool ParseHttpAddress(const std::string& text, std::string& host, int& port, std::string& error) {
  const auto colon = text.rfind(':');
  const std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
  std::string address = colon == std::string::npos ? "" : text.substr(0, colon);
  const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (ec != std::errc() || end != portText.data() + portText.size() || port < 1 || port > 65535) {
    error = "'" + portText + "' is not a port number (1 to 65535)";
    return false;
  }
  if (address.empty()) {
    host = "127.0.0.1";  // a page for this computer only, unless an address is asked for
    return true;
  }
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
    const bool hex = std::all_of(address.begin(), address.end(), [](char c) {
      return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
    });
    if (!hex || address.find(':') == std::string::npos) {
      error = "'" + address + "' is not an IPv6 address";
      return false;
    }
    host = address;
    return true;
  }
  int parts = 0;
  for (std::size_t at = 0; at <= address.size(); ++parts) {
    const std::size_t dot = std::min(address.find('.', at), address.size());
    int value = -1;
    const auto [stop, bad] = std::from_chars(address.data() + at, address.data() + dot, value);
    if (bad != std::errc() || stop != address.data() + dot || dot - at > 3 || value > 255) {
      parts = -1;
      break;
    }
    at = dot + 1;
  }
  if (parts != 4) {
    error = "'" + address + "' is not an IPv4 address";
    return false;
  }
  host = address;
  return true;
}

bool ParsePortList(const std::string& text, std::vector<std::string>& ports, std::string& error) {
  std::string name;
  const auto take = [&]() {
    if (name.empty()) {
      return true;
    }
    const bool bad = name == "." || name == ".." || name.size() > 64 ||
                     std::any_of(name.begin(), name.end(), [](char c) {
                       return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 ||
                              static_cast<unsigned char>(c) >= 0x7f;
                     });
    if (bad) {
      error = "'" + name + "' is not a port name";
      return false;
    }
    if (std::find(ports.begin(), ports.end(), name) != ports.end()) {
      error = "port '" + name + "' is named twice";
      return false;
    }
    ports.push_back(std::exchange(name, {}));
    return true;
  };
  for (const char c : text) {
    if (c == ',' || c == ' ' || c == '\t' || c == '\n') {
      if (!take()) {
        return false;
      }
    } else {
      name.push_back(c);
    }
  }
  if (!take()) {
    return false;
  }
  if (ports.empty()) {
    error = "no port named";
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
  if (argc > 1 && std::string(argv[1]) == "report") {
    return RunReport(argc - 2, argv + 2);
  }
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
