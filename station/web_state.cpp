#include "station/web_state.h"

#include <algorithm>
#include <chrono>

#include "station/display.h"
#include "station/log_record.h"
#include "station/station_report.h"

namespace station {
namespace {

const char* StateName(PortState state) {
  switch (state) {
    case PortState::running:
      return "running";
    case PortState::finished:
      return "finished";
    case PortState::fault:
      return "fault";
    case PortState::foreign:
      return "foreign";
    case PortState::idle:
      break;
  }
  return "idle";
}

}  // namespace

void WebTally::Record(const std::string& line) {
  ++records;
  const auto record = ParseLogRecord(line);
  if (!record || !record->end) {
    return;
  }
  const std::string cause = record->verdict == "pass" ? "" : FailureCause(*record);
  ++cameras[{record->port, record->verdict, cause}];
  const double seconds = std::chrono::duration<double>(record->endTime - record->start).count();
  const auto bucket = std::lower_bound(kDurationBuckets.begin(), kDurationBuckets.end(), seconds);
  ++durationCounts[static_cast<std::size_t>(bucket - kDurationBuckets.begin())];
  durationSum += std::max(0.0, seconds);
  lastSerial[record->port] = record->unit.serial.value_or("");
  if (UtcDay(record->start) != day) {
    day = UtcDay(record->start);
    updatedToday.clear();
  }
  if (!record->unit.serial || updatedToday.insert(*record->unit.serial).second) {
    ++firstUpdates[{record->port, record->verdict}];
  }
}

WebSnapshot TakeSnapshot(const Station& station, const WebTally& tally) {
  WebSnapshot snapshot;
  for (const auto& [port, row] : station.Rows()) {
    WebTile tile;
    tile.port = port;
    tile.state = StateName(row.state);
    std::tie(tile.text, tile.colour) = PortTail(station, row);
    tile.verdict = row.verdict ? VerdictText(*row.verdict) : "";
    if (const auto serial = tally.lastSerial.find(port);
        row.verdict && serial != tally.lastSerial.end()) {
      tile.serial = serial->second;
    }
    tile.cause = row.cause;
    tile.duplicate = row.duplicate;
    tile.present = row.present;
    tile.progress = row.progress;
    tile.attempt = row.attempt;
    if (row.state == PortState::running) {
      tile.elapsedSeconds = std::max<long long>(
          0, std::chrono::duration_cast<std::chrono::seconds>(station.Now() - row.start).count());
    }
    snapshot.tiles.push_back(std::move(tile));
  }
  const Counters counters = station.Count();
  snapshot.passed = counters.passed;
  snapshot.failed = counters.failed;
  snapshot.faults = counters.faults;
  snapshot.running = counters.running;
  snapshot.waiting = counters.waiting;
  snapshot.stopping = station.Stopping();
  snapshot.logFailed = station.Halted() == Halt::logFailed;
  if (snapshot.logFailed) {
    snapshot.banner =
        "STATION FAULT: the station log cannot be written (is the disk full?); "
        "no new camera is taken";
  } else if (snapshot.stopping) {
    snapshot.banner = "Stopping: the running updates finish, no new camera is taken";
  }
  snapshot.tally = tally;
  return snapshot;
}

}  // namespace station
