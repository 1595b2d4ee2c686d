// reflash.exe: installs the Win32 seams and starts the front end. Started as it is on a line, it
// takes no command line; a station gives it `--port LOCATION` to take the camera on one port.

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/reflash_app.h"
#include "platform/win32/port_location.h"
#include "platform/win32/win32_device_tree.h"
#include "platform/win32/win32_media_capture.h"
#include "platform/win32/win32_windowing.h"

namespace {

constexpr int kUsageError = 64;  // EX_USAGE

// "--port Port_#0002.Hub_#0001" or nothing at all.
bool ParsePort(int argc, char** argv, std::string& port) {
  if (argc == 1) {
    return true;
  }
  if (argc == 3 && std::strcmp(argv[1], "--port") == 0 && std::strncmp(argv[2], "Port_#", 6) == 0 &&
      std::strlen(argv[2]) < 200) {
    port = argv[2];
    return true;
  }
  return false;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::string port;
  if (!ParsePort(__argc, __argv, port)) {
    MessageBoxA(nullptr, "usage: reflash.exe [--port Port_#NNNN.Hub_#NNNN]", "reflash",
                MB_OK | MB_ICONERROR);
    return kUsageError;
  }
  SelectPortLocation(port);
  InstallWindowing(Win32WindowingOps());
  InstallDeviceTree(PortFilteredDeviceTree(Win32DeviceTreeOps()));
  CamInstallMediaCapture(PortFilteredMediaCapture(Win32MediaCaptureOps()));
  return ReflashAppMain();
}
