#include "platform/linux/worker_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/linux/unique_fd.h"

namespace linuxplat {

UniqueFd TryLockFile(const std::string& path, bool& busy, std::string& error) {
  busy = false;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0664));
  struct stat info {};
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error =
        "cannot open " + path + ": " + (fd.valid() ? "not a regular file" : std::strerror(errno));
    return {};
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

bool StartWorker(const std::vector<std::string>& argv, const std::string& folder, int portLock,
                 WorkerProcess& worker, std::string& error) {
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
        (err >= 0 && ::dup2(err, 2) < 0) || ::fcntl(portLock, F_SETFD, 0) != 0) {
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
  return true;
}

bool ReadWorkerChunk(WorkerProcess& worker, std::string& bytes) {
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
    bytes.append(buffer, static_cast<std::size_t>(size));
  }
  return true;
}

std::optional<station::ProcessEnd> PollWorkerEnd(WorkerProcess& worker) {
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(worker.pid, &status, WNOHANG);
  } while (waited < 0 && errno == EINTR);
  if (waited == 0) {
    return std::nullopt;
  }
  station::ProcessEnd end;
  if (waited < 0) {
    end.how = std::string("lost the worker: ") + std::strerror(errno);
  } else if (WIFEXITED(status)) {
    end.exited = true;
    end.status = WEXITSTATUS(status);
    // The child's own exit when exec failed: the program never ran.
    end.notStarted = end.status == 127;
    end.how = end.notStarted ? "the worker could not be started (exit status 127)" : "";
  } else if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    end.how = "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  }
  worker.pid = -1;
  return end;
}

std::optional<std::string> ReadRegularFile(const std::string& path, std::size_t maxBytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat info {};
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  while (text.size() <= maxBytes) {
    const ssize_t size =
        ::read(fd.get(), buffer, std::min(sizeof buffer, maxBytes + 1 - text.size()));
    if (size < 0 && errno == EINTR) {
      continue;
    }
    if (size <= 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(size));
  }
  return text;
}

bool ReplaceFile(const std::string& folder, const std::string& name, const std::string& text,
                 std::string& error) {
  const std::string path = folder + "/" + name;
  const std::string temporary = folder + "/." + name + ".new";
  UniqueFd fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0664));
  const bool written =
      fd.valid() &&
      ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
      ::fsync(fd.get()) == 0;
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace linuxplat
