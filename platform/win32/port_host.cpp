#include "platform/win32/port_host.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/win32/camera_watch.h"
#include "platform/win32/worker_process.h"

namespace winplat {
namespace {

// What the reader threads, the device notifications and the console handler tell the loop.
struct Message {
  enum class Kind { worker, ports, stop } kind = Kind::stop;
  WorkerReport report;
  std::vector<std::string> ports;
};

class Inbox {
 public:
  void Post(Message message) {
    {
      std::lock_guard lock(mutex_);
      messages_.push_back(std::move(message));
    }
    changed_.notify_one();
  }
  // What came in, waiting until `until` for something to come.
  std::deque<Message> Take(station::SteadyTime until) {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, until, [this] { return !messages_.empty(); });
    return std::exchange(messages_, {});
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Message> messages_;
};

Inbox inbox;

// Held by the loop except while it waits. A console close takes it and keeps it until the
// system ends the process, so that the end falls between two records, never inside one.
std::mutex loopMutex;

BOOL WINAPI OnConsoleEvent(DWORD type) {
  inbox.Post({Message::Kind::stop, {}, {}});
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // The system ends the station when this returns or its time is up; the workers run on with
    // their ports locked, and the next station writes their end records.
    std::lock_guard hold(loopMutex);
    Sleep(30000);
  }
  return TRUE;
}

std::string LastError(const std::string& what) {
  return what + " (error " + std::to_string(GetLastError()) + ")";
}

class WindowsPortHost : public station::PortHost {
 public:
  WindowsPortHost(std::string output, bool simulated)
      : output_(std::move(output)), simulated_(simulated), hold_(loopMutex) {
    if (simulated_) {
      return;
    }
    // Real ports are one fixture for every station on this computer: their locks are too.
    char data[MAX_PATH] = {};
    const DWORD size = GetEnvironmentVariableA("ProgramData", data, sizeof data);
    if (size > 0 && size < sizeof data) {
      lockDir_ = std::string(data) + "\\reflash-station";
      if (CreateDirectoryA(lockDir_.c_str(), nullptr) == FALSE &&
          GetLastError() != ERROR_ALREADY_EXISTS) {
        lockDir_.clear();
      }
    }
    const auto post = [](std::vector<std::string> ports) {
      inbox.Post({Message::Kind::ports, {}, std::move(ports)});
    };
    watching_ = watch_.Start(post, lastPorts_);
  }

  std::optional<station::UnitIdentity> Identity(const std::string& port) override {
    return CameraIdentity(port);
  }
  std::vector<std::string> CameraPorts() override {
    return watching_ ? lastPorts_ : winplat::CameraPorts();
  }
  bool NotifiesPorts() const override { return watching_; }

  station::PortLock LockPort(const std::string& port) override {
    station::PortLock lock;
    const std::string path =
        lockDir_.empty() ? Folder(port) + "\\port.lock" : lockDir_ + "\\" + port + ".lock";
    if (lockDir_.empty() && CreateDirectoryA(Folder(port).c_str(), nullptr) == FALSE &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      lock.error = LastError("cannot create " + Folder(port));
      return lock;
    }
    bool busy = false;
    UniqueHandle handle = TryLockFile(path, busy, lock.error);
    if (handle.valid()) {
      lock.state = station::PortLock::State::taken;
      locks_[port] = std::move(handle);
    } else if (busy) {
      lock.state = station::PortLock::State::busy;
      lock.holder = LockHolder(path);  // the holder's pid, when it wrote one
    }
    return lock;
  }

  void ReleasePort(const std::string& port) override { locks_.erase(port); }

  bool PreparePort(const std::string& port, const std::vector<std::string>& stale,
                   std::string& error) override {
    if (CreateDirectoryA(Folder(port).c_str(), nullptr) == FALSE &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      error = LastError("cannot create " + Folder(port));
      return false;
    }
    for (const std::string& name : stale) {
      const std::string path = Folder(port) + "\\" + name;
      if (DeleteFileA(path.c_str()) == FALSE && GetLastError() != ERROR_FILE_NOT_FOUND) {
        error = LastError("cannot remove " + path);
        return false;
      }
      // A file another process holds open for deletion stays until it is closed.
      if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        error = "cannot remove " + path + ": it is still open elsewhere";
        return false;
      }
    }
    return true;
  }

  std::optional<long> StartWorker(const std::string& port, const std::vector<std::string>& argv,
                                  std::string& error) override {
    const auto lock = locks_.find(port);
    const std::uint64_t id = ++lastId_;
    const auto sink = [](WorkerReport report) {
      inbox.Post({Message::Kind::worker, std::move(report), {}});
    };
    WorkerProcess worker;
    if (lock == locks_.end() ||
        !winplat::StartWorker(argv, Folder(port), lock->second.get(), id, sink, worker, error)) {
      return std::nullopt;
    }
    const long pid = static_cast<long>(worker.pid);
    workerPorts_[id] = port;
    workers_[port] = std::move(worker);
    return pid;
  }

  void EndWorker(const std::string& port) override {
    if (const auto found = workers_.find(port); found != workers_.end()) {
      winplat::EndWorker(found->second);
    }
  }

  bool EndProcess(long pid) override { return EndOrphan(static_cast<DWORD>(pid)); }
  void TellPlug(const std::string&, bool) override {
  }  // the simulator's plugs are not signalled here

  station::HostEvents Wait(station::SteadyTime until) override {
    hold_.unlock();
    std::deque<Message> messages = inbox.Take(until);
    hold_.lock();
    station::HostEvents events;
    for (Message& message : messages) {
      if (message.kind == Message::Kind::stop) {
        events.stop = true;
      } else if (message.kind == Message::Kind::ports) {
        lastPorts_ = message.ports;
        events.readings.push_back(std::move(message.ports));
      } else if (const auto found = workerPorts_.find(message.report.id);
                 found != workerPorts_.end()) {
        const std::string port = found->second;
        if (!message.report.bytes.empty()) {
          events.output.emplace_back(port, std::move(message.report.bytes));
        }
        if (message.report.ended) {
          station::ProcessEnd end = ProcessEndOf(message.report.exitCode);
          end.at = message.report.exitTime;
          events.ended.emplace_back(port, std::move(end));
          workers_.erase(port);
          workerPorts_.erase(found);
        }
      }
    }
    return events;
  }

  std::optional<std::string> ReadPortFile(const std::string& port, const std::string& name,
                                          std::size_t maxBytes) override {
    return ReadRegularFile(Folder(port) + "\\" + name, maxBytes);
  }

  std::optional<station::WallTime> PortFileTime(const std::string&, const std::string&) override {
    return std::nullopt;  // the process's own exit time is known here
  }

  bool ReplacePortFile(const std::string& port, const std::string& name, const std::string& text,
                       std::string& error) override {
    return ReplaceFile(Folder(port) + "\\" + name, text, error);
  }

 private:
  std::string Folder(const std::string& port) const { return output_ + "\\" + port; }

  std::string output_;
  bool simulated_;
  std::unique_lock<std::mutex> hold_;
  std::string lockDir_;
  CameraWatch watch_;
  bool watching_ = false;
  std::vector<std::string> lastPorts_;
  std::uint64_t lastId_ = 0;
  std::map<std::string, UniqueHandle> locks_;
  std::map<std::string, WorkerProcess> workers_;
  std::map<std::uint64_t, std::string> workerPorts_;
};

}  // namespace

void InstallStationStopHandler() {
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::unique_ptr<station::PortHost> MakePortHost(std::string output, bool simulated) {
  return std::make_unique<WindowsPortHost>(std::move(output), simulated);
}

}  // namespace winplat
