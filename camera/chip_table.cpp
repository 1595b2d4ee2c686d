#include "camera/chip_table.h"

#include <cstdint>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "camera/chip_registers.h"

// One row per chip, numbered as the comments say; a camera's chipIndex is its row.
// clang-format off
const ChipRow ChipTable[chipTableRows] = {
    {.probeAddress = 0x9FF8, .romName = {'2', '2', '0', 'R', '0'}, .revision = 1, .revisionAtLeast = 1, .flashTypeReg = 0x03C5,
     .eraseByRegisters = 0, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0000, .auxWordB = 0x0000, .auxWordC = 0x0000, .auxLong = 0xA000,
     .chunkProbe = true, .resetsAfterUpdate = false},  // 0
    {.probeAddress = 0x9FF8, .romName = {'2', '2', '5', 'R', '0'}, .revision = 3, .revisionAtLeast = 1, .flashTypeReg = 0x031D,
     .eraseByRegisters = 0, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0000, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xA000,
     .resetsAfterUpdate = false},  // 1
    {.probeAddress = 0x9FF8, .romName = {'2', '5', '0', 'R', '0'}, .revision = 1, .revisionAtLeast = 0, .flashTypeReg = 0x0530,
     .eraseByRegisters = 0, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0000, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xA000},  // 2
    {.probeAddress = 0x9FF8, .romName = {'2', '5', '0', 'R', '0'}, .revision = 2, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 0, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0000, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xA000},  // 3
    {.probeAddress = 0xD2B2, .romName = {'2', '3', '0', 'R', '0'}, .revision = 1, .revisionAtLeast = 0, .flashTypeReg = 0x0530,
     .eraseByRegisters = 0, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0000, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xE000},  // 4
    {.probeAddress = 0xDFF8, .romName = {'2', '3', '0', 'R', '0'}, .revision = 2, .revisionAtLeast = 0, .flashTypeReg = 0x05E0,
     .eraseByRegisters = 1, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0000, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xE000},  // 5
    {.probeAddress = 0xDFF8, .romName = {'2', '3', '0', 'R', '0'}, .revision = 3, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0300, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xE000},  // 6
    {.probeAddress = 0xDFF8, .romName = {'2', '3', '1', 'R', '0'}, .revision = 1, .revisionAtLeast = 0, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0100, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xE000},  // 7
    {.probeAddress = 0xDFF8, .romName = {'2', '1', '6', 'R', '0'}, .revision = 1, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 1, .altConfigBlock = 1, .hasInfoBlock = 0, .auxWordA = 0x0100, .auxWordB = 0x0000, .auxWordC = 0x0148, .auxLong = 0xE000,
     .configBlock = 0x5800},  // 8
    {.probeAddress = 0xBFF8, .romName = {'2', '1', '5', 'R', '0'}, .revision = 1, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 0, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0000, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xC000},  // 9
    {.probeAddress = 0xBFF8, .romName = {'2', '3', '6', 'R', '0'}, .revision = 1, .revisionAtLeast = 0, .flashTypeReg = 0x0690,
     .eraseByRegisters = 0, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0000, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xC000},  // 10
    {.probeAddress = 0xBFF8, .romName = {'2', '3', '6', 'R', '0'}, .revision = 2, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 0, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0200, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xC000},  // 11
    {.probeAddress = 0xBFF8, .romName = {'2', '5', '6', 'R', '0'}, .revision = 1, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 1, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0100, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xC000},  // 12
    {.probeAddress = 0xBFF8, .romName = {'2', '3', '1', 'R', '0'}, .revision = 2, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 1, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0110, .auxWordB = 0x6000, .auxWordC = 0x61E8, .auxLong = 0xC000,
     .alwaysProtects = true},  // 13
    {.probeAddress = 0xBFF8, .romName = {'2', '6', '6', 'R', '0'}, .revision = 1, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 1, .altConfigBlock = 0, .hasInfoBlock = 0, .auxWordA = 0x0100, .auxWordB = 0x0000, .auxWordC = 0x01E8, .auxLong = 0xC000},  // 14
    {.probeAddress = 0xBFF8, .romName = {'2', '7', '6', 'R', '0'}, .revision = 1, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 1, .altConfigBlock = 1, .hasInfoBlock = 0, .auxWordA = 0x0640, .auxWordB = 0x0000, .auxWordC = 0x0148, .auxLong = 0xC000,
     .configBlock = 0xC000, .variantRegister = true},  // 15
    {.probeAddress = 0xBFF8, .romName = {'2', '7', '5', 'R', '0'}, .revision = 1, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 1, .altConfigBlock = 1, .hasInfoBlock = 0, .auxWordA = 0x0530, .auxWordB = 0x0000, .auxWordC = 0x0148, .auxLong = 0xC000,
     .configBlock = 0xC000},  // 16
    {.probeAddress = 0xC7F8, .romName = {'2', '3', '2', 'R', '0'}, .revision = 1, .revisionAtLeast = 0, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 1, .altConfigBlock = 1, .hasInfoBlock = 0, .auxWordA = 0x0520, .auxWordB = 0x0000, .auxWordC = 0x0148, .auxLong = 0xE000,
     .configBlock = 0xC000},  // 17
    {.probeAddress = 0xC7F8, .romName = {'2', '3', '2', 'R', '0'}, .revision = 2, .revisionAtLeast = 1, .flashTypeReg = 0x05F0,
     .eraseByRegisters = 1, .flashCommandRegs = 1, .altConfigBlock = 1, .hasInfoBlock = 1, .auxWordA = 0x0750, .auxWordB = 0x0000, .auxWordC = 0x0148, .auxLong = 0xE000},  // 18
};
// clang-format on

namespace {

constexpr FlashTypeFacts FlashTypes[] = {
    {.type = 2, .chipEraseC7 = true},  {.type = 3, .ownCommandCodes = true},
    {.type = 7, .chipEraseC7 = true},  {.type = 8, .chipEraseC7 = true},
    {.type = 10, .chipEraseC7 = true}, {.type = 11, .chipEraseC7 = true},
};

}  // namespace

FlashTypeFacts FlashTypeOf(std::uint32_t flashType) {
  for (const FlashTypeFacts& facts : FlashTypes) {
    if (facts.type == flashType) {
      return facts;
    }
  }
  return {.type = flashType};
}

const std::uint16_t RomIdProbes[romIdProbeCount] = {0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8};

const ChipRow& ChipRowOf(int chipIndex) {
  if (chipIndex < 0 || chipIndex >= chipTableRows) {
    return ChipTable[0];
  }
  return ChipTable[chipIndex];
}

namespace {

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool RowMatches(const ChipRow& row, const std::uint8_t* id) {
  for (int i = 0; i < 4; ++i) {
    if (AsciiLower(static_cast<char>(id[i])) != AsciiLower(row.romName[i])) {
      return false;
    }
  }
  return row.revisionAtLeast != 0 ? id[5] >= row.revision : id[5] == row.revision;
}

}  // namespace

bool CamMatchRomId(int slot, TransferFn transfer, std::uint8_t* out) {
  CameraSlotRecord* record = CamSlotRecord(slot);
  if (record == nullptr || transfer == nullptr || out == nullptr) {
    return false;
  }
  for (std::uint16_t address : RomIdProbes) {
    std::uint8_t buffer[8] = {};
    if (!transfer(slot, TransferMemoryRead, address, buffer, 8, 8)) {
      return false;
    }
    for (int row = 0; row < chipTableRows; ++row) {
      if (ChipTable[row].probeAddress == address && RowMatches(ChipTable[row], buffer)) {
        for (int i = 0; i < 8; ++i) {
          out[i] = buffer[i];
        }
        record->chipIndex = row;
        return true;
      }
    }
  }
  return false;
}

bool CamReadRomId(int slot, std::uint8_t* out) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr || out == nullptr) {
    return false;
  }
  if (!CamMatchRomId(slot, cameraOps.opTransfer, out)) {
    return false;
  }
  if (ChipRowOf(record->chipIndex).variantRegister) {
    // One variant of this chip keeps bits 4-6 of 0x1185 as written; the other does not.
    std::uint8_t before = 0;
    CamReadAsic(slot, RegVariant276, &before);
    const std::uint8_t written = static_cast<std::uint8_t>(before | 0x70);
    CamWriteAsic(slot, RegVariant276, written);
    std::uint8_t after = 0;
    CamReadAsic(slot, RegVariant276, &after);
    if ((after & 0x70) == (written & 0x70)) {
      out[4] = '1';
    }
  }
  return true;
}

bool CamReadRomId(std::uint8_t* out) {
  return CamReadRomId(0, out);
}

std::uint32_t CamGetFlashType(int slot) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr) {
    return 0xFFFFFFFFu;
  }
  std::uint8_t value = 0;
  if (!CamReadAsic(slot, ChipRowOf(record->chipIndex).flashTypeReg, &value)) {
    value = 0xFF;
  }
  return value;
}
