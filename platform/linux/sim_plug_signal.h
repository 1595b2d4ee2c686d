#pragma once
// Telling a `reflash-sim` worker that its simulated camera was pulled or plugged in again.

#include <sys/types.h>

namespace linuxplat {

// Sends `worker` SIGUSR2 when its camera was plugged in again, SIGUSR1 when it was pulled; false
// when the signal could not be sent (the worker has ended).
bool SignalSimulatedPlug(pid_t worker, bool pluggedIn);

}  // namespace linuxplat
