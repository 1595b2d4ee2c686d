#include "platform/sim/sim_camera.h"

#include <cstring>

#include "platform/sim/chip_models.h"
#include "platform/sim/chip_register_map.h"

// The chip's own path to the flash (control 3): reads with a moving position, writes, erase and
// raw commands, which the chip's controller sends to the flash itself.

namespace sim {

namespace {

constexpr std::uint8_t FlashControlReadStart = 0x80;
constexpr std::uint8_t FlashControlErase = 0xC8;
constexpr std::uint8_t FlashControlCommand = 0x40;
constexpr std::uint8_t MaxFlashBytes = 8;

// "220R0": its controller cannot split a write for a flash of type 3, which programs one byte
// per command, so it takes 1-byte writes only.
constexpr int OneByteWriterModel = 0;

std::uint16_t Address(const std::uint8_t* record) {
  return static_cast<std::uint16_t>(record[0] | (record[1] << 8));
}

}  // namespace

bool Camera::setFlash(const std::uint8_t* record) {
  const std::uint8_t control = record[2];
  const std::uint16_t address = Address(record);
  if (control >= FlashControlReadStart && control <= FlashControlReadStart + MaxFlashBytes) {
    flashReadPosition_ = address;
    flashReadCount_ = static_cast<std::uint8_t>(control - FlashControlReadStart);
    return true;
  }
  // While the host drives the SPI port the chip cannot reach the flash.
  if (registers_[RegSpiEnable] != 0) {
    return false;
  }
  if (control <= MaxFlashBytes) {
    return chipWrite(address, record + 3, control);
  }
  if (control == FlashControlErase) {
    return chipErase();
  }
  if (control == FlashControlCommand) {
    return chipCommand(record[3], static_cast<std::uint16_t>(record[4] | (record[5] << 8)));
  }
  return false;
}

bool Camera::getFlash(std::uint8_t* record) {
  if (registers_[RegSpiEnable] != 0 || chipPathBusy()) {
    return false;
  }
  const auto& contents = flash_.contents();
  for (std::uint8_t i = 0; i < flashReadCount_; ++i) {
    const std::uint16_t address = static_cast<std::uint16_t>(flashReadPosition_ + i);
    std::uint8_t value = contents[address];
    if (faults_.corruptReadback == address) {
      value ^= 0xFF;
    }
    record[3 + i] = value;
  }
  flashReadPosition_ = static_cast<std::uint16_t>(flashReadPosition_ + flashReadCount_);
  return true;
}

bool Camera::chipWriteCodes(std::uint8_t* writeEnable, std::uint8_t* program) {
  if (!ChipModelAt(config_.chipIndex).writesNeedCommandRegs) {
    *writeEnable = SpiWriteEnable;
    *program = flash_.programCode();
    return true;
  }
  if (!flashWritesUnlocked()) {
    ++refusedWrites_;
    return false;
  }
  *writeEnable = registers_[RegChipWriteEnableCode];
  *program = registers_[RegChipProgramCode];
  return true;
}

bool Camera::chipWrite(std::uint16_t address, const std::uint8_t* data, std::uint8_t count) {
  if (count == 0) {
    return true;
  }
  if (chipPathBusy()) {
    return false;
  }
  if (count > 1 && config_.chipIndex == OneByteWriterModel &&
      flash_.type() == FlashTypeEnableWriteStatus) {
    return refuse();
  }
  std::uint8_t writeEnable = 0;
  std::uint8_t program = 0;
  // A refused write is acknowledged on the wire; the flash simply stays as it was.
  if (!chipWriteCodes(&writeEnable, &program)) {
    return true;
  }
  const bool wp = writeProtectHigh();
  flash_.command(&writeEnable, 1, wp);
  std::uint8_t bytes[4 + MaxFlashBytes] = {program, 0, static_cast<std::uint8_t>(address >> 8),
                                           static_cast<std::uint8_t>(address & 0xFF)};
  std::memcpy(bytes + 4, data, count);
  flash_.command(bytes, 4u + count, wp);
  return waitOwnCommand();
}

bool Camera::chipErase() {
  if (!ChipModelAt(config_.chipIndex).hasEraseRequest) {
    return refuse();
  }
  if (chipPathBusy()) {
    return false;
  }
  ++eraseRequests_;
  std::uint8_t writeEnable = 0;
  std::uint8_t program = 0;
  if (!chipWriteCodes(&writeEnable, &program)) {
    return true;
  }
  const bool wp = writeProtectHigh();
  flash_.command(&writeEnable, 1, wp);
  const std::uint8_t erase = flash_.chipEraseCode();
  flash_.command(&erase, 1, wp);
  return waitOwnCommand();
}

bool Camera::chipCommand(std::uint8_t code, std::uint16_t value) {
  // The chip passes the code straight to the flash; a status write takes the value's low byte.
  const std::uint8_t bytes[2] = {code, static_cast<std::uint8_t>(value & 0xFF)};
  flash_.command(bytes, code == SpiWriteStatus ? 2 : 1, writeProtectHigh());
  return true;
}

}  // namespace sim
