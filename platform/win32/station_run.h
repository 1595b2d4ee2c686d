#pragma once
// The Windows station's loop: reader threads, the Configuration Manager's notifications and the
// console handler post to it; it starts a worker for each camera the station takes, hands the
// workers' lines to the station, and ends the ones past the watchdog's bound.

#include <memory>
#include <optional>
#include <string>

#include "station/station_program.h"

namespace winplat {

// Ctrl-C, Ctrl-Break and a closed console stop the station: no new camera, running updates go on.
void InstallStationStopHandler();

std::unique_ptr<station::StationLoop> MakeStationLoop(
    const station::StationOptions& options, std::string output, std::string worker,
    station::Station& station, std::optional<station::SimulatedPorts> simulated);

}  // namespace winplat
