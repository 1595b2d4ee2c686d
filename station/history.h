#pragma once
// `reflash-station history SERIAL`: every update of one unit, on any station, from the station
// logs or from the factory database; both give the same text for the same records.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "station/log_record.h"

namespace station {

class HistoryBuilder {
 public:
  // `station` non-empty: that station's updates only.
  HistoryBuilder(std::string serial, std::string station)
      : serial_(std::move(serial)), station_(std::move(station)) {}
  // One line of a log; records of other units and lines that are no record are passed over.
  void AddLine(std::string_view line);
  // One line per update, oldest first; a header line says how many on how many stations.
  std::string Text() const;
  bool Empty() const { return updates_.empty(); }

 private:
  struct Update {
    std::optional<LogRecord> start, end;
  };
  std::string serial_, station_;
  // By start, station and port: the order of the text.
  std::map<std::tuple<std::chrono::system_clock::time_point, std::string, std::string>, Update>
      updates_;
};

struct HistoryOptions {
  std::string serial;
  std::string station;  // --station
  std::string dbUrl;    // --db; empty: the paths
  std::vector<std::string> paths;
};
// The words after "history"; false with a one-line `error`.
bool ParseHistoryOptions(int argc, const char* const* argv, HistoryOptions& options,
                         std::string& error);
// The whole command over the logs; 0 with updates, 1 with none, 64 for a bad command line.
int RunFileHistory(const HistoryOptions& options);

}  // namespace station
