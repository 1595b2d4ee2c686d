#include "station/display.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "product/product.h"

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
  if (colour == "yellow") {
    return "\x1b[1;33m";
  }
  return "";
}

// A line of plain text and the colour of its tail, cut to `width` characters before the
// colour is added, so that escapes never count and never get cut.
std::string Fit(std::string plain, std::size_t tailAt, const std::string& colour, std::size_t width,
                bool ansi) {
  if (plain.size() > width) {
    plain.resize(width);
  }
  const char* escape = Escape(colour);
  if (!ansi || *escape == 0 || tailAt >= plain.size()) {
    return plain;
  }
  return plain.substr(0, tailAt) + escape + plain.substr(tailAt) + kReset;
}

std::string Elapsed(std::chrono::system_clock::duration elapsed) {
  const auto seconds =
      std::max<long long>(0, std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  return text;
}

}  // namespace

std::pair<std::string, std::string> PortTail(const Station& station, const PortRow& row) {
  const std::string duplicate = row.duplicate.empty() ? "" : "DUPLICATE " + row.duplicate + "; ";
  switch (row.state) {
    case PortState::running:
      // A duplicate stands out as much as a fail: its own colour, whatever the worker shows.
      return {duplicate + (row.status.empty() ? "starting" : row.status),
              duplicate.empty() ? row.colour : "yellow"};
    case PortState::fault:
      return {"STATION FAULT: " + row.note, "red"};
    case PortState::foreign:
      return {"not a station port: left alone", ""};
    default:
      break;
  }
  if (row.present && row.state == PortState::idle) {
    if (!row.note.empty()) {
      return {"busy: " + row.note, ""};
    }
    return {
        station.GetMode() == Mode::once ? "not flashed (plugged in after the start)" : "waiting",
        ""};
  }
  if (!row.verdict) {
    return {"no camera", ""};
  }
  std::string text = *row.verdict == Verdict::pass   ? "PASS"
                     : *row.verdict == Verdict::fail ? "FAIL"
                                                     : "INTERRUPTED (flash again)";
  text += row.cause.empty() ? "" : ": " + row.cause;
  text += row.duplicate.empty() ? "" : " (DUPLICATE " + row.duplicate + ")";
  text += row.logged ? "" : " (not in the log)";
  text += row.present ? (row.state == PortState::finished ? "  (unplug to flash again)" : "")
                      : "  (unplugged)";
  return {text, *row.verdict != Verdict::pass ? "red" : row.duplicate.empty() ? "green" : "yellow"};
}

namespace {

std::string PortLine(const Station& station, const std::string& port, const PortRow& row,
                     std::size_t portWidth, std::size_t width, bool ansi) {
  std::string line = port + std::string(portWidth - std::min(portWidth, port.size()), ' ');
  const int filled = row.progress * kBarWidth / 100;
  line += " [" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] ";
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%% ", row.progress);
  line += percent;
  if (row.state == PortState::running) {
    char attempt[16];
    std::snprintf(attempt, sizeof attempt, "%d/%d ", std::min(row.attempt, 99), MaxAttempts);
    line += (row.attempt > 0 ? std::string(attempt) : "    ") + Elapsed(station.Now() - row.start);
    line += ' ';
  }
  const auto [text, colour] = PortTail(station, row);
  const std::size_t tailAt = line.size();
  return Fit(line + text, tailAt, colour, width, ansi);
}

}  // namespace

namespace {

// Which ports get a line first when not all fit: failed and faulted, then duplicates, then the
// running ones, then the rest.
int Urgency(const PortRow& row) {
  if (row.state == PortState::fault ||
      (row.state != PortState::running && row.verdict && *row.verdict != Verdict::pass)) {
    return 0;
  }
  return !row.duplicate.empty() ? 1 : row.state == PortState::running ? 2 : 3;
}

}  // namespace

std::string RenderLive(const Station& station, bool ansi, ScreenSize size) {
  const std::size_t width = static_cast<std::size_t>(std::max(size.columns - 1, 20));
  std::size_t portWidth = 4;
  for (const auto& [port, row] : station.Rows()) {
    portWidth = std::max(portWidth, std::min<std::size_t>(port.size(), 24));
  }
  std::vector<std::pair<const std::string*, const PortRow*>> rows;
  for (const auto& [port, row] : station.Rows()) {
    rows.emplace_back(&port, &row);
  }
  // Every line ends with a line end, so the block leaves the terminal's last row to the cursor:
  // a block as tall as the terminal would scroll it at every redraw. The counters take one line,
  // a summary of what does not fit one more.
  const std::size_t room = static_cast<std::size_t>(std::max(size.rows - 2, 2));
  const std::size_t shown = rows.size() <= room ? rows.size() : room - 1;
  if (shown < rows.size()) {
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
      return Urgency(*a.second) < Urgency(*b.second);
    });
  }
  std::string text;
  Counters hidden;
  std::string hiddenFailed;
  for (std::size_t index = 0; index < rows.size(); ++index) {
    const auto& [port, row] = rows[index];
    if (index < shown) {
      text += PortLine(station, *port, *row, portWidth, width, ansi) + "\n";
    } else if (row->state == PortState::running) {
      ++hidden.running;
    } else if (row->verdict && *row->verdict == Verdict::pass) {
      ++hidden.passed;
    } else if (Urgency(*row) == 0) {
      ++hidden.failed;
      hiddenFailed.append(hiddenFailed.empty() ? ": " : ", ").append(Printable(*port));
    }
  }
  if (shown < rows.size()) {
    const std::string more = "... " + std::to_string(rows.size() - shown) +
                             " more ports: " + std::to_string(hidden.running) + " running, " +
                             std::to_string(hidden.passed) + " passed, " +
                             std::to_string(hidden.failed) + " failed or faulted" + hiddenFailed;
    text += Fit(more, more.size(), "", width, ansi) + "\n";
  }
  const std::string counters = CountersLine(station.Count()) +
                               (station.Halted() == Halt::logFailed ? "  STOPPED: LOG NOT WRITABLE"
                                : station.Stopping()                ? "  (stopping)"
                                                                    : "");
  return text + Fit(counters, 0, station.Halted() == Halt::none ? "" : "red", width, ansi) + "\n";
}

std::string LiveScreen::Redraw(const Station& station, ScreenSize size) {
  std::string text;
  if (linesDrawn_ > 0) {
    text = "\x1b[" + std::to_string(linesDrawn_) + "F";  // to the start of the first line
  }
  const std::string block = RenderLive(station, true, size);
  // Each line is cleared to its end, so a shorter status leaves nothing of the longer one.
  std::size_t start = 0;
  const int before = linesDrawn_;
  linesDrawn_ = 0;
  while (start < block.size()) {
    const std::size_t end = block.find('\n', start);
    text += block.substr(start, end - start) + "\x1b[K\n";
    start = end + 1;
    ++linesDrawn_;
  }
  // A block shorter than the last one leaves its old lines below: clear them.
  if (linesDrawn_ < before) {
    text += "\x1b[J";
  }
  return text;
}

}  // namespace station
