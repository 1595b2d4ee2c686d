#include "station/web_render.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

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
  for (const auto& [key, count] : tally.cameras) {
    const auto& [port, verdict, cause] = key;
    text.append("reflash_station_cameras_total{port=\"").append(Label(port));
    text.append("\",verdict=\"").append(Label(verdict)).append("\",cause=\"").append(Label(cause));
    text.append("\"} ").append(std::to_string(count)).append("\n");
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

std::string RecordsJson(std::string_view logText, std::chrono::system_clock::time_point since) {
  std::string json = "[";
  std::size_t start = 0;
  for (std::size_t end; (end = logText.find('\n', start)) != std::string_view::npos;
       start = end + 1) {
    const std::string_view line = logText.substr(start, end - start);
    const auto record = ParseLogRecord(line);
    if (record && (record->end ? record->endTime : record->start) >= since) {
      json.append(json.size() == 1 ? "" : ",\n").append(line);
    }
  }
  return json + "]\n";
}

std::string LogTextSince(const std::string& logPath, std::chrono::system_clock::time_point since) {
  const std::string stem = logPath.substr(logPath.find_last_of("/\\") + 1);
  const std::string rotatedPrefix = stem.substr(0, stem.rfind('.')) + "-";
  const std::string firstDay = DayText(UtcDay(since));
  std::string text;
  for (const std::string& file : StationLogFiles(logPath)) {
    // A rotated file holds the lines of the day in its name: older days need no reading.
    const std::string name = file.substr(file.find_last_of("/\\") + 1);
    if (name != stem && name.compare(rotatedPrefix.size(), 10, firstDay) < 0) {
      continue;
    }
    text += ReadWhole(file);
    if (file != logPath && !text.empty() && text.back() != '\n') {
      text += '\n';
    }
  }
  return text;
}

std::optional<std::string> RecordsAnswer(const std::string& logPath,
                                         const std::optional<std::string>& since,
                                         std::chrono::system_clock::time_point now) {
  const auto from = since ? ParseUtcTimestamp(*since) : DayStart(now);
  if (!from) {
    return std::nullopt;
  }
  return RecordsJson(LogTextSince(logPath, *from), *from);
}

std::string SummaryAnswer(const std::string& logPath, std::chrono::system_clock::time_point now) {
  ReportOptions options;
  options.since = DayStart(now);
  ReportBuilder builder(options);
  builder.AddText(logPath, LogTextSince(logPath, *options.since));
  return ReportJson(builder.Finish());
}

}  // namespace station
