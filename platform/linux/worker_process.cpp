#include "platform/linux/worker_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/linux/unique_fd.h"

namespace linuxplat {

UniqueFd TryLockFile(const std::string& path, bool& busy, std::string& error) {
  busy = false;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664));
  if (!fd.valid()) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return fd;
  }
  int locked;
  do {
    locked = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    busy = errno == EWOULDBLOCK;
    error = busy ? "" : "cannot lock " + path + ": " + std::strerror(errno);
    return {};
  }
  return fd;
}

std::optional<pid_t> LockHolder(const std::string& path) {
  std::ifstream file(path);
  long pid = 0;
  if (file >> pid && pid > 0) {
    return static_cast<pid_t>(pid);
  }
  return std::nullopt;
}

void WriteLockHolder(int fd, pid_t pid) {
  const std::string text = std::to_string(pid) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, text.data(), text.size(), 0);
  }
}

bool PreparePortFolder(const std::string& folder, std::string& error) {
  if (::mkdir(folder.c_str(), 0775) != 0 && errno != EEXIST) {
    error = "cannot create " + folder + ": " + std::strerror(errno);
    return false;
  }
  // What an earlier camera left here must not stand for this one.
  for (const char* name : {"/Result.log", "/worker.log"}) {
    const std::string path = folder + name;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      error = "cannot remove " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool StartWorker(const std::vector<std::string>& argv, const std::string& folder,
                 UniqueFd& portLock, WorkerProcess& worker, std::string& error) {
  const std::string errFile = folder + "/reflash.err";
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("cannot fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    ::setpgid(0, 0);
    // The plug signals wait, blocked, until a simulated camera's worker is ready for them.
    sigset_t plug;
    sigemptyset(&plug);
    sigaddset(&plug, SIGUSR1);
    sigaddset(&plug, SIGUSR2);
    ::sigprocmask(SIG_SETMASK, &plug, nullptr);
    ::signal(SIGXFSZ, SIG_DFL);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    // The lock stays held as long as the worker lives, even when the station does not.
    if (::chdir(folder.c_str()) != 0 || ::dup2(writeEnd.get(), 1) < 0 ||
        (err >= 0 && ::dup2(err, 2) < 0) || ::fcntl(portLock.get(), F_SETFD, 0) != 0) {
      ::_exit(127);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // also here, so that a kill of the group never misses a young worker
  writeEnd.reset();
  ::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);
  worker.pid = pid;
  worker.pipe = std::move(readEnd);
  worker.portLock = std::move(portLock);
  worker.folder = folder;
  return true;
}

bool ReadWorkerChunk(WorkerProcess& worker, std::vector<std::string>& lines) {
  if (!worker.pipe.valid()) {
    return false;
  }
  char buffer[4096];
  // A bounded share per call, so that a worker that writes without end cannot hold the loop.
  for (int reads = 0; reads < 64; ++reads) {
    const ssize_t size = ::read(worker.pipe.get(), buffer, sizeof buffer);
    if (size < 0 && errno == EINTR) {
      continue;
    }
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    }
    if (size <= 0) {
      worker.pipe.reset();
      return false;
    }
    worker.lines.Feed(buffer, static_cast<std::size_t>(size), lines);
  }
  return true;
}

std::optional<station::WorkerEnd> PollWorkerEnd(WorkerProcess& worker) {
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(worker.pid, &status, WNOHANG);
  } while (waited < 0 && errno == EINTR);
  if (waited == 0) {
    return std::nullopt;
  }
  station::WorkerEnd end;
  end.hung = worker.hung;
  if (waited < 0) {
    end.reason = std::string("lost the worker: ") + std::strerror(errno);
  } else if (WIFEXITED(status)) {
    end.exited = true;
    end.status = WEXITSTATUS(status);
    if (end.status == 127) {
      end.exited = false;
      end.notStarted = true;
      end.reason = "the worker could not be started (exit status 127)";
    }
  } else if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    end.reason = "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  }
  if (worker.hung) {
    end.reason = "no verdict within the watchdog's bound; " + end.reason;
  }
  end.resultLog = ReadResultLog(worker.folder);
  worker.pid = -1;
  return end;
}

std::optional<std::string> ReadResultLog(const std::string& folder) {
  std::ifstream file(folder + "/Result.log", std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace linuxplat
