#include "platform/sim/sim_camera.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/chip_models.h"
#include "platform/sim/chip_register_map.h"

// The extension unit's controls: each request's record carried to the registers, the bus, the
// internal memory and the information record.

namespace sim {

namespace {

constexpr std::uint8_t DirectionWrite = 0x00;
constexpr std::uint8_t DirectionRead = 0xFF;
constexpr std::uint8_t MaxMemoryBytes = 8;

std::uint16_t Address(const std::uint8_t* record) {
  return static_cast<std::uint16_t>(record[0] | (record[1] << 8));
}

}  // namespace

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
