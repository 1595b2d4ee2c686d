// reflash-station for Linux: one `reflash` worker process per camera on the USB ports (or one
// `reflash-sim` per simulated port), a live line per port, each port's Result.log and the
// station log station.jsonl.

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "platform/linux/usb_camera_watch.h"
#include "platform/linux/worker_process.h"
#include "resources/embedded_image.h"
#include "station/display.h"
#include "station/sha256.h"
#include "station/simulated_ports.h"
#include "station/station.h"
#include "station/station_options.h"
#include "station/worker_line.h"

#include "reflash_version.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

bool InstallSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    return false;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t size = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (size <= 0) {
    return ".";
  }
  const std::string exe(path, static_cast<std::size_t>(size));
  return exe.substr(0, exe.rfind('/'));
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

class Screen {
 public:
  explicit Screen(bool terminal) : terminal_(terminal) {}
  void Show(station::Station& station) {
    const auto events = station.TakeEvents();
    if (terminal_) {
      const std::string text = live_.Redraw(station);
      std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
      for (const std::string& event : events) {
        std::printf("%s %s\n", station::UtcTimestamp(std::chrono::system_clock::now()).c_str(),
                    event.c_str());
      }
    }
    std::fflush(stdout);
  }

 private:
  bool terminal_;
  station::LiveScreen live_;
};

class StationRun {
 public:
  StationRun(const station::StationOptions& options, station::Station& station,
             std::optional<station::SimulatedPorts> simulated)
      : options_(options), station_(station), simulated_(std::move(simulated)) {
    worker_ = options.worker.empty() ? ProgramFolder() + (simulated_ ? "/reflash-sim" : "/reflash")
                                     : options.worker;
    // The worker starts in its port's folder; a path relative to here would not find it.
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(worker_, ec);
    if (!ec) {
      worker_ = absolute.string();
    }
  }

  int Run(Screen& screen) {
    Scan();
    screen.Show(station_);
    while (!station_.Done()) {
      std::vector<pollfd> fds;
      fds.push_back({signalPipe[0], POLLIN, 0});
      if (!simulated_ && events_.Handle() >= 0) {
        fds.push_back({events_.Handle(), POLLIN, 0});
      }
      std::vector<std::string> order;
      for (const auto& [port, worker] : workers_) {
        fds.push_back({worker.pipe, POLLIN, 0});
        order.push_back(port);
      }
      const int ready = ::poll(fds.data(), fds.size(), Timeout());
      if (ready < 0 && errno != EINTR) {
        std::perror("reflash-station: poll");
        return 1;
      }
      if ((fds[0].revents & POLLIN) != 0) {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        station_.Stop();
      }
      bool rescan = simulated_ || events_.Handle() < 0;
      if (!simulated_ && events_.Handle() >= 0 && (fds[1].revents & POLLIN) != 0) {
        rescan = events_.Drain() || rescan;
      }
      const std::size_t firstWorker = fds.size() - order.size();
      for (std::size_t i = 0; i < order.size(); ++i) {
        if (fds[firstWorker + i].revents != 0) {
          ReadFrom(order[i]);
        }
      }
      if (rescan) {
        Scan();
      }
      screen.Show(station_);
    }
    return station_.ExitStatus();
  }

 private:
  std::int64_t ElapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 started_)
        .count();
  }

  int Timeout() const {
    if (simulated_) {
      const auto next = simulated_->NextChangeAfter(ElapsedMs());
      return next ? static_cast<int>(std::max<std::int64_t>(0, *next - ElapsedMs())) : -1;
    }
    // Without the kernel's events, look again now and then.
    return events_.Handle() >= 0 ? -1 : 1000;
  }

  void Scan() {
    const auto ports = simulated_ ? simulated_->PresentAt(ElapsedMs()) : linuxplat::CameraPorts();
    for (const std::string& port : station_.Present(ports)) {
      Start(port);
    }
  }

  void Start(const std::string& port) {
    std::vector<std::string> argv = {worker_};
    if (simulated_) {
      argv.insert(argv.end(), {"--camera-port", port});
    }
    argv.insert(argv.end(), {"--port", port, "--station"});
    if (simulated_) {
      if (options_.instant) {
        argv.push_back("--instant");
      }
      const auto extra = simulated_->OptionsAt(port, ElapsedMs());
      argv.insert(argv.end(), extra.begin(), extra.end());
    }
    linuxplat::WorkerProcess worker;
    std::string error;
    if (!linuxplat::StartWorker(argv, options_.output + "/" + port, worker, error)) {
      station::WorkerEnd end;
      end.reason = error;
      Ended(port, end);
      return;
    }
    station_.Note(port, "worker pid " + std::to_string(worker.pid));
    workers_[port] = std::move(worker);
  }

  void ReadFrom(const std::string& port) {
    linuxplat::WorkerProcess& worker = workers_[port];
    std::vector<std::string> lines;
    const bool open = linuxplat::ReadWorkerChunk(worker, lines);
    for (const std::string& line : lines) {
      station_.WorkerLine(port, line);
    }
    if (!open) {
      const station::WorkerEnd end = linuxplat::CollectWorker(worker);
      workers_.erase(port);
      Ended(port, end);
    }
  }

  void Ended(const std::string& port, const station::WorkerEnd& end) {
    if (!station_.WorkerEnded(port, end)) {
      std::fprintf(stderr, "reflash-station: cannot write %s/station.jsonl: %s\n",
                   options_.output.c_str(), std::strerror(errno));
    }
  }

  const station::StationOptions& options_;
  station::Station& station_;
  std::optional<station::SimulatedPorts> simulated_;
  linuxplat::DeviceEvents events_;
  std::string worker_;
  std::map<std::string, linuxplat::WorkerProcess> workers_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace

int main(int argc, char** argv) {
  station::StationOptions options;
  std::optional<station::SimulatedPorts> simulated;
  if (const auto status =
          station::StationCommandLine(argc, argv, REFLASH_VERSION_TEXT, options, simulated)) {
    return *status;
  }
  if (::mkdir(options.output.c_str(), 0775) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "reflash-station: cannot create %s: %s\n", options.output.c_str(),
                 std::strerror(errno));
    return station::ExitUsage;
  }
  station::StationLog log;
  if (!log.Open(options.output + "/station.jsonl", linuxplat::SyncFile)) {
    std::fprintf(stderr, "reflash-station: cannot open %s/station.jsonl: %s\n",
                 options.output.c_str(), std::strerror(errno));
    return station::ExitUsage;
  }
  if (!InstallSignals()) {
    std::perror("reflash-station: pipe");
    return 1;
  }
  station::Station::Config config;
  config.mode = options.mode;
  config.hostName = HostName();
  config.toolVersion = REFLASH_VERSION_TEXT;
  config.imageSha256 = station::Sha256Hex(EmbeddedFirmwareImage, EmbeddedFirmwareImageSize);
  station::Station station(config, &log);
  Screen screen(isatty(fileno(stdout)) != 0);
  StationRun run(options, station, std::move(simulated));
  return run.Run(screen);
}
