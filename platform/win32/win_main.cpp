// reflash.exe: installs the Win32 seams and starts the front end. Started as it is on a line, it
// takes no command line; a station gives it `--port LOCATION` to take the camera on one port,
// and `--station` to write what the dialog shows as worker lines on its standard output.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/reflash_app.h"
#include "app/run_state.h"
#include "platform/console/station_worker.h"
#include "platform/console/timeline.h"
#include "platform/win32/port_location.h"
#include "platform/win32/win32_device_tree.h"
#include "platform/win32/win32_media_capture.h"
#include "platform/win32/win32_windowing.h"

namespace {

constexpr int kUsageError = 64;  // EX_USAGE

struct WorkerOptions {
  std::string port;
  bool station = false;
};

// "--port Port_#0002.Hub_#0001" and "--station", or nothing at all.
bool ParseWorkerOptions(int argc, char** argv, WorkerOptions& options) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--station") == 0) {
      options.station = true;
    } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc &&
               std::strncmp(argv[i + 1], "Port_#", 6) == 0 && std::strlen(argv[i + 1]) < 200) {
      options.port = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

const WindowingOps* win32 = nullptr;
WindowingOps stationWindowing;

LResult SendMessageOp(HWnd window, std::uint32_t message, WParam wParam, LParam lParam) {
  const LResult result = win32->sendMessage(window, message, wParam, lParam);
  if (message == PbmSetPos && GetDlgCtrlID(reinterpret_cast<HWND>(window)) == IdcProgressBar) {
    console::Worker().Event("progress " + std::to_string(wParam));
  }
  return result;
}

// The colour the label paints its text in, asked of the dialog as the label's painting asks it.
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
  if (GetDlgCtrlID(reinterpret_cast<HWND>(window)) == IdcStatusLabel) {
    const COLORREF colour = LabelColour(reinterpret_cast<HWND>(window));
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(colour));
    const std::string name = colour == StatusBlue ? "blue" : colour == StatusRed ? "red" : hex;
    console::Worker().Event("status " + name + " " + console::Timeline::Quoted(text));
  }
  return result;
}

void ExitOp(int status) {
  console::Worker().Finish(status);
  win32->exit(status);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  WorkerOptions options;
  if (!ParseWorkerOptions(__argc, __argv, options)) {
    std::fputs("usage: reflash.exe [--port Port_#NNNN.Hub_#NNNN] [--station]\n", stderr);
    return kUsageError;
  }
  SelectPortLocation(options.port);
  win32 = Win32WindowingOps();
  const MediaCaptureOps* capture = PortFilteredMediaCapture(Win32MediaCaptureOps());
  if (options.station) {
    console::Worker().Open(stdout, options.port);
    capture = console::Worker().Wrap(capture);
    stationWindowing = *win32;
    stationWindowing.sendMessage = SendMessageOp;
    stationWindowing.setWindowText = SetWindowTextOp;
    stationWindowing.exit = ExitOp;
  }
  InstallWindowing(options.station ? &stationWindowing : win32);
  InstallDeviceTree(PortFilteredDeviceTree(Win32DeviceTreeOps()));
  CamInstallMediaCapture(capture);
  const int status = ReflashAppMain();
  console::Worker().Finish(status);
  return status;
}
