#include "station/station.h"
// The worker's account as it comes in, its verdict and the update's end record.

#include <algorithm>
#include <utility>

#include "product/product.h"
#include "station/worker_protocol.h"

namespace station {

void Station::CloseAttempt(Run& run) {
  if (run.attempts.Running()) {
    // The worker's own word; an account without it (a worker older than the attempt lines, or
    // one cut short) is named by the same rule from what the attempt showed.
    std::string outcome = run.attempts.End();
    run.record.attempts.push_back(run.statedOutcome.value_or(std::move(outcome)));
    run.record.attemptTimes.push_back({run.attemptStart, clock_()});
  }
  run.statedOutcome.reset();
}

void Station::WorkerLine(const std::string& port, std::string_view text) {
  const auto found = runs_.find(port);
  if (found == runs_.end()) {
    return;
  }
  Run& run = found->second;
  PortRow& row = rows_[port];
  const auto line = ParseWorkerLine(text);
  if (!line) {
    return;
  }
  switch (line->kind) {
    case WorkerLine::Kind::header:
      run.sawHeader = line->first == kWorkerProtocolVersion;
      break;
    case WorkerLine::Kind::status:
      if (AttemptWatch::Begins(*line)) {
        CloseAttempt(run);
        run.attemptStart = clock_();
        ++row.attempt;
      }
      run.attempts.See(*line);
      row.status = Printable(line->text);
      row.colour = line->colour;
      Event(port, std::to_string(row.progress) + "% " + row.status);
      break;
    case WorkerLine::Kind::progress:
      row.progress = static_cast<int>(std::clamp(line->first, 0L, 100L));
      run.attempts.See(*line);
      Event(port, std::to_string(row.progress) + "% " + row.status);
      break;
    case WorkerLine::Kind::attempt:
      if (run.attempts.Running() && line->first == run.attempts.Number()) {
        run.statedOutcome = line->text;
      }
      break;
    case WorkerLine::Kind::device:
      run.record.devicePath = line->text;
      break;
    case WorkerLine::Kind::requests:
      run.record.requestsSent = line->first;
      run.record.requestsFailed = line->second;
      break;
    case WorkerLine::Kind::result:
      run.resultText = line->text;
      break;
    case WorkerLine::Kind::end:
      run.endStatus = line->first;
      break;
    default:
      break;
  }
}

void Station::WorkerInvalid(const std::string& port, const std::string& reason) {
  const auto found = runs_.find(port);
  if (found != runs_.end() && found->second.invalid.empty()) {
    found->second.invalid = reason;
    Event(port, "invalid account: " + reason);
  }
}

void Station::Judge(Run& run, const WorkerEnd& end) const {
  UpdateRecord& record = run.record;
  record.verdict = Verdict::fail;
  record.reason.clear();
  if (end.notStarted) {
    record.verdict = Verdict::interrupted;
    record.reason = end.reason.empty() ? "the worker could not be started" : end.reason;
    return;
  }
  if (end.hung) {
    record.reason = "worker hung: " + end.reason;
    return;
  }
  if (end.orphan && (!run.sawHeader || !run.endStatus)) {
    // Without the worker's whole account nothing is known of the camera: flash it again.
    record.verdict = Verdict::interrupted;
    record.reason = run.sawHeader ? "the station stopped; the worker's account ends early"
                                  : "the station stopped; the worker left no account";
    return;
  }
  if (!end.exited) {
    record.reason = end.reason.empty() ? "the worker ended without a verdict" : end.reason;
  } else if (!run.invalid.empty()) {
    record.reason = run.invalid;
  } else if (!run.sawHeader) {
    record.reason = "the worker's account has no header";
  } else if (!run.endStatus) {
    record.reason =
        "the worker ended (exit status " + std::to_string(end.status) + ") before its last line";
  } else if (!end.resultLog) {
    record.reason = "the worker left no Result.log";
  } else if (!run.resultText || *run.resultText != *end.resultLog) {
    record.reason = "the worker's result line differs from its Result.log";
  } else if (*run.endStatus != 0 || end.status != 0) {
    record.reason = "the worker ended with status " +
                    std::to_string(*run.endStatus != 0 ? *run.endStatus : end.status);
  } else if (*end.resultLog == ResultPassText) {
    if (!record.attempts.empty() && record.attempts.back() == "pass") {
      record.verdict = Verdict::pass;
    } else {
      record.reason = "the worker's account shows no passing attempt";
    }
  }
  if (end.orphan) {
    record.reason += record.reason.empty() ? "" : "; ";
    record.reason += "ended while the station was stopped";
  }
}

bool Station::WorkerEnded(const std::string& port, const WorkerEnd& end) {
  const auto found = runs_.find(port);
  if (found == runs_.end()) {
    return true;
  }
  Run& run = found->second;
  CloseAttempt(run);
  run.record.end = clock_();
  run.record.after = end.after;
  Judge(run, end);
  Annotate(run.record);
  const UpdateRecord& record = run.record;
  const bool logged = log_ == nullptr || log_->Append(JsonLine(record), record.end);
  if (!logged) {
    halt_ = Halt::logFailed;
  }
  if (record.verdict == Verdict::pass && record.unit.serial) {
    RememberPass(*record.unit.serial, {port, record.start, record.end});
  }
  PortRow& row = rows_[port];
  row.state = row.present ? PortState::finished : PortState::idle;
  row.verdict = record.verdict;
  row.logged = logged;
  ++(record.verdict == Verdict::pass   ? done_.passed
     : record.verdict == Verdict::fail ? done_.failed
                                       : done_.faults);
  Event(port, VerdictText(record.verdict) +
                  (record.reason.empty() ? std::string() : " (" + Printable(record.reason) + ")") +
                  (logged ? "" : " NOT LOGGED: " + (log_ ? log_->Error() : std::string())));
  runs_.erase(found);
  events_.push_back(CountersLine(Count()));
  return logged;
}

void Station::Annotate(UpdateRecord& record) const {
  if (!record.after) {
    if (record.verdict == Verdict::pass) {
      record.notes.push_back(
          "no camera on the port at the end: bcdDevice after the reset not read");
    }
    return;
  }
  const UnitIdentity& after = *record.after;
  const auto serialText = [](const std::optional<std::string>& serial) {
    return serial ? "serial " + *serial : std::string("no serial number");
  };
  if (after.serial != record.unit.serial || after.usbId != record.unit.usbId) {
    record.notes.push_back(
        "another camera on the port at the end: " + serialText(record.unit.serial) +
        " at the start, " + serialText(after.serial) + " at the end");
  } else if (record.verdict == Verdict::pass && record.unit.bcdDevice && after.bcdDevice &&
             *after.bcdDevice == *record.unit.bcdDevice) {
    // The image may carry the revision the camera had; worth a look, not a failed verdict.
    record.notes.push_back("bcdDevice " + BcdText(*after.bcdDevice) +
                           " did not change with the update");
  }
}

}  // namespace station
