#pragma once
// Test fixture that drives the simulated camera through the media-capture table, record by record.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "seams/media_capture.h"
#include "platform/sim/simulator.h"

namespace simtest {

using Record = std::vector<std::uint8_t>;

// Facts of the camera and its platform, written out as they are published.
// {28F03370-6311-4A2E-BA2C-6890EB334016}
inline constexpr Guid ExtensionUnitSet{
    0x28F03370, 0x6311, 0x4A2E, {0xBA, 0x2C, 0x68, 0x90, 0xEB, 0x33, 0x40, 0x16}};
// {860BB310-5D01-11D0-BD3B-00A0C911CE86}
inline constexpr Guid VideoInputCategory{
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
// {28F54685-06FD-11D2-B27A-00A0C9223196}
inline constexpr Guid IidKsControl{
    0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// {720D4AC0-7533-11D0-A5D6-28DB04C10000}
inline constexpr Guid IidKsTopologyInfo{
    0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
// {56A86895-0AD4-11CE-B03A-0020AF0BA770}
inline constexpr Guid IidBaseFilter{
    0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// {55272A00-42CB-11CE-8135-00AA004BB851}
inline constexpr Guid IidPropertyBag{
    0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
// {941C7AC0-C559-11D0-8A2B-00A0C9255AC1}
inline constexpr Guid NodeTypeVendorSpecific{
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
// Record length of each selector 1-5.
inline constexpr std::uint32_t RecordLength[6] = {0, 4, 8, 12, 12, 12};
// The code the chip wants in 0x05F8..0x05FB before it programs the flash itself.
inline constexpr std::uint8_t UnlockCode[4] = {0x5A, 0xC3, 0x96, 0x3E};

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
  void spiEnable(bool on) { writeReg(0x1080, on ? 1 : 0); }
  void select() { writeReg(0x1091, 0); }
  void release() { writeReg(0x1091, 1); }
  // Polls RegSpiDone as the host does, 1 ms apart; returns the number of polls (1001: never).
  int waitDone();
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
  void unlockChipWrites(std::uint8_t programCode = 0x02);
  // Reads `count` bytes from `address` through the chip's path, 8 per request.
  std::vector<std::uint8_t> chipRead(std::uint16_t address, std::size_t count);

  std::uint32_t node() const { return device_->setup().xuNodeId; }

  const MediaCaptureOps* ops_ = nullptr;
  sim::Device* device_ = nullptr;
  McObject* filter_ = nullptr;
  McObject* control_ = nullptr;
};

}  // namespace simtest
