#pragma once
// The simulated 64 KiB serial NOR flash: contents, status register, commands and busy timing.

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/sim/clock.h"
#include "platform/sim/faults.h"

namespace sim {

inline constexpr std::uint32_t FlashSize = 0x10000;

// Status register bits.
inline constexpr std::uint8_t StatusBusy = 0x01;
inline constexpr std::uint8_t StatusWriteEnableLatch = 0x02;
inline constexpr std::uint8_t StatusBlockProtect = 0x1C;  // bits 2-4
inline constexpr std::uint8_t StatusRegisterProtect = 0x80;
// The bits a status write can change; busy and the latch are the flash's own.
inline constexpr std::uint8_t StatusWritable = StatusBlockProtect | StatusRegisterProtect;

// The flash type code whose flash wants 0x50 before a status write and programs with 0xAF.
inline constexpr std::uint8_t FlashTypeEnableWriteStatus = 3;

// How long the flash stays busy after each operation, on the simulator's clock.
struct FlashTiming {
  std::uint64_t eraseMicros = 400'000;
  std::uint64_t programMicros = 20;  // one program command of up to 8 bytes
  std::uint64_t statusWriteMicros = 10'000;
};

// Counts of operations the flash carried out (not the ones it ignored).
struct FlashCounters {
  std::uint32_t erases = 0;
  std::uint32_t programs = 0;
  std::uint32_t statusWrites = 0;
  // Status writes the flash would have carried out, the ones it dropped included, and the
  // dropped ones (the ignoreStatusWrite fault).
  std::uint32_t statusWritesDue = 0;
  std::uint32_t statusWritesIgnored = 0;
};

class SerialFlash {
 public:
  SerialFlash(const Clock& clock, const Faults& faults);

  // Erased contents, the given status register and type; not busy, not selected.
  void powerUp(std::uint8_t type, std::uint8_t status, const FlashTiming& timing);

  std::uint8_t type() const { return type_; }
  // The program command this flash answers to.
  std::uint8_t programCode() const;
  // The one chip-erase command this flash answers to; the other code is not a command to it.
  std::uint8_t chipEraseCode() const;

  std::array<std::uint8_t, FlashSize>& contents() { return data_; }
  const std::array<std::uint8_t, FlashSize>& contents() const { return data_; }

  // The status register as Read Status answers it, busy bit included.
  std::uint8_t status() const;
  // Sets the status register directly (bits 1-7), as a flash leaves the factory or a previous
  // owner left it.
  void setStatus(std::uint8_t status) { status_ = status & ~StatusBusy; }
  bool busy() const;
  // Clock time at which the current operation ends (busy() may still hold under stayBusy).
  std::uint64_t readyAt() const { return readyAt_; }
  FlashTiming& timing() { return timing_; }
  const FlashCounters& counters() const { return counters_; }

  // The SPI wire as the chip's register port drives it: chip select falling and rising, and one
  // full-duplex byte. A command runs when the select is released.
  void select();
  void deselect(bool writeProtectHigh);
  // Power lost and back: an open command is abandoned and the write-enable latch clears; the
  // cells and the status register's lasting bits stay.
  void powerCycle();
  bool selected() const { return selected_; }
  std::uint8_t shift(std::uint8_t out);

  // One whole command (select, bytes, release), as the chip's own flash controller sends it.
  void command(const std::uint8_t* bytes, std::size_t length, bool writeProtectHigh);

 private:
  void execute(const std::uint8_t* bytes, std::size_t length, bool writeProtectHigh);
  void writeStatus(const std::uint8_t* bytes, std::size_t length, bool afterEnable,
                   bool writeProtectHigh);
  void chipErase();
  void program(const std::uint8_t* bytes, std::size_t length);
  bool takeWriteEnable();
  void startBusy(std::uint64_t micros);

  const Clock& clock_;
  const Faults& faults_;
  std::array<std::uint8_t, FlashSize> data_{};
  std::uint8_t type_ = 0;
  std::uint8_t status_ = 0;  // without the busy bit, which comes from readyAt_
  std::uint64_t readyAt_ = 0;
  FlashTiming timing_{};
  FlashCounters counters_{};
  bool statusWriteEnabled_ = false;  // 0x50 was the last command
  bool selected_ = false;
  std::array<std::uint8_t, 64> wire_{};  // bytes shifted in since the select
  std::size_t wireLength_ = 0;
};

}  // namespace sim
