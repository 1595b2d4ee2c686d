#pragma once
// Starting one station worker as a process of its own, reading its pipe, learning of its end
// without waiting for it, and the lock files that keep two processes off one port.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"
#include "station/port_host.h"

namespace linuxplat {

struct WorkerProcess {
  pid_t pid = -1;
  UniqueFd pipe;  // the worker's standard output; invalid once it has ended
};

// Takes the lock file at `path` (created if missing; a FIFO or a symbolic link is refused)
// without waiting: its descriptor (close-on-exec), or none with `busy` set when another process
// holds it, or none with `error` otherwise.
UniqueFd TryLockFile(const std::string& path, bool& busy, std::string& error);
// The process id written in a lock file; nullopt when there is none.
std::optional<pid_t> LockHolder(const std::string& path);
// Writes `pid` into the locked file.
void WriteLockHolder(int fd, pid_t pid);

// Starts `argv` (argv[0] the program) in `folder` with its standard output on a pipe, its
// standard error in `folder`/reflash.err and the lock `portLock` inherited, in a process group
// of its own so that the terminal's Ctrl-C reaches only the station. False with `error` when it
// could not be started.
bool StartWorker(const std::vector<std::string>& argv, const std::string& folder, int portLock,
                 WorkerProcess& worker, std::string& error);

// Appends what is available to `bytes`, a bounded share per call; false at the end of the pipe
// (then closed).
bool ReadWorkerChunk(WorkerProcess& worker, std::string& bytes);

// How the worker ended, when it has; nothing while it runs. Never waits.
std::optional<station::ProcessEnd> PollWorkerEnd(WorkerProcess& worker);

// At most `maxBytes` + 1 bytes of the regular file at `path`; nullopt when it is missing or is
// no regular file (a FIFO, a symbolic link, a folder).
std::optional<std::string> ReadRegularFile(const std::string& path, std::size_t maxBytes);
// Replaces `folder`/`name` as a whole, through a file beside it that is synced and renamed.
bool ReplaceFile(const std::string& folder, const std::string& name, const std::string& text,
                 std::string& error);

}  // namespace linuxplat
