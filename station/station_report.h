#pragma once
// `reflash-station report`: the figures of a line from its station logs (the current one and the
// ones rotated from it): cameras, yield, failures by cause, per port, per day, per image,
// update durations and serial numbers seen more than once.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "station/log_record.h"
#include "station/port_order.h"

namespace station {

struct ReportOptions {
  enum class Format { text, csv, json };
  Format format = Format::text;
  std::optional<std::chrono::system_clock::time_point> since;  // updates started at or after
  std::optional<std::chrono::system_clock::time_point> until;  // updates started before
  std::vector<std::string> paths;  // logs, or folders holding station.jsonl and its rotations
  bool fromDatabase = false;       // --db: the records come from the factory database
};

// Parses the words after "report"; false with a one-line `error`.
bool ParseReportOptions(int argc, const char* const* argv, ReportOptions& options,
                        std::string& error);

struct Tally {
  long updates = 0;
  long passes = 0;
  long fails = 0;  // the camera's failures; interrupted updates are neither
};

struct BrokenLine {
  std::string file;
  long line = 0;
};

struct RepeatedSerial {
  std::string serial;
  long updates = 0;
  std::vector<std::string> ports;  // in the order of their first update's start
};

struct Report {
  long files = 0;
  std::string source;  // where the records came from when not from files ("the database")
  long cameras = 0;
  long firstPassCameras = 0;  // cameras whose first update in the range passed
  Tally total;
  std::map<std::string, long> causes;             // of the updates that did not pass
  std::map<std::string, Tally, PortOrder> ports;  // in natural order: 1-1.2 before 1-1.10
  std::vector<std::string> outliers;  // ports whose failure rate stands out from the others'
  std::map<std::string, Tally> days;  // "2026-12-07" (UTC) of the update's start
  std::map<std::string, Tally> images;
  std::optional<double> medianSeconds, p95Seconds, maxSeconds;
  std::vector<RepeatedSerial> repeated;
  long brokenCount = 0;
  std::vector<BrokenLine> broken;  // the first ones, named
};

// Why an update did not pass, in a few words that group alike failures.
std::string FailureCause(const LogRecord& record);

// Gathers the figures record by record.
class ReportBuilder {
 public:
  explicit ReportBuilder(const ReportOptions& options) : options_(options) {}
  // Every line of the text of the log `name`.
  void AddText(const std::string& name, std::string_view text);
  // One line of a log that is no file of its own (a record the database gave back).
  void AddRecord(const std::string& name, std::string_view line) {
    AddLine(name, ++records_, line);
  }
  // The file `path` read in pieces; false when it cannot be read.
  bool AddFile(const std::string& path);
  Report Finish();

 private:
  struct Camera {
    std::chrono::system_clock::time_point firstStart;
    bool firstPassed = false;
    long updates = 0;
    // Its ports and the start of each one's first update.
    std::vector<std::pair<std::chrono::system_clock::time_point, std::string>> ports;
  };
  void AddLine(const std::string& name, long number, std::string_view line);

  ReportOptions options_;
  Report report_;
  std::unordered_map<std::string, Camera> cameras_;
  long long lastDay_ = -1;  // DayText of the last record's day, kept: days repeat in runs
  std::string lastDayText_;
  long unnamedCameras_ = 0;  // updates of cameras without a serial number: one camera each
  long unnamedFirstPasses_ = 0;
  std::vector<std::int64_t> durationsMs_;
  long records_ = 0;
};

// The logs that the paths name: a file itself, a folder its station.jsonl and rotations.
std::vector<std::string> ReportFiles(const std::vector<std::string>& paths);

std::string ReportText(const Report& report);
std::string ReportCsv(const Report& report);
std::string ReportJson(const Report& report);

// The whole command: prints the report; the exit status (64 for a bad command line or a log that
// cannot be read).
int RunReport(int argc, const char* const* argv);

}  // namespace station
