#pragma once
// Test fixture that drives the simulated camera through the media-capture table, record by record.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "camera/chip_registers.h"
#include "camera/media_capture.h"
#include "platform/sim/simulator.h"

namespace simtest {

using Record = std::vector<std::uint8_t>;

// The 32-byte node header of one request.
std::array<std::uint8_t, 32> Header(std::uint32_t selector, std::uint32_t flags,
                                    std::uint32_t node);

class SimFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Builds the world (reset first) and binds the first camera's filter.
  void build(const sim::WorldOptions& options);
  void build() { build(sim::WorldOptions{}); }
  // Enumerates and binds the first device again (after a reset or a disconnect).
  bool rebind();
  void unbind();

  const MediaCaptureOps& ops() const { return *ops_; }
  sim::CaptureFramework& framework() { return sim::CurrentFramework(); }
  sim::Camera& camera() { return *device_->camera(); }
  sim::Device& device() { return *device_; }
  sim::SerialFlash& flash() { return camera().flash(); }

  // Raw requests on the bound filter's control interface.
  HResult request(std::uint32_t selector, std::uint32_t flags, std::uint32_t node,
                  std::uint8_t* data, std::uint32_t length);
  HResult set(std::uint32_t selector, Record record);
  HResult get(std::uint32_t selector, Record& record);

  // Chip registers.
  bool writeReg(std::uint16_t address, std::uint8_t value);
  std::optional<std::uint8_t> readReg(std::uint16_t address);

  // The SPI register port, as the host drives it.
  void spiEnable(bool on) { writeReg(RegSpiEnable, on ? 1 : 0); }
  void select() { writeReg(RegFlashSelect, 0); }
  void release() { writeReg(RegFlashSelect, 1); }
  void sendByte(std::uint8_t value);
  std::uint8_t receiveByte();
  // One whole command through the port (enable, select, bytes, release, disable).
  void spiCommand(std::initializer_list<std::uint8_t> bytes);
  std::uint8_t readStatus();
  // Write enable, (0x50 when `enableWriteStatus`), status write, through the port.
  void writeStatus(std::uint8_t value, bool enableWriteStatus = false);
  // Drives the flash's write-protect pin (pin 2 in the default world).
  void driveWriteProtect(bool high, int pin = 2);
  // Lets the flash finish whatever it is doing.
  void waitReady();

  // The chip's own flash path.
  HResult chipWrite(std::uint16_t address, std::vector<std::uint8_t> bytes);
  HResult chipReadStart(std::uint16_t address, std::uint8_t count);
  HResult chipReadNext(Record& record);
  HResult chipErase();
  // Releases the command registers the way the host does before programming.
  void unlockChipWrites(std::uint8_t programCode = FlashCmdProgram);
  // Reads `count` bytes from `address` through the chip's path, 8 per request.
  std::vector<std::uint8_t> chipRead(std::uint16_t address, std::size_t count);

  std::uint32_t node() const { return device_->setup().xuNodeId; }

  const MediaCaptureOps* ops_ = nullptr;
  sim::Device* device_ = nullptr;
  McObject* filter_ = nullptr;
  McObject* control_ = nullptr;
};

}  // namespace simtest
