#pragma once
// The Windows port host: the Configuration Manager's device tree and notifications for the
// ports, lock files held open without sharing, CreateProcess for the workers (each in a job of
// its own), reader threads and the console handler posting to one inbox for the waits.

#include <memory>
#include <string>

#include "station/port_host.h"

namespace winplat {

// Ctrl-C, Ctrl-Break and a closed console stop the station: no new camera, running updates go on.
void InstallStationStopHandler();

// The ports' folders are under `output`; `simulated`: the ports are the simulator's, not the
// USB bus's, and their locks are the folder's own.
std::unique_ptr<station::PortHost> MakePortHost(std::string output, bool simulated);

}  // namespace winplat
