#pragma once
// The known image-processor chips, the internal-memory addresses their RomId is looked for at,
// and the rows whose behaviour is keyed on the row number.

#include <cstdint>

// One known chip. Rows are written with named fields; what a row does differently from the
// others is a field of its own, never a test of its row number.
struct ChipRow {
  std::uint16_t probeAddress;  // where its RomId is read from internal memory
  char romName[5];  // no terminator; only the first four characters take part in matching
  std::uint8_t revision;
  std::uint8_t revisionAtLeast;  // 1: the revision byte matches from `revision` up; 0: exactly
  std::uint16_t flashTypeReg;    // the register that reports the flash type
  std::uint8_t
      eraseByRegisters;  // erases with 0x60 through the SPI registers, not the chip's request
  std::uint8_t
      flashCommandRegs;         // its flash path takes its codes from registers and an unlock code
  std::uint8_t altConfigBlock;  // the configuration block is not at 0x8000
  std::uint8_t hasInfoBlock;    // answers the information record; the block's page comes from it
  std::uint16_t auxWordA;
  std::uint16_t auxWordB;
  std::uint16_t auxWordC;
  std::uint32_t auxLong;
  bool chunkProbe = false;        // register 0x03C5 reading 3 means one byte per transfer request
  bool resetsAfterUpdate = true;  // reset at the end of an update, which locks its flash path again
  std::uint16_t configBlock = 0;  // where the block is on a row with altConfigBlock and no info
  bool alwaysProtects =
      false;  // its status register is protected after writing, whatever the image
  bool variantRegister = false;  // one variant keeps bits 4-6 of register 0x1185 as written
};

inline constexpr int chipTableRows = 19;
inline constexpr int romIdProbeCount = 5;

extern const ChipRow ChipTable[chipTableRows];
extern const std::uint16_t RomIdProbes[romIdProbeCount];

// What a flash type needs of its own; a type that is not listed needs nothing special.
struct FlashTypeFacts {
  std::uint32_t type = 0;
  bool chipEraseC7 = false;      // chip erase is 0xC7 through the register port (others: 0x60)
  bool ownCommandCodes = false;  // 0x50 before a status write, and its own program code
};
FlashTypeFacts FlashTypeOf(std::uint32_t flashType);

// The row of a slot's chipIndex; an index outside the table is treated as row 0.
const ChipRow& ChipRowOf(int chipIndex);
