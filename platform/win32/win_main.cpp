// reflash.exe: installs the Win32 seams and starts the front end; it takes no command line.

#include <windows.h>

#include "app/reflash_app.h"
#include "platform/win32/win32_device_tree.h"
#include "platform/win32/win32_media_capture.h"
#include "platform/win32/win32_windowing.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  InstallWindowing(Win32WindowingOps());
  InstallDeviceTree(Win32DeviceTreeOps());
  CamInstallMediaCapture(Win32MediaCaptureOps());
  return ReflashAppMain();
}
