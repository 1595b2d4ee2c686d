// reflash for Linux: the front end on the console host, with the camera reached through sysfs,
// V4L2 and the uvcvideo driver. Started as it is on a line, it takes no command line (what it is
// given besides is ignored); a station starts it with `--port PORT --station` to take the camera
// on one USB port.

#include <unistd.h>

#include <cstdio>

#include "seams/device_tree.h"
#include "app/reflash_app.h"
#include "seams/media_capture.h"
#include "platform/console/console_host.h"
#include "platform/console/station_worker.h"
#include "platform/console/tool_command_line.h"
#include "platform/linux/stop_signals.h"
#include "platform/linux/sysfs_device_tree.h"
#include "platform/linux/usb_port.h"
#include "platform/linux/v4l2_media_capture.h"
#include "reflash_version.h"
#include "resources/embedded_image.h"

namespace {

constexpr const char* kUsage =
    "usage: reflash [--port BUS-PORT[.PORT...]] [--station] [--help] [--version]\n"
    "Updates the camera's firmware and leaves the verdict in Result.log; it takes no command\n"
    "line (other arguments are ignored). A station gives it --port, the USB port of its camera,\n"
    "and --station, to write its worker lines on standard output.\n";

bool IsPort(const char* text) {
  return linuxplat::IsUsbPortName(text);
}

}  // namespace

int main(int argc, char** argv) {
  console::ToolCommandLine worker;
  if (const auto status = console::AnswerToolCommandLine(
          argc, argv, IsPort, kUsage, REFLASH_VERSION_TEXT, stdout, stderr, worker)) {
    return *status;
  }
  console::IgnoreInterrupts();
  linuxplat::IgnoreStopSignals();
  linuxplat::SelectUsbPort(worker.port);

  console::HostOptions host;
  host.screen = worker.station ? nullptr : stdout;
  host.terminal = !worker.station && isatty(fileno(stdout)) != 0;
  host.hasImage = true;
  host.image = EmbeddedFirmwareImage;
  host.imageSize = EmbeddedFirmwareImageSize;
  host.exitEndsProcess = true;
  if (worker.station) {
    console::Worker().Open(stdout, worker.port);
    host.timeline = [](const std::string& event) { console::Worker().Event(event); };
    host.beforeExit = [](int status) { console::Worker().Finish(status); };
  }
  console::InstallConsoleHost(host);

  InstallDeviceTree(linuxplat::SysfsDeviceTreeOps());
  const MediaCaptureOps* capture = linuxplat::V4l2MediaCaptureOps();
  CamInstallMediaCapture(worker.station ? console::Worker().Wrap(capture) : capture);
  const int status = ReflashAppMain();
  console::Worker().Finish(status);
  return status;
}
