#include "station/station_report.h"
// The report's three forms: a text for the operator, CSV and JSON for other programs; the
// figures themselves are gathered in station_report.cpp.

#include <algorithm>
#include <cstdio>

#include "station/station_log.h"

namespace station {
namespace {

double Rate(long part, long whole) {
  return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

std::string Percent(long part, long whole) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", Rate(part, whole));
  return text;
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Pad(const std::string& text, std::size_t width, bool right = false) {
  const std::string fill(width > text.size() ? width - text.size() : 0, ' ');
  return right ? fill + text : text + fill;
}

// A text of the log as a terminal or a spreadsheet may show it: control characters escaped as
// JSON escapes them, so that a tampered log can move no cursor.
std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string CsvField(const std::string& raw) {
  std::string text = Shown(raw);
  if (text.find_first_of(",\"\n\r") == std::string::npos) {
    return text;
  }
  std::string quoted = "\"";
  for (const char c : text) {
    quoted += c == '"' ? "\"\"" : std::string(1, c);
  }
  return quoted + "\"";
}

std::string JsonTally(const Tally& tally) {
  return "{\"updates\": " + std::to_string(tally.updates) +
         ", \"passes\": " + std::to_string(tally.passes) +
         ", \"fails\": " + std::to_string(tally.fails) +
         ", \"yield\": " + Fixed(Rate(tally.passes, tally.updates) / 100.0, 4) +
         ", \"failureRate\": " + Fixed(Rate(tally.fails, tally.updates) / 100.0, 4) + "}";
}

std::string JsonNumberOrNull(const std::optional<double>& value) {
  return value ? Fixed(*value, 3) : "null";
}

template <typename Map, typename Each>
std::string JsonObject(const Map& map, Each each) {
  std::string text = "{";
  for (const auto& [key, value] : map) {
    text += (text.size() > 1 ? ", " : "") + JsonString(key) + ": " + each(value);
  }
  return text + "}";
}

}  // namespace

std::string ReportText(const Report& report) {
  const Tally& total = report.total;
  std::string text = "updates            " + std::to_string(total.updates) + " in " +
                     (!report.source.empty() ? report.source + "\n"
                                             : std::to_string(report.files) +
                                                   (report.files == 1 ? " log\n" : " logs\n"));
  text += "cameras            " + std::to_string(report.cameras) + "\n";
  text += "passes             " + std::to_string(total.passes) + " (" +
          Percent(total.passes, total.updates) + " of the updates)\n";
  text += "first-pass yield   " + Percent(report.firstPassCameras, report.cameras) + " (" +
          std::to_string(report.firstPassCameras) + " of " + std::to_string(report.cameras) +
          " cameras passed their first update)\n";
  text += "failures by cause" + std::string(report.causes.empty() ? "  none\n" : "\n");
  for (const auto& [cause, count] : report.causes) {
    text += "  " + Pad(std::to_string(count), 8, true) + "  " + Shown(cause) + "\n";
  }
  const auto table = [&](const std::string& title, const auto& rows) {
    std::size_t width = title.size();
    for (const auto& [name, tally] : rows) {
      width = std::max(width, Shown(name).size());
    }
    text += Pad(title, width + 2) + " updates   passes    yield  failures\n";
    for (const auto& [name, tally] : rows) {
      text += "  " + Pad(Shown(name), width) + Pad(std::to_string(tally.updates), 9, true) +
              Pad(std::to_string(tally.passes), 9, true) +
              Pad(Percent(tally.passes, tally.updates), 9, true) +
              Pad(Percent(tally.fails, tally.updates), 10, true) + "\n";
    }
  };
  table("per port", report.ports);
  std::string outliers;
  for (const std::string& port : report.outliers) {
    outliers.append(outliers.empty() ? "" : ", ").append(Shown(port));
  }
  text += "  failure rate standing out: " + (outliers.empty() ? "none" : outliers) + "\n";
  table("per day (UTC)", report.days);
  table("per image (SHA-256)", report.images);
  text += "update duration    ";
  text += report.maxSeconds ? "median " + Fixed(*report.medianSeconds, 1) + " s, 95th percentile " +
                                  Fixed(*report.p95Seconds, 1) + " s, maximum " +
                                  Fixed(*report.maxSeconds, 1) + " s\n"
                            : "none\n";
  text += "serial numbers seen more than once" +
          std::string(report.repeated.empty() ? "  none\n" : "\n");
  for (const RepeatedSerial& repeated : report.repeated) {
    std::string ports;
    for (const std::string& port : repeated.ports) {
      ports.append(ports.empty() ? "" : " ").append(Shown(port));
    }
    text += "  " + Shown(repeated.serial) + "  " + std::to_string(repeated.updates) +
            " updates on " + ports + "\n";
  }
  text += "broken lines       " + std::to_string(report.brokenCount) + "\n";
  for (const BrokenLine& line : report.broken) {
    text += "  " + Shown(line.file) + ":" + std::to_string(line.line) + "\n";
  }
  if (report.brokenCount > static_cast<long>(report.broken.size())) {
    text += "  and " +
            std::to_string(report.brokenCount - static_cast<long>(report.broken.size())) +
            " more\n";
  }
  return text;
}

std::string ReportCsv(const Report& report) {
  std::string csv = "section,name,updates,passes,fails,yield,failure_rate,value\n";
  const auto row = [&](const std::string& section, const std::string& name, const Tally& tally,
                       const std::string& value) {
    csv += section + "," + CsvField(name) + "," + std::to_string(tally.updates) + "," +
           std::to_string(tally.passes) + "," + std::to_string(tally.fails) + "," +
           Fixed(Rate(tally.passes, tally.updates) / 100.0, 4) + "," +
           Fixed(Rate(tally.fails, tally.updates) / 100.0, 4) + "," + CsvField(value) + "\n";
  };
  const auto value = [&](const std::string& section, const std::string& name,
                         const std::string& text) {
    csv += section + "," + CsvField(name) + ",,,,,," + CsvField(text) + "\n";
  };
  row("total", "updates", report.total, "");
  value("total", "cameras", std::to_string(report.cameras));
  value("total", "first_pass_yield",
        Fixed(Rate(report.firstPassCameras, report.cameras) / 100.0, 4));
  for (const auto& [cause, count] : report.causes) {
    value("cause", cause, std::to_string(count));
  }
  for (const auto& [port, tally] : report.ports) {
    const bool outlier =
        std::find(report.outliers.begin(), report.outliers.end(), port) != report.outliers.end();
    row("port", port, tally, outlier ? "stands out" : "");
  }
  for (const auto& [day, tally] : report.days) {
    row("day", day, tally, "");
  }
  for (const auto& [image, tally] : report.images) {
    row("image", image, tally, "");
  }
  if (report.maxSeconds) {
    value("duration_s", "median", Fixed(*report.medianSeconds, 3));
    value("duration_s", "p95", Fixed(*report.p95Seconds, 3));
    value("duration_s", "max", Fixed(*report.maxSeconds, 3));
  }
  for (const RepeatedSerial& repeated : report.repeated) {
    value("repeated_serial", repeated.serial, std::to_string(repeated.updates));
  }
  value("broken", "lines", std::to_string(report.brokenCount));
  for (const BrokenLine& line : report.broken) {
    value("broken", line.file, std::to_string(line.line));
  }
  return csv;
}

std::string ReportJson(const Report& report) {
  std::string causes = JsonObject(report.causes, [](long n) { return std::to_string(n); });
  std::string outliers = "[";
  for (const std::string& port : report.outliers) {
    outliers += (outliers.size() > 1 ? ", " : "") + JsonString(port);
  }
  std::string repeated = "[";
  for (const RepeatedSerial& serial : report.repeated) {
    std::string ports = "[";
    for (const std::string& port : serial.ports) {
      ports += (ports.size() > 1 ? ", " : "") + JsonString(port);
    }
    repeated += (repeated.size() > 1 ? ", " : "") + std::string("{\"serial\": ") +
                JsonString(serial.serial) + ", \"updates\": " + std::to_string(serial.updates) +
                ", \"ports\": " + ports + "]}";
  }
  std::string broken = "[";
  for (const BrokenLine& line : report.broken) {
    broken += (broken.size() > 1 ? ", " : "") + std::string("{\"file\": ") + JsonString(line.file) +
              ", \"line\": " + std::to_string(line.line) + "}";
  }
  return "{\"files\": " + std::to_string(report.files) +
         ", \"cameras\": " + std::to_string(report.cameras) +
         ", \"firstPassCameras\": " + std::to_string(report.firstPassCameras) +
         ", \"firstPassYield\": " +
         Fixed(Rate(report.firstPassCameras, report.cameras) / 100.0, 4) +
         ", \"total\": " + JsonTally(report.total) + ", \"causes\": " + causes +
         ", \"ports\": " + JsonObject(report.ports, JsonTally) + ", \"outliers\": " + outliers +
         "], \"days\": " + JsonObject(report.days, JsonTally) +
         ", \"images\": " + JsonObject(report.images, JsonTally) +
         ", \"durationSeconds\": {\"median\": " + JsonNumberOrNull(report.medianSeconds) +
         ", \"p95\": " + JsonNumberOrNull(report.p95Seconds) +
         ", \"max\": " + JsonNumberOrNull(report.maxSeconds) +
         "}, \"repeatedSerials\": " + repeated +
         "], \"brokenLines\": {\"count\": " + std::to_string(report.brokenCount) +
         ", \"first\": " + broken + "]}}\n";
}

}  // namespace station
