#include "camera/chip_table.h"

#include <cstdint>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "camera/chip_registers.h"

// clang-format off
const ChipRow ChipTable[chipTableRows] = {
    // probe   name                           rev auxA    flashReg auxB    auxC    auxLong  atl ers cmd alt inf
    {0x9FF8, {'2', '2', '0', 'R', '0'}, 1, 0x0000, 0x03C5, 0x0000, 0x0000, 0xA000, 1, 0, 0, 0, 0},
    {0x9FF8, {'2', '2', '5', 'R', '0'}, 3, 0x0000, 0x031D, 0x0000, 0x01E8, 0xA000, 1, 0, 0, 0, 0},
    {0x9FF8, {'2', '5', '0', 'R', '0'}, 1, 0x0000, 0x0530, 0x0000, 0x01E8, 0xA000, 0, 0, 0, 0, 0},
    {0x9FF8, {'2', '5', '0', 'R', '0'}, 2, 0x0000, 0x05F0, 0x0000, 0x01E8, 0xA000, 1, 0, 0, 0, 0},
    {0xD2B2, {'2', '3', '0', 'R', '0'}, 1, 0x0000, 0x0530, 0x0000, 0x01E8, 0xE000, 0, 0, 0, 0, 0},
    {0xDFF8, {'2', '3', '0', 'R', '0'}, 2, 0x0000, 0x05E0, 0x0000, 0x01E8, 0xE000, 0, 1, 0, 0, 0},
    {0xDFF8, {'2', '3', '0', 'R', '0'}, 3, 0x0300, 0x05F0, 0x0000, 0x01E8, 0xE000, 1, 1, 0, 0, 0},
    {0xDFF8, {'2', '3', '1', 'R', '0'}, 1, 0x0100, 0x05F0, 0x0000, 0x01E8, 0xE000, 0, 1, 0, 0, 0},
    {0xDFF8, {'2', '1', '6', 'R', '0'}, 1, 0x0100, 0x05F0, 0x0000, 0x0148, 0xE000, 1, 1, 1, 1, 0},
    {0xBFF8, {'2', '1', '5', 'R', '0'}, 1, 0x0000, 0x05F0, 0x0000, 0x01E8, 0xC000, 1, 0, 0, 0, 0},
    {0xBFF8, {'2', '3', '6', 'R', '0'}, 1, 0x0000, 0x0690, 0x0000, 0x01E8, 0xC000, 0, 0, 0, 0, 0},
    {0xBFF8, {'2', '3', '6', 'R', '0'}, 2, 0x0200, 0x05F0, 0x0000, 0x01E8, 0xC000, 1, 1, 0, 0, 0},
    {0xBFF8, {'2', '5', '6', 'R', '0'}, 1, 0x0100, 0x05F0, 0x0000, 0x01E8, 0xC000, 1, 1, 1, 0, 0},
    {0xBFF8, {'2', '3', '1', 'R', '0'}, 2, 0x0110, 0x05F0, 0x6000, 0x61E8, 0xC000, 1, 1, 1, 0, 0},
    {0xBFF8, {'2', '6', '6', 'R', '0'}, 1, 0x0100, 0x05F0, 0x0000, 0x01E8, 0xC000, 1, 1, 1, 0, 0},
    {0xBFF8, {'2', '7', '6', 'R', '0'}, 1, 0x0640, 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 0},
    {0xBFF8, {'2', '7', '5', 'R', '0'}, 1, 0x0530, 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 0},
    {0xC7F8, {'2', '3', '2', 'R', '0'}, 1, 0x0520, 0x05F0, 0x0000, 0x0148, 0xE000, 0, 1, 1, 1, 0},
    {0xC7F8, {'2', '3', '2', 'R', '0'}, 2, 0x0750, 0x05F0, 0x0000, 0x0148, 0xE000, 1, 1, 1, 1, 1},
};
// clang-format on

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
  if (record->chipIndex == ChipRowVariantCheck) {
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
