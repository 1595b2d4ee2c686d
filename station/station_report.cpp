#include "station/station_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>

#include "station/station_log.h"
#include "station/station_options.h"

namespace station {
namespace {

constexpr std::size_t kNamedBrokenLines = 20;

// "2026-12-07", "2026-12-07T10:00:00Z" or "2026-12-07T10:00:00.000Z"; a bare day taken as
// its end when `dayEnd`.
std::optional<std::chrono::system_clock::time_point> ReportTime(std::string text, bool dayEnd) {
  if (text.size() == 10) {
    const auto day = ParseUtcTimestamp(text + "T00:00:00.000Z");
    return day && dayEnd ? std::optional(*day + std::chrono::days(1)) : day;
  }
  if (text.size() == 20 && text.back() == 'Z') {
    text.insert(19, ".000");
  }
  return ParseUtcTimestamp(text);
}

// The nearest-rank percentile of sorted values.
double Percentile(const std::vector<std::int64_t>& sorted, double percent) {
  const auto rank =
      static_cast<std::size_t>(std::ceil(percent / 100.0 * static_cast<double>(sorted.size())));
  return static_cast<double>(sorted[std::max<std::size_t>(rank, 1) - 1]) / 1000.0;
}

// A port's failures stand out when they exceed what the other ports' rate predicts by more
// than three standard deviations, and are at least three: chance alone rarely does that.
std::vector<std::string> Outliers(const std::map<std::string, Tally, PortOrder>& ports,
                                  const Tally& total) {
  std::vector<std::string> outliers;
  for (const auto& [port, tally] : ports) {
    const long otherUpdates = total.updates - tally.updates;
    if (tally.fails < 3 || otherUpdates <= 0) {
      continue;
    }
    const double otherRate =
        std::max(static_cast<double>(total.fails - tally.fails), 0.5) / otherUpdates;
    const double expected = otherRate * tally.updates;
    const double spread = std::sqrt(expected * (1.0 - std::min(otherRate, 0.99)));
    if (tally.fails > expected + 3.0 * spread) {
      outliers.push_back(port);
    }
  }
  return outliers;
}

}  // namespace

std::string FailureCause(const LogRecord& record) {
  if (!record.reason.empty()) {
    std::string reason = record.reason.substr(0, record.reason.find_first_of(":("));
    while (!reason.empty() && reason.back() == ' ') {
      reason.pop_back();
    }
    return record.verdict == "interrupted" ? "interrupted: " + reason : reason;
  }
  if (record.verdict == "interrupted") {
    return "interrupted";
  }
  return record.attempts.empty() ? std::string("fail") : record.attempts.back();
}

bool ParseReportOptions(int argc, const char* const* argv, ReportOptions& options,
                        std::string& error) {
  for (int i = 0; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--csv" || name == "--json") {
      options.format = name == "--csv" ? ReportOptions::Format::csv : ReportOptions::Format::json;
    } else if (name == "--since" || name == "--until") {
      const auto when = i + 1 < argc ? ReportTime(argv[i + 1], name == "--until") : std::nullopt;
      if (!when) {
        error = "option '" + name + "' needs a UTC day or time: 2026-12-07 or 2026-12-07T10:00:00Z";
        return false;
      }
      (name == "--since" ? options.since : options.until) = when;
      ++i;
    } else if (!name.empty() && name[0] == '-') {
      error = "unknown option '" + name + "'";
      return false;
    } else {
      options.paths.push_back(name);
    }
  }
  if (options.paths.empty() && !options.fromDatabase) {
    error = "name a station log or a folder holding one";
    return false;
  }
  if (!options.paths.empty() && options.fromDatabase) {
    error = "give either --db URL or the logs, not both";
    return false;
  }
  return true;
}

void ReportBuilder::AddLine(const std::string& name, long number, std::string_view line) {
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  if (line.find_first_not_of(" \t") == std::string_view::npos) {
    return;
  }
  const auto record = ParseLogRecord(line);
  if (!record) {
    if (report_.broken.size() < kNamedBrokenLines) {
      report_.broken.push_back({name, number});
    }
    ++report_.brokenCount;
    return;
  }
  if (!record->end || (options_.since && record->start < *options_.since) ||
      (options_.until && record->start >= *options_.until)) {
    return;
  }
  if (UtcDay(record->start) != lastDay_) {
    lastDay_ = UtcDay(record->start);
    lastDayText_ = DayText(lastDay_);
  }
  const bool pass = record->verdict == "pass";
  const bool fail = record->verdict == "fail";
  for (Tally* tally :
       {&report_.total, &report_.ports[record->port], &report_.days[DayText(UtcDay(record->start))],
        &report_.images[record->imageSha256]}) {
    ++tally->updates;
    tally->passes += pass ? 1 : 0;
    tally->fails += fail ? 1 : 0;
  }
  if (!pass) {
    ++report_.causes[FailureCause(*record)];
  }
  durationsMs_.push_back(
      std::chrono::duration_cast<std::chrono::milliseconds>(record->endTime - record->start)
          .count());
  if (!record->unit.serial) {
    ++unnamedCameras_;
    unnamedFirstPasses_ += pass ? 1 : 0;
    return;
  }
  const auto [it, added] = cameras_.try_emplace(*record->unit.serial);
  Camera& camera = it->second;
  if (added || record->start < camera.firstStart) {
    camera.firstStart = record->start;
    camera.firstPassed = pass;
  }
  ++camera.updates;
  // Each port by its first update's start, so that the order is the same however the records
  // come (a log's order of ends, or a database's).
  const auto port = std::find_if(camera.ports.begin(), camera.ports.end(),
                                 [&](const auto& seen) { return seen.second == record->port; });
  if (port == camera.ports.end()) {
    camera.ports.emplace_back(record->start, record->port);
  } else {
    port->first = std::min(port->first, record->start);
  }
}

void ReportBuilder::AddText(const std::string& name, std::string_view text) {
  ++report_.files;
  long number = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    end = end == std::string_view::npos ? text.size() : end;
    AddLine(name, ++number, text.substr(at, end - at));
    at = end + 1;
  }
}

bool ReportBuilder::AddFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  ++report_.files;
  std::vector<char> buffer(1 << 20);
  std::string carry;  // the start of a line that the last piece cut
  long number = 0;
  for (std::size_t size; (size = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
    std::string_view piece(buffer.data(), size);
    std::size_t at = 0;
    for (std::size_t end; (end = piece.find('\n', at)) != std::string_view::npos; at = end + 1) {
      if (!carry.empty()) {
        carry.append(piece.substr(at, end - at));
        AddLine(path, ++number, carry);
        carry.clear();
      } else {
        AddLine(path, ++number, piece.substr(at, end - at));
      }
    }
    carry.append(piece.substr(at));
  }
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  if (!carry.empty()) {
    AddLine(path, ++number, carry);
  }
  return ok;
}

Report ReportBuilder::Finish() {
  Report report = report_;
  report.cameras = static_cast<long>(cameras_.size()) + unnamedCameras_;
  report.firstPassCameras = unnamedFirstPasses_;
  for (const auto& [serial, camera] : cameras_) {
    report.firstPassCameras += camera.firstPassed ? 1 : 0;
    if (camera.updates > 1) {
      auto ports = camera.ports;
      std::sort(ports.begin(), ports.end());
      RepeatedSerial& repeated = report.repeated.emplace_back();
      repeated.serial = serial;
      repeated.updates = camera.updates;
      for (auto& [start, name] : ports) {
        repeated.ports.push_back(std::move(name));
      }
    }
  }
  std::sort(report.repeated.begin(), report.repeated.end(),
            [](const RepeatedSerial& a, const RepeatedSerial& b) { return a.serial < b.serial; });
  report.outliers = Outliers(report.ports, report.total);
  std::vector<std::int64_t> sorted = durationsMs_;
  std::sort(sorted.begin(), sorted.end());
  if (!sorted.empty()) {
    report.medianSeconds = Percentile(sorted, 50);
    report.p95Seconds = Percentile(sorted, 95);
    report.maxSeconds = static_cast<double>(sorted.back()) / 1000.0;
  }
  return report;
}

std::vector<std::string> ReportFiles(const std::vector<std::string>& paths) {
  std::vector<std::string> files;
  std::set<std::filesystem::path> seen;  // a file named twice, or by two paths, counts once
  const auto add = [&](const std::string& file) {
    std::error_code ec;
    const auto canonical = std::filesystem::weakly_canonical(file, ec);
    if (seen.insert(ec ? std::filesystem::path(file) : canonical).second) {
      files.push_back(file);
    }
  };
  for (const std::string& path : paths) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
      for (const std::string& file : StationLogFiles(path + "/station.jsonl")) {
        add(file);
      }
    } else {
      add(path);
    }
  }
  return files;
}

int RunReport(int argc, const char* const* argv) {
  ReportOptions options;
  std::string error;
  if (!ParseReportOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "reflash-station report: %s\n", error.c_str());
    return ExitUsage;
  }
  ReportBuilder builder(options);
  const auto files = ReportFiles(options.paths);
  if (files.empty()) {
    std::fprintf(stderr, "reflash-station report: no station log in the paths named\n");
    return ExitUsage;
  }
  for (const std::string& file : files) {
    if (!builder.AddFile(file)) {
      std::fprintf(stderr, "reflash-station report: cannot read %s\n", file.c_str());
      return ExitUsage;
    }
  }
  const Report report = builder.Finish();
  const std::string text = options.format == ReportOptions::Format::csv    ? ReportCsv(report)
                           : options.format == ReportOptions::Format::json ? ReportJson(report)
                                                                           : ReportText(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

}  // namespace station
