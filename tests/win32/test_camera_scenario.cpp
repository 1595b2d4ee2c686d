#include "tests/win32/test_camera_scenario.h"

#include <algorithm>

#include "platform/sim_program/sim_session.h"
#include "platform/sim/simulator.h"
#include "resources/embedded_image.h"

namespace {

// The camera as it arrives at the work station, as reflash-sim builds it: older firmware in a
// flash whose status register protects it, the write-protect pin low and wired to the GPIO pin
// the image's protection byte drives.
sim::CameraConfig ProductCamera() {
  sim::CameraConfig camera;
  camera.flashStatus = console::ProtectedFlashStatus;
  camera.writeProtectPin = console::WriteProtectGpioPin;
  return camera;
}

void LoadOlderFirmware(sim::Device& device) {
  const auto older = console::OlderFirmware(EmbeddedFirmwareImage, EmbeddedFirmwareImageSize);
  auto& contents = device.camera()->flash().contents();
  std::copy(older.begin(), older.end(), contents.begin());
}

}  // namespace

bool AddScenarioDevice(sim::CaptureFramework& framework, std::string_view scenario) {
  sim::CameraConfig camera = ProductCamera();
  sim::DeviceSetup setup;
  if (scenario == "normal") {
    setup = sim::CameraDevice(camera);
  } else if (scenario == "erase-fail") {
    // A chip ("236R", row 10) and flash type that erase through the chip's own serial-flash
    // path; that path stalls every request, so the erase fails before anything is written.
    camera.chipIndex = 10;
    camera.flashType = 1;
    setup = sim::CameraDevice(camera);
  } else if (scenario == "no-xu-node") {
    setup = sim::CameraDeviceWithoutVendorNodes(camera);
  } else {
    return false;
  }
  sim::Device& device = framework.addDevice(setup);
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
