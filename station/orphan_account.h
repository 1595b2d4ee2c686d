#pragma once
// An update that an earlier run of the station left: once its worker is gone, the account it
// left in its port's folder (worker.log) is read as if the worker had just written it.

#include <string>

#include "station/station.h"

namespace station {

// The worker's account file in its port's folder.
inline constexpr const char* WorkerAccountFile = "worker.log";

// Feeds `account` to `station` as the worker lines of `port`, and gives the end to report:
// `killed` when this station ended the worker after the watchdog's bound. The caller adds the
// worker's Result.log and the camera on the port, and calls WorkerEnded.
WorkerEnd ReplayOrphanAccount(Station& station, const std::string& port, const std::string& account,
                              bool killed);

}  // namespace station
