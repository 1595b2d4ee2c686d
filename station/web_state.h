#pragma once
// What the station's web page, its API and its metrics show: an immutable picture of the station
// taken by the station's loop after each change, which the server's threads only read.

#include <array>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "station/outbox.h"
#include "station/station.h"

namespace station {

// The upper bounds (seconds) of the update duration histogram's buckets; +Inf follows them.
inline constexpr std::array<double, 10> kDurationBuckets = {5,  10, 15,  20,  30,
                                                            45, 60, 120, 300, 600};

// The figures of the records this station wrote since it started, for the metrics and the
// tiles' last serial numbers. Fed each line of the log as it lands.
struct WebTally {
  std::map<std::tuple<std::string, std::string, std::string>, long>
      cameras;                                                     // port, verdict, cause
  std::array<long, kDurationBuckets.size() + 1> durationCounts{};  // per bucket, not cumulative
  double durationSum = 0;
  std::map<std::string, std::string> lastSerial;  // by port: the serial of its last end record
  long records = 0;                               // lines written
  // Updates of a camera this station had not updated before the same UTC day, by port and
  // verdict: their pass share is the first-pass yield.
  std::map<std::pair<std::string, std::string>, long> firstUpdates;
  std::set<std::string> updatedToday;  // serial numbers, of the day below
  long long day = 0;

  // One line of station.jsonl; lines that are no record are counted and otherwise passed over.
  void Record(const std::string& line);
  bool operator==(const WebTally&) const = default;
};

struct WebTile {
  std::string port;
  std::string state;      // "idle", "running", "finished", "fault", "foreign"
  std::string text;       // what the terminal line shows after its bar
  std::string colour;     // of that text: "blue", "red", "green", "0x<COLORREF>" or ""
  std::string verdict;    // the last verdict: "pass", "fail", "interrupted"; empty: none yet
  std::string serial;     // the serial number of that verdict's camera; empty: none or unknown
  std::string cause;      // why that verdict is not a pass, in a few words; empty for a pass
  std::string duplicate;  // the camera passed earlier today or is on another port: where
  bool present = false;
  int progress = 0;
  int attempt = 0;
  long long elapsedSeconds = 0;  // of the running update
  bool operator==(const WebTile&) const = default;
};

struct WebSnapshot {
  std::vector<WebTile> tiles;  // in the station's port order
  int passed = 0, failed = 0, faults = 0, running = 0, waiting = 0;
  bool stopping = false;
  bool logFailed = false;
  std::string banner;  // a station fault or its stopping, for everyone to see; empty: none
  WebTally tally;
  ShipperStatus shipper;  // enabled only with --db
  bool operator==(const WebSnapshot&) const = default;
};

// The station's picture now.
WebSnapshot TakeSnapshot(const Station& station, const WebTally& tally);

}  // namespace station
