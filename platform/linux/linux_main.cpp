// reflash for Linux: the front end on the console host, with the camera reached through sysfs,
// V4L2 and the uvcvideo driver. Started as it is on a line, it takes no command line; a station
// starts it with `--port PORT --station` to take the camera on one USB port.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/device_tree.h"
#include "app/reflash_app.h"
#include "camera/media_capture.h"
#include "platform/console/console_host.h"
#include "platform/linux/stop_signals.h"
#include "platform/console/station_worker.h"
#include "platform/linux/sysfs_device_tree.h"
#include "platform/linux/usb_port.h"
#include "platform/linux/v4l2_media_capture.h"
#include "resources/embedded_image.h"

namespace {

constexpr int kUsageError = 64;  // EX_USAGE

struct WorkerOptions {
  std::string port;
  bool station = false;
};

bool ParseWorkerOptions(int argc, char** argv, WorkerOptions& options) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--station") == 0) {
      options.station = true;
    } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc &&
               linuxplat::IsUsbPortName(argv[i + 1])) {
      options.port = argv[++i];
    } else {
      std::fprintf(stderr,
                   "reflash: bad command line; usage: reflash [--port BUS-PORT[.PORT...]] "
                   "[--station]\n");
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  WorkerOptions worker;
  if (!ParseWorkerOptions(argc, argv, worker)) {
    return kUsageError;
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
