#pragma once
// A portable host for the windowing seam: the dialog as a status line and progress bar on a
// console.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "seams/windowing.h"

namespace console {

struct HostOptions {
  // Where the dialog is shown (caption as a title, then status and progress); null for nowhere.
  std::FILE* screen = nullptr;
  // One line redrawn in place with the status in colour; otherwise one plain line per change.
  bool terminal = false;
  // One line per change: "progress <n>" or "status 0x<COLORREF> <text>"; null for none.
  std::FILE* uiTrace = nullptr;
  // One line per event for the run's timeline (status, progress, timer, sleep, exit, in the
  // format of platform/console/timeline.h, without the time); null for none.
  std::function<void(const std::string&)> timeline;
  // Data resource "BYTE" 131; absent when hasImage is false.
  bool hasImage = false;
  const std::uint8_t* image = nullptr;
  std::size_t imageSize = 0;
  // Sleep; null for a real sleep.
  std::function<void(std::uint32_t)> sleep;
  // Timers elapse through `sleep` (a virtual clock) instead of the steady clock.
  bool virtualTimers = false;
  // exit() ends the process after `beforeExit`; otherwise it records the status and ends the
  // dialog's run, so a test can go on.
  bool exitEndsProcess = true;
  std::function<void(int status)> beforeExit;
};

// What the host shows, for tests.
struct HostView {
  std::string caption;
  std::string statusText;
  ColorRef statusColour = 0;    // as last painted through the control-colour request
  std::int32_t fontHeight = 0;  // lfHeight of the font selected when the label last painted
  int progress = 0;
  std::vector<WParam> iconsSet;  // WM_SETICON kinds, in order
  std::uint32_t commonControls = 0;
  int liveGdiObjects = 0;  // brushes and fonts created and not yet deleted
};

// Installs the host as the windowing seam (again for every test; the host itself lives forever,
// because detached workers may still be returning from their last send).
void InstallConsoleHost(const HostOptions& options);

// The status given to exit(), or -1 while the run goes on.
int ExitStatus();
// Waits until every worker thread the host started has returned; false on time-out.
bool WaitForWorkers(std::chrono::milliseconds timeout);
// One line per change, as written to the ui trace.
std::vector<std::string> Events();
HostView View();
// PostMessage to the dialog from any thread: handled by the interface thread's loop.
void PostToDialog(std::uint32_t message, WParam wParam, LParam lParam);

// Ctrl-C and hang-up (and a closed output pipe) must not end a run half-way through a write.
void IgnoreInterrupts();

}  // namespace console
