// The VideoControl unit parser over arbitrary descriptor bytes: the first byte picks the
// interface, the rest is the configuration. Beyond staying inside the input, every unit it lists
// must be well formed, and cutting the input short may only drop units from the end.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/linux/uvc_descriptors.h"

namespace {

bool SameUnit(const linuxplat::UvcUnit& a, const linuxplat::UvcUnit& b) {
  return a.unitId == b.unitId && a.subtype == b.subtype && a.guid == b.guid &&
         a.numControls == b.numControls && a.controlSize == b.controlSize &&
         a.controls == b.controls;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  const std::uint8_t interfaceNumber = data[0];
  // A copy of exactly the bytes handed over, so that the sanitizer sees any read past them.
  const std::vector<std::uint8_t> bytes(data + 1, data + size);
  const auto units = linuxplat::ParseUvcUnits(bytes.data(), bytes.size(), interfaceNumber);
  for (const auto& unit : units) {
    FUZZ_REQUIRE(unit.subtype >= 0x04 && unit.subtype <= 0x07);
    FUZZ_REQUIRE(unit.controls.size() == unit.controlSize);
    FUZZ_REQUIRE(unit.subtype == 0x06 || unit.controls.empty());
  }
  const std::size_t cut = bytes.size() / 2;
  const std::vector<std::uint8_t> prefix(bytes.begin(), bytes.begin() + cut);
  const auto fewer = linuxplat::ParseUvcUnits(prefix.data(), prefix.size(), interfaceNumber);
  FUZZ_REQUIRE(fewer.size() <= units.size());
  for (std::size_t i = 0; i < fewer.size(); ++i) {
    FUZZ_REQUIRE(SameUnit(fewer[i], units[i]));
  }
  return 0;
}
