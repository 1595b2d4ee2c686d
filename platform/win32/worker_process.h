#pragma once
// Starting one station worker as a process of its own, in a job of its own, learning of its
// output and its end without the station's loop waiting for either, and the lock files that
// keep two processes off one port.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "station/port_host.h"

namespace winplat {

// What a worker's reader thread tells the station's loop: its output, then its end, once.
struct WorkerReport {
  std::uint64_t id = 0;  // of the start, so that a late report never reaches a newer worker
  std::string bytes;
  bool ended = false;
  DWORD exitCode = 0;
  std::optional<station::WallTime> exitTime;
};
using ReportSink = std::function<void(WorkerReport)>;

struct WorkerProcess {
  std::uint64_t id = 0;
  DWORD pid = 0;
  UniqueHandle process;
  UniqueHandle job;  // for the watchdog only: closing it ends nothing
};

// Takes the lock file at `path` (created if missing) without waiting: its handle (not
// inherited), or none with `busy` set when another process holds it, or none with `error`.
// Others may read the holder's process id from it while it is held.
UniqueHandle TryLockFile(const std::string& path, bool& busy, std::string& error);
// The process id written in a lock file; nothing when there is none.
std::optional<DWORD> LockHolder(const std::string& path);
// Writes `pid` into the locked file.
void WriteLockHolder(HANDLE lock, DWORD pid);

// Starts `argv` (argv[0] the program) in `folder` with its standard output on a pipe read by a
// thread of its own that reports to `sink`, its standard error in `folder`\reflash.err, and
// `portLock` inherited, so that the port stays locked for the worker's whole life even when the
// station ends first. It has no console of its own and is in no job that the station's end
// would end. False with `error` when it could not be started.
bool StartWorker(const std::vector<std::string>& argv, const std::string& folder, HANDLE portLock,
                 std::uint64_t id, ReportSink sink, WorkerProcess& worker, std::string& error);

// Ends the worker and whatever it started (the watchdog's end).
void EndWorker(WorkerProcess& worker);
// Ends the worker with process id `pid` that an earlier station started.
bool EndOrphan(DWORD pid);

// How the worker ended, from its exit code.
station::ProcessEnd ProcessEndOf(DWORD exitCode);

// At most `maxBytes` + 1 bytes of the file at `path`; nullopt when it is missing or is no
// regular file (a folder, a link).
std::optional<std::string> ReadRegularFile(const std::string& path, std::size_t maxBytes);
// Replaces the file at `path` as a whole, through a file beside it that is flushed and moved.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& error);

// One argument as CommandLineToArgvW reads it back.
std::string QuoteArgument(const std::string& arg);

}  // namespace winplat
