#pragma once
// Reading the station log back: the files it was rotated into, the recent text a restarted
// station reconciles from, and the updates that text starts and never ends.

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "station/unit_identity.h"

namespace station {

// An update whose start record has no end record after it.
struct UnendedUpdate {
  std::string port;
  std::chrono::system_clock::time_point start;
  UnitIdentity unit;  // the camera its start record names
};

// The updates that `logText` starts and never ends (the same port and start), in log order.
// Lines that are not whole records of this log are passed over.
std::vector<UnendedUpdate> FindUnended(const std::string& logText);

// The log `path` ("out/station.jsonl") and the files it was rotated into
// ("station-2026-12-07.jsonl", then "station-2026-12-07.2.jsonl", ...), oldest first, the current
// one last when it exists.
std::vector<std::string> StationLogFiles(const std::string& path);
// What a restarted station must read to reconcile and to know today's passes: the rotated files
// of the last two days on which the log was rotated, then the current log, as one text. An
// update that ran across a rotation has its start record in one of them.
std::string RecentLogText(const std::string& path);

// The folder and the name without its extension of the log `path`: "out", "station".
std::pair<std::string, std::string> FolderAndStem(const std::string& path);
// The UTC day a line of this log was written: an end record's end, a start record's start.
std::optional<long long> LogLineDay(const std::string& line);

}  // namespace station
