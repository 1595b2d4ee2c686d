#include "station/display.h"

#include <algorithm>
#include <cstdio>

namespace station {
namespace {

constexpr int kBarWidth = 20;
constexpr const char* kReset = "\x1b[0m";

const char* Escape(const std::string& colour) {
  if (colour == "blue") {
    return "\x1b[1;34m";
  }
  if (colour == "red") {
    return "\x1b[1;31m";
  }
  if (colour == "green") {
    return "\x1b[1;32m";
  }
  return "";
}

std::string Coloured(const std::string& text, const std::string& colour, bool ansi) {
  const char* escape = Escape(colour);
  return ansi && *escape != 0 ? escape + text + kReset : text;
}

std::string PortLine(const std::string& port, const PortRow& row, std::size_t portWidth,
                     bool ansi) {
  std::string line = port + std::string(portWidth - std::min(portWidth, port.size()), ' ');
  const int filled = row.progress * kBarWidth / 100;
  line += " [" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] ";
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%% ", row.progress);
  line += percent;
  if (row.state == PortState::running) {
    line += Coloured(row.status, row.colour, ansi);
  } else if (row.passed) {
    const std::string verdict = *row.passed ? "PASS" : "FAIL";
    line += Coloured(verdict, *row.passed ? "green" : "red", ansi);
    line += row.present ? (row.state == PortState::finished ? "  (unplug to flash again)" : "")
                        : "  (unplugged)";
  } else {
    line += row.present ? "waiting" : "no camera";
  }
  return line;
}

}  // namespace

std::string RenderLive(const Station& station, bool ansi) {
  std::size_t portWidth = 4;
  for (const auto& [port, row] : station.Rows()) {
    portWidth = std::max(portWidth, port.size());
  }
  std::string text;
  for (const auto& [port, row] : station.Rows()) {
    text += PortLine(port, row, portWidth, ansi) + "\n";
  }
  return text + CountersLine(station.Count()) + (station.Stopping() ? "  (stopping)" : "") + "\n";
}

std::string LiveScreen::Redraw(const Station& station) {
  std::string text;
  if (linesDrawn_ > 0) {
    text = "\x1b[" + std::to_string(linesDrawn_) + "F";  // to the start of the first line
  }
  const std::string block = RenderLive(station, true);
  // Each line is cleared to its end, so a shorter status leaves nothing of the longer one.
  std::size_t start = 0;
  linesDrawn_ = 0;
  while (start < block.size()) {
    const std::size_t end = block.find('\n', start);
    text += block.substr(start, end - start) + "\x1b[K\n";
    start = end + 1;
    ++linesDrawn_;
  }
  return text;
}

}  // namespace station
