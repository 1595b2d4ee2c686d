#pragma once
// Faults that can be injected into one simulated capture device and its camera.

#include <cstdint>

namespace sim {

// What each fault actually did; a fault that found nothing to act on leaves its count at 0.
struct FaultsFired {
  std::uint32_t failRequest = 0;
  std::uint32_t disconnect = 0;
  std::uint32_t shortGet = 0;  // GETs answered shorter than their record
  std::uint32_t positiveSuccess = 0;
  std::uint32_t hang = 0;
  std::uint32_t refused = 0;         // requests refused during the refusal spell
  std::uint32_t refusedRepeats = 0;  // tries of the refused request (refuseRequest) refused
  // (receives that left RegSpiDataIn as it was are counted by the camera: staleReceives)
  // (a status write the flash dropped is counted by the flash: FlashCounters)
};

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

  // A GET answered short: the device fills only the first `shortGetBytes` bytes of the record
  // (0 allowed), leaves the rest as the host had it and reports that count as returned. Applies
  // to the request with number `shortGetRequest` (0 for none) and to every GET on
  // `shortGetSelector` (-1 for none).
  std::uint32_t shortGetRequest = 0;
  std::int32_t shortGetSelector = -1;
  std::uint32_t shortGetBytes = 0;
  // The request with this number is carried out but answers with `positiveSuccessCode`, a
  // success code other than 0; 0 for none.
  std::uint32_t positiveSuccessRequest = 0;
  std::int32_t positiveSuccessCode = 1;
  // Model "276R0": which of bits 4-6 register 0x1185 keeps; -1 leaves it to the camera's
  // `variantKeepsBits`.
  std::int32_t variantKeptBits = -1;
  // A flash cell whose `stuckBitMask` bits stay 1 when programmed (erase still works); -1 for
  // none.
  std::int32_t stuckBitAddress = -1;
  std::uint8_t stuckBitMask = 0;
  // The request with this number answers only after `hangMillis` of simulated time; 0 for none.
  std::uint32_t hangRequest = 0;
  std::uint32_t hangMillis = 0;
  // From the request with number `refuseFromRequest` on (0 for none), the camera refuses every
  // request until `refuseMillis` of simulated time have passed since that request arrived, then
  // answers again: firmware busy with its own work, not a camera that left the bus. Each refused
  // request takes 1 ms of the clock, as a stalled control transfer takes its USB frame.
  std::uint32_t refuseFromRequest = 0;
  std::uint32_t refuseMillis = 0;
  // The flash silently drops the status-register write with this number (1-based, counting the
  // writes it would otherwise carry out); no request fails. 0 for none.
  std::uint32_t ignoreStatusWrite = 0;
  // The flash's status-register write with this number (counted as for ignoreStatusWrite) leaves
  // the `statusKeepsBits` bits at 1 and the `statusDropsBits` bits at 0, whatever it wrote; bits
  // 2-7 only (busy and the write-enable latch are the flash's own). 0 for none.
  std::uint32_t statusBitsWrite = 0;
  std::uint8_t statusKeepsBits = 0;
  std::uint8_t statusDropsBits = 0;
  // The request with this number is refused, and so is every later request that repeats it
  // (the same direction, selector and record), `refuseRequestTries` refusals in all: a camera
  // that refuses one request however often it is tried. 0 for none.
  std::uint32_t refuseRequest = 0;
  std::uint32_t refuseRequestTries = 0;
  // A receive that finds no flash selected shifts nothing in: RegSpiDataIn keeps whatever it held
  // (the host's own zero, or the last byte received), where a plain port reads the idle bus.
  bool staleDataIn = false;

  // Filled in as the faults act.
  FaultsFired fired;
};

}  // namespace sim
