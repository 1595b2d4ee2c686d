#pragma once
// What the station's loop needs of the operating system, and nothing more: the ports and their
// cameras' identities, a port's lock and folder, starting a worker and ending it, the bytes of
// its account, the next event until a deadline, and the clock. Each platform implements it; the
// tests implement it with a fake clock. No rule of the station lives behind it.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "station/unit_identity.h"

namespace station {

using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// How a worker process ended, as the platform knows it.
struct ProcessEnd {
  bool exited = false;      // it returned from main or called exit
  int status = 0;           // its exit status, when it exited
  std::string how;          // when it did not: the platform's words ("killed by signal 9 (Killed)")
  bool notStarted = false;  // the new process could not run the worker program
  std::optional<WallTime> at;  // when it ended, where the platform knows it
};

// What happened while the loop waited, in the order it happened for each worker: a worker's
// output always comes before its end.
struct HostEvents {
  bool stop = false;  // the operator or the system asks the station to stop
  // The ports that hold a camera, read again at each change the platform noticed, in order.
  std::vector<std::vector<std::string>> readings;
  std::vector<std::pair<std::string, std::string>> output;  // port, bytes its worker wrote
  std::vector<std::pair<std::string, ProcessEnd>> ended;    // port, how its worker ended
};

struct PortLock {
  enum class State { taken, busy, failed } state = State::failed;
  std::optional<long> holder;  // busy: the process id written in the lock, when there is one
  std::string error;           // failed: why
};

class PortHost {
 public:
  virtual ~PortHost() = default;

  // The clocks; the tests' hosts have their own.
  virtual SteadyTime Now() { return std::chrono::steady_clock::now(); }
  virtual WallTime WallNow() { return std::chrono::system_clock::now(); }

  // The ports that hold a camera of the model now, from the device tree.
  virtual std::vector<std::string> CameraPorts() = 0;
  // True when every change of the ports comes as a reading; otherwise the loop reads them again
  // once a second.
  virtual bool NotifiesPorts() const = 0;
  // The camera on `port` now, from the device tree; nullopt: none, or not read.
  virtual std::optional<UnitIdentity> Identity(const std::string& port) = 0;

  // Takes the port's lock without waiting. A taken lock is held until ReleasePort, and by the
  // worker started on the port for its whole life, even when the station ends first.
  virtual PortLock LockPort(const std::string& port) = 0;
  virtual void ReleasePort(const std::string& port) = 0;
  // Makes the port's folder ready: created when missing, and the files named `stale` removed.
  virtual bool PreparePort(const std::string& port, const std::vector<std::string>& stale,
                           std::string& error) = 0;

  // Starts `argv` (argv[0] the program) in the port's folder, its output on a pipe that comes
  // back as HostEvents::output, in a process group or job of its own that holds the port's
  // lock. Its process id, or nullopt with `error`.
  virtual std::optional<long> StartWorker(const std::string& port,
                                          const std::vector<std::string>& argv,
                                          std::string& error) = 0;
  // Ends the worker on `port` and everything it started; its end comes as an event.
  virtual void EndWorker(const std::string& port) = 0;
  // Ends the process `pid` that an earlier station started, and everything it started; false
  // when it could not.
  virtual bool EndProcess(long pid) = 0;
  // Tells the worker on `port` that its simulated camera was pulled or plugged in again; a
  // platform without the simulator's plug signals does nothing.
  virtual void TellPlug(const std::string& port, bool present) = 0;

  // Waits until something happens or `until` has come, whichever is first.
  virtual HostEvents Wait(SteadyTime until) = 0;

  // A regular file of the port's folder, at most `maxBytes` + 1 bytes of it (so that the caller
  // sees it is too long); nullopt when it is missing or is no regular file.
  virtual std::optional<std::string> ReadPortFile(const std::string& port, const std::string& name,
                                                  std::size_t maxBytes) = 0;
  // Replaces a file of the port's folder as a whole: a reader sees the old text or the new one.
  virtual bool ReplacePortFile(const std::string& port, const std::string& name,
                               const std::string& text, std::string& error) = 0;
  // When a file of the port's folder was last written; nullopt when it is missing.
  virtual std::optional<WallTime> PortFileTime(const std::string& port,
                                               const std::string& name) = 0;
};

}  // namespace station
