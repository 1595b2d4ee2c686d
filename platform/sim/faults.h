#pragma once
// Faults that can be injected into one simulated capture device and its camera.

#include <cstdint>

namespace sim {

struct Faults {
  // The request with this number (1-based, counting every request that reaches the device's
  // extension unit) fails; 0 for none.
  std::uint32_t failRequest = 0;
  // After this many requests the camera drops off: every later request fails until the
  // framework is enumerated again. 0 for never. It fires once.
  std::uint32_t disconnectAfter = 0;
  // Every request on this selector fails; -1 for none.
  std::int32_t failSelector = -1;
  // Every request addressed to this node id fails (set-support probes included); -1 for none.
  std::int64_t failNode = -1;
  // The flash's busy bit never clears.
  bool stayBusy = false;
  // The byte at this flash address is delivered inverted by the chip's read path; the flash
  // itself keeps the right value. -1 for none.
  std::int32_t corruptReadback = -1;
};

}  // namespace sim
