#include "platform/linux/sim_plug_signal.h"

#include <csignal>

namespace linuxplat {

bool SignalSimulatedPlug(pid_t worker, bool pluggedIn) {
  return ::kill(worker, pluggedIn ? SIGUSR2 : SIGUSR1) == 0;
}

}  // namespace linuxplat
