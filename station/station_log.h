#pragma once
// The station log station.jsonl: one JSON object per line, a "start" record when an update
// begins and an "end" record with its verdict when it ends, each synced to disk before the
// station goes on. A record is never left half-written.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station {

enum class Verdict {
  pass,
  fail,
  interrupted,  // the update ended without a verdict of the camera's: the station's fault
};

const char* VerdictText(Verdict verdict);

struct UpdateRecord {
  std::string port;
  std::string devicePath;  // empty: the worker never named one
  std::string hostName;
  std::string toolVersion;
  std::string imageSha256;
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
  std::vector<std::string> attempts;  // each attempt's outcome, in order
  Verdict verdict = Verdict::fail;
  std::optional<long> requestsSent;  // nullopt: the worker did not say
  std::optional<long> requestsFailed;
  std::string reason;  // why the worker ended without its own verdict; empty when it gave one
};

// "2026-12-07T23:59:01.123Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point when);
// The time a UtcTimestamp names; nullopt for any other text.
std::optional<std::chrono::system_clock::time_point> ParseUtcTimestamp(const std::string& text);
// The text as a JSON string, quotes included.
std::string JsonString(const std::string& text);
// The start record of an update, as one line of JSON without the line end.
std::string StartLine(const UpdateRecord& update);
// The end record of an update, as one line of JSON without the line end.
std::string JsonLine(const UpdateRecord& update);

// An update whose start record has no end record after it.
struct UnendedUpdate {
  std::string port;
  std::chrono::system_clock::time_point start;
};

// The updates that `logText` starts and never ends (the same port and start), in log order.
// Lines that are not records of this log are passed over.
std::vector<UnendedUpdate> FindUnended(const std::string& logText);

class StationLog {
 public:
  StationLog() = default;
  StationLog(const StationLog&) = delete;
  StationLog& operator=(const StationLog&) = delete;
  ~StationLog();
  // Opens `path` for appending, not inherited by the workers; a last line cut short by an
  // earlier crash is cut away. False when it cannot be opened.
  bool Open(const std::string& path);
  // The whole text of the log as it was opened.
  const std::string& Text() const { return text_; }
  // Writes one line and syncs it to disk. On any failure the file is cut back to where it was,
  // so it never holds part of a line; false then, with `Error` saying why.
  bool Append(const std::string& line);
  const std::string& Error() const { return error_; }

 private:
  int fd_ = -1;
  std::string text_;
  std::string error_;
};

}  // namespace station
