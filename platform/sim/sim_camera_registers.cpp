#include "platform/sim/sim_camera.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/chip_models.h"
#include "platform/sim/chip_register_map.h"

// The chip's registers as the host reads and writes them, and the SPI port behind them.

namespace sim {

namespace {

constexpr std::uint8_t IdleBus = 0xFF;

}  // namespace

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

}  // namespace sim
