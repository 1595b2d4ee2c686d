#pragma once
// The known image-processor chips, the internal-memory addresses their RomId is looked for at,
// and the rows whose behaviour is keyed on the row number.

#include <cstdint>

struct ChipRow {
  std::uint16_t probeAddress;
  char romName[5];  // no terminator; only the first four characters take part in matching
  std::uint8_t revision;
  std::uint16_t auxWordA;
  std::uint16_t flashTypeReg;
  std::uint16_t auxWordB;
  std::uint16_t auxWordC;
  std::uint32_t auxLong;
  std::uint8_t revisionAtLeast;
  std::uint8_t eraseByRegisters;
  std::uint8_t flashCommandRegs;
  std::uint8_t altConfigBlock;
  std::uint8_t hasInfoBlock;
};

inline constexpr int chipTableRows = 19;
inline constexpr int romIdProbeCount = 5;

extern const ChipRow ChipTable[chipTableRows];
extern const std::uint16_t RomIdProbes[romIdProbeCount];

// Rows with behaviour of their own.
inline constexpr int ChipRowOldChunkProbe = 0;   // 0x03C5 == 3 means one byte per request
inline constexpr int ChipRowNoReset = 1;         // rows 0 and 1 are not reset
inline constexpr int ChipRowCfgAt5800 = 8;       // configuration block at 0x5800
inline constexpr int ChipRowAlwaysProtect = 13;  // status register always protected after writing
inline constexpr int ChipRowVariantCheck = 15;   // variant told by register 0x1185

// The row of a slot's chipIndex; an index outside the table is treated as row 0.
const ChipRow& ChipRowOf(int chipIndex);
