#include "station/station.h"

#include <algorithm>
#include <utility>

#include "station/log_record.h"
#include "station/station_options.h"

namespace station {
namespace {

std::string Plural(int count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

Station::Station(Config config, StationLog* log, Clock clock)
    : config_(std::move(config)),
      log_(log),
      clock_(std::move(clock)),
      rows_(PortOrder(config_.ports)) {
  for (const std::string& port : config_.ports) {
    rows_[port];  // the fixture's ports are shown from the start, empty or not
  }
}

bool Station::Wanted(const std::string& port) const {
  return config_.ports.empty() ||
         std::find(config_.ports.begin(), config_.ports.end(), port) != config_.ports.end();
}

std::vector<std::string> Station::Present(const std::vector<std::string>& ports) {
  const bool firstScan = !scanned_;
  scanned_ = true;
  for (auto it = rows_.begin(); it != rows_.end();) {
    PortRow& row = it->second;
    row.present = std::find(ports.begin(), ports.end(), it->first) != ports.end();
    if (!row.present && row.state == PortState::foreign) {
      it = rows_.erase(it);
      continue;
    }
    // A camera that leaves after its verdict makes room for the next one; one that leaves
    // while it is updated is resetting, and stays the same update.
    if (!row.present && (row.state == PortState::finished || row.state == PortState::fault)) {
      row.state = PortState::idle;
    }
    if (!row.present) {
      row.note.clear();
    }
    ++it;
  }
  std::vector<std::string> start;
  for (const std::string& port : ports) {
    if (!Wanted(port)) {
      if (rows_.find(port) == rows_.end()) {
        rows_[port].state = PortState::foreign;
        rows_[port].present = true;
        Event(port, "not a station port: left alone");
      }
      continue;
    }
    PortRow& row = rows_[port];
    row.present = true;
    anyCamera_ = anyCamera_ || firstScan;
    const bool takes = config_.mode == Mode::watch || firstScan;
    if (row.state != PortState::idle || Stopping() || !takes) {
      if (config_.mode == Mode::once && row.state == PortState::idle) {
        seenNotFlashed_.insert(port);  // remembered even when the camera leaves again
      }
      continue;
    }
    row.state = PortState::running;
    row.progress = 0;
    row.attempt = 0;
    row.status.clear();
    row.colour.clear();
    row.resumed = false;
    ++row.updates;
    row.duplicate.clear();
    NewRun(port, clock_());
    row.start = runs_[port].record.start;
    start.push_back(port);
  }
  return start;
}

void Station::NewRun(const std::string& port, std::chrono::system_clock::time_point start) {
  Run& run = runs_[port];
  run = Run{};
  run.record.port = port;
  run.record.hostName = config_.hostName;
  run.record.stationId = config_.stationId;
  run.record.operatorName = config_.operatorName;
  run.record.toolVersion = config_.toolVersion;
  run.record.imageSha256 = config_.imageSha256;
  run.record.start = start;
}

void Station::RememberPass(const std::string& serial, const PriorPass& pass) {
  // The first pass of the latest day: the one a duplicate today refers to.
  const auto [it, added] = passes_.try_emplace(serial, pass);
  if (!added && UtcDay(it->second.end) < UtcDay(pass.end)) {
    it->second = pass;
  }
}

void Station::KnownPasses(const std::string& logText) {
  std::size_t at = 0;
  while (at < logText.size()) {
    std::size_t end = logText.find('\n', at);
    end = end == std::string::npos ? logText.size() : end;
    const auto record = ParseLogRecord(std::string_view(logText).substr(at, end - at));
    at = end + 1;
    if (record && record->end && record->verdict == "pass" && record->unit.serial) {
      RememberPass(*record->unit.serial, {"", record->port, record->start, record->endTime});
    }
  }
}

bool Station::Begin(const std::string& port, const UnitIdentity& unit) {
  const auto found = runs_.find(port);
  if (found == runs_.end()) {
    return false;
  }
  UpdateRecord& record = found->second.record;
  record.unit = unit;
  const auto prior = unit.serial ? passes_.find(*unit.serial) : passes_.end();
  if (prior != passes_.end() && UtcDay(prior->second.end) == UtcDay(record.start)) {
    record.duplicateOf = prior->second;
  }
  SameSerialNow(port, record);
  if (log_ != nullptr && !log_->Append(StartLine(record), clock_())) {
    halt_ = Halt::logFailed;
    PortFault(port, "the station log cannot be written: " + log_->Error());
    return false;
  }
  PortRow& row = rows_[port];
  row.note.clear();
  Event(port, "start");
  if (record.duplicateOf) {
    row.duplicate = "serial " + Printable(*unit.serial) + " passed on " + record.duplicateOf->port +
                    " at " + UtcTimestamp(record.duplicateOf->end).substr(11, 8);
    Event(port, "DUPLICATE: " + row.duplicate);
  }
  if (record.sameSerialOn) {
    const std::string other = record.sameSerialOn->port;
    row.duplicate = "serial " + Printable(*unit.serial) + " is on " + other + " too";
    Event(port, "DUPLICATE: " + row.duplicate);
    PortRow& otherRow = rows_[other];
    otherRow.duplicate = "serial " + Printable(*unit.serial) + " is on " + port + " too";
    Event(other, "DUPLICATE: " + otherRow.duplicate);
  }
  if (onBegin_ && unit.serial) {
    onBegin_(record);
  }
  return true;
}

void Station::PassedElsewhere(const std::string& port, std::chrono::system_clock::time_point start,
                              const PriorPass& pass) {
  const auto found = runs_.find(port);
  // The start as the record writes it, to the millisecond.
  const auto millis = [](std::chrono::system_clock::time_point when) {
    return std::chrono::floor<std::chrono::milliseconds>(when);
  };
  if (found == runs_.end() || millis(found->second.record.start) != millis(start) ||
      found->second.record.duplicateOf || found->second.record.sameSerialOn ||
      !found->second.record.unit.serial) {
    return;
  }
  UpdateRecord& record = found->second.record;
  record.duplicateOf = pass;
  PortRow& row = rows_[port];
  row.duplicate = "serial " + Printable(*record.unit.serial) + " passed on station " +
                  Printable(pass.station) + " " + Printable(pass.port) + " at " +
                  UtcTimestamp(pass.end).substr(11, 8);
  Event(port, "DUPLICATE: " + row.duplicate);
}

void Station::SameSerialNow(const std::string& port, UpdateRecord& record) {
  if (!record.unit.serial) {
    return;
  }
  for (auto& [other, run] : runs_) {
    // A run whose start is not yet recorded names no camera; its own Begin finds this one.
    if (other != port && run.record.unit.serial == record.unit.serial) {
      record.sameSerialOn = SameSerial{other, run.record.start};
      if (!run.record.sameSerialOn) {
        run.record.sameSerialOn = SameSerial{port, record.start};
      }
      return;
    }
  }
}

void Station::PortBusy(const std::string& port, const std::string& note) {
  runs_.erase(port);
  PortRow& row = rows_[port];
  row.state = PortState::idle;
  --row.updates;
  if (row.note != note) {
    Event(port, "busy: " + note);
  }
  row.note = note;
}

void Station::PortFault(const std::string& port, const std::string& reason) {
  runs_.erase(port);
  PortRow& row = rows_[port];
  row.state = PortState::fault;
  row.note = Printable(reason);
  ++done_.faults;
  Event(port, "station fault: " + row.note);
  events_.push_back(CountersLine(Count()));
}

void Station::Resume(const std::string& port, std::chrono::system_clock::time_point start,
                     const UnitIdentity& unit) {
  PortRow& row = rows_[port];
  row = PortRow{};
  row.state = PortState::running;
  row.resumed = true;
  row.start = start;
  row.status = "left running by an earlier station run";
  NewRun(port, start);
  runs_[port].record.unit = unit;
  Event(port, "resuming the update started " + UtcTimestamp(start));
}

bool Station::Done() const {
  if (!scanned_ || !runs_.empty()) {
    return false;
  }
  return config_.mode == Mode::once || Stopping();
}

std::vector<std::string> Station::NotFlashed() const {
  std::vector<std::string> ports(seenNotFlashed_.begin(), seenNotFlashed_.end());
  std::sort(ports.begin(), ports.end(), PortOrder(config_.ports));
  return ports;
}

int Station::ExitStatus() const {
  if (halt_ == Halt::logFailed) {
    return ExitLogFailed;
  }
  if (config_.mode == Mode::once && !anyCamera_ && done_.passed + done_.failed == 0) {
    return ExitNoCamera;
  }
  if (done_.faults > 0) {
    return ExitStationFault;
  }
  if (done_.failed > 0) {
    return ExitAnyFailed;
  }
  return NotFlashed().empty() ? ExitAllPassed : ExitNotFlashed;
}

std::string Station::ExitReason() const {
  const auto status = ExitStatus();
  std::string text = "exit status " + std::to_string(status) + ": ";
  switch (status) {
    case ExitLogFailed:
      return text + "the station log could not be written (" +
             (log_ ? log_->Error() : std::string()) + "); the station stopped taking cameras";
    case ExitNoCamera:
      return text + "no camera found";
    case ExitStationFault:
      return text + Plural(done_.faults, "station fault", "station faults") +
             " (a port not prepared, or an update interrupted): not the cameras' failures";
    case ExitAnyFailed:
      return text + Plural(done_.failed, "camera", "cameras") + " failed, " +
             std::to_string(done_.passed) + " passed";
    case ExitNotFlashed: {
      std::string ports;
      for (const std::string& port : NotFlashed()) {
        ports += (ports.empty() ? "" : ", ") + port;
      }
      return text + Plural(static_cast<int>(NotFlashed().size()), "camera", "cameras") +
             " seen and not flashed (" + ports + ")";
    }
    default:
      return text + (done_.passed == 0
                         ? "no camera was updated"
                         : "every camera passed (" + std::to_string(done_.passed) + ")");
  }
}

Counters Station::Count() const {
  Counters counters = done_;
  for (const auto& [port, row] : rows_) {
    if (row.state == PortState::running) {
      ++counters.running;
    } else if (row.present && row.state != PortState::foreign) {
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
