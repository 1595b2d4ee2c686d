#include "platform/sim/sim_camera.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/chip_models.h"
#include "platform/sim/chip_register_map.h"

namespace sim {

namespace {

constexpr std::uint8_t ResetIdleValue = 0x01;
// The status bits a flash keeps across power cycles; busy and the write-enable latch are not.
constexpr std::uint8_t LastingStatusBits = 0xFC;

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

}  // namespace sim
