#pragma once
// The simulator's clock: virtual time that sleeps either advance at once or really wait out.

#include <atomic>
#include <cstdint>

namespace sim {

enum class ClockMode {
  instant,  // a sleep advances the clock and returns at once
  real,     // a sleep really sleeps; the clock follows the steady clock
};

// Microsecond clock shared by the simulated cameras (flash busy times) and the media-capture
// seam's sleep. Safe to read and sleep on from several threads at once.
class Clock {
 public:
  explicit Clock(ClockMode mode = ClockMode::instant);

  std::uint64_t nowMicros() const;
  std::uint64_t nowMillis() const { return nowMicros() / 1000; }

  void sleepMillis(std::uint32_t milliseconds) { sleepMicros(std::uint64_t{milliseconds} * 1000); }
  void sleepMicros(std::uint64_t micros);
  // Moves the clock on without waiting, in either mode.
  void advanceMicros(std::uint64_t micros);

  ClockMode mode() const { return mode_.load(std::memory_order_acquire); }
  // Switching keeps the current time; it only changes how it moves on from here.
  void setMode(ClockMode mode);
  // Back to time 0 in the given mode.
  void reset(ClockMode mode = ClockMode::instant);

 private:
  static std::int64_t steadyMicros();

  std::atomic<ClockMode> mode_;
  std::atomic<std::uint64_t> base_{0};      // virtual time at realStart_ (real) or now (instant)
  std::atomic<std::int64_t> realStart_{0};  // steady time when real mode began
};

}  // namespace sim
