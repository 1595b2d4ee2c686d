#include "platform/sim/sim_camera.h"

#include <algorithm>

#include "platform/sim/chip_register_map.h"

// Where the simulated chip is as strict as a real one: the SPI port takes time, a busy flash
// keeps the chip's own flash path out, and a request the model does not know is stalled.

namespace sim {

bool Camera::spiByteDone() const {
  return spiDone_ && clock_.nowMicros() >= spiDoneAt_;
}

bool Camera::refuse() {
  ++refusals_;
  return false;
}

bool Camera::chipPathBusy() {
  // The chip does not queue behind a flash that the host left busy; it stalls the request.
  if (flash_.busy()) {
    ++refusals_;
    return true;
  }
  return false;
}

bool Camera::waitOwnCommand() {
  // The chip's controller polls the flash after its own erase or program, so the request
  // answers once the flash is ready, or fails when the controller gives up on it.
  const std::uint64_t giveUpAt = clock_.nowMicros() + config_.chipBusyTimeoutMicros;
  while (flash_.busy()) {
    const std::uint64_t now = clock_.nowMicros();
    if (now >= giveUpAt) {
      return false;
    }
    const std::uint64_t until = std::min(std::max(flash_.readyAt(), now + 1), giveUpAt);
    clock_.sleepMicros(until - now);
  }
  return true;
}

}  // namespace sim
