#pragma once
// The chip models the simulated camera can be: where each keeps its identification block, which
// register reports the flash type, and which optional parts it has.

#include <cstdint>

namespace sim {

// The internal-memory addresses at which a chip keeps its 8-byte identification block.
inline constexpr std::uint16_t RomIdAddresses[5] = {0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8};

struct ChipModel {
  char name[5];           // identification text, e.g. "220R0" (no terminator)
  std::uint8_t revision;  // revision byte the chip reports unless configured otherwise
  std::uint16_t romIdAddress;
  std::uint16_t flashTypeRegister;
  bool hasInfoRecord = false;  // answers control 5; configuration page in register infoWord + 8
  bool writesNeedCommandRegs = false;  // own flash writes take their codes from 0x05F3/0x05F5 and
                                       // need the unlock code in 0x05F8..0x05FB
  bool hasVariantRegister = false;     // register 0x1185
  // Carries out the erase request (control 3, 0xC8) itself; the models that leave erasing to
  // the host's SPI register sequence have no such request and stall it.
  bool hasEraseRequest = false;
};

inline constexpr int ChipModelCount = 19;
extern const ChipModel ChipModels[ChipModelCount];

// The model numbered `index`; model 0 for a number outside the catalogue.
const ChipModel& ChipModelAt(int index);

}  // namespace sim
