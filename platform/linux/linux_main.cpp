// reflash for Linux: the front end on the console host, with the camera reached through sysfs,
// V4L2 and the uvcvideo driver. It takes no command line.

#include <unistd.h>

#include <cstdio>

#include "app/device_tree.h"
#include "app/reflash_app.h"
#include "camera/media_capture.h"
#include "platform/console/console_host.h"
#include "platform/linux/stop_signals.h"
#include "platform/linux/sysfs_device_tree.h"
#include "platform/linux/v4l2_media_capture.h"
#include "resources/embedded_image.h"

int main() {
  console::IgnoreInterrupts();
  linuxplat::IgnoreStopSignals();

  console::HostOptions host;
  host.screen = stdout;
  host.terminal = isatty(fileno(stdout)) != 0;
  host.hasImage = true;
  host.image = EmbeddedFirmwareImage;
  host.imageSize = EmbeddedFirmwareImageSize;
  host.exitEndsProcess = true;
  console::InstallConsoleHost(host);

  InstallDeviceTree(linuxplat::SysfsDeviceTreeOps());
  CamInstallMediaCapture(linuxplat::V4l2MediaCaptureOps());
  return ReflashAppMain();
}
