#include "platform/sim/sim_camera.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/chip_models.h"
#include "platform/sim/chip_register_map.h"

namespace sim {

namespace {

constexpr std::uint8_t DirectionWrite = 0x00;
constexpr std::uint8_t DirectionRead = 0xFF;
constexpr std::uint8_t MaxMemoryBytes = 8;
constexpr std::uint8_t ResetIdleValue = 0x01;
constexpr std::uint8_t IdleBus = 0xFF;
// The status bits a flash keeps across power cycles; busy and the write-enable latch are not.
constexpr std::uint8_t LastingStatusBits = 0xFC;

std::uint16_t Address(const std::uint8_t* record) {
  return static_cast<std::uint16_t>(record[0] | (record[1] << 8));
}

}  // namespace

Camera::Camera(const CameraConfig& config, Clock& clock, const Faults& faults)
    : config_(config), clock_(clock), faults_(faults), flash_(clock, faults) {
  powerOn();
}

void Camera::powerOn() {
  flash_.powerUp(config_.flashType, config_.flashStatus, config_.flashTiming);
  loadMemory();
  bus_.fill(0);
  resets_ = 0;
  refusedWrites_ = 0;
  refusals_ = 0;
  staleReceives_ = 0;
  eraseRequests_ = 0;
  resetRequested_ = false;
  loadRegisters();
  history_.clear();
  lastStatus_ = lastingStatus();
  lastPinHigh_ = writeProtectHigh();
}

std::uint8_t Camera::variantKeptBits() const {
  if (faults_.variantKeptBits >= 0) {
    return static_cast<std::uint8_t>(faults_.variantKeptBits) & VariantBits;
  }
  return config_.variantKeepsBits ? VariantBits : 0;
}

std::uint8_t Camera::lastingStatus() const {
  return flash_.status() & LastingStatusBits;
}

void Camera::noteProtectionChanges() {
  const std::uint8_t status = lastingStatus();
  if (status != lastStatus_) {
    history_.push_back({ProtectionEvent::Kind::status, status, requestNumber_});
    lastStatus_ = status;
  }
  const bool pinHigh = writeProtectHigh();
  if (pinHigh != lastPinHigh_) {
    history_.push_back({ProtectionEvent::Kind::writeProtectPin,
                        pinHigh ? std::uint8_t{1} : std::uint8_t{0}, requestNumber_});
    lastPinHigh_ = pinHigh;
  }
}

void Camera::restart() {
  // The chip select rises as the chip goes down; whatever command was open completes.
  flash_.deselect(writeProtectHigh());
  loadRegisters();
}

void Camera::replug() {
  flash_.powerCycle();
  loadRegisters();
  noteProtectionChanges();
}

void Camera::loadRegisters() {
  const ChipModel& model = ChipModelAt(config_.chipIndex);
  registers_.fill(0);
  registers_[RegFlashSelect] = 1;
  registers_[RegReset] = ResetIdleValue;
  registers_[model.flashTypeRegister] = config_.flashType;
  if (model.writesNeedCommandRegs) {
    // Codes that no flash obeys: the host has to set real ones before the chip can program.
    registers_[RegChipWriteEnableCode] = 0x00;
    registers_[RegChipProgramCode] = 0x00;
    for (int i = 0; i < ChipUnlockLength; ++i) {
      registers_[RegChipUnlockFirst + i] = ChipLockedValue;
    }
  }
  if (model.hasInfoRecord) {
    registers_[static_cast<std::uint16_t>(config_.infoWord + 8)] = config_.configPage;
  }
  spiDone_ = false;
  registerReadAddress_ = 0;
  memoryReadAddress_ = 0;
  memoryReadCount_ = 0;
  busReadFirst_ = 0;
  busReadAddress_ = 0;
  flashReadPosition_ = 0;
  flashReadCount_ = 0;
  spiDoneAt_ = 0;
  spiReceived_ = 0;
  spiReceiving_ = false;
  registerReadPending_ = false;
}

void Camera::loadMemory() {
  memory_.fill(0);
  if (!config_.romIdPresent) {
    return;
  }
  const ChipModel& model = ChipModelAt(config_.chipIndex);
  std::uint8_t* romId = memory_.data() + model.romIdAddress;
  std::memcpy(romId, model.name, 5);
  romId[5] = static_cast<std::uint8_t>(config_.revision >= 0 ? config_.revision : model.revision);
  romId[6] = config_.romIdTail[0];
  romId[7] = config_.romIdTail[1];
}

bool Camera::takeResetRequest() {
  const bool requested = resetRequested_;
  resetRequested_ = false;
  return requested;
}

bool Camera::writeProtectHigh() const {
  const int pin = config_.writeProtectPin;
  if (pin < 0 || pin > 7) {
    return true;
  }
  // A pin that is not driven reads low.
  const std::uint8_t mask = static_cast<std::uint8_t>(1u << pin);
  const bool pinHigh =
      (registers_[RegGpioOutEnable] & mask) != 0 && (registers_[RegGpioOut] & mask) != 0;
  return pinHigh != config_.writeProtectInverted;
}

bool Camera::flashWritesUnlocked() const {
  for (int i = 0; i < ChipUnlockLength; ++i) {
    if (registers_[RegChipUnlockFirst + i] != ChipUnlockCode[i]) {
      return false;
    }
  }
  return true;
}

std::uint8_t Camera::readRegister(std::uint16_t address) const {
  switch (address) {
    case RegSpiDone:
      return spiByteDone() ? 1 : 0;
    case RegSpiDataIn:
      return spiReceiving_ && spiByteDone() ? spiReceived_ : registers_[address];
    case RegSpiStart:
      return 0;
    default:
      break;
  }
  if (address == RegVariant && ChipModelAt(config_.chipIndex).hasVariantRegister) {
    return registers_[address] & static_cast<std::uint8_t>(~VariantBits | variantKeptBits());
  }
  return registers_[address];
}

void Camera::writeRegister(std::uint16_t address, std::uint8_t value) {
  applyRegisterWrite(address, value);
  noteProtectionChanges();
}

void Camera::applyRegisterWrite(std::uint16_t address, std::uint8_t value) {
  // A byte that has come in lands in RegSpiDataIn before anything else changes the port.
  if (spiReceiving_ && spiByteDone()) {
    registers_[RegSpiDataIn] = spiReceived_;
    spiReceiving_ = false;
  }
  if (address == ChipModelAt(config_.chipIndex).flashTypeRegister) {
    return;  // the chip reports what it found; the host cannot change that
  }
  switch (address) {
    case RegSpiStart:
      spiStart(value);
      return;
    case RegSpiDone:
      return;
    case RegReset:
      if (value == 0) {
        noteProtectionChanges();
        history_.push_back({ProtectionEvent::Kind::reset, 0, requestNumber_});
        restart();
        resetRequested_ = true;
        ++resets_;
        return;
      }
      registers_[address] = value;
      return;
    case RegSpiEnable:
    case RegFlashSelect:
      registers_[address] = value;
      updateChipSelect();
      return;
    default:
      registers_[address] = value;
      return;
  }
}

void Camera::updateChipSelect() {
  // The flash sees the host's select only while the host owns the SPI port.
  const bool wanted = registers_[RegSpiEnable] != 0 && registers_[RegFlashSelect] == 0;
  if (wanted && !flash_.selected()) {
    flash_.select();
  } else if (!wanted && flash_.selected()) {
    flash_.deselect(writeProtectHigh());
  }
}

void Camera::spiStart(std::uint8_t value) {
  if (value != 1 && value != 2) {
    return;
  }
  spiDone_ = false;
  if (registers_[RegSpiEnable] == 0) {
    return;  // the port is the chip's; no transfer starts and done never comes
  }
  if (value == 1) {
    flash_.shift(registers_[RegSpiDataOut]);
  } else {
    if (flash_.selected()) {
      spiReceived_ = flash_.shift(IdleBus);
    } else if (faults_.staleDataIn) {
      spiReceived_ = registers_[RegSpiDataIn];
      ++staleReceives_;
    } else {
      spiReceived_ = IdleBus;
    }
    spiReceiving_ = true;
  }
  spiDone_ = true;
  spiDoneAt_ = clock_.nowMicros() + config_.spiDoneMicros;
}

bool Camera::set(std::uint32_t selector, const std::uint8_t* record) {
  const bool ok = serveSet(selector, record);
  noteProtectionChanges();
  return ok;
}

bool Camera::serveSet(std::uint32_t selector, const std::uint8_t* record) {
  switch (selector) {
    case ControlRegister:
      return setRegister(record);
    case ControlBus:
      return setBus(record);
    case ControlFlash:
      return setFlash(record);
    case ControlMemory:
      return setMemory(record);
    default:
      return false;  // the information record is read only
  }
}

bool Camera::get(std::uint32_t selector, std::uint8_t* record) {
  if (selector < ControlRegister || selector > ControlInfo) {
    return false;
  }
  std::memset(record, 0, RecordLengthOf[selector]);
  switch (selector) {
    case ControlRegister:
      return getRegister(record);
    case ControlBus:
      return getBus(record);
    case ControlFlash:
      return getFlash(record);
    case ControlMemory:
      return getMemory(record);
    default:
      return getInfo(record);
  }
}

bool Camera::setRegister(const std::uint8_t* record) {
  const std::uint16_t address = Address(record);
  registerReadPending_ = false;
  if (record[3] == DirectionWrite) {
    writeRegister(address, record[2]);
    return true;
  }
  if (record[3] == DirectionRead) {
    if (record[2] != 0) {
      return refuse();  // a read request carries no value
    }
    registerReadAddress_ = address;
    registerReadPending_ = true;
    return true;
  }
  return refuse();
}

bool Camera::getRegister(std::uint8_t* record) {
  // The answer belongs to the read request just before it; without one there is nothing to say.
  if (!registerReadPending_) {
    return refuse();
  }
  registerReadPending_ = false;
  record[2] = readRegister(registerReadAddress_);
  return true;
}

bool Camera::setBus(const std::uint8_t* record) {
  // Control byte: two address bytes when its high nibble is 2, else one; then data.
  const std::uint8_t control = record[1];
  const int leading = (control >> 4) == 2 ? 2 : 1;
  const int total = leading + (control & 0x0F);
  const std::uint16_t base = static_cast<std::uint16_t>(record[0] << 8);
  const std::uint8_t address = record[2];
  if (record[7] == DirectionRead) {
    busReadFirst_ = base;
    busReadAddress_ = address;
    return true;
  }
  if (record[7] != DirectionWrite) {
    return false;
  }
  for (int i = leading; i < total && 2 + i <= 6; ++i) {
    bus_[base | static_cast<std::uint8_t>(address + i - leading)] = record[2 + i];
  }
  return true;
}

bool Camera::getBus(std::uint8_t* record) {
  for (int i = 0; i < 5; ++i) {
    record[2 + i] = bus_[busReadFirst_ | static_cast<std::uint8_t>(busReadAddress_ + i)];
  }
  return true;
}

bool Camera::setMemory(const std::uint8_t* record) {
  memoryReadAddress_ = Address(record);
  memoryReadCount_ = std::min(record[2], MaxMemoryBytes);
  return true;
}

bool Camera::getMemory(std::uint8_t* record) {
  record[2] = memoryReadCount_;
  for (std::uint8_t i = 0; i < memoryReadCount_; ++i) {
    record[3 + i] = memory_[static_cast<std::uint16_t>(memoryReadAddress_ + i)];
  }
  return true;
}

bool Camera::getInfo(std::uint8_t* record) {
  if (!ChipModelAt(config_.chipIndex).hasInfoRecord) {
    return false;
  }
  record[0] = static_cast<std::uint8_t>(config_.infoWord & 0xFF);
  record[1] = static_cast<std::uint8_t>(config_.infoWord >> 8);
  record[2] = config_.infoByte;
  return true;
}

}  // namespace sim
