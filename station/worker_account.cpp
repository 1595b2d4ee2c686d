#include "station/station.h"
// The worker's account as it comes in, its verdict and the update's end record.

#include <algorithm>
#include <utility>

#include "product/product.h"
#include "station/worker_protocol.h"

namespace station {

void Station::CloseAttempt(Run& run, std::chrono::system_clock::time_point at, bool cut) {
  if (run.attempts.Running()) {
    // The worker's own word; an account without it (a worker older than the attempt lines) is
    // named by the same rule from what the attempt showed. An attempt the worker's end cut
    // short says nothing of the camera.
    std::string outcome = run.attempts.End();
    run.lastStated = run.statedOutcome.has_value();
    if (run.statedOutcome) {
      outcome = *run.statedOutcome;
    } else if (cut) {
      outcome = "interrupted";
    }
    run.record.attempts.push_back(std::move(outcome));
    run.record.attemptTimes.push_back({run.attemptStart, std::max(at, run.attemptStart)});
  }
  run.statedOutcome.reset();
}

void Station::WorkerLine(const std::string& port, std::string_view text) {
  const auto found = runs_.find(port);
  if (found == runs_.end()) {
    return;
  }
  Run& run = found->second;
  if (run.endLines > 0) {
    ++run.afterEnd;  // whatever it is: the account was over
  }
  PortRow& row = rows_[port];
  const auto line = ParseWorkerLine(text);
  if (!line) {
    return;
  }
  switch (line->kind) {
    case WorkerLine::Kind::header:
      run.sawHeader = line->first == kWorkerProtocolVersion;
      break;
    case WorkerLine::Kind::port:
      run.portLine = line->text;
      break;
    case WorkerLine::Kind::status:
      if (AttemptWatch::Begins(*line)) {
        const auto now = clock_();
        CloseAttempt(run, now, false);
        run.attemptStart = now;
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
      if (++run.endLines == 1) {
        run.endStatus = line->first;
      }
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

namespace {

// A pass is the worker's exact account: why this one is not, or empty when it is one.
std::string AccountFault(const std::string& port, int endLines, int afterEnd,
                         const std::optional<std::string>& portLine, bool sawHeader,
                         const WorkerEnd& end) {
  if (!sawHeader) {
    return "the worker's account has no header";
  }
  if (!portLine) {
    return "the worker's account names no port";
  }
  if (*portLine != port) {
    return "the worker's account names port " + *portLine + ", not " + port;
  }
  if (endLines == 0) {
    return "the worker ended (exit status " + std::to_string(end.status) + ") before its last line";
  }
  if (endLines > 1) {
    return "the worker's account has " + std::to_string(endLines) + " end lines";
  }
  if (afterEnd > 0) {
    return "the worker wrote " + std::to_string(afterEnd) + " lines after its last line";
  }
  return "";
}

}  // namespace

void Station::Judge(const std::string& port, Run& run, const WorkerEnd& end) const {
  UpdateRecord& record = run.record;
  record.verdict = Verdict::fail;
  record.reason.clear();
  const std::string& status = rows_.at(port).status;
  const std::string step = status.empty() ? "before its first step" : "during " + status;
  if (end.notStarted) {
    record.verdict = Verdict::interrupted;
    record.reason = end.reason.empty() ? "the worker could not be started" : end.reason;
    return;
  }
  if (end.hung) {
    record.reason = "worker hung " + step +
                    ": no verdict within the watchdog's bound, ended by the station" +
                    (end.reason.empty() ? "" : " (" + end.reason + ")");
  } else if (end.orphan && (!run.sawHeader || run.endLines == 0)) {
    // Without the worker's whole account nothing is known of the camera: flash it again.
    record.verdict = Verdict::interrupted;
    record.reason = run.sawHeader ? "the station stopped; the worker's account ends early"
                                  : "the station stopped; the worker left no account";
    return;
  } else if (!end.exited) {
    record.reason =
        "worker killed " + step + (end.reason.empty() ? std::string() : " (" + end.reason + ")");
  } else if (!run.invalid.empty()) {
    record.reason = run.invalid;
  } else if (const std::string fault =
                 AccountFault(port, run.endLines, run.afterEnd, run.portLine, run.sawHeader, end);
             !fault.empty()) {
    record.reason = fault;
  } else if (!end.resultLog) {
    record.reason = "the worker left no Result.log";
  } else if (!run.resultText || *run.resultText != *end.resultLog) {
    record.reason = "the worker's result line differs from its Result.log";
  } else if (*run.endStatus != 0 || end.status != 0) {
    record.reason = "the worker ended with status " +
                    std::to_string(*run.endStatus != 0 ? *run.endStatus : end.status);
  } else if (*end.resultLog == ResultPassText) {
    if (record.attempts.empty() || !run.lastStated) {
      record.reason = "the worker's account states no attempt's outcome";
    } else if (record.attempts.back() != "pass") {
      record.reason = "the worker's account shows no passing attempt";
    } else {
      record.verdict = Verdict::pass;
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
  // The time it ended, never before its start nor after now.
  const auto now = clock_();
  const auto at = std::clamp(end.endedAt.value_or(now), std::min(run.record.start, now), now);
  CloseAttempt(run, at, !end.exited || end.hung || run.endLines == 0);
  run.record.end = at;
  run.record.after = end.after;
  Judge(port, run, end);
  Annotate(run.record);
  if (run.record.verdict != Verdict::pass && markFailed_) {
    // A line script reads the port's Result.log: it must never pass a camera the station failed.
    if (std::string error; !markFailed_(port, error)) {
      run.record.notes.push_back("the port's Result.log could not be set to Fail: " + error);
    }
  }
  const UpdateRecord& record = run.record;
  const bool logged = log_ == nullptr || log_->Append(JsonLine(record), record.end);
  if (!logged) {
    halt_ = Halt::logFailed;
  }
  if (record.verdict == Verdict::pass && record.unit.serial) {
    RememberPass(*record.unit.serial, {"", port, record.start, record.end});
  }
  PortRow& row = rows_[port];
  row.state = row.present ? PortState::finished : PortState::idle;
  row.verdict = record.verdict;
  // The cause as the report groups it: the reason up to its details, else the last attempt's.
  row.cause.clear();
  if (record.verdict != Verdict::pass) {
    row.cause = record.reason.substr(0, record.reason.find_first_of(":("));
    while (!row.cause.empty() && row.cause.back() == ' ') {
      row.cause.pop_back();
    }
    if (row.cause.empty()) {
      row.cause = record.attempts.empty() ? "no attempt" : record.attempts.back();
    }
    row.cause = Printable(row.cause);
  }
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
