#pragma once
// A media-capture seam for the fuzz targets: capture devices described by the fuzz input, whose
// extension unit either answers from the input or behaves like a well-mannered camera, as a
// camera source under the emulated framework.

#include <cstdint>
#include <string>
#include <vector>

#include "seams/camera_source.h"
#include "seams/media_capture.h"
#include "fuzz/fuzz_input.h"

namespace fuzz {

struct CaptureDevice {
  std::u16string path;  // an embedded 0 ends it as the layer sees it
  bool bagFails = false;
  bool pathFails = false;
  bool filterFails = false;
  bool topologyFails = false;
  bool nodeCountFails = false;
  std::uint32_t nodes = 0;
  std::uint32_t vendorNodes = 0;    // bit i: node i is vendor-specific
  std::uint32_t instanceFails = 0;  // bit i: node i yields no control interface
  bool identifies = true;           // the well-mannered camera answers the identification
};

struct CaptureWorld {
  bool deviceEnumFails = false;
  bool classEnumFails = false;
  bool controlFails = false;
  std::vector<CaptureDevice> devices;
  // Null: the well-mannered camera. Otherwise every request's result code, every probe result
  // and every answer's bytes are drawn from here.
  Input* answers = nullptr;
  // Requests (and 1 ms sleeps) answered before the device leaves: every further request fails
  // with the removal error.
  std::uint32_t requestCap = 4096;
};

// Installs the seam for one input; traps if the previous input left anything held.
void StartCaptureWorld(CaptureWorld world);
const MediaCaptureOps* CaptureSeam();

// Objects and strings handed out and not yet given back, and the apartment depth.
int HeldObjects();
int HeldStrings();
int ApartmentDepth();
std::uint32_t RequestsSent();
// The device whose filter is `filter`, or -1.
int DeviceOfFilter(McObject* filter);

}  // namespace fuzz
