#pragma once
// The station log station.jsonl: one JSON object per finished camera, one line each, appended
// and flushed to disk before the verdict is shown.

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace station {

struct FinishedCamera {
  std::string port;
  std::string devicePath;  // empty: the worker never named one
  std::string hostName;
  std::string toolVersion;
  std::string imageSha256;
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
  std::vector<std::string> attempts;  // each attempt's outcome, in order
  bool passed = false;
  std::optional<long> requestsSent;  // nullopt: the worker did not say
  std::optional<long> requestsFailed;
  std::string reason;  // why the worker ended without its own verdict; empty when it gave one
};

// "2026-12-07T23:59:01.123Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point when);
// The text as a JSON string, quotes included.
std::string JsonString(const std::string& text);
// One record as one line of JSON, without the line end.
std::string JsonLine(const FinishedCamera& camera);

// Makes what was written to `file` durable; the platform's fsync.
using SyncFile = bool (*)(std::FILE* file);

class StationLog {
 public:
  ~StationLog();
  // Opens `path` for appending; false when it cannot be.
  bool Open(const std::string& path, SyncFile sync);
  // Writes the record's line, flushes it and syncs it to disk; false on any failure.
  bool Append(const FinishedCamera& camera);

 private:
  std::FILE* file_ = nullptr;
  SyncFile sync_ = nullptr;
};

}  // namespace station
