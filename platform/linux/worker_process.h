#pragma once
// Starting one station worker as a process of its own, reading its pipe, learning of its end
// without waiting for it, and the lock files that keep two processes off one port.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"
#include "station/station.h"
#include "station/worker_protocol.h"

namespace linuxplat {

struct WorkerProcess {
  pid_t pid = -1;
  UniqueFd pipe;       // the worker's standard output; invalid once it has ended
  UniqueFd portLock;   // the port's lock, shared with the worker for its whole life
  std::string folder;  // its current directory, where its Result.log is written
  station::WorkerLineSplitter lines;
  bool hung = false;  // the watchdog ended it
};

// Takes the lock file at `path` (created if missing) without waiting: its descriptor (close-on-
// exec), or none with `busy` set when another process holds it, or none with `error` otherwise.
UniqueFd TryLockFile(const std::string& path, bool& busy, std::string& error);
// The process id written in a lock file; nullopt when there is none.
std::optional<pid_t> LockHolder(const std::string& path);
// Writes `pid` into the locked file.
void WriteLockHolder(int fd, pid_t pid);

// Makes `folder` ready for a new update: created if missing, and the Result.log and the worker
// account that an earlier camera left there removed. False with `error` otherwise.
bool PreparePortFolder(const std::string& folder, std::string& error);

// Starts `argv` (argv[0] the program) in `folder` with its standard output on a pipe, its
// standard error in `folder`/reflash.err and `portLock` inherited, in a process group of its
// own so that the terminal's Ctrl-C reaches only the station; the worker's record then owns
// `portLock`. False with `error` when it could not be started (`portLock` is left as it was).
bool StartWorker(const std::vector<std::string>& argv, const std::string& folder,
                 UniqueFd& portLock, WorkerProcess& worker, std::string& error);

// Reads what is available into whole `lines`; false at the end of the pipe (then closed).
bool ReadWorkerChunk(WorkerProcess& worker, std::vector<std::string>& lines);

// How the worker ended, when it has; nothing while it runs. Never waits.
std::optional<station::WorkerEnd> PollWorkerEnd(WorkerProcess& worker);

// What the port folder's Result.log holds; nullopt when there is none.
std::optional<std::string> ReadResultLog(const std::string& folder);

}  // namespace linuxplat
