#pragma once
// The station's screen: on a terminal, one live line per port and the counters, redrawn in
// place; without one, one plain line per event.

#include <string>

#include "station/station.h"

namespace station {

// The live block: a line per port (port, progress bar, percentage, status in its colour, or the
// verdict), then the counters. `ansi` adds the colour escapes. Each line ends with "\n".
std::string RenderLive(const Station& station, bool ansi);

// Draws the live block again over the one drawn before it.
class LiveScreen {
 public:
  // The text to write: cursor back to the top of the previous block, then the new block.
  std::string Redraw(const Station& station);

 private:
  int linesDrawn_ = 0;
};

}  // namespace station
