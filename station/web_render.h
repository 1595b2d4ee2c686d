#pragma once
// The station's web answers as text, apart from any socket: the state of the ports as JSON, the
// metrics in the Prometheus text format, the records of the log and which requests are served.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "station/web_state.h"

namespace station {

// The page's state: the counters, the banner and one object per port, in the station's order.
std::string StateJson(const WebSnapshot& snapshot);

// The metrics of the snapshot in the Prometheus text exposition format (version 0.0.4).
std::string MetricsText(const WebSnapshot& snapshot);

// What a request gets before any handler runs: 0 when it is served, else its status: 405 for a
// method that could change something, 404 for a path outside the served set.
int CheckRequest(std::string_view method, std::string_view path);

// The records of `logText` (station.jsonl's lines) written at or after `since` (an end record's
// end, a start record's start), each as the very text of its line, as one JSON array. Lines that
// are no whole record, such as one still being written, are left out.
std::string RecordsJson(std::string_view logText, std::chrono::system_clock::time_point since);

// The text of the log `logPath` and the files rotated from it that can hold records written at or
// after `since`.
std::string LogTextSince(const std::string& logPath, std::chrono::system_clock::time_point since);

// `/api/records?since=T`: T as the records write it ("2026-12-07T23:59:01.123Z"); none: the
// records of today (UTC). Nothing for a T that is no such time.
std::optional<std::string> RecordsAnswer(const std::string& logPath,
                                         const std::optional<std::string>& since,
                                         std::chrono::system_clock::time_point now);

// The figures of `reflash-station report --json` on today's (UTC) records of the log.
std::string SummaryAnswer(const std::string& logPath, std::chrono::system_clock::time_point now);

}  // namespace station
