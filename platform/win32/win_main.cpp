// reflash.exe: installs the Win32 seams and starts the front end. Started as it is on a line, it
// takes no command line (what it is given besides is ignored); a station gives it
// `--port LOCATION` to take the camera on one port, and `--station` to write what the dialog shows
// as worker lines on its standard output.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/reflash_app.h"
#include "app/run_state.h"
#include "platform/console/station_worker.h"
#include "platform/console/timeline.h"
#include "platform/console/tool_command_line.h"
#include "platform/win32/port_location.h"
#include "platform/win32/win32_device_tree.h"
#include "platform/win32/win32_media_capture.h"
#include "platform/win32/win32_windowing.h"
#include "reflash_version.h"

namespace {

constexpr const char* kUsage =
    "usage: reflash.exe [--port Port_#NNNN.Hub_#NNNN] [--station] [--help] [--version]\n"
    "Updates the camera's firmware and leaves the verdict in Result.log; it takes no command\n"
    "line (other arguments are ignored). A station gives it --port, the location of its camera's\n"
    "port, and --station, to write its worker lines on standard output.\n";

// "Port_#0002.Hub_#0001", as the device tree gives a location.
bool IsPortLocation(const char* text) {
  return std::strncmp(text, "Port_#", 6) == 0 && std::strlen(text) < 200;
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
  console::ToolCommandLine options;
  if (const auto status = console::AnswerToolCommandLine(
          __argc, __argv, IsPortLocation, kUsage, REFLASH_VERSION_TEXT, stdout, stderr, options)) {
    return *status;
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
