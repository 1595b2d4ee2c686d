#pragma once
// The station log station.jsonl: one JSON object per line, a "start" record when an update
// begins and an "end" record with its verdict when it ends, each synced to disk before the
// station goes on. A record is never left half-written.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "station/log_files.h"
#include "station/unit_identity.h"

namespace station {

enum class Verdict {
  pass,
  fail,
  interrupted,  // the update ended without a verdict of the camera's: the station's fault
};

const char* VerdictText(Verdict verdict);

// An earlier pass of the same serial number the same day: on this station, or on another one
// that the factory database knows of.
struct PriorPass {
  std::string station;  // empty: this station
  std::string port;
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
};

// Another update of a camera with the same serial number that runs at the same time.
struct SameSerial {
  std::string port;
  std::chrono::system_clock::time_point start;
};

struct AttemptTimes {
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
};

struct UpdateRecord {
  std::string port;
  std::string devicePath;  // empty: the worker never named one
  std::string hostName;
  std::string stationId;     // --station-id; empty: not given
  std::string operatorName;  // --operator; empty: not given
  std::string toolVersion;
  std::string imageSha256;
  UnitIdentity unit;                  // the camera on the port when the update started
  std::optional<UnitIdentity> after;  // the camera on the port when it ended; nullopt: none
  std::optional<PriorPass> duplicateOf;
  std::optional<SameSerial> sameSerialOn;
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
  std::vector<std::string> attempts;       // each attempt's outcome, in order
  std::vector<AttemptTimes> attemptTimes;  // the same attempts' times
  std::vector<std::string> notes;          // what is worth a look and is no verdict
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

// The day of `when` in UTC, in days since 1970-01-01.
long long UtcDay(std::chrono::system_clock::time_point when);
// "2026-12-07" of a UtcDay.
std::string DayText(long long day);

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
  // so it never holds part of a line; false then, with `Error` saying why. With rotation on, a
  // line written on another UTC day than the lines before it, or one that would take the file
  // over the size limit, first moves the file aside under its day's name (StationLogFiles).
  bool Append(const std::string& line,
              std::chrono::system_clock::time_point when = std::chrono::system_clock::now());
  // Rotation on: at each UTC day's change, and before the file would grow over `maxBytes` (0:
  // at the day's change only). Off until asked: a station that reconciles from the current
  // file alone must not rotate an update's start record away.
  void EnableRotation(long long maxBytes) {
    rotate_ = true;
    maxBytes_ = maxBytes;
  }
  const std::string& Error() const { return error_; }
  // Called with each line once it is on disk, so that the live views count what the log holds.
  void OnAppend(std::function<void(const std::string&)> observer) {
    observer_ = std::move(observer);
  }

 private:
  bool Rotate(long long day);

  int fd_ = -1;
  std::string path_;
  std::string text_;
  std::string error_;
  std::optional<long long> day_;  // the UTC day of the last line; nullopt for an empty file
  bool rotate_ = false;
  long long maxBytes_ = 0;
  std::function<void(const std::string&)> observer_;
};

}  // namespace station
