#include "tests/app/sim_front_end_fixture.h"

#include <filesystem>
#include <sstream>

#include "seams/device_tree.h"
#include "app/run_state.h"
#include "camera/camera.h"
#include "seams/media_capture.h"
#include "resources/embedded_image.h"

namespace apptest {

sim::CameraConfig ProtectedCamera(int chipIndex) {
  sim::CameraConfig config;
  config.chipIndex = chipIndex;
  config.flashStatus = 0x8C;
  config.writeProtectPin = 3;
  return config;
}

void SimFrontEndTest::SetUp() {
  FrontEndTest::SetUp();
  ResetWorld();
  InstallDeviceTree(sim::DeviceTreeTable());
  CamInstallMediaCapture(sim::MediaCaptureTable());
}

void SimFrontEndTest::ResetWorld() {
  ResetFrontEndState();
  CamResetState();
  sim::ResetSimulator();
  hub = sim::CurrentDeviceTree().addWorkStation();
  cameras = 0;
  std::error_code ignored;
  std::filesystem::remove("Result.log", ignored);
}

void SimFrontEndTest::TearDown() {
  sim::ResetSimulator();
  FrontEndTest::TearDown();
}

sim::Device& SimFrontEndTest::AddCamera(std::string_view treeId, std::string_view pathId,
                                        const sim::CameraConfig& config) {
  return AddCameraWithPath(sim::CameraDevicePath(pathId, cameras), treeId, config);
}

sim::Device& SimFrontEndTest::AddCameraWithPath(const std::u16string& path, std::string_view treeId,
                                                const sim::CameraConfig& config) {
  sim::CurrentDeviceTree().addUsbCamera(hub, treeId);
  sim::DeviceSetup setup = sim::CameraDevice(config, sim::DefaultUsbId, cameras++);
  setup.path = path;
  sim::Device& device = sim::CurrentFramework().addDevice(setup);
  // An older firmware, so that a write that never happened shows.
  auto& contents = device.camera()->flash().contents();
  for (std::size_t i = 0; i < contents.size(); ++i) {
    contents[i] = static_cast<std::uint8_t>(EmbeddedFirmwareImage[i] ^ 0x5A);
  }
  return device;
}

console::HostOptions SimFrontEndTest::SimHostOptions() {
  console::HostOptions options = TestHostOptions();
  options.sleep = [this](std::uint32_t milliseconds) {
    sleepLog.Sleep(milliseconds);
    if (onSleep) {
      onSleep(milliseconds);
    }
    sim::CurrentFramework().clock().sleepMillis(milliseconds);
  };
  return options;
}

std::vector<std::string> SimFrontEndTest::TracedRun() {
  std::ostringstream trace;
  sim::CurrentFramework().traceTo(&trace);
  RunOnSimulator();
  sim::CurrentFramework().stopTrace();
  std::vector<std::string> lines;
  std::istringstream in(trace.str());
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::uint8_t> SimFrontEndTest::Flash(sim::Device& device) {
  const auto& contents = device.camera()->flash().contents();
  return {contents.begin(), contents.end()};
}

std::vector<std::uint8_t> SimFrontEndTest::Image() {
  return {EmbeddedFirmwareImage, EmbeddedFirmwareImage + EmbeddedFirmwareImageSize};
}

std::size_t FindRequest(const std::vector<std::string>& trace, std::string_view prefix,
                        std::size_t after) {
  for (std::size_t i = after; i < trace.size(); ++i) {
    if (trace[i].rfind(prefix, 0) == 0) {
      return i + 1;
    }
  }
  return 0;
}

}  // namespace apptest
