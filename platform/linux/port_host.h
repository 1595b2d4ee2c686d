#pragma once
// The Linux port host: the kernel's device events and sysfs for the ports, flock for the locks,
// fork and exec for the workers (each in a process group of its own), poll over their pipes
// and a signal pipe for the waits.

#include <memory>
#include <string>

#include "station/port_host.h"

namespace linuxplat {

// Stop signals (SIGINT, SIGTERM, SIGHUP) and ended children wake the host's waits through a
// pipe; false when the pipe cannot be made.
bool InstallStationSignals();

// The ports' folders are under `output`; `simulated`: the ports are the simulator's, not the
// USB bus's, and their locks are the folder's own.
std::unique_ptr<station::PortHost> MakePortHost(std::string output, bool simulated);

}  // namespace linuxplat
