#pragma once
// One `reflash-sim` run's simulated work station: the camera, its seams, and the output files.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sim_program/run_report.h"
#include "platform/sim_program/sim_options.h"
#include "platform/sim_program/sim_timeline.h"
#include "platform/console/timeline.h"

namespace sim {
class Device;
}

namespace console {

// The status register a camera leaves the factory with: status-register protect and block
// protect, so the first update has to release them.
inline constexpr std::uint8_t ProtectedFlashStatus = 0x8C;
// The GPIO pin wired to the flash's write-protect input on this camera.
inline constexpr int WriteProtectGpioPin = 3;

// The flash contents of a camera running an older firmware than `image` (same layout).
std::vector<std::uint8_t> OlderFirmware(const std::uint8_t* image, std::size_t size);

class SimSession {
 public:
  // Builds the simulated world, installs the device-tree and media-capture seams and opens the
  // outputs; false with a one-line `error` for a file that cannot be read or created.
  bool Start(const SimOptions& options, std::string& error);
  // Writes the simulated flash to --flash-out and the --report, and closes every output; runs
  // once.
  void Finish();

  const std::vector<std::uint8_t>& Image() const { return image_; }
  std::FILE* UiTrace() const { return uiTrace_; }
  bool Instant() const { return options_.instant; }
  // The Sleep behind the front end's waits: on the simulator's clock.
  void Sleep(std::uint32_t milliseconds);
  sim::Device* Device() const { return device_; }
  // The --timeline stream; closed (recording nothing) without the option.
  console::Timeline& Timeline() { return timeline_; }

 private:
  SimOptions options_;
  std::vector<std::uint8_t> image_;
  sim::Device* device_ = nullptr;
  std::FILE* uiTrace_ = nullptr;
  console::Timeline timeline_;
  std::FILE* traceFile_ = nullptr;  // the --trace file while the timeline splits the trace
  std::unique_ptr<RequestTraceSplitter> traceSplitter_;
  std::unique_ptr<std::ostream> traceStream_;
  std::unique_ptr<RunReport> report_;
  bool finished_ = false;

  void WriteReport();
};

}  // namespace console
