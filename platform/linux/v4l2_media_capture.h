#pragma once
// The media-capture seam over V4L2 and the uvcvideo driver: one capture device per camera, its
// units as the topology, and extension-unit requests as UVCIOC_CTRL_QUERY calls, under the
// emulated framework.

#include <cstdint>
#include <string>
#include <vector>

#include "seams/media_capture.h"

namespace capture {
class Emulation;
}

namespace linuxplat {

// The table of operations (the one capture emulation over uvcvideo's cameras); install it with
// CamInstallMediaCapture.
const MediaCaptureOps* V4l2MediaCaptureOps();
// That emulation, for its leak accounting.
capture::Emulation& V4l2Emulation();

// Where sysfs and the device nodes are ("/sys" and "/dev" unless a test points them elsewhere).
void SetV4l2Roots(const std::string& sysRoot, const std::string& devRoot);

// One camera as the enumeration lists it.
struct V4l2Camera {
  std::string node;     // the capture node, e.g. "/dev/video0"
  std::string busPort;  // "1-1", "3-1.2"
  std::uint32_t vendorId = 0;
  std::uint32_t productId = 0;
  std::uint32_t interfaceNumber = 0;  // of the VideoControl interface
  std::string deviceDir;              // the USB device's sysfs folder
  std::string nodeDir;                // the capture node's sysfs folder (class/video4linux/videoN)
  std::uint64_t deviceNumber = 0;     // the node's device number as sysfs listed it; 0 unknown
  std::u16string devicePath;          // the path in the form the camera layer chooses by
};

// The cameras present now, in the order of their device nodes; read afresh on every call.
std::vector<V4l2Camera> ListV4l2Cameras();

}  // namespace linuxplat
