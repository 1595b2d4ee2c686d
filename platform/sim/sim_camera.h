#pragma once
// The simulated camera chip: registers, SPI port, GPIO, memory, flash and extension-unit records.

#include <array>
#include <cstdint>
#include <vector>

#include "platform/sim/clock.h"
#include "platform/sim/faults.h"
#include "platform/sim/serial_flash.h"

namespace sim {

inline constexpr std::uint32_t RegisterSpaceSize = 0x10000;
inline constexpr std::uint32_t MemorySize = 0x10000;
inline constexpr std::uint32_t RomIdLength = 8;

struct CameraConfig {
  // The chip model (a ChipModels number); its RomId goes to the model's address.
  int chipIndex = 12;
  // Revision byte of the RomId; -1 for the model's own revision.
  int revision = -1;
  // false: internal memory holds no RomId at all (a chip the tool does not know).
  bool romIdPresent = true;
  // RomId bytes 6-7, carried along.
  std::uint8_t romIdTail[2] = {0x16, 0x09};
  // Value of the model's flash type register; also decides how the flash behaves.
  std::uint8_t flashType = 2;
  // Information record (models that have one): word, byte, and the configuration page kept
  // in register infoWord + 8.
  std::uint16_t infoWord = 0x0A00;
  std::uint8_t infoByte = 0;
  std::uint8_t configPage = 0xC0;
  // Model 15: whether register 0x1185 keeps bits 4-6 as written (one variant) or reads them as 0.
  bool variantKeepsBits = true;
  // GPIO pin wired to the flash's WP# input; -1 when WP# is tied high.
  int writeProtectPin = 2;
  // Status register of the flash at start (0x8C: status-register and block protection).
  std::uint8_t flashStatus = 0x00;
  FlashTiming flashTiming{};
  // How long the chip's own flash path waits for its own erase or program to end before the
  // request fails.
  std::uint64_t chipBusyTimeoutMicros = 3'000'000;
  // RegSpiDone reads 0, and RegSpiDataIn keeps its old value, this long after each start.
  std::uint64_t spiDoneMicros = 2'000;
  // After RegReset := 0 the device is off the bus this long before it is listed again.
  std::uint64_t resetAwayMicros = 1'500'000;
  // WP# hangs on its GPIO through an inverter: the flash sees the pin's opposite level (the
  // wiring for which the protect byte's mode is 1).
  bool writeProtectInverted = false;
};

// A change of what protects the flash, or a chip reset, with the number of the device request
// that caused it (0 before the first request).
struct ProtectionEvent {
  enum class Kind {
    status,           // value: the status register's lasting bits (busy and latch left out)
    writeProtectPin,  // value: 1 high, 0 low, as the flash sees the pin
    reset,            // value: 0
  };
  Kind kind;
  std::uint8_t value;
  std::uint32_t request;
  bool operator==(const ProtectionEvent&) const = default;
};

class Camera {
 public:
  Camera(const CameraConfig& config, Clock& clock, const Faults& faults);

  // Power-on: registers to their start values, flash erased with the configured status.
  void powerOn();
  // What RegReset := 0 does: registers back to power-on values; flash and memory kept.
  void restart();
  // Unplugged and plugged in again: registers to power-on values, the flash power-cycled.
  void replug();

  // One extension-unit request, record of the selector's exact length. false: the chip stalls
  // the request (the host sees it fail). A GET fills the whole record.
  bool set(std::uint32_t selector, const std::uint8_t* record);
  bool get(std::uint32_t selector, std::uint8_t* record);

  // Set once the chip has been reset by a register write; the device then drops off the bus.
  bool takeResetRequest();

  const CameraConfig& config() const { return config_; }
  SerialFlash& flash() { return flash_; }
  const SerialFlash& flash() const { return flash_; }
  std::array<std::uint8_t, MemorySize>& memory() { return memory_; }
  // A register as the host would read it.
  std::uint8_t readRegister(std::uint16_t address) const;
  // A register as the host would write it (side effects included).
  void writeRegister(std::uint16_t address, std::uint8_t value);
  // Level of the write-protect pin as the flash sees it.
  bool writeProtectHigh() const;
  // The 0x05F8..0x05FB registers hold the flash-write unlock code.
  bool flashWritesUnlocked() const;
  std::uint32_t resets() const { return resets_; }
  // Every change of the status register and of the write-protect pin, and every reset, since
  // power-on, in order.
  const std::vector<ProtectionEvent>& history() const { return history_; }
  // The number of the device request being served; the framework sets it before each one.
  void setRequestNumber(std::uint32_t number) { requestNumber_ = number; }
  // Chip-path writes refused because of the command registers (locked or wrong codes).
  std::uint32_t refusedWrites() const { return refusedWrites_; }
  // Requests the chip stalled because this model or its flash does not do what they asked, or
  // the flash was busy; a clean pass has none.
  std::uint32_t refusals() const { return refusals_; }
  // Receives that found no flash selected and left RegSpiDataIn as it was (the staleDataIn fault).
  std::uint32_t staleReceives() const { return staleReceives_; }
  // Erase requests (control 3, 0xC8) the chip carried out, as against erases the host drove
  // through the SPI registers.
  std::uint32_t eraseRequests() const { return eraseRequests_; }

 private:
  void loadRegisters();
  void loadMemory();
  void updateChipSelect();
  void spiStart(std::uint8_t value);

  void applyRegisterWrite(std::uint16_t address, std::uint8_t value);
  bool serveSet(std::uint32_t selector, const std::uint8_t* record);
  std::uint8_t variantKeptBits() const;
  std::uint8_t lastingStatus() const;
  void noteProtectionChanges();

  bool setRegister(const std::uint8_t* record);
  bool setBus(const std::uint8_t* record);
  bool setFlash(const std::uint8_t* record);
  bool setMemory(const std::uint8_t* record);
  bool getRegister(std::uint8_t* record);
  bool getBus(std::uint8_t* record);
  bool getFlash(std::uint8_t* record);
  bool getMemory(std::uint8_t* record);
  bool getInfo(std::uint8_t* record);

  bool chipWrite(std::uint16_t address, const std::uint8_t* data, std::uint8_t count);
  bool chipErase();
  bool chipCommand(std::uint8_t code, std::uint16_t value);
  // The write-enable and program codes the chip sends; false when the chip refuses to write.
  bool chipWriteCodes(std::uint8_t* writeEnable, std::uint8_t* program);

  CameraConfig config_;
  Clock& clock_;
  const Faults& faults_;
  SerialFlash flash_;
  std::array<std::uint8_t, RegisterSpaceSize> registers_{};
  std::array<std::uint8_t, MemorySize> memory_{};
  std::array<std::uint8_t, 0x10000> bus_{};  // what bus writes left, by first byte and address
  bool spiDone_ = false;
  std::uint16_t registerReadAddress_ = 0;
  std::uint16_t memoryReadAddress_ = 0;
  std::uint8_t memoryReadCount_ = 0;
  std::uint16_t busReadFirst_ = 0;
  std::uint16_t busReadAddress_ = 0;
  std::uint16_t flashReadPosition_ = 0;
  std::uint8_t flashReadCount_ = 0;
  bool resetRequested_ = false;
  std::uint32_t resets_ = 0;
  std::uint32_t refusedWrites_ = 0;
  std::vector<ProtectionEvent> history_;
  std::uint32_t requestNumber_ = 0;
  std::uint8_t lastStatus_ = 0;
  bool lastPinHigh_ = true;
  // Strictness (sim_camera_strict.cpp): when the SPI port's byte is done, the byte it brought
  // in, whether a register read was asked for, and the refused requests.
  bool spiByteDone() const;
  bool refuse();
  bool chipPathBusy();
  bool waitOwnCommand();
  std::uint64_t spiDoneAt_ = 0;
  std::uint8_t spiReceived_ = 0;
  bool spiReceiving_ = false;
  bool registerReadPending_ = false;
  std::uint32_t refusals_ = 0;
  std::uint32_t staleReceives_ = 0;
  std::uint32_t eraseRequests_ = 0;
};

}  // namespace sim
