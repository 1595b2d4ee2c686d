// A camera pulled in the middle of an update: the attempt must end promptly and the next one must
// find the camera again, instead of polling a dead bus for hours.

#include <vector>

#include "camera/flash_control.h"
#include "camera/media_capture.h"
#include "tests/camera/camera_fixture.h"

namespace {

const MediaCaptureOps* realOps = nullptr;
sim::Device* watched = nullptr;
std::uint64_t goneAtMicros = 0;
bool goneSeen = false;

// Notes the simulated time of the first request that finds the camera gone.
HResult WatchingKsProperty(McObject* control, void* property, std::uint32_t propertyLength,
                           void* data, std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  const HResult result =
      realOps->ksProperty(control, property, propertyLength, data, dataLength, bytesReturned);
  if (!goneSeen && watched != nullptr && !watched->attached()) {
    goneSeen = true;
    goneAtMicros = sim::CurrentFramework().clock().nowMicros();
  }
  return result;
}

class CameraGone : public CameraOnSim {
 protected:
  void SetUp() override {
    CameraOnSim::SetUp();
    realOps = sim::MediaCaptureTable();
    static const MediaCaptureOps watching = [] {
      MediaCaptureOps ops = *sim::MediaCaptureTable();
      ops.ksProperty = WatchingKsProperty;
      return ops;
    }();
    CamInstallMediaCapture(&watching);
  }
  void TearDown() override {
    watched = nullptr;
    CameraOnSim::TearDown();
  }

  // The camera layer's part of one update attempt; true when erase and write both succeeded.
  bool Update() {
    if (!OpenFirst()) {
      return false;
    }
    std::uint8_t romId[8] = {};
    CamReadRomId(romId);
    std::uint16_t gpio = 0xFFFF;
    std::uint8_t protect = 0x22;
    CamSetFlashProtect(0, gpio, protect);
    const bool ok = CamEraseFlash() && CamTransfer(6, 0, image_.data(), 0x10000);
    CamSetFlashProtect(1, gpio, protect);
    if (ok) {
      CamResetDevice();
    }
    CamClose();
    return ok;
  }

  std::vector<std::uint8_t> image_ = std::vector<std::uint8_t>(0x10000, 0x5A);
};

TEST_F(CameraGone, PulledAnywhereInTheUpdateEndsItWithinASecondAndAFewHundredRequests) {
  // Chip 12 erases through the SPI registers, so its update spends its time in the busy waits.
  struct Case {
    int chip;
    std::uint8_t flashType;
  };
  for (const Case& c : {Case{12, 2}, Case{18, 3}, Case{9, 0}}) {
    // One clean update tells how many requests a whole attempt makes on this chip.
    OneCamera(c.chip, c.flashType, 0x8C);
    ASSERT_TRUE(Update());
    const std::uint32_t whole = Requests();
    for (std::uint32_t k = 1; k < whole; k += 157) {
      SCOPED_TRACE("chip " + std::to_string(c.chip) + ", pulled after request " +
                   std::to_string(k));
      CamResetState();
      OneCamera(c.chip, c.flashType, 0x8C);
      watched = device_;
      goneSeen = false;
      device_->faults().disconnectAfter = k;
      const bool passed = Update();
      if (!goneSeen) {
        continue;  // the attempt got no further than k requests before it ended by itself
      }
      EXPECT_FALSE(passed);
      EXPECT_LE(Requests() - k, 300u);
      EXPECT_LE(Framework().clock().nowMicros() - goneAtMicros, 1'000'000u);
      // The camera is back at the next enumeration, and the next attempt goes through.
      EXPECT_TRUE(Update());
    }
  }
}

}  // namespace

TEST_F(CameraGone, ARestoreThatLostARequestSaysSo) {
  OneCamera(12, 2, 0x8C);
  ASSERT_TRUE(OpenFirst());
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x22;
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  const std::uint16_t releasedGpio = gpio;
  const std::uint8_t releasedProtect = protect;
  EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
  // The same restore again, with its fifth request refused by the camera.
  device_->faults().failRequest = Requests() + 5;
  gpio = releasedGpio;
  protect = releasedProtect;
  EXPECT_FALSE(CamSetFlashProtect(1, gpio, protect));
  gpio = releasedGpio;
  protect = releasedProtect;
  EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
}

TEST_F(CameraGone, WaitsStopAtOnceAfterThirtyTwoFailedRequestsInARow) {
  OneCamera(9, 2);
  ASSERT_TRUE(OpenFirst());
  device_->faults().failSelector = 1;
  const std::uint64_t start = Framework().clock().nowMillis();
  StartTrace();
  SpiWaitDone(0);
  // Each failed poll sleeps 1 ms, but not the one that completes the run of 32.
  EXPECT_EQ(CountPrefix(TakeLines(), "SET 1 3 84 10 00 FF FAIL"), 32);
  EXPECT_EQ(Framework().clock().nowMillis() - start, 31u);
  StartTrace();
  FlashWaitReady(0);
  EXPECT_TRUE(TakeLines().empty());
  // One answered request ends the run: the next wait polls again.
  device_->faults().failSelector = -1;
  std::uint8_t value = 0;
  EXPECT_TRUE(CamReadAsic(0, 0x1084, &value));
  device_->faults().failSelector = 1;
  StartTrace();
  SpiWaitDone(0);
  EXPECT_EQ(CountPrefix(TakeLines(), "SET 1 3 84 10 00 FF FAIL"), 32);
}
