#pragma once
// The front end on the simulated work station: device tree, capture framework and cameras.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/simulator.h"
#include "tests/app/front_end_fixture.h"

namespace apptest {

// A camera as it leaves the factory: flash protected (status register 0x8C) behind a
// write-protect pin on GPIO 3, the pin the image's protection byte drives.
sim::CameraConfig ProtectedCamera(int chipIndex = 12);

class SimFrontEndTest : public FrontEndTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A camera in the device tree (with `treeId`) and listed by the framework (with `pathId`).
  sim::Device& AddCamera(std::string_view treeId = sim::DefaultUsbId,
                         std::string_view pathId = sim::DefaultUsbId,
                         const sim::CameraConfig& config = ProtectedCamera());
  // A camera listed with the given device path, in the tree with `treeId`.
  sim::Device& AddCameraWithPath(const std::u16string& path,
                                 std::string_view treeId = sim::DefaultUsbId,
                                 const sim::CameraConfig& config = ProtectedCamera());

  // Host options whose Sleep moves the simulator's clock and calls `onSleep` first.
  console::HostOptions SimHostOptions();
  RunOutcome RunOnSimulator() { return RunFrontEnd(SimHostOptions()); }

  // A work station with no camera, the front end and camera layer at their start.
  void ResetWorld();
  // The request trace of a whole run of the current world (to find request numbers).
  std::vector<std::string> TracedRun();

  static std::vector<std::uint8_t> Flash(sim::Device& device);
  static std::vector<std::uint8_t> Image();

  std::function<void(std::uint32_t)> onSleep;
  DevNode hub = 0;
  int cameras = 0;
};

// 1-based number of the first trace line that starts with `prefix`, after line `after`.
std::size_t FindRequest(const std::vector<std::string>& trace, std::string_view prefix,
                        std::size_t after = 0);

}  // namespace apptest
