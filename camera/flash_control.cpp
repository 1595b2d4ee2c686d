#include "camera/flash_control.h"

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "camera/chip_registers.h"
#include "camera/chip_table.h"
#include "camera/media_capture.h"

namespace {

void SleepMs(std::uint32_t milliseconds) {
  const MediaCaptureOps* ops = CamMediaCapture();
  if (ops != nullptr && ops->sleep != nullptr) {
    ops->sleep(milliseconds);
  }
}

void FlashSelect(int slot) {
  CamWriteAsic(slot, RegFlashSelect, 0);
}
void FlashRelease(int slot) {
  CamWriteAsic(slot, RegFlashSelect, 1);
}

void SpiSendByte(int slot, std::uint8_t value) {
  CamWriteAsic(slot, RegSpiDataOut, value);
  CamWriteAsic(slot, RegSpiStart, 1);
  SpiWaitDone(slot);
}

// A failed read leaves `value` as it was.
void SpiReceiveByte(int slot, std::uint8_t* value) {
  CamWriteAsic(slot, RegSpiDataIn, 0);
  CamWriteAsic(slot, RegSpiStart, 2);
  SpiWaitDone(slot);
  CamReadAsic(slot, RegSpiDataIn, value);
}

void SendCommand(int slot, std::uint8_t command) {
  FlashSelect(slot);
  SpiSendByte(slot, command);
  FlashRelease(slot);
}

// Flash types whose chip erase is 0xC7 sent through the register port.
bool ErasesWithC7(std::uint32_t flashType) {
  return flashType == 2 || flashType == 7 || flashType == 8 || flashType == 10 || flashType == 11;
}

struct InfoBlock {
  std::uint16_t infoWord = 0;
  std::uint8_t configPage = 0;
  std::uint8_t infoByte = 0;
};

std::uint16_t ConfigBlockBase(const ChipRow& row, int chipIndex, std::uint8_t configPage) {
  const std::uint16_t page = static_cast<std::uint16_t>(configPage * 256);
  if (row.altConfigBlock != 0) {
    if (row.hasInfoBlock != 0) {
      return page;
    }
    return chipIndex == ChipRowCfgAt5800 ? 0x5800 : 0xC000;
  }
  return static_cast<std::uint16_t>(0x8000 + (row.hasInfoBlock != 0 ? page : 0));
}

std::uint8_t ReadFlashByte(int slot, std::uint32_t address) {
  std::uint8_t value = 0;
  if (!CamTransfer(slot, TransferFlashRead, address, &value, 1)) {
    value = 0;
  }
  return value;
}

void ReleaseProtection(int slot, CameraSlotRecord& record, const ChipRow& row,
                       std::uint32_t flashType, const InfoBlock& info,
                       std::uint16_t& protectGpioReg, std::uint8_t& protectByte) {
  if (row.flashCommandRegs != 0) {
    CamReadAsic(slot, RegFlashWriteEnableCmd, &record.savedWriteEnableCmd);
    CamWriteAsic(slot, RegFlashWriteEnableCmd, FlashCmdWriteEnable);
    for (int i = 0; i < 4; ++i) {
      CamWriteAsic(slot, static_cast<std::uint16_t>(RegFlashUnlock0 + i), FlashWriteUnlockCode[i]);
    }
    CamReadAsic(slot, RegFlashProgramCmd, &record.savedProgramCmd);
    CamWriteAsic(slot, RegFlashProgramCmd, flashType == 3 ? FlashCmdProgramType3 : FlashCmdProgram);
  }

  protectGpioReg = 0xFFFF;
  const std::uint8_t pin = (protectByte >> 4) & 0x07;
  const std::uint8_t mode = protectByte & 0x0F;
  protectByte = mode;
  if (mode != 0) {
    const std::uint8_t mask = static_cast<std::uint8_t>(1u << pin);
    CamWriteAsic(slot, RegGpioOutEnable, mask);
    // Mode 1 drives the pin low while unprotected; every other mode drives it high.
    const std::uint8_t level = mode == 1 ? static_cast<std::uint8_t>(~mask) : mask;
    CamWriteAsic(slot, RegGpioOut, level);
    protectByte = level;
    protectGpioReg = RegGpioOut;
  }

  if (row.hasInfoBlock != 0 && info.infoByte == 2) {
    return;
  }
  FlashWriteStatus(slot, flashType, FlashStatusUnprotected);
}

void RestoreGpio(int slot, std::uint16_t protectGpioReg, std::uint8_t protectByte) {
  if (protectGpioReg != 0xFFFF) {
    CamWriteAsic(slot, protectGpioReg, static_cast<std::uint8_t>(~protectByte));
  }
}

void RestoreProtection(int slot, const CameraSlotRecord& record, const ChipRow& row,
                       std::uint32_t flashType, const InfoBlock& info, std::uint16_t protectGpioReg,
                       std::uint8_t protectByte) {
  if (row.flashCommandRegs != 0) {
    CamWriteAsic(slot, RegFlashWriteEnableCmd, record.savedWriteEnableCmd);
    CamWriteAsic(slot, RegFlashProgramCmd, record.savedProgramCmd);
    for (int i = 0; i < 4; ++i) {
      CamWriteAsic(slot, static_cast<std::uint16_t>(RegFlashUnlock0 + i), FlashWriteLockedValue);
    }
  }
  if (row.hasInfoBlock != 0 && info.infoByte == 2) {
    RestoreGpio(slot, protectGpioReg, protectByte);
    return;
  }
  // The freshly written image says whether the status register is to be locked.
  const std::uint16_t base = ConfigBlockBase(row, record.chipIndex, info.configPage);
  const std::uint8_t versionByte = ReadFlashByte(slot, base + 0x03u);
  const std::uint8_t flagsByte = ReadFlashByte(slot, base + 0x34u);
  if ((versionByte >= 0x35 && (flagsByte & 0x80) != 0) ||
      record.chipIndex == ChipRowAlwaysProtect) {
    FlashWriteStatus(slot, flashType, FlashStatusProtected);
  }
  RestoreGpio(slot, protectGpioReg, protectByte);
}

}  // namespace

void SpiWaitDone(int slot) {
  for (int poll = 0; poll < SpiDonePolls; ++poll) {
    std::uint8_t done = 0;
    if (CamReadAsic(slot, RegSpiDone, &done) && done == 1) {
      return;
    }
    if (CamCameraGone()) {
      return;  // nobody is left to finish the byte
    }
    SleepMs(1);
  }
}

void FlashWaitReady(int slot) {
  std::uint8_t status = 0;
  for (int poll = 0; poll < FlashReadyPolls; ++poll) {
    if (CamCameraGone()) {
      return;  // a status that can no longer be read will never show ready
    }
    FlashSelect(slot);
    SpiSendByte(slot, FlashCmdReadStatus);
    SpiReceiveByte(slot, &status);
    if ((status & 0x01) == 0) {
      FlashRelease(slot);
      return;
    }
    if (CamCameraGone()) {
      return;
    }
    SleepMs(1);
  }
}

void FlashWriteStatus(int slot, std::uint32_t flashType, std::uint8_t value) {
  CamWriteAsic(slot, RegSpiEnable, 1);
  SendCommand(slot, FlashCmdWriteEnable);
  FlashWaitReady(slot);
  if (flashType == 3) {
    SendCommand(slot, FlashCmdEnableWriteStatus);
  }
  FlashSelect(slot);
  SpiSendByte(slot, FlashCmdWriteStatus);
  SpiSendByte(slot, value);
  FlashRelease(slot);
  FlashWaitReady(slot);
  CamWriteAsic(slot, RegSpiEnable, 0);
}

bool CamReadInfoByte(int slot, std::uint8_t* out) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr || out == nullptr || ChipRowOf(record->chipIndex).hasInfoBlock == 0) {
    return false;
  }
  return cameraOps.opInfoByte(slot, out);
}

bool CamReadInfoWord(int slot, std::uint16_t* out) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr || out == nullptr || ChipRowOf(record->chipIndex).hasInfoBlock == 0) {
    return false;
  }
  return cameraOps.opInfoWord(slot, out);
}

bool CamEraseFlash(int slot) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr) {
    return false;
  }
  const std::uint32_t flashType = CamGetFlashType(slot);
  std::uint8_t eraseCode = FlashCmdChipErase;
  if (!ErasesWithC7(flashType)) {
    if (ChipRowOf(record->chipIndex).eraseByRegisters == 0) {
      return cameraOps.opFlashErase(slot);
    }
    eraseCode = FlashCmdChipEraseAlt;
  }
  CamWriteAsic(slot, RegSpiEnable, 1);
  SendCommand(slot, FlashCmdWriteEnable);
  SendCommand(slot, eraseCode);
  FlashWaitReady(slot);
  return CamWriteAsic(slot, RegSpiEnable, 0);
}

bool CamEraseFlash() {
  return CamEraseFlash(0);
}

bool CamSetFlashProtect(int slot, std::uint8_t enable, std::uint16_t& protectGpioReg,
                        std::uint8_t& protectByte) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr) {
    return false;
  }
  const std::uint32_t failedBefore = failedRequestTotal;
  const std::uint32_t flashType = CamGetFlashType(slot);
  const ChipRow& row = ChipRowOf(record->chipIndex);
  InfoBlock info;
  if (row.hasInfoBlock != 0) {
    if (!CamReadInfoWord(slot, &info.infoWord)) {
      info.infoWord = 0;
    }
    if (!CamReadAsic(slot, static_cast<std::uint16_t>(info.infoWord + 8), &info.configPage)) {
      info.configPage = 0;
    }
    if (!CamReadInfoByte(slot, &info.infoByte)) {
      return false;
    }
  }
  if (enable == 0) {
    ReleaseProtection(slot, *record, row, flashType, info, protectGpioReg, protectByte);
    return true;
  }
  RestoreProtection(slot, *record, row, flashType, info, protectGpioReg, protectByte);
  // One refused request is enough to leave the flash writable, whatever the image asked for.
  return failedRequestTotal == failedBefore;
}

bool CamSetFlashProtect(std::uint8_t enable, std::uint16_t& protectGpioReg,
                        std::uint8_t& protectByte) {
  return CamSetFlashProtect(0, enable, protectGpioReg, protectByte);
}

int CamResetDevice(int slot) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr) {
    return 0;
  }
  if (record->chipIndex == ChipRowOldChunkProbe || record->chipIndex == ChipRowNoReset) {
    return 1;
  }
  CamWriteAsic(slot, RegReset, 0);
  return 2;
}

int CamResetDevice() {
  return CamResetDevice(0);
}
