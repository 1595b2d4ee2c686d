// reflash.exe: installs the Win32 seams and starts the front end. Started as it is on a line, it
// takes no command line; a station gives it `--port LOCATION` to take the camera on one port,
// and `--station` to run without a window and write what the dialog would show as worker lines
// on its standard output.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/reflash_app.h"
#include "app/run_state.h"
#include "platform/console/console_host.h"
#include "platform/console/station_worker.h"
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

// The embedded image, for the console host that stands in for the dialog.
bool EmbeddedImage(const std::uint8_t*& data, std::size_t& size) {
  HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(IdrFirmwareImage), FirmwareResourceType);
  HGLOBAL loaded = resource == nullptr ? nullptr : LoadResource(nullptr, resource);
  data = loaded == nullptr ? nullptr : static_cast<const std::uint8_t*>(LockResource(loaded));
  size = data == nullptr ? 0 : SizeofResource(nullptr, resource);
  return data != nullptr;
}

// Under a station the front end runs on the console host: no window is made, so no worker
// shows a dialog of its own; what the dialog would show goes to the station as worker lines.
void InstallStationHost(const std::string& port) {
  console::IgnoreInterrupts();
  SetConsoleCtrlHandler(nullptr, TRUE);
  console::Worker().Open(stdout, port);
  console::HostOptions host;
  host.hasImage = EmbeddedImage(host.image, host.imageSize);
  host.exitEndsProcess = true;
  host.timeline = [](const std::string& event) { console::Worker().Event(event); };
  host.beforeExit = [](int status) { console::Worker().Finish(status); };
  console::InstallConsoleHost(host);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  WorkerOptions options;
  if (!ParseWorkerOptions(__argc, __argv, options)) {
    std::fputs("usage: reflash.exe [--port Port_#NNNN.Hub_#NNNN] [--station]\n", stderr);
    return kUsageError;
  }
  SelectPortLocation(options.port);
  const MediaCaptureOps* capture = PortFilteredMediaCapture(Win32MediaCaptureOps());
  if (options.station) {
    InstallStationHost(options.port);
    capture = console::Worker().Wrap(capture);
  } else {
    InstallWindowing(Win32WindowingOps());
  }
  InstallDeviceTree(PortFilteredDeviceTree(Win32DeviceTreeOps()));
  CamInstallMediaCapture(capture);
  const int status = ReflashAppMain();
  console::Worker().Finish(status);
  return status;
}
