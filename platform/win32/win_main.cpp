// reflash.exe: installs the Win32 seams and starts the front end. Started as it is on a line, it
// takes no command line (what it is given besides is ignored); a station gives it
// `--port LOCATION` to take the camera on one port, and `--station` to run without a window and
// write what the dialog would show as worker lines on its standard output.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/reflash_app.h"
#include "product/resource_ids.h"
#include "platform/console/console_host.h"
#include "platform/console/station_worker.h"
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
  console::ToolCommandLine options;
  if (const auto status = console::AnswerToolCommandLine(
          __argc, __argv, IsPortLocation, kUsage, REFLASH_VERSION_TEXT, stdout, stderr, options)) {
    return *status;
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
