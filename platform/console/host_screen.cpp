// What the console host shows: the dialog on the console, and the ui trace.

#include "platform/console/host.h"

#include <cstdio>

namespace console {

void Host::Record(const std::string& line) {
  std::FILE* trace = nullptr;
  {
    std::lock_guard lock(mutex);
    events.push_back(line);
    view.progress = progress;
    trace = options.uiTrace;
  }
  if (trace != nullptr) {
    std::fprintf(trace, "%s\n", line.c_str());
    std::fflush(trace);
  }
}

void Host::Note(const std::string& event) {
  std::function<void(const std::string&)> timeline;
  {
    std::lock_guard lock(mutex);
    timeline = options.timeline;
  }
  if (timeline) {
    timeline(event);
  }
}

void Host::ShowTitle() {
  if (options.screen == nullptr) {
    return;
  }
  if (options.terminal) {
    std::fprintf(options.screen, "\x1b[1m%s\x1b[0m\n", DialogCaption);
  } else {
    std::fprintf(options.screen, "%s\n", DialogCaption);
  }
  std::fflush(options.screen);
}

// A terminal line is redrawn on every paint; a plain line is written for each text or position
// set (`set`), not for the redraws in between.
void Host::Render(bool set) {
  std::FILE* screen = options.screen;
  if (screen == nullptr) {
    return;
  }
  if (!options.terminal) {
    if (!set) {
      return;
    }
    char line[320];
    std::snprintf(line, sizeof line, "[%3d%%] %s\n", progress, label.text.c_str());
    // Setting a position or text to what it already shows is no change to report.
    if (lastPlainLine != line) {
      lastPlainLine = line;
      std::fputs(line, screen);
      std::fflush(screen);
    }
    return;
  }
  constexpr int kBarWidth = 30;
  const int filled = progress * kBarWidth / 100;
  std::string bar(static_cast<std::size_t>(filled < 0           ? 0
                                           : filled > kBarWidth ? kBarWidth
                                                                : filled),
                  '#');
  bar.resize(kBarWidth, '.');
  const char* colour = labelColour == StatusRed    ? "\x1b[31m"
                       : labelColour == StatusBlue ? "\x1b[34m"
                                                   : "";
  std::fprintf(screen, "\r\x1b[2K%s%-28s\x1b[0m [%s] %3d%%", colour, label.text.c_str(),
               bar.c_str(), progress);
  std::fflush(screen);
  lineOpen = true;
}

void Host::EndScreenLine() {
  if (options.screen != nullptr && options.terminal && lineOpen) {
    std::fputc('\n', options.screen);
    std::fflush(options.screen);
    lineOpen = false;
  }
}

}  // namespace console
