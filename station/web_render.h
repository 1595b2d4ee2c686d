#pragma once
// The station's web answers as text, apart from any socket: the state of the ports as JSON, the
// metrics in the Prometheus text format, the records of the log and which requests are served.

#include <chrono>
#include <cstddef>
#include <cstdint>
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

// One answer of `/api/records` is at most this many records: kRecordsPerPage unless `limit`
// asks for fewer or more.
inline constexpr std::size_t kRecordsPerPage = 1000;
inline constexpr std::size_t kMaxRecordsPerPage = 5000;

// `/api/records?since=T&cursor=C&limit=M`: T as the records write it
// ("2026-12-07T23:59:01.123Z"; none: the records of today, UTC), at most M (1 to
// kMaxRecordsPerPage, default kRecordsPerPage) of the records written at or after T, from the
// cursor C of the page before on (none: from the first). A cursor is a byte position in the
// log's files since T's day taken in order: rotation only renames the current file, so that
// sequence only grows and a cursor stays good.
struct RecordsQuery {
  std::optional<std::string> since, cursor, limit;
};
struct RecordsPage {
  std::string json;        // a JSON array of the records, each the very text of its line
  bool more = false;       // records follow: ask again with cursor = next
  std::uint64_t next = 0;  // the cursor after this page's last record
};
// The page, read from the files a block at a time, so that an answer costs the memory of one
// page whatever the log holds; nothing for a query that is not one of the above.
std::optional<RecordsPage> RecordsAnswer(const std::string& logPath, const RecordsQuery& query,
                                         std::chrono::system_clock::time_point now);

// The figures of `reflash-station report --json` on today's (UTC) records of the log.
std::string SummaryAnswer(const std::string& logPath, std::chrono::system_clock::time_point now);

}  // namespace station
