// Whole update cycles through the camera layer against the simulated camera: release, erase,
// write, restore, reset, close, re-open, read back.

#include <cstring>
#include <vector>

#include "camera/chip_table.h"
#include "tests/camera/camera_fixture.h"

namespace {

constexpr int WriteProtectPin = 3;
constexpr std::uint8_t ProtectByte = 0x80 | (WriteProtectPin << 4) | 0x02;

// Deterministic image content with the protection data an image carries.
std::vector<std::uint8_t> MakeImage() {
  std::vector<std::uint8_t> image(0x10000);
  std::uint32_t x = 0x2468ACE1u;
  for (auto& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  for (std::uint32_t base : {0x5800u, 0x8000u, 0xC000u}) {
    image[base + 0x03] = 0x36;
    image[base + 0x34] = ProtectByte;
  }
  image[0x000F] = ProtectByte;
  return image;
}

class UpdateCycle : public CameraOnSim {
 protected:
  // A camera with older firmware in a flash locked by its status register and WP# low.
  void LockedCamera(int row, std::uint8_t flashType) {
    sim::WorldOptions options;
    options.camera.chipIndex = row;
    options.camera.flashType = flashType;
    options.camera.flashStatus = 0x8C;
    options.camera.writeProtectPin = WriteProtectPin;
    device_ = sim::BuildOneCameraWorld(options);
    auto& flash = Chip().flash().contents();
    for (std::size_t i = 0; i < flash.size(); ++i) {
      flash[i] = static_cast<std::uint8_t>(i * 13);
    }
  }

  // Runs the update as the front end does; returns whether the erase and the write succeeded.
  bool Update(bool releaseProtection = true) {
    if (!OpenFirst()) {
      return false;
    }
    std::uint8_t romId[8] = {};
    CamReadRomId(romId);
    std::uint16_t gpio = 0xFFFF;
    std::uint8_t protect = ProtectByte;
    if (releaseProtection) {
      CamSetFlashProtect(0, gpio, protect);
    }
    bool ok = CamEraseFlash() && CamTransfer(TransferFlashWrite, 0, image_.data(), 0x10000);
    CamSetFlashProtect(1, gpio, protect);
    if (ok) {
      CamResetDevice();
    }
    CamClose();
    return ok;
  }

  // Re-opens the camera, once a reset one is back, and reads the whole flash back.
  std::vector<std::uint8_t> ReadBack() {
    Framework().clock().sleepMillis(5000);
    std::vector<std::uint8_t> buffer(0x10000, 0);
    EXPECT_TRUE(OpenFirst());
    EXPECT_TRUE(CamTransfer(TransferFlashRead, 0, buffer.data(), 0x10000));
    CamClose();
    return buffer;
  }

  std::vector<std::uint8_t> image_ = MakeImage();
};

TEST_F(UpdateCycle, EveryRowWithSeveralFlashTypesIsReprogrammedAndRelocked) {
  for (int row = 0; row < chipTableRows; ++row) {
    for (std::uint8_t type : {2, 3, 0}) {
      SCOPED_TRACE("row " + std::to_string(row) + " flash type " + std::to_string(type));
      CamResetState();
      LockedCamera(row, type);
      ASSERT_TRUE(Update());
      EXPECT_TRUE(ReadBack() == image_);
      EXPECT_TRUE(std::memcmp(Chip().flash().contents().data(), image_.data(), 0x10000) == 0);
      EXPECT_EQ(Chip().flash().status() & 0x8C, 0x8C);
      EXPECT_FALSE(Chip().writeProtectHigh());
      EXPECT_EQ(Chip().resets(), row <= 1 ? 0u : 1u);
    }
  }
}

TEST_F(UpdateCycle, MissedProtectionReleaseLeavesTheOldFirmware) {
  LockedCamera(16, 2);
  const auto before = Chip().flash().contents();
  Update(false);
  const auto after = ReadBack();
  EXPECT_FALSE(after == image_);
  EXPECT_EQ(0, std::memcmp(after.data(), before.data(), after.size()));
}

TEST_F(UpdateCycle, CorruptReadBackOfTheLastByteIsSeen) {
  LockedCamera(17, 2);
  ASSERT_TRUE(Update());
  device_->faults().corruptReadback = 0xFFFF;
  const auto after = ReadBack();
  EXPECT_NE(after[0xFFFF], image_[0xFFFF]);
  EXPECT_EQ(0, std::memcmp(after.data(), image_.data(), 0xFFFF));
}

TEST_F(UpdateCycle, DisconnectDuringTheWriteFailsItAndTheCameraReturns) {
  LockedCamera(12, 2);
  device_->faults().disconnectAfter = 3000;
  EXPECT_FALSE(Update());
  EXPECT_TRUE(Update());
  EXPECT_TRUE(ReadBack() == image_);
}

}  // namespace
