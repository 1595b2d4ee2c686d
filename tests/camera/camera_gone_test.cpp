// A camera pulled in the middle of an update: the attempt must end promptly and the next one must
// find the camera again, instead of polling a dead bus for hours. A camera that only refuses
// requests for a while must not be taken for a pulled one.

#include <vector>

#include "camera/flash_control.h"
#include "camera/media_capture.h"
#include "tests/camera/camera_fixture.h"

namespace {

const MediaCaptureOps* realOps = nullptr;
sim::Device* watched = nullptr;
std::uint64_t goneAtMicros = 0;
bool goneSeen = false;
// Numbers of the requests answered while the watched camera's flash was busy.
std::vector<std::uint32_t> busyRequests;

// Notes the simulated time of the first request that finds the camera gone.
HResult WatchingKsProperty(McObject* control, void* property, std::uint32_t propertyLength,
                           void* data, std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  const HResult result =
      realOps->ksProperty(control, property, propertyLength, data, dataLength, bytesReturned);
  if (!goneSeen && watched != nullptr && !watched->attached()) {
    goneSeen = true;
    goneAtMicros = sim::CurrentFramework().clock().nowMicros();
  }
  if (watched != nullptr && watched->camera() != nullptr && watched->camera()->flash().busy()) {
    busyRequests.push_back(watched->requestCount());
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

TEST_F(CameraGone, PulledAnywhereInTheUpdateEndsItWithinTwoSecondsOfPolling) {
  // Chip 12 erases through the SPI registers, so its update spends its time in the busy waits.
  struct Case {
    int chip;
    std::uint8_t flashType;
  };
  for (const Case& c : {Case{12, 2}, Case{18, 3}, Case{9, 0}}) {
    // One clean update tells how many requests a whole attempt makes on this chip.
    watched = nullptr;  // the next world frees the camera it pointed at
    OneCamera(c.chip, c.flashType, 0x8C);
    ASSERT_TRUE(Update());
    const std::uint32_t whole = Requests();
    for (std::uint32_t k = 1; k < whole; k += 157) {
      SCOPED_TRACE("chip " + std::to_string(c.chip) + ", pulled after request " +
                   std::to_string(k));
      CamResetState();
      watched = nullptr;
      OneCamera(c.chip, c.flashType, 0x8C);
      watched = device_;
      goneSeen = false;
      device_->faults().disconnectAfter = k;
      const bool passed = Update();
      if (!goneSeen) {
        continue;  // the attempt got no further than k requests before it ended by itself
      }
      EXPECT_FALSE(passed);
      EXPECT_LE(Requests() - k, 2500u);
      EXPECT_LE(Framework().clock().nowMicros() - goneAtMicros, 2'000'000u);
      // The camera is back at the next enumeration, and the next attempt goes through.
      EXPECT_TRUE(Update());
    }
  }
}

}  // namespace

TEST_F(CameraGone, ACameraThatRefusesForLessThanASecondInTheEraseWaitPassesFirstTime) {
  // Chip 12 erases through the SPI registers; its erase wait polls a flash busy for 0.4 s.
  OneCamera(12, 2, 0x8C);
  ASSERT_TRUE(OpenFirst());
  std::uint8_t romId[8] = {};
  CamReadRomId(romId);
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x22;
  CamSetFlashProtect(0, gpio, protect);
  // The erase wait: the requests after the one whose release started the erase, while the flash
  // was busy with it.
  watched = device_;
  busyRequests.clear();
  ASSERT_TRUE(CamEraseFlash());
  watched = nullptr;
  ASSERT_GT(busyRequests.size(), 100u);
  const std::uint32_t waitStart = busyRequests.front() + 1;
  const std::uint32_t waitEnd = busyRequests.back();
  CamClose();
  for (const std::uint32_t at : {0u, 1u, 7u, 50u, 100u, 160u, 256u}) {
    const std::uint32_t k = waitStart + (waitEnd - waitStart) * at / 256;
    SCOPED_TRACE("refusing from request " + std::to_string(k));
    CamResetState();
    OneCamera(12, 2, 0x8C);
    device_->faults().refuseFromRequest = k;
    device_->faults().refuseMillis = 900;
    EXPECT_TRUE(Update());
    EXPECT_GT(device_->faults().fired.refused, 100u);
    EXPECT_EQ(Chip().flash().contents()[0x1234], 0x5A);
    EXPECT_EQ(Chip().flash().contents()[0xFFFF], 0x5A);
  }
}

TEST_F(CameraGone, TheRestoreIsJudgedByTheStatusItLeaves) {
  struct Case {
    int chip;
    std::uint8_t flashType;
  };
  // Chip 13 protects the status register whatever the image's configuration bytes say.
  for (const Case& c : {Case{13, 2}, Case{13, 3}}) {
    SCOPED_TRACE("flash type " + std::to_string(c.flashType));
    OneCamera(c.chip, c.flashType, 0x8C);
    ASSERT_TRUE(OpenFirst());
    std::uint16_t gpio = 0xFFFF;
    std::uint8_t protect = 0x22;
    ASSERT_TRUE(CamSetFlashProtect(0, gpio, protect));
    ASSERT_EQ(Chip().flash().status() & 0x8C, 0x00);
    const std::uint16_t releasedGpio = gpio;
    const std::uint8_t releasedProtect = protect;

    // The flash drops the status write though every request is answered.
    device_->faults().ignoreStatusWrite = Chip().flash().counters().statusWritesDue + 1;
    EXPECT_FALSE(CamSetFlashProtect(1, gpio, protect));
    EXPECT_EQ(Chip().flash().counters().statusWritesIgnored, 1u);
    EXPECT_EQ(Chip().flash().status() & 0x8C, 0x00);

    // A done-flag poll refused once and answered on the next poll: the status is taken.
    gpio = releasedGpio;
    protect = releasedProtect;
    StartTrace();
    ASSERT_TRUE(CamSetFlashProtect(1, gpio, protect));
    std::vector<std::string> clean = TakeLines();
    ASSERT_EQ(Chip().flash().status() & 0x8C, 0x8C);
    std::size_t poll = 0;
    while (poll < clean.size() && clean[poll].rfind("SET 1 3 84 10 00 FF", 0) != 0) {
      ++poll;
    }
    ASSERT_LT(poll, clean.size()) << "no done-flag poll in the restore";
    CamWriteAsic(0, 0x1006, releasedProtect);  // the pin back at its unlocked level
    Chip().flash().setStatus(0x00);
    gpio = releasedGpio;
    protect = releasedProtect;
    device_->faults().failRequest = Requests() + static_cast<std::uint32_t>(poll) + 1;
    StartTrace();
    EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
    const std::vector<std::string> retried = TakeLines();
    EXPECT_EQ(CountPrefix(retried, "SET 1 3 84 10 00 FF FAIL"), 1);
    EXPECT_EQ(Chip().flash().status() & 0x8C, 0x8C);

    // A refused write of the restore itself (the last one: the protection pin) fails it.
    CamWriteAsic(0, 0x1006, releasedProtect);
    Chip().flash().setStatus(0x00);
    gpio = releasedGpio;
    protect = releasedProtect;
    device_->faults().failRequest = Requests() + static_cast<std::uint32_t>(clean.size());
    EXPECT_FALSE(CamSetFlashProtect(1, gpio, protect));
    CamClose();
  }
}

TEST_F(CameraGone, WaitsStopAtOnceAfterASecondOfPollingWithoutAnAnswer) {
  OneCamera(9, 2);
  ASSERT_TRUE(OpenFirst());
  device_->faults().failSelector = 1;
  const std::uint64_t start = Framework().clock().nowMillis();
  StartTrace();
  SpiWaitDone(0);
  // A byte wait's whole budget: 1000 polls, 1 ms apart.
  EXPECT_EQ(CountPrefix(TakeLines(), "SET 1 3 84 10 00 FF FAIL"), 1000);
  EXPECT_EQ(Framework().clock().nowMillis() - start, 1000u);
  StartTrace();
  FlashWaitReady(0);
  SpiWaitDone(0);
  EXPECT_TRUE(TakeLines().empty());
  // One answered request ends the spell: the next wait polls again.
  device_->faults().failSelector = -1;
  std::uint8_t value = 0;
  EXPECT_TRUE(CamReadAsic(0, 0x1084, &value));
  device_->faults().failSelector = 1;
  StartTrace();
  SpiWaitDone(0);
  EXPECT_EQ(CountPrefix(TakeLines(), "SET 1 3 84 10 00 FF FAIL"), 1000);
}
