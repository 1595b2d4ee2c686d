#include "camera/flash_control.h"

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "camera/chip_registers.h"
#include "camera/chip_table.h"
#include "camera/scoped_value.h"
#include "seams/media_capture.h"

namespace {

// Only the waits' polls sleep here, so every sleep counts towards telling a pulled camera.
void SleepMs(std::uint32_t milliseconds) {
  CamNotePollSleep(milliseconds);
  const MediaCaptureOps* ops = CamMediaCapture();
  if (ops != nullptr && ops->sleep != nullptr) {
    ops->sleep(milliseconds);
  }
}

// While a restore runs, a refused write is tried once more at once: a byte of a command that never
// went out garbles the whole command, a busy wait's status read included. Only a write refused
// twice that decides the protection counts against the restore: what the camera's reset sets
// anyway, or what a status read afterwards tells, cannot leave the flash writable unseen.
bool restoreRunning = false;
bool restoreWriteDecides = false;
std::uint32_t restoreWritesRefused = 0;

bool WriteReg(int slot, std::uint16_t reg, std::uint8_t value) {
  if (CamWriteAsic(slot, reg, value)) {
    return true;
  }
  if (!restoreRunning || CamCameraGone()) {
    return false;
  }
  if (CamWriteAsic(slot, reg, value)) {
    return true;
  }
  if (restoreWriteDecides) {
    ++restoreWritesRefused;
  }
  return false;
}

// Marks the restore's writes made while it lives as deciding the protection, or not.
class RestoreWritesDecide : ScopedValue<bool> {
 public:
  explicit RestoreWritesDecide(bool decide) : ScopedValue(restoreWriteDecides, decide) {}
};

bool FlashSelect(int slot) {
  return WriteReg(slot, RegFlashSelect, 0);
}
void FlashRelease(int slot) {
  WriteReg(slot, RegFlashSelect, 1);
}

// True when both writes went through and the port said the byte was done.
bool SpiSendByte(int slot, std::uint8_t value) {
  const bool written = WriteReg(slot, RegSpiDataOut, value) && WriteReg(slot, RegSpiStart, 1);
  return SpiWaitDone(slot) && written;
}

// A failed read leaves `value` as it was. True when the byte is the flash's own: every write
// went through, the port said done and the read was answered.
bool SpiReceiveByte(int slot, std::uint8_t* value) {
  const bool written = WriteReg(slot, RegSpiDataIn, 0) && WriteReg(slot, RegSpiStart, 2);
  const bool done = SpiWaitDone(slot);
  return CamReadAsic(slot, RegSpiDataIn, value) && written && done;
}

void SendCommand(int slot, std::uint8_t command) {
  FlashSelect(slot);
  SpiSendByte(slot, command);
  FlashRelease(slot);
}

bool ResetsAfterUpdate(int chipIndex) {
  return ChipRowOf(chipIndex).resetsAfterUpdate;
}

struct InfoBlock {
  std::uint16_t infoWord = 0;
  std::uint8_t configPage = 0;
  std::uint8_t infoByte = 0;
  bool complete = true;  // false when a read had to leave its 0 in place of the camera's value
};

// A read whose failure would put a 0 in place of what the camera holds is tried once more, so one
// refused request cannot decide where the configuration block is or whether it asks for
// protection; a clean pass sends nothing extra.
template <typename Read>
bool ReadOnceMore(Read read) {
  return read() || read();
}

std::uint16_t ConfigBlockBase(const ChipRow& row, std::uint8_t configPage) {
  const std::uint16_t page = static_cast<std::uint16_t>(configPage * 256);
  if (row.altConfigBlock != 0) {
    return row.hasInfoBlock != 0 ? page : row.configBlock;
  }
  return static_cast<std::uint16_t>(0x8000 + (row.hasInfoBlock != 0 ? page : 0));
}

// A configuration byte; one that cannot be read counts as 0 and leaves `complete` false.
std::uint8_t ReadConfigByte(int slot, std::uint32_t address, bool& complete) {
  std::uint8_t value = 0;
  if (!ReadOnceMore([&] { return CamTransfer(slot, TransferFlashRead, address, &value, 1); })) {
    value = 0;
    complete = false;
  }
  return value;
}

void ReleaseProtection(int slot, CameraSlotRecord& record, const ChipRow& row,
                       std::uint32_t flashType, const InfoBlock& info,
                       std::uint16_t& protectGpioReg, std::uint8_t& protectByte) {
  if (row.flashCommandRegs != 0) {
    CamReadAsic(slot, RegFlashWriteEnableCmd, &record.savedWriteEnableCmd);
    WriteReg(slot, RegFlashWriteEnableCmd, FlashCmdWriteEnable);
    for (int i = 0; i < 4; ++i) {
      WriteReg(slot, static_cast<std::uint16_t>(RegFlashUnlock0 + i), FlashWriteUnlockCode[i]);
    }
    CamReadAsic(slot, RegFlashProgramCmd, &record.savedProgramCmd);
    WriteReg(slot, RegFlashProgramCmd,
             FlashTypeOf(flashType).ownCommandCodes ? FlashCmdProgramType3 : FlashCmdProgram);
  }

  protectGpioReg = 0xFFFF;
  const std::uint8_t pin = (protectByte >> 4) & 0x07;
  const std::uint8_t mode = protectByte & 0x0F;
  protectByte = mode;
  if (mode != 0) {
    const std::uint8_t mask = static_cast<std::uint8_t>(1u << pin);
    WriteReg(slot, RegGpioOutEnable, mask);
    // Mode 1 drives the pin low while unprotected; every other mode drives it high.
    const std::uint8_t level = mode == 1 ? static_cast<std::uint8_t>(~mask) : mask;
    WriteReg(slot, RegGpioOut, level);
    protectByte = level;
    protectGpioReg = RegGpioOut;
  }

  if (row.hasInfoBlock != 0 && info.infoByte == 2) {
    return;
  }
  FlashWriteStatus(slot, flashType, FlashStatusUnprotected);
}

void RestoreGpio(int slot, std::uint16_t protectGpioReg, std::uint8_t protectByte) {
  RestoreWritesDecide saved(true);
  if (protectGpioReg != 0xFFFF) {
    WriteReg(slot, protectGpioReg, static_cast<std::uint8_t>(~protectByte));
  }
}

// True when the status register holds what the image asked for, as far as a status write was due.
bool RestoreProtection(int slot, const CameraSlotRecord& record, const ChipRow& row,
                       std::uint32_t flashType, const InfoBlock& info, std::uint16_t protectGpioReg,
                       std::uint8_t protectByte) {
  if (row.flashCommandRegs != 0) {
    RestoreWritesDecide saved(false);
    WriteReg(slot, RegFlashWriteEnableCmd, record.savedWriteEnableCmd);
    WriteReg(slot, RegFlashProgramCmd, record.savedProgramCmd);
    // The reset that follows locks the chip's flash path again on every row that is reset.
    RestoreWritesDecide locks(!ResetsAfterUpdate(record.chipIndex));
    for (int i = 0; i < 4; ++i) {
      WriteReg(slot, static_cast<std::uint16_t>(RegFlashUnlock0 + i), FlashWriteLockedValue);
    }
  }
  if (row.hasInfoBlock != 0 && info.infoByte == 2) {
    RestoreGpio(slot, protectGpioReg, protectByte);
    return true;
  }
  // The freshly written image says whether the status register is to be locked.
  const std::uint16_t base = ConfigBlockBase(row, info.configPage);
  bool known = info.complete;
  const std::uint8_t versionByte = ReadConfigByte(slot, base + 0x03u, known);
  const std::uint8_t flagsByte = ReadConfigByte(slot, base + 0x34u, known);
  lastRestore.configBase = base;
  // Without the block's bytes nobody can tell whether the image asked for protection.
  bool statusTaken = known;
  // Where the camera alone places the block, a word or page of 0 is what a short answer filled
  // with zeros gives (the Linux driver's way): the block read there is no evidence that the image
  // asked for no protection, so the flash is protected as if it had.
  const bool blockUnsure = row.altConfigBlock != 0 && row.hasInfoBlock != 0 &&
                           (info.infoWord == 0 || info.configPage == 0);
  if ((versionByte >= 0x35 && (flagsByte & 0x80) != 0) || row.alwaysProtects || blockUnsure) {
    lastRestore.statusWritten = true;
    statusTaken =
        FlashWriteStatus(slot, flashType, FlashStatusProtected, &lastRestore.statusRead) &&
        statusTaken;
  }
  RestoreGpio(slot, protectGpioReg, protectByte);
  return statusTaken;
}

}  // namespace

bool SpiWaitDone(int slot) {
  if (CamCameraGone()) {
    return false;  // the platform says nobody is left to finish the byte
  }
  for (int poll = 0; poll < SpiDonePolls; ++poll) {
    std::uint8_t done = 0;
    if (CamReadAsic(slot, RegSpiDone, &done) && done == 1) {
      return true;
    }
    if (CamCameraGone()) {
      return false;
    }
    SleepMs(1);
  }
  return false;
}

bool FlashWaitReady(int slot, std::uint8_t* lastStatus) {
  // Its own status read tells whether a poll went through.
  RestoreWritesDecide saved(false);
  std::uint8_t status = 0;
  bool statusRead = false;
  for (int poll = 0; poll < FlashReadyPolls; ++poll) {
    if (CamCameraGone() || CamCameraSilentTooLong()) {
      break;  // a status that can no longer be read will never show ready
    }
    const bool selected = FlashSelect(slot);
    const bool sent = SpiSendByte(slot, FlashCmdReadStatus);
    const bool received = SpiReceiveByte(slot, &status);
    statusRead = selected && sent && received;
    if ((status & 0x01) == 0) {
      FlashRelease(slot);
      break;
    }
    SleepMs(1);
  }
  if (lastStatus != nullptr) {
    *lastStatus = status;
  }
  return statusRead;
}

bool FlashWriteStatus(int slot, std::uint32_t flashType, std::uint8_t value,
                      std::int32_t* statusRead) {
  {
    // The status write and its enable decide the protection; the port's release after it does not.
    RestoreWritesDecide saved(true);
    WriteReg(slot, RegSpiEnable, 1);
    SendCommand(slot, FlashCmdWriteEnable);
    FlashWaitReady(slot);
    if (FlashTypeOf(flashType).ownCommandCodes) {
      SendCommand(slot, FlashCmdEnableWriteStatus);
    }
    FlashSelect(slot);
    SpiSendByte(slot, FlashCmdWriteStatus);
    SpiSendByte(slot, value);
    FlashRelease(slot);
  }
  // The wait's last status read is the outcome; only when that read was refused is the status
  // read once more, so a clean write costs no extra request.
  std::uint8_t status = 0;
  bool known = FlashWaitReady(slot, &status);
  if (!known && !CamCameraGone()) {
    known = FlashWaitReady(slot, &status);
  }
  {
    RestoreWritesDecide saved(false);
    WriteReg(slot, RegSpiEnable, 0);
  }
  if (statusRead != nullptr) {
    *statusRead = known ? status : -1;
  }
  return known && status == value;
}

bool CamEraseFlash(int slot) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr) {
    return false;
  }
  const std::uint32_t flashType = CamGetFlashType(slot);
  std::uint8_t eraseCode = FlashCmdChipErase;
  if (!FlashTypeOf(flashType).chipEraseC7) {
    if (ChipRowOf(record->chipIndex).eraseByRegisters == 0) {
      return cameraOps.opFlashErase(slot);
    }
    eraseCode = FlashCmdChipEraseAlt;
  }
  WriteReg(slot, RegSpiEnable, 1);
  SendCommand(slot, FlashCmdWriteEnable);
  SendCommand(slot, eraseCode);
  FlashWaitReady(slot);
  return WriteReg(slot, RegSpiEnable, 0);
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
  const ChipRow& row = ChipRowOf(record->chipIndex);
  // A refused type read counts as 0xFF, which would leave out the 0x50 a type-3 flash needs: it
  // is tried once more. A register that answers 0xFF is taken at its word.
  std::uint8_t typeValue = 0xFF;
  const std::uint32_t flashType =
      ReadOnceMore([&] { return CamReadAsic(slot, row.flashTypeReg, &typeValue); }) ? typeValue
                                                                                    : 0xFFu;
  InfoBlock info;
  if (row.hasInfoBlock != 0) {
    if (!ReadOnceMore([&] { return CamReadInfoWord(slot, &info.infoWord); })) {
      info.infoWord = 0;
      info.complete = false;
    }
    const auto pageRegister = static_cast<std::uint16_t>(info.infoWord + 8);
    if (!ReadOnceMore([&] { return CamReadAsic(slot, pageRegister, &info.configPage); })) {
      info.configPage = 0;
      info.complete = false;
    }
    if (!CamReadInfoByte(slot, &info.infoByte)) {
      return false;
    }
  }
  if (enable == 0) {
    lastRestore = RestoreRecord{};
    ReleaseProtection(slot, *record, row, flashType, info, protectGpioReg, protectByte);
    return true;
  }
  // Judged by its outcome: a status register that did not take the value, or a write that
  // decides the protection refused twice, may leave the flash writable, whatever the image asked.
  lastRestore = RestoreRecord{};
  lastRestore.done = true;
  lastRestore.chipIndex = record->chipIndex;
  lastRestore.statusLeftAlone = row.hasInfoBlock != 0 && info.infoByte == 2;
  restoreWritesRefused = 0;
  bool statusTaken = false;
  {
    ScopedValue running(restoreRunning, true);
    statusTaken =
        RestoreProtection(slot, *record, row, flashType, info, protectGpioReg, protectByte);
  }
  return statusTaken && restoreWritesRefused == 0;
}

bool CamProtectionMatchesImage(const std::uint8_t* image, std::uint32_t length) {
  if (!lastRestore.done || image == nullptr) {
    return false;
  }
  if (lastRestore.statusLeftAlone) {
    return !lastRestore.statusWritten;
  }
  const std::uint32_t base = lastRestore.configBase;
  if (length < base + 0x35u) {
    return false;
  }
  const bool asked = (image[base + 0x03] >= 0x35 && (image[base + 0x34] & 0x80) != 0) ||
                     ChipRowOf(lastRestore.chipIndex).alwaysProtects;
  if (!asked) {
    return !lastRestore.statusWritten;
  }
  return lastRestore.statusWritten && lastRestore.statusRead == FlashStatusProtected;
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
  if (!ResetsAfterUpdate(record->chipIndex)) {
    return 1;
  }
  WriteReg(slot, RegReset, 0);
  return 2;
}

int CamResetDevice() {
  return CamResetDevice(0);
}
