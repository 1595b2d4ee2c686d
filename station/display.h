#pragma once
// The station's screen: on a terminal, one live line per port and the counters, redrawn in
// place and cut to the terminal's size; without one, one plain line per event.

#include <string>
#include <utility>

#include "station/station.h"

namespace station {

// The terminal's size; a line is cut to columns - 1, so that it never wraps.
struct ScreenSize {
  int columns = 80;
  int rows = 24;
};

// What a port shows after its bar (status, verdict, fault, ...) and the colour of it: "blue",
// "red", "green", "0x<COLORREF>" or "" for none.
std::pair<std::string, std::string> PortTail(const Station& station, const PortRow& row);

// The live block: a line per port (port, progress bar, percentage, attempt n/3, elapsed time,
// status in its colour, or the verdict), then the counters. `ansi` adds the colour escapes. Each
// line ends with "\n". The ports that do not fit the rows are summed up in one line.
std::string RenderLive(const Station& station, bool ansi, ScreenSize size = {});

// Draws the live block again over the one drawn before it.
class LiveScreen {
 public:
  // The text to write: cursor back to the top of the previous block, then the new block.
  std::string Redraw(const Station& station, ScreenSize size = {});

 private:
  int linesDrawn_ = 0;
};

}  // namespace station
