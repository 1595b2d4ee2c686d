#include "platform/linux/port_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "platform/linux/sim_plug_signal.h"
#include "platform/linux/usb_camera_watch.h"
#include "platform/linux/worker_process.h"

namespace linuxplat {
namespace {

int signalPipe[2] = {-1, -1};

// 's' for a stop (SIGINT, SIGTERM, SIGHUP), 'c' for an ended child.
void OnSignal(int signal) {
  const int saved = errno;
  const char byte = signal == SIGCHLD ? 'c' : 's';
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

class LinuxPortHost : public station::PortHost {
 public:
  LinuxPortHost(std::string output, bool simulated)
      : output_(std::move(output)), simulated_(simulated) {
    if (!simulated_) {
      // Real ports are one fixture for every station on this computer: their locks are too.
      lockDir_ = "/run/lock/reflash-station";
      if (::mkdir(lockDir_.c_str(), 01777) == 0) {
        ::chmod(lockDir_.c_str(), 01777);
      } else if (errno != EEXIST) {
        lockDir_.clear();
      }
    }
  }

  std::vector<std::string> CameraPorts() override { return linuxplat::CameraPorts(); }
  bool NotifiesPorts() const override { return !simulated_ && events_.Handle() >= 0; }
  std::optional<station::UnitIdentity> Identity(const std::string& port) override {
    return UsbUnitIdentity(port);
  }

  station::PortLock LockPort(const std::string& port) override {
    station::PortLock lock;
    const std::string path =
        lockDir_.empty() ? Folder(port) + "/port.lock" : lockDir_ + "/" + port + ".lock";
    if (lockDir_.empty() && ::mkdir(Folder(port).c_str(), 0775) != 0 && errno != EEXIST) {
      lock.error = Errno("cannot create " + Folder(port));
      return lock;
    }
    bool busy = false;
    UniqueFd fd = TryLockFile(path, busy, lock.error);
    lock.state = busy         ? station::PortLock::State::busy
                 : fd.valid() ? station::PortLock::State::taken
                              : lock.state;
    lock.holder = busy ? LockHolder(path) : std::nullopt;
    if (fd.valid()) {
      locks_[port] = std::move(fd);
    }
    return lock;
  }

  void ReleasePort(const std::string& port) override { locks_.erase(port); }

  bool PreparePort(const std::string& port, const std::vector<std::string>& stale,
                   std::string& error) override {
    if (::mkdir(Folder(port).c_str(), 0775) != 0 && errno != EEXIST) {
      error = Errno("cannot create " + Folder(port));
      return false;
    }
    for (const std::string& name : stale) {
      const std::string path = Folder(port) + "/" + name;
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = Errno("cannot remove " + path);
        return false;
      }
    }
    return true;
  }

  std::optional<long> StartWorker(const std::string& port, const std::vector<std::string>& argv,
                                  std::string& error) override {
    const auto lock = locks_.find(port);
    WorkerProcess worker;
    if (lock == locks_.end() ||
        !linuxplat::StartWorker(argv, Folder(port), lock->second.get(), worker, error)) {
      return std::nullopt;
    }
    WriteLockHolder(lock->second.get(), worker.pid);
    const long pid = worker.pid;
    workers_[port] = std::move(worker);
    return pid;
  }

  void EndWorker(const std::string& port) override {
    if (const auto found = workers_.find(port); found != workers_.end()) {
      ::kill(-found->second.pid, SIGKILL);
    }
  }

  bool EndProcess(long pid) override { return ::kill(-static_cast<pid_t>(pid), SIGKILL) == 0; }

  void TellPlug(const std::string& port, bool present) override {
    if (const auto found = workers_.find(port); found != workers_.end()) {
      SignalSimulatedPlug(found->second.pid, present);
    }
  }

  station::HostEvents Wait(station::SteadyTime until) override {
    // The device events only where they tell of the ports: an undrained socket would wake it.
    std::vector<pollfd> fds = {{signalPipe[0], POLLIN, 0},
                               {NotifiesPorts() ? events_.Handle() : -1, POLLIN, 0}};
    std::vector<std::string> order;
    for (const auto& [port, worker] : workers_) {
      if (worker.pipe.valid()) {
        fds.push_back({worker.pipe.get(), POLLIN, 0});
        order.push_back(port);
      }
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Now()).count();
    station::HostEvents events;
    if (::poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(left, 0, 60000))) <
        0) {
      return events;  // a signal came: its byte is in the pipe for the next wait
    }
    char bytes[64];
    for (ssize_t size; (size = ::read(signalPipe[0], bytes, sizeof bytes)) > 0;) {
      events.stop = events.stop || std::find(bytes, bytes + size, 's') != bytes + size;
    }
    if (NotifiesPorts() && (fds[1].revents & POLLIN) != 0 && events_.Drain()) {
      events.readings.push_back(CameraPorts());
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (fds[2 + i].revents != 0) {
        Read(order[i], events);
      }
    }
    // A worker that closed its output and runs on is waited for by the watchdog, not here.
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto end = PollWorkerEnd(it->second);
      if (!end) {
        ++it;
        continue;
      }
      Read(it->first, events);  // what it wrote just before it ended
      // A process it left behind may hold the pipe: not waited for; the pipe closes here.
      events.ended.emplace_back(it->first, std::move(*end));
      it = workers_.erase(it);
    }
    return events;
  }

  std::optional<std::string> ReadPortFile(const std::string& port, const std::string& name,
                                          std::size_t maxBytes) override {
    return ReadRegularFile(Folder(port) + "/" + name, maxBytes);
  }

  bool ReplacePortFile(const std::string& port, const std::string& name, const std::string& text,
                       std::string& error) override {
    return ReplaceFile(Folder(port), name, text, error);
  }

  std::optional<station::WallTime> PortFileTime(const std::string& port,
                                                const std::string& name) override {
    struct stat info {};
    if (::stat((Folder(port) + "/" + name).c_str(), &info) != 0) {
      return std::nullopt;
    }
    return station::WallTime(std::chrono::duration_cast<station::WallTime::duration>(
        std::chrono::seconds(info.st_mtim.tv_sec) +
        std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
  }

 private:
  std::string Folder(const std::string& port) const { return output_ + "/" + port; }

  void Read(const std::string& port, station::HostEvents& events) {
    std::string bytes;
    ReadWorkerChunk(workers_.at(port), bytes);
    if (!bytes.empty()) {
      events.output.emplace_back(port, std::move(bytes));
    }
  }

  std::string output_;
  bool simulated_;
  std::string lockDir_;
  DeviceEvents events_;
  std::map<std::string, UniqueFd> locks_;
  std::map<std::string, WorkerProcess> workers_;
};

}  // namespace

bool InstallStationSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    return false;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // A closed terminal or tmux session stops the station as SIGTERM does: running updates end.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
    ::sigaction(signal, &action, nullptr);
  }
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);  // a file-size limit is a failed write, not the station's end
  return true;
}

std::unique_ptr<station::PortHost> MakePortHost(std::string output, bool simulated) {
  return std::make_unique<LinuxPortHost>(std::move(output), simulated);
}

}  // namespace linuxplat
