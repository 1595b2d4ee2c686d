// Serial-flash control on the simulated camera: a protected flash ignores erase until the
// protection is released through the status register and the write-protect pin.

#include <algorithm>
#include <cstring>

#include "tests/camera/camera_fixture.h"

namespace {

class FlashControl : public CameraOnSim {
 protected:
  // A camera whose flash is protected by its status register and a low write-protect pin.
  void ProtectedCamera(int row, std::uint8_t flashType, int wpPin = 2) {
    sim::WorldOptions options;
    options.camera.chipIndex = row;
    options.camera.flashType = flashType;
    options.camera.flashStatus = 0x8C;
    options.camera.writeProtectPin = wpPin;
    device_ = sim::BuildOneCameraWorld(options);
    std::fill(Flash().begin(), Flash().end(), 0x11);
    ASSERT_TRUE(OpenFirst());
  }
  std::array<std::uint8_t, 0x10000>& Flash() { return Chip().flash().contents(); }
  std::uint8_t Status() { return Chip().flash().status(); }
};

TEST_F(FlashControl, ProtectedFlashIgnoresEraseUntilReleased) {
  ProtectedCamera(9, 2);
  EXPECT_TRUE(CamEraseFlash());
  EXPECT_EQ(Flash()[0x1234], 0x11);
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x22;  // pin 2 driven high while unprotected
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_EQ(Status() & 0x9C, 0);
  EXPECT_TRUE(CamEraseFlash());
  EXPECT_EQ(Flash()[0x1234], 0xFF);
}

TEST_F(FlashControl, ReleaseWithoutTheWriteProtectPinLeavesTheStatusLocked) {
  ProtectedCamera(9, 2);
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x00;  // no pin driven: WP# stays low, so the status write is ignored
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_EQ(Status() & 0x9C, 0x8C);
  EXPECT_TRUE(CamEraseFlash());
  EXPECT_EQ(Flash()[0], 0x11);
}

TEST_F(FlashControl, FailedInfoByteReadStopsBeforeAnyWrite) {
  OneCamera(18);
  ASSERT_TRUE(OpenFirst());
  device_->faults().failSelector = 5;
  StartTrace();
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x22;
  EXPECT_FALSE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_EQ(protect, 0x22);
  for (const std::string& line : TakeLines()) {
    EXPECT_FALSE(line.rfind("SET 1 3 ", 0) == 0 && line.substr(17, 2) == "00") << line;
  }
}

}  // namespace
