#pragma once
// What the station shows of each port and in all: a port's state and line, the counters, and
// the worker's texts made safe for a terminal. Every view (the terminal, the page) reads these.

#include <chrono>
#include <optional>
#include <string>

#include "station/station_log.h"

namespace station {

enum class PortState {
  idle,      // no update; the next camera on the port is taken
  running,   // a worker updates the port's camera (or one left by an earlier station run)
  finished,  // the verdict is given; the camera is taken again only after it was unplugged
  fault,     // the station could not prepare the port; tried again after an unplug
  foreign,   // a camera of the model on a port that is not one of the station's
};

// What one port's line shows.
struct PortRow {
  PortState state = PortState::idle;
  bool present = false;  // a camera is on the port now
  int progress = 0;
  int attempt = 0;                 // the attempt running now, from 1; 0 before the first
  std::string status;              // the worker's status text, without control characters
  std::string colour;              // "blue", "red" or "0x<COLORREF>"
  std::optional<Verdict> verdict;  // the last verdict on this port
  bool logged = true;              // that verdict is in the station log
  std::string note;                // why the port waits or failed on the station's side
  std::chrono::system_clock::time_point start;  // of the running update
  std::string duplicate;  // the update's camera already passed today, or is on another port
  std::string cause;      // why the last verdict is not a pass, in a few words; empty for a pass
  int updates = 0;        // workers started on this port
  bool resumed = false;   // the update was started by an earlier run of the station
};

struct Counters {
  int passed = 0;
  int failed = 0;
  int faults = 0;  // ports the station could not prepare, and interrupted updates
  int running = 0;
  int waiting = 0;  // cameras attached and not being updated (done, or come while stopping)
};

// A worker's text as the terminal may show it: control characters and bytes outside ASCII
// become '?', so that no worker can move the cursor or change the terminal.
std::string Printable(const std::string& text);

// The counters as one plain line: "passed 3  failed 1  faults 0  running 0  waiting 2".
std::string CountersLine(const Counters& counters);

}  // namespace station
