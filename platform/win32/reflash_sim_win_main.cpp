// reflash-sim.exe: the Win32 dialog over the built-in simulated camera, with reflash-sim's options;
// under a station (--station) the console host instead, without a window.
// The Win32 windowing table is used as it is, except for the few calls the simulation steers: the
// waits follow the simulator's clock, the ui trace records what the dialog shows, and the
// process end writes the simulator's outputs first.

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "app/reflash_app.h"
#include "product/resource_ids.h"
#include "seams/media_capture.h"
#include "platform/console/console_host.h"
#include "platform/console/station_worker.h"
#include "platform/console/timeline.h"
#include "platform/sim_program/sim_options.h"
#include "platform/sim_program/sim_session.h"
#include "platform/win32/win32_windowing.h"

namespace {

constexpr int kUsageError = 64;  // EX_USAGE

// Lives until the process ends; exit() runs inside a message handler.
console::SimSession& Session() {
  static auto* session = new console::SimSession;
  return *session;
}

console::SimOptions simOptions;
WindowingOps simWindowing;
const WindowingOps* win32 = nullptr;
std::mutex traceMutex;

void Trace(const std::string& line) {
  // The station's worker lines carry the same events, in the timeline's form.
  if (line.rfind("progress ", 0) == 0) {
    console::Worker().Event(line);
  }
  std::FILE* trace = Session().UiTrace();
  if (trace == nullptr) {
    return;
  }
  std::lock_guard lock(traceMutex);
  std::fputs((line + "\n").c_str(), trace);
  std::fflush(trace);
}

bool IsControl(HWnd window, int id) {
  return GetDlgCtrlID(reinterpret_cast<HWND>(window)) == id;
}

LResult SendMessageOp(HWnd window, std::uint32_t message, WParam wParam, LParam lParam) {
  const LResult result = win32->sendMessage(window, message, wParam, lParam);
  if (message == PbmSetPos && IsControl(window, IdcProgressBar)) {
    Trace("progress " + std::to_string(wParam));
  }
  return result;
}

// The colour the label paints its text in: asked of the dialog exactly as the label's own
// painting asks it, through the control-colour request, on a scratch device context.
COLORREF LabelColour(HWND label) {
  HDC dc = CreateCompatibleDC(nullptr);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  SendMessageA(GetParent(label), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
               reinterpret_cast<LPARAM>(label));
  const COLORREF colour = GetTextColor(dc);
  DeleteDC(dc);
  return colour;
}

bool SetWindowTextOp(HWnd window, const char* text) {
  const bool result = win32->setWindowText(window, text);
  if (IsControl(window, IdcStatusLabel)) {
    char colour[16];
    std::snprintf(colour, sizeof colour, "0x%08X",
                  static_cast<unsigned>(LabelColour(reinterpret_cast<HWND>(window))));
    Trace(std::string("status ") + colour + " " + text);
    const COLORREF painted = LabelColour(reinterpret_cast<HWND>(window));
    const std::string name = painted == StatusBlue ? "blue" : painted == StatusRed ? "red" : colour;
    console::Worker().Event("status " + name + " " + console::Timeline::Quoted(text));
  }
  return result;
}

// On the simulated clock every wait returns at once, the start-up timer included.
TimerId SetTimerOp(HWnd window, TimerId id, std::uint32_t milliseconds) {
  return win32->setTimer(window, id, simOptions.instant ? USER_TIMER_MINIMUM : milliseconds);
}

void SleepOp(std::uint32_t milliseconds) {
  Session().Sleep(milliseconds);
}

void ExitOp(int status) {
  Session().Finish();
  console::Worker().Finish(status);
  win32->exit(status);
}

// --image: the run's image stands in for the embedded resource "BYTE" 131.
HRsrc FindResourceOp(int id, const char* type) {
  if (simOptions.image.empty()) {
    return win32->findResource(id, type);
  }
  if (id != IdrFirmwareImage || type == nullptr || std::string(type) != FirmwareResourceType ||
      Session().Image().empty()) {
    return nullptr;
  }
  return reinterpret_cast<HRsrc>(&Session());
}

HGlobal LoadResourceOp(HRsrc resource) {
  if (simOptions.image.empty()) {
    return win32->loadResource(resource);
  }
  return reinterpret_cast<HGlobal>(resource);
}

std::uint32_t SizeofResourceOp(HRsrc resource) {
  if (simOptions.image.empty()) {
    return win32->sizeofResource(resource);
  }
  return static_cast<std::uint32_t>(Session().Image().size());
}

const void* LockResourceOp(HGlobal data) {
  if (simOptions.image.empty()) {
    return win32->lockResource(data);
  }
  return Session().Image().data();
}

// Under a station the front end runs on the console host, as it does in reflash.exe: no worker
// makes a window; what the dialog would show goes to the station as worker lines.
void InstallStationHost() {
  console::IgnoreInterrupts();
  console::HostOptions host;
  host.uiTrace = Session().UiTrace();
  host.timeline = [](const std::string& event) {
    Session().Timeline().Record(event);
    console::Worker().Event(event);
  };
  host.hasImage = !Session().Image().empty();
  host.image = Session().Image().data();
  host.imageSize = Session().Image().size();
  host.sleep = [](std::uint32_t milliseconds) { Session().Sleep(milliseconds); };
  host.virtualTimers = Session().Instant();
  host.exitEndsProcess = true;
  host.beforeExit = [](int status) {
    Session().Finish();
    console::Worker().Finish(status);
  };
  console::InstallConsoleHost(host);
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  if (!console::ParseSimOptions(argc, argv, simOptions, error) ||
      !Session().Start(simOptions, error)) {
    std::fprintf(stderr, "reflash-sim: %s\n", error.c_str());
    return kUsageError;
  }
  if (simOptions.station) {
    console::Worker().Open(stdout,
                           simOptions.port.empty() ? simOptions.cameraPort : simOptions.port);
    CamInstallMediaCapture(console::Worker().Wrap(CamMediaCapture()));
    InstallStationHost();
    const int status = ReflashAppMain();
    Session().Finish();
    console::Worker().Finish(status);
    return status;
  }
  win32 = Win32WindowingOps();
  simWindowing = *win32;
  simWindowing.sendMessage = SendMessageOp;
  simWindowing.setWindowText = SetWindowTextOp;
  simWindowing.setTimer = SetTimerOp;
  simWindowing.sleep = SleepOp;
  simWindowing.exit = ExitOp;
  simWindowing.findResource = FindResourceOp;
  simWindowing.loadResource = LoadResourceOp;
  simWindowing.sizeofResource = SizeofResourceOp;
  simWindowing.lockResource = LockResourceOp;
  InstallWindowing(&simWindowing);

  const int status = ReflashAppMain();
  Session().Finish();
  console::Worker().Finish(status);
  return status;
}
