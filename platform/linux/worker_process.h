#pragma once
// Starting one station worker as a process of its own, reading its pipe, and collecting its end.

#include <sys/types.h>

#include <string>
#include <vector>

#include "station/station.h"

namespace linuxplat {

struct WorkerProcess {
  pid_t pid = -1;
  int pipe = -1;        // the worker's standard output; -1 once it has ended
  std::string folder;   // its current directory, where its Result.log is written
  std::string pending;  // the part of a line read so far
};

// Starts `argv` (argv[0] the program) in `folder` (created if missing; its Result.log removed
// first) with its standard output on a pipe and its standard error in `folder`/reflash.err, in
// a process group of its own so that the terminal's Ctrl-C reaches only the station. False with
// `error` when it could not be started.
bool StartWorker(const std::vector<std::string>& argv, const std::string& folder,
                 WorkerProcess& worker, std::string& error);

// Reads what is available into whole `lines`; false at the end of the pipe.
bool ReadWorkerChunk(WorkerProcess& worker, std::vector<std::string>& lines);

// Waits for the worker to end and says how, with what its folder's Result.log holds.
station::WorkerEnd CollectWorker(WorkerProcess& worker);

// Makes what was written to `file` durable: fsync.
bool SyncFile(std::FILE* file);

}  // namespace linuxplat
