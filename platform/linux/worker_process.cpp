#include "platform/linux/worker_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace linuxplat {

bool StartWorker(const std::vector<std::string>& argv, const std::string& folder,
                 WorkerProcess& worker, std::string& error) {
  if (::mkdir(folder.c_str(), 0775) != 0 && errno != EEXIST) {
    error = "cannot create " + folder + ": " + std::strerror(errno);
    return false;
  }
  // A verdict left by an earlier camera on this port must not stand for this one.
  const std::string resultLog = folder + "/Result.log";
  if (::unlink(resultLog.c_str()) != 0 && errno != ENOENT) {
    error = "cannot remove " + resultLog + ": " + std::strerror(errno);
    return false;
  }
  const std::string errFile = folder + "/reflash.err";
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("cannot fork: ") + std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    if (::chdir(folder.c_str()) != 0 || ::dup2(fds[1], 1) < 0 || (err >= 0 && ::dup2(err, 2) < 0)) {
      ::_exit(127);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  worker.pid = pid;
  worker.pipe = fds[0];
  worker.folder = folder;
  worker.pending.clear();
  return true;
}

bool ReadWorkerChunk(WorkerProcess& worker, std::vector<std::string>& lines) {
  char buffer[4096];
  for (;;) {
    const ssize_t size = ::read(worker.pipe, buffer, sizeof buffer);
    if (size < 0 && errno == EINTR) {
      continue;
    }
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    }
    if (size <= 0) {
      ::close(worker.pipe);
      worker.pipe = -1;
      return false;
    }
    worker.pending.append(buffer, static_cast<std::size_t>(size));
    for (std::size_t end; (end = worker.pending.find('\n')) != std::string::npos;) {
      lines.push_back(worker.pending.substr(0, end));
      worker.pending.erase(0, end + 1);
    }
  }
}

station::WorkerEnd CollectWorker(WorkerProcess& worker) {
  station::WorkerEnd end;
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(worker.pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) {
    end.reason = std::string("lost the worker: ") + std::strerror(errno);
  } else if (WIFEXITED(status)) {
    end.exited = true;
    end.status = WEXITSTATUS(status);
    if (end.status == 127) {
      end.exited = false;
      end.reason = "the worker could not be started (exit status 127)";
    }
  } else if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    end.reason = "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  }
  std::ifstream file(worker.folder + "/Result.log", std::ios::binary);
  if (file) {
    end.resultLog = std::string(std::istreambuf_iterator<char>(file), {});
  }
  worker.pid = -1;
  return end;
}

bool SyncFile(std::FILE* file) {
  return ::fsync(fileno(file)) == 0;
}

}  // namespace linuxplat
