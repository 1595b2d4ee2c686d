#include "station/web_render.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <tuple>
#include <vector>

#include "product/product.h"
#include "station/log_record.h"
#include "station/station_log.h"
#include "station/station_report.h"

namespace station {
namespace {

std::string Bool(bool value) {
  return value ? "true" : "false";
}

std::string TileJson(const WebTile& tile) {
  std::string json = "{\"port\": " + JsonString(tile.port);
  json.append(", \"state\": ").append(JsonString(tile.state));
  json.append(", \"present\": ").append(Bool(tile.present));
  json.append(", \"progress\": ").append(std::to_string(tile.progress));
  json.append(", \"attempt\": ").append(std::to_string(tile.attempt));
  json.append(", \"elapsedSeconds\": ").append(std::to_string(tile.elapsedSeconds));
  json.append(", \"text\": ").append(JsonString(tile.text));
  json.append(", \"colour\": ").append(JsonString(tile.colour));
  json.append(", \"verdict\": ").append(tile.verdict.empty() ? "null" : JsonString(tile.verdict));
  json.append(", \"serial\": ").append(tile.serial.empty() ? "null" : JsonString(tile.serial));
  json.append(", \"cause\": ").append(tile.cause.empty() ? "null" : JsonString(tile.cause));
  json.append(", \"duplicate\": ")
      .append(tile.duplicate.empty() ? "null" : JsonString(tile.duplicate));
  return json + "}";
}

// A label value of the text format: backslash, double quote and line feed escaped.
std::string Label(const std::string& value) {
  std::string text;
  for (const char c : value) {
    if (c == '\\' || c == '"') {
      text += '\\';
      text += c;
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  return text;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

std::string Header(const char* name, const char* type, const char* help) {
  std::string text = "# HELP ";
  return text.append(name)
      .append(" ")
      .append(help)
      .append("\n# TYPE ")
      .append(name)
      .append(" ")
      .append(type)
      .append("\n");
}

std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::chrono::system_clock::time_point DayStart(std::chrono::system_clock::time_point when) {
  return std::chrono::system_clock::time_point(std::chrono::days(UtcDay(when)));
}

}  // namespace

std::string StateJson(const WebSnapshot& snapshot) {
  std::string json = "{\"passed\": " + std::to_string(snapshot.passed);
  json.append(", \"failed\": ").append(std::to_string(snapshot.failed));
  json.append(", \"faults\": ").append(std::to_string(snapshot.faults));
  json.append(", \"running\": ").append(std::to_string(snapshot.running));
  json.append(", \"waiting\": ").append(std::to_string(snapshot.waiting));
  json.append(", \"stopping\": ").append(Bool(snapshot.stopping));
  json.append(", \"logFailed\": ").append(Bool(snapshot.logFailed));
  json.append(", \"banner\": ").append(JsonString(snapshot.banner));
  json.append(", \"records\": ").append(std::to_string(snapshot.tally.records));
  json.append(", \"maxAttempts\": ").append(std::to_string(MaxAttempts));
  if (const ShipperStatus& shipper = snapshot.shipper; shipper.enabled) {
    json.append(", \"shipper\": {\"up\": ").append(Bool(shipper.up));
    json.append(", \"lag\": ").append(std::to_string(shipper.lag));
    json.append(", \"shipped\": ").append(std::to_string(shipper.shipped));
    json.append(", \"errors\": ").append(std::to_string(shipper.errors));
    json.append(", \"rejected\": ").append(std::to_string(shipper.rejected));
    json.append(", \"error\": ").append(JsonString(shipper.error));
    json.append(", \"rejectedLine\": ").append(JsonString(shipper.rejectedLine));
    json.append(", \"where\": ").append(JsonString(shipper.where)).append("}");
  }
  json.append(", \"ports\": [");
  for (std::size_t i = 0; i < snapshot.tiles.size(); ++i) {
    json.append(i == 0 ? "" : ", ").append(TileJson(snapshot.tiles[i]));
  }
  return json + "]}";
}

std::string MetricsText(const WebSnapshot& snapshot) {
  const WebTally& tally = snapshot.tally;
  std::string text = Header("reflash_station_cameras_total", "counter",
                            "Updates this station ended since it started, by port, verdict "
                            "(pass, fail, interrupted) and cause of the failure.");
  // Every port's pass and fail series from the start, at 0 until counted: a rate over an hour
  // (the alerts) misses a series' first count when it appears with it.
  auto cameras = tally.cameras;
  auto firstUpdates = tally.firstUpdates;
  for (const WebTile& tile : snapshot.tiles) {
    cameras.try_emplace({tile.port, "pass", ""}, 0);
    for (const char* verdict : {"pass", "fail"}) {
      firstUpdates.try_emplace({tile.port, verdict}, 0);
    }
  }
  for (const auto& [key, count] : cameras) {
    const auto& [port, verdict, cause] = key;
    text.append("reflash_station_cameras_total{port=\"").append(Label(port));
    text.append("\",verdict=\"").append(Label(verdict)).append("\",cause=\"").append(Label(cause));
    text.append("\"} ").append(std::to_string(count)).append("\n");
  }
  text += Header("reflash_station_first_updates_total", "counter",
                 "Updates of a camera this station had not updated before the same UTC day, by "
                 "port and verdict: the pass share is the first-pass yield.");
  for (const auto& [key, count] : firstUpdates) {
    text.append("reflash_station_first_updates_total{port=\"").append(Label(key.first));
    text.append("\",verdict=\"").append(Label(key.second)).append("\"} ");
    text.append(std::to_string(count)).append("\n");
  }
  text += Header("reflash_station_updates_running", "gauge", "Updates running now.");
  text.append("reflash_station_updates_running ").append(std::to_string(snapshot.running));
  text += "\n";
  text += Header("reflash_station_update_duration_seconds", "histogram",
                 "Time from an update's start record to its end record.");
  long cumulative = 0;
  for (std::size_t i = 0; i <= kDurationBuckets.size(); ++i) {
    cumulative += tally.durationCounts[i];
    const std::string bound = i < kDurationBuckets.size() ? Number(kDurationBuckets[i]) : "+Inf";
    text.append("reflash_station_update_duration_seconds_bucket{le=\"").append(bound);
    text.append("\"} ").append(std::to_string(cumulative)).append("\n");
  }
  text.append("reflash_station_update_duration_seconds_sum ").append(Number(tally.durationSum));
  text.append("\nreflash_station_update_duration_seconds_count ");
  text.append(std::to_string(cumulative)).append("\n");
  text += Header("reflash_station_faults_total", "counter",
                 "Station faults: ports the station could not prepare, interrupted updates.");
  text.append("reflash_station_faults_total ").append(std::to_string(snapshot.faults));
  text += "\n";
  text += Header("reflash_station_log_failed", "gauge",
                 "1 when the station log could not be written and the station stopped.");
  text.append("reflash_station_log_failed ").append(snapshot.logFailed ? "1\n" : "0\n");
  text += Header("reflash_station_stopping", "gauge", "1 while the station takes no new camera.");
  text.append("reflash_station_stopping ").append(snapshot.stopping ? "1\n" : "0\n");
  if (const ShipperStatus& shipper = snapshot.shipper; shipper.enabled) {
    for (const auto& [name, type, help, value] :
         std::initializer_list<std::tuple<const char*, const char*, const char*, long long>>{
             {"reflash_station_shipper_up", "gauge",
              "1 while the factory database takes this station's records.", shipper.up ? 1 : 0},
             {"reflash_station_shipper_lag_records", "gauge",
              "Records in the station log that the factory database does not have yet.",
              shipper.lag},
             {"reflash_station_shipper_shipped_total", "counter",
              "Records sent to the factory database since the station started.", shipper.shipped},
             {"reflash_station_shipper_errors_total", "counter",
              "Failed attempts to reach or write the factory database.", shipper.errors},
             {"reflash_station_shipper_rejected_total", "counter",
              "Records the factory database refused; kept in reflash_rejected and the log.",
              shipper.rejected}}) {
      text += Header(name, type, help);
      text.append(name).append(" ").append(std::to_string(value)).append("\n");
    }
  }
  return text;
}

int CheckRequest(std::string_view method, std::string_view path) {
  if (method != "GET" && method != "HEAD") {
    return 405;
  }
  static constexpr std::string_view kServed[] = {
      "/", "/events", "/api/ports", "/api/records", "/api/summary", "/metrics"};
  return std::find(std::begin(kServed), std::end(kServed), path) != std::end(kServed) ? 0 : 404;
}

namespace {

// Hands each whole line of `text` that is a record written at or after `since` to `take`, which
// returns false to stop.
template <typename Take>
bool ForEachRecordLine(std::string_view text, std::chrono::system_clock::time_point since,
                       Take&& take) {
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    const std::string_view line = text.substr(start, end - start);
    const auto record = ParseLogRecord(line);
    if (record && (record->end ? record->endTime : record->start) >= since && !take(line)) {
      return false;
    }
  }
  return true;
}

// The files of the log that can hold lines written at or after `since`, oldest first.
std::vector<std::string> LogFilesSince(const std::string& logPath,
                                       std::chrono::system_clock::time_point since) {
  const std::string stem = logPath.substr(logPath.find_last_of("/\\") + 1);
  const std::string rotatedPrefix = stem.substr(0, stem.rfind('.')) + "-";
  const std::string firstDay = DayText(UtcDay(since));
  std::vector<std::string> files;
  for (const std::string& file : StationLogFiles(logPath)) {
    // A rotated file holds the lines of the day in its name: older days need no reading.
    const std::string name = file.substr(file.find_last_of("/\\") + 1);
    if (name == stem || name.compare(rotatedPrefix.size(), 10, firstDay) >= 0) {
      files.push_back(file);
    }
  }
  return files;
}

// Hands the record lines of the file at `path`, from byte `from` on, to `take` with the byte
// after each line, as ForEachRecordLine does, reading a block at a time: a line longer than a
// block is no record of this log and is passed over.
template <typename Take>
bool ForEachRecordLineOfFile(const std::string& path, std::uint64_t from,
                             std::chrono::system_clock::time_point since, Take&& take) {
  constexpr std::size_t kBlock = 1 << 16;
  std::ifstream file(path, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(from));
  std::uint64_t at = from;  // the byte after what `pending` holds
  std::string pending;
  std::vector<char> block(kBlock);
  bool skipping = false;  // inside a line over the bound
  while (file) {
    file.read(block.data(), static_cast<std::streamsize>(block.size()));
    std::string_view got(block.data(), static_cast<std::size_t>(file.gcount()));
    while (!got.empty()) {
      const auto newline = got.find('\n');
      const std::string_view piece = got.substr(0, newline);
      at += piece.size();
      if (!skipping) {
        pending.append(piece);
      }
      if (newline == std::string_view::npos) {
        skipping = skipping || pending.size() > kBlock;
        if (skipping) {
          pending.clear();
        }
        break;
      }
      ++at;
      if (!skipping) {
        pending += '\n';
        const auto taken = [&](std::string_view line) { return take(line, at); };
        if (!ForEachRecordLine(pending, since, taken)) {
          return false;
        }
      }
      pending.clear();
      skipping = false;
      got.remove_prefix(newline + 1);
    }
  }
  return true;  // a last line without its end is still being written: no record yet
}

}  // namespace

std::string RecordsJson(std::string_view logText, std::chrono::system_clock::time_point since) {
  std::string json = "[";
  ForEachRecordLine(logText, since, [&json](std::string_view line) {
    json.append(json.size() == 1 ? "" : ",\n").append(line);
    return true;
  });
  return json + "]\n";
}

std::string LogTextSince(const std::string& logPath, std::chrono::system_clock::time_point since) {
  std::string text;
  for (const std::string& file : LogFilesSince(logPath, since)) {
    text += ReadWhole(file);
    if (file != logPath && !text.empty() && text.back() != '\n') {
      text += '\n';
    }
  }
  return text;
}

std::optional<RecordsPage> RecordsAnswer(const std::string& logPath, const RecordsQuery& query,
                                         std::chrono::system_clock::time_point now) {
  const auto from = query.since ? ParseUtcTimestamp(*query.since) : DayStart(now);
  const auto number = [](const std::optional<std::string>& text, std::uint64_t fallback) {
    if (!text) {
      return std::optional<std::uint64_t>(fallback);
    }
    if (text->empty() || text->size() > 15 ||
        text->find_first_not_of("0123456789") != std::string::npos) {
      return std::optional<std::uint64_t>();
    }
    return std::optional<std::uint64_t>(std::stoull(*text));
  };
  const auto cursor = number(query.cursor, 0);
  const auto limit = number(query.limit, kRecordsPerPage);
  if (!from || !cursor || !limit || *limit == 0 || *limit > kMaxRecordsPerPage) {
    return std::nullopt;
  }
  RecordsPage page;
  page.json = "[";
  std::uint64_t taken = 0;
  std::uint64_t base = 0;  // where the file being read begins in the files' sequence
  const auto take = [&](std::string_view line, std::uint64_t after) {
    if (taken == *limit) {
      page.more = true;  // one more record is all it takes to know
      return false;
    }
    page.json.append(taken++ == 0 ? "" : ",\n").append(line);
    page.next = base + after;
    return true;
  };
  page.next = *cursor;
  for (const std::string& file : LogFilesSince(logPath, *from)) {
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(file, ec);
    if (ec || base + size <= *cursor) {
      base += ec ? 0 : size;
      continue;
    }
    if (!ForEachRecordLineOfFile(file, *cursor > base ? *cursor - base : 0, *from, take)) {
      break;
    }
    base += size;
  }
  page.json += "]\n";
  return page;
}

std::string SummaryAnswer(const std::string& logPath, std::chrono::system_clock::time_point now) {
  ReportOptions options;
  options.since = DayStart(now);
  ReportBuilder builder(options);
  builder.AddText(logPath, LogTextSince(logPath, *options.since));
  return ReportJson(builder.Finish());
}

}  // namespace station
