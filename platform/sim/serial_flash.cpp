#include "platform/sim/serial_flash.h"

#include <algorithm>

#include "platform/sim/chip_register_map.h"

namespace sim {

namespace {
constexpr std::uint8_t IdleBus = 0xFF;  // what the data line reads when nothing drives it
}  // namespace

SerialFlash::SerialFlash(const Clock& clock, const Faults& faults)
    : clock_(clock), faults_(faults) {
  data_.fill(0xFF);
}

void SerialFlash::powerUp(std::uint8_t type, std::uint8_t status, const FlashTiming& timing) {
  data_.fill(0xFF);
  type_ = type;
  setStatus(status);
  timing_ = timing;
  readyAt_ = 0;
  counters_ = {};
  statusWriteEnabled_ = false;
  selected_ = false;
  wireLength_ = 0;
}

std::uint8_t SerialFlash::programCode() const {
  return type_ == FlashTypeEnableWriteStatus ? SpiProgramType3 : SpiProgram;
}

std::uint8_t SerialFlash::chipEraseCode() const {
  // The flash types that erase with 0xC7; every other type knows the chip erase as 0x60.
  switch (type_) {
    case 2:
    case 7:
    case 8:
    case 10:
    case 11:
      return SpiChipErase;
    default:
      return SpiChipEraseSecond;
  }
}

bool SerialFlash::busy() const {
  return faults_.stayBusy || clock_.nowMicros() < readyAt_;
}

std::uint8_t SerialFlash::status() const {
  return static_cast<std::uint8_t>(status_ | (busy() ? StatusBusy : 0));
}

void SerialFlash::select() {
  selected_ = true;
  wireLength_ = 0;
}

void SerialFlash::deselect(bool writeProtectHigh) {
  if (!selected_) {
    return;
  }
  selected_ = false;
  execute(wire_.data(), wireLength_, writeProtectHigh);
  wireLength_ = 0;
}

void SerialFlash::powerCycle() {
  selected_ = false;
  wireLength_ = 0;
  statusWriteEnabled_ = false;
  status_ &= static_cast<std::uint8_t>(~StatusWriteEnableLatch);
}

std::uint8_t SerialFlash::shift(std::uint8_t out) {
  if (!selected_) {
    return IdleBus;
  }
  const std::size_t position = wireLength_;
  if (wireLength_ < wire_.size()) {
    wire_[wireLength_++] = out;
  }
  if (position == 0) {
    return IdleBus;
  }
  // Answers that stream out after the command byte.
  switch (wire_[0]) {
    case SpiReadStatus:
      return status();
    case SpiRead:
      if (position >= 4 && !busy()) {
        const std::uint32_t address = (std::uint32_t{wire_[2]} << 8) | wire_[3];
        return data_[(address + position - 4) & 0xFFFF];
      }
      return IdleBus;
    default:
      return IdleBus;
  }
}

void SerialFlash::command(const std::uint8_t* bytes, std::size_t length, bool writeProtectHigh) {
  execute(bytes, length, writeProtectHigh);
}

void SerialFlash::execute(const std::uint8_t* bytes, std::size_t length, bool writeProtectHigh) {
  if (length == 0) {
    return;
  }
  const std::uint8_t code = bytes[0];
  const bool afterEnable = statusWriteEnabled_;
  statusWriteEnabled_ = false;
  // A busy flash answers only Read Status; everything else is lost.
  if (code == SpiReadStatus || code == SpiRead || busy()) {
    return;
  }
  switch (code) {
    case SpiWriteEnable:
      status_ |= StatusWriteEnableLatch;
      return;
    case SpiWriteDisable:
      status_ &= static_cast<std::uint8_t>(~StatusWriteEnableLatch);
      return;
    case SpiEnableWriteStatus:
      statusWriteEnabled_ = type_ == FlashTypeEnableWriteStatus;
      return;
    case SpiWriteStatus:
      writeStatus(bytes, length, afterEnable, writeProtectHigh);
      return;
    case SpiChipErase:
    case SpiChipEraseSecond:
      if (code == chipEraseCode()) {
        chipErase();
      }
      return;
    default:
      if (code == programCode()) {
        program(bytes, length);
      }
      return;
  }
}

bool SerialFlash::takeWriteEnable() {
  if ((status_ & StatusWriteEnableLatch) == 0) {
    return false;
  }
  status_ &= static_cast<std::uint8_t>(~StatusWriteEnableLatch);
  return true;
}

void SerialFlash::startBusy(std::uint64_t micros) {
  readyAt_ = clock_.nowMicros() + micros;
}

void SerialFlash::writeStatus(const std::uint8_t* bytes, std::size_t length, bool afterEnable,
                              bool writeProtectHigh) {
  if (length < 2) {
    return;
  }
  if (type_ == FlashTypeEnableWriteStatus && !afterEnable) {
    return;
  }
  if (!takeWriteEnable()) {
    return;
  }
  // Hardware protection: with SRP set, the status register is frozen while WP# is low.
  if ((status_ & StatusRegisterProtect) != 0 && !writeProtectHigh) {
    return;
  }
  if (++counters_.statusWritesDue == faults_.ignoreStatusWrite) {
    ++counters_.statusWritesIgnored;  // taken like any other command, and then forgotten
    return;
  }
  status_ = static_cast<std::uint8_t>((status_ & ~StatusWritable) | (bytes[1] & StatusWritable));
  if (counters_.statusWritesDue == faults_.statusBitsWrite) {
    constexpr std::uint8_t FaultableBits = 0xFC;
    status_ |= static_cast<std::uint8_t>(faults_.statusKeepsBits & FaultableBits);
    status_ &= static_cast<std::uint8_t>(~(faults_.statusDropsBits & FaultableBits));
  }
  ++counters_.statusWrites;
  startBusy(timing_.statusWriteMicros);
}

void SerialFlash::chipErase() {
  if (!takeWriteEnable()) {
    return;
  }
  if ((status_ & StatusBlockProtect) != 0) {
    return;
  }
  data_.fill(0xFF);
  ++counters_.erases;
  startBusy(timing_.eraseMicros);
}

void SerialFlash::program(const std::uint8_t* bytes, std::size_t length) {
  if (length < 4) {
    return;
  }
  if (!takeWriteEnable()) {
    return;
  }
  if ((status_ & StatusBlockProtect) != 0) {
    return;
  }
  // 24-bit address on the wire; the part holds 64 KiB, so the upper byte is not decoded.
  const std::uint32_t address = (std::uint32_t{bytes[2]} << 8) | bytes[3];
  for (std::size_t i = 4; i < length; ++i) {
    // NOR cells can only be programmed from 1 to 0.
    const std::uint32_t cell = (address + i - 4) & 0xFFFF;
    std::uint8_t value = bytes[i];
    if (faults_.stuckBitAddress >= 0 &&
        cell == static_cast<std::uint32_t>(faults_.stuckBitAddress)) {
      value |= faults_.stuckBitMask;
    }
    data_[cell] &= value;
  }
  ++counters_.programs;
  startBusy(timing_.programMicros);
}

}  // namespace sim
