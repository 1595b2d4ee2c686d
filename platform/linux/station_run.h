#pragma once
// The Linux station's loop: it sleeps on the kernel's device events, the workers' pipes and the
// signals, starts a worker for each camera the station takes, reads the workers' lines, learns of
// their ends without waiting for them, and ends the ones past the watchdog's bound.

#include <memory>
#include <optional>
#include <string>

#include "station/station_program.h"

namespace linuxplat {

// Stop signals (SIGINT, SIGTERM, SIGHUP) and ended children wake the loop through a pipe; false
// when the pipe cannot be made.
bool InstallStationSignals();

std::unique_ptr<station::StationLoop> MakeStationLoop(
    const station::StationOptions& options, std::string worker, station::Station& station,
    std::optional<station::SimulatedPorts> simulated);

}  // namespace linuxplat
