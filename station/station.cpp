#include "station/station.h"

#include <algorithm>
#include <utility>

#include "app/result_log.h"
#include "station/worker_line.h"

namespace station {
namespace {

// The outcome of an attempt from what it showed: the red text of a failed step, or how far the
// progress bar went.
std::string AttemptOutcome(int progress, const std::string& red) {
  if (red == "Erase failed!!!") {
    return "erase failed";
  }
  if (red == "Write firmware Failed!!!") {
    return "write failed";
  }
  if (red == "Check Firmware Failed!!!") {
    return "check failed";
  }
  if (!red.empty()) {
    return "failed: " + red;
  }
  if (progress >= 100) {
    return "pass";
  }
  return progress >= 20 ? "open failed" : "no camera";
}

}  // namespace

Station::Station(Config config, StationLog* log, Clock clock)
    : config_(std::move(config)), log_(log), clock_(std::move(clock)) {}

std::vector<std::string> Station::Present(const std::vector<std::string>& ports) {
  const bool firstScan = !scanned_;
  scanned_ = true;
  for (auto& [port, row] : rows_) {
    row.present = std::find(ports.begin(), ports.end(), port) != ports.end();
    // A camera that leaves after its verdict makes room for the next one; one that leaves
    // while it is updated is resetting, and stays the same update.
    if (!row.present && row.state == PortState::finished) {
      row.state = PortState::idle;
    }
  }
  std::vector<std::string> start;
  for (const std::string& port : ports) {
    PortRow& row = rows_[port];
    row.present = true;
    anyCamera_ = anyCamera_ || firstScan;
    const bool takes = config_.mode == Mode::watch || firstScan;
    if (row.state != PortState::idle || stopping_ || !takes) {
      continue;
    }
    row.state = PortState::running;
    row.progress = 0;
    row.status.clear();
    row.colour.clear();
    ++row.updates;
    Run& run = runs_[port];
    run = Run{};
    run.record.port = port;
    run.record.hostName = config_.hostName;
    run.record.toolVersion = config_.toolVersion;
    run.record.imageSha256 = config_.imageSha256;
    run.record.start = clock_();
    start.push_back(port);
    Event(port, "start");
  }
  return start;
}

void Station::CloseAttempt(Run& run) {
  if (run.attemptProgress >= 0) {
    run.record.attempts.push_back(AttemptOutcome(run.attemptProgress, run.attemptRed));
  }
  run.attemptProgress = -1;
  run.attemptRed.clear();
}

void Station::WorkerLine(const std::string& port, std::string_view text) {
  const auto found = runs_.find(port);
  const auto line = ParseWorkerLine(text);
  if (found == runs_.end() || !line || rows_[port].state != PortState::running) {
    return;
  }
  Run& run = found->second;
  PortRow& row = rows_[port];
  switch (line->kind) {
    case WorkerLine::Kind::status:
      // Each attempt begins by showing "Check Hardware ..." (again, when none was found).
      if (line->text == "Check Hardware ...") {
        CloseAttempt(run);
        run.attemptProgress = 0;
      }
      if (line->colour == "red" && run.attemptProgress >= 0) {
        run.attemptRed = line->text;
      }
      row.status = line->text;
      row.colour = line->colour;
      Event(port, std::to_string(row.progress) + "% " + row.status);
      break;
    case WorkerLine::Kind::progress:
      row.progress = static_cast<int>(std::clamp(line->first, 0L, 100L));
      if (run.attemptProgress >= 0) {
        run.attemptProgress = std::max(run.attemptProgress, row.progress);
      }
      Event(port, std::to_string(row.progress) + "% " + row.status);
      break;
    case WorkerLine::Kind::device:
      run.record.devicePath = line->text;
      break;
    case WorkerLine::Kind::requests:
      run.record.requestsSent = line->first;
      run.record.requestsFailed = line->second;
      break;
    case WorkerLine::Kind::end:
      run.sawEnd = true;
      break;
    default:
      break;
  }
}

bool Station::WorkerEnded(const std::string& port, const WorkerEnd& end) {
  const auto found = runs_.find(port);
  if (found == runs_.end() || rows_[port].state != PortState::running) {
    return true;
  }
  Run& run = found->second;
  CloseAttempt(run);
  FinishedCamera& record = run.record;
  record.end = clock_();
  // A pass needs the worker's own whole account: it ended by itself, after its last line.
  record.passed = end.exited && run.sawEnd && end.resultLog && *end.resultLog == ResultPassText;
  if (!end.exited) {
    record.reason = end.reason.empty() ? "the worker ended without a verdict" : end.reason;
  } else if (!run.sawEnd) {
    record.reason =
        "the worker ended (exit status " + std::to_string(end.status) + ") before its last line";
  } else if (!end.resultLog) {
    record.reason = "the worker left no Result.log";
  }
  const bool logged = log_ == nullptr || log_->Append(record);
  PortRow& row = rows_[port];
  row.state = row.present ? PortState::finished : PortState::idle;
  row.passed = record.passed;
  ++(record.passed ? done_.passed : done_.failed);
  Event(port, record.passed ? "pass"
                            : "fail" + (record.reason.empty() ? "" : " (" + record.reason + ")"));
  runs_.erase(found);
  events_.push_back(CountersLine(Count()));
  return logged;
}

bool Station::Done() const {
  if (!scanned_ || !runs_.empty()) {
    return false;
  }
  return config_.mode == Mode::once || stopping_;
}

int Station::ExitStatus() const {
  if (config_.mode == Mode::once && !anyCamera_) {
    return 2;
  }
  return done_.failed > 0 ? 1 : 0;
}

std::string CountersLine(const Counters& counters) {
  return "passed " + std::to_string(counters.passed) + "  failed " +
         std::to_string(counters.failed) + "  running " + std::to_string(counters.running) +
         "  waiting " + std::to_string(counters.waiting);
}

Counters Station::Count() const {
  Counters counters = done_;
  for (const auto& [port, row] : rows_) {
    if (row.state == PortState::running) {
      ++counters.running;
    } else if (row.present) {
      ++counters.waiting;
    }
  }
  return counters;
}

std::vector<std::string> Station::TakeEvents() {
  return std::exchange(events_, {});
}

void Station::Event(const std::string& port, const std::string& text) {
  events_.push_back(port + " " + text);
}

}  // namespace station
