#include "platform/sim/clock.h"

#include <chrono>
#include <thread>

namespace sim {

Clock::Clock(ClockMode mode) : mode_(ClockMode::instant) {
  setMode(mode);
}

std::int64_t Clock::steadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::uint64_t Clock::nowMicros() const {
  const std::uint64_t base = base_.load(std::memory_order_acquire);
  if (mode() == ClockMode::instant) {
    return base;
  }
  const std::int64_t elapsed = steadyMicros() - realStart_.load(std::memory_order_acquire);
  return base + static_cast<std::uint64_t>(elapsed > 0 ? elapsed : 0);
}

void Clock::sleepMicros(std::uint64_t micros) {
  if (mode() == ClockMode::instant) {
    base_.fetch_add(micros, std::memory_order_acq_rel);
    return;
  }
  // Some platforms return from short sleeps early; wait until the clock has really moved on.
  const std::uint64_t until = nowMicros() + micros;
  for (std::uint64_t now = nowMicros(); now < until; now = nowMicros()) {
    std::this_thread::sleep_for(std::chrono::microseconds(until - now));
  }
}

void Clock::advanceMicros(std::uint64_t micros) {
  base_.fetch_add(micros, std::memory_order_acq_rel);
}

void Clock::setMode(ClockMode mode) {
  const std::uint64_t now = nowMicros();
  realStart_.store(steadyMicros(), std::memory_order_release);
  base_.store(now, std::memory_order_release);
  mode_.store(mode, std::memory_order_release);
}

void Clock::reset(ClockMode mode) {
  mode_.store(mode, std::memory_order_release);
  realStart_.store(steadyMicros(), std::memory_order_release);
  base_.store(0, std::memory_order_release);
}

}  // namespace sim
