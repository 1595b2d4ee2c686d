#include "platform/linux/sim_plug_signal.h"

#include <signal.h>

namespace linuxplat {

bool SignalSimulatedPlug(pid_t worker, bool pluggedIn) {
  // Not to a process group or to every process: only a worker of this station is told.
  if (worker <= 0) {
    return false;
  }
  return kill(worker, pluggedIn ? SIGUSR2 : SIGUSR1) == 0;
}

}  // namespace linuxplat
