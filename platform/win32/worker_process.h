#pragma once
// Starting one station worker as a process of its own, in a job of its own, learning of its
// lines and its end without the station's loop waiting for either, and the lock files that keep
// two processes off one port.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "station/station.h"

namespace winplat {

// What a worker's reader thread tells the station's loop: lines, then its end, once.
struct WorkerReport {
  std::uint64_t id = 0;  // of the start, so that a late report never reaches a newer worker
  std::vector<std::string> lines;
  bool overlong = false;  // a line over station::kMaxWorkerLine
  bool ended = false;
  DWORD exitCode = 0;
};
using ReportSink = std::function<void(WorkerReport)>;

struct WorkerProcess {
  std::uint64_t id = 0;
  DWORD pid = 0;
  HANDLE process = nullptr;  // shared with the reader thread until its report of the end
  HANDLE job = nullptr;      // for the watchdog only: closing it ends nothing
  HANDLE portLock = nullptr;
  std::string folder;
  bool hung = false;  // the watchdog ended it
};

// Takes the lock file at `path` (created if missing) without waiting: its handle (not
// inherited), or null with `busy` set when another process holds it, or null with `error`.
// Others may read the holder's process id from it while it is held.
HANDLE TryLockFile(const std::string& path, bool& busy, std::string& error);
// The process id written in a lock file; nothing when there is none.
std::optional<DWORD> LockHolder(const std::string& path);
// Writes `pid` into the locked file.
void WriteLockHolder(HANDLE lock, DWORD pid);

// Makes `folder` ready for a new update: created if missing, and the Result.log and the worker
// account an earlier camera left there removed. False with `error` otherwise.
bool PreparePortFolder(const std::string& folder, std::string& error);

// Starts `argv` (argv[0] the program) in `folder` with its standard output on a pipe read by a
// thread of its own that reports to `sink`, its standard error in `folder`\reflash.err, and
// `portLock` inherited, so that the port stays locked for the worker's whole life even when the
// station ends first. It has no console of its own and is in no job that the station's end
// would end. False with `error` when it could not be started.
bool StartWorker(const std::vector<std::string>& argv, const std::string& folder, HANDLE portLock,
                 std::uint64_t id, ReportSink sink, WorkerProcess& worker, std::string& error);

// Ends the worker and whatever it started (the watchdog's end).
void EndWorker(WorkerProcess& worker);
// Ends the worker with process id `pid` that an earlier station started, and its job.
bool EndOrphan(DWORD pid);

// How the worker ended, from its exit code; the handles are closed.
station::WorkerEnd FinishWorker(WorkerProcess& worker, DWORD exitCode);

// What the folder's Result.log holds; nothing when there is none.
std::optional<std::string> ReadResultLog(const std::string& folder);

// One argument as CommandLineToArgvW reads it back.
std::string QuoteArgument(const std::string& arg);

}  // namespace winplat
