#include "tests/win32/test_camera_scenario.h"

#include <cstddef>

#include "platform/sim/simulator.h"

namespace {

// The camera as it arrives at the work station: older firmware in a flash whose status register
// protects it (bit 7 and the block-protect bits), the write-protect pin low and wired to the GPIO
// pin that the image's protection byte drives (pin 3).
sim::CameraConfig ProductCamera() {
  sim::CameraConfig camera;
  camera.flashStatus = 0x9C;
  camera.writeProtectPin = 3;
  // The chip's own flash path waits out a program by sleeping on the simulator's real clock,
  // and a sleep of a few microseconds can return early on Windows; programs are instant here.
  camera.flashTiming.programMicros = 0;
  return camera;
}

void LoadOlderFirmware(sim::Device& device) {
  auto& contents = device.camera()->flash().contents();
  for (std::size_t i = 0; i < contents.size(); ++i) {
    contents[i] = static_cast<std::uint8_t>((i * 13 + 0x21) & 0x7F);
  }
}

}  // namespace

bool AddScenarioDevice(sim::CaptureFramework& framework, std::string_view scenario) {
  sim::CameraConfig camera = ProductCamera();
  sim::DeviceSpec spec;
  if (scenario == "normal") {
    spec = sim::CameraDevice(camera);
  } else if (scenario == "erase-fail") {
    // A chip ("236R", row 10) and flash type that erase through the chip's own serial-flash
    // path; that path stalls every request, so the erase fails before anything is written.
    camera.chipIndex = 10;
    camera.flashType = 1;
    spec = sim::CameraDevice(camera);
  } else if (scenario == "no-xu-node") {
    spec = sim::CameraDeviceWithoutVendorNodes(camera);
  } else {
    return false;
  }
  sim::Device& device = framework.addDevice(spec);
  if (scenario == "erase-fail") {
    device.faults().failSelector = 3;
  }
  LoadOlderFirmware(device);
  return true;
}

const DeviceTreeOps* ScenarioDeviceTree(std::string_view tree) {
  sim::WorldOptions options;
  if (tree == "none") {
    options.cameraPresent = false;
  } else if (tree != "camera") {
    return nullptr;
  }
  sim::BuildOneCameraWorld(options);
  return sim::DeviceTreeTable();
}
