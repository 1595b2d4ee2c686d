// A whole 64 KiB write and read-back through CamTransfer against the simulated camera.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "camera/camera.h"
#include "seams/media_capture.h"
#include "platform/sim/capture_framework.h"
#include "platform/sim/simulator.h"

namespace {

void WriteAndReadBack64K(benchmark::State& state) {
  CamResetState();
  sim::WorldOptions options;
  options.camera.chipIndex = 9;
  sim::Device* device = sim::BuildOneCameraWorld(options);
  CamInstallMediaCapture(sim::MediaCaptureTable());
  char16_t paths[1][256] = {};
  int found = 0;
  if (!CamEnumerate(&paths[0][0], 1, 256, &found) || CamOpen(paths[0], 256) != 2) {
    state.SkipWithError("camera did not open");
    return;
  }
  std::vector<std::uint8_t> image(0x10000);
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>(i * 31 + (i >> 9));
  }
  std::vector<std::uint8_t> readBack(0x10000);
  const std::uint32_t requestsBefore = device->requestCount();
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    // Erased between rounds by the simulator directly, so only the transfers are measured.
    state.PauseTiming();
    device->camera()->flash().contents().fill(0xFF);
    state.ResumeTiming();
    const bool written = CamTransfer(TransferFlashWrite, 0, image.data(), 0x10000);
    const bool read = CamTransfer(TransferFlashRead, 0, readBack.data(), 0x10000);
    if (!written || !read || std::memcmp(image.data(), readBack.data(), image.size()) != 0) {
      state.SkipWithError("write or read-back failed");
      break;
    }
  }
  state.counters["requests_per_iteration"] =
      benchmark::Counter(static_cast<double>(device->requestCount() - requestsBefore) /
                         static_cast<double>(state.iterations()));
  CamClose();
}
BENCHMARK(WriteAndReadBack64K)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
