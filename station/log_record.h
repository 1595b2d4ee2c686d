#pragma once
// Reading the station log's records back: one line of station.jsonl into the fields that the
// report, the duplicate check and the restart's reconciliation use.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/unit_identity.h"

namespace station {

struct LogRecord {
  bool end = false;  // an end record; false: a start record
  std::string port;
  UnitIdentity unit;
  std::string host;
  std::string stationId;  // empty: none given
  std::string imageSha256;
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point endTime;  // end records only
  std::string verdict;                            // end records only
  std::vector<std::string> attempts;              // end records only
  std::string reason;                             // empty for null
  std::optional<std::uint16_t> afterBcd;  // end records: the bcdDevice of the camera as it ended
};

// One line without its line end; nullopt when it is not one whole JSON object holding a record
// of this log (a "record" of "start" or "end", a port and a start time; an end record also its
// end time and verdict).
std::optional<LogRecord> ParseLogRecord(std::string_view line);

}  // namespace station
