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
};

}  // namespace sim
