#include "station/history.h"

#include <cstdio>
#include <fstream>
#include <set>

#include "station/station_log.h"
#include "station/station_options.h"
#include "station/station_report.h"

namespace station {
namespace {

std::string StationOf(const LogRecord& record) {
  return record.stationId.empty() ? record.host : record.stationId;
}

// A text of the log's fields for a terminal: control bytes and bytes outside ASCII escaped.
std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      shown += hex;
    }
  }
  return shown;
}

}  // namespace

void HistoryBuilder::AddLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  auto record = ParseLogRecord(line);
  if (!record || record->unit.serial != serial_ ||
      (!station_.empty() && StationOf(*record) != station_)) {
    return;
  }
  Update& update = updates_[{record->start, StationOf(*record), record->port}];
  (record->end ? update.end : update.start) = std::move(*record);
}

std::string HistoryBuilder::Text() const {
  std::set<std::string> stations;
  for (const auto& [key, update] : updates_) {
    stations.insert(std::get<1>(key));
  }
  std::string text = "serial " + Shown(serial_) + ": " + std::to_string(updates_.size()) +
                     (updates_.size() == 1 ? " update" : " updates") + " on " +
                     std::to_string(stations.size()) +
                     (stations.size() == 1 ? " station\n" : " stations\n");
  for (const auto& [key, update] : updates_) {
    const auto& [start, station, port] = key;
    const LogRecord& any = update.end ? *update.end : *update.start;
    text += UtcTimestamp(start) + "  station " + Shown(station) + "  port " + Shown(port) + "  ";
    if (update.end) {
      text += update.end->verdict + "  ended " + UtcTimestamp(update.end->endTime);
    } else {
      text += "no end record";
    }
    const auto bcd = [](const std::optional<std::uint16_t>& value) {
      return value ? BcdText(*value) : std::string("?");
    };
    text += "  bcdDevice " + bcd(any.unit.bcdDevice);
    if (update.end) {
      text += " -> " + bcd(update.end->afterBcd);
    }
    text += "  image " + Shown(any.imageSha256.substr(0, 12));
    if (update.end && update.end->verdict != "pass") {
      text += "  (" + Shown(FailureCause(*update.end)) + ")";
    }
    text += "\n";
  }
  return text;
}

bool ParseHistoryOptions(int argc, const char* const* argv, HistoryOptions& options,
                         std::string& error) {
  std::vector<const char*> rest;
  if (!TakeDatabaseOptions(argc, argv, options.dbUrl, options.station, rest, error)) {
    return false;
  }
  bool serialGiven = false;
  for (const std::string word : rest) {
    if (!word.empty() && word[0] == '-') {
      error = "unknown option '" + word + "'";
      return false;
    }
    if (!serialGiven) {
      options.serial = word;
      serialGiven = true;
    } else {
      options.paths.push_back(word);
    }
  }
  if (!serialGiven) {
    error = "name the serial number";
  } else if (options.dbUrl.empty() && options.paths.empty()) {
    error = "name the logs, or the database with --db URL";
  } else if (!options.dbUrl.empty() && !options.paths.empty()) {
    error = "give either --db URL or the logs, not both";
  }
  return error.empty();
}

int RunFileHistory(const HistoryOptions& options) {
  HistoryBuilder builder(options.serial, options.station);
  const auto files = ReportFiles(options.paths);
  if (files.empty()) {
    std::fprintf(stderr, "reflash-station history: no station log in the paths named\n");
    return ExitUsage;
  }
  for (const std::string& path : files) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "reflash-station history: cannot read %s\n", path.c_str());
      return ExitUsage;
    }
    for (std::string line; std::getline(file, line);) {
      builder.AddLine(line);
    }
  }
  const std::string text = builder.Text();
  std::fwrite(text.data(), 1, text.size(), stdout);
  return builder.Empty() ? 1 : 0;
}

}  // namespace station
