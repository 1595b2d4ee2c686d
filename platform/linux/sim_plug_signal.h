#pragma once
// Tells a simulated camera's worker that its port was unplugged or plugged in again.

#include <sys/types.h>

namespace linuxplat {

// SIGUSR1 for unplugged, SIGUSR2 for plugged in again; false when the signal was not sent.
bool SignalSimulatedPlug(pid_t worker, bool pluggedIn);

}  // namespace linuxplat
