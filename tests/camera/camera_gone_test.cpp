// A camera pulled in the middle of an update: the attempt must end promptly and the next one must
// find the camera again, instead of polling a dead bus for hours. A camera that only refuses
// requests, however long, must not be taken for a pulled one. And the restore of the protection,
// judged by what it leaves, must not be failed by what decides nothing.

#include <functional>
#include <string>
#include <vector>

#include "camera/flash_control.h"
#include "seams/media_capture.h"
#include "tests/camera/camera_fixture.h"

namespace {

const MediaCaptureOps* realOps = nullptr;
sim::Device* watched = nullptr;
std::uint64_t goneAtMicros = 0;
bool goneSeen = false;
// Numbers of the requests answered while the watched camera's flash was busy.
std::vector<std::uint32_t> busyRequests;
// When not 0, every request the watched camera answers ends with this code instead.
HResult forcedResult = 0;

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
  return watched != nullptr && forcedResult != 0 ? forcedResult : result;
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
    forcedResult = 0;
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

  // The request numbers of the erase wait on chip 12 (it erases through the SPI registers, so its
  // wait polls a flash busy for 0.4 s): the requests after the one whose release started the erase.
  std::pair<std::uint32_t, std::uint32_t> EraseWait() {
    OneCamera(12, 2, 0x8C);
    EXPECT_TRUE(OpenFirst());
    std::uint8_t romId[8] = {};
    CamReadRomId(romId);
    std::uint16_t gpio = 0xFFFF;
    std::uint8_t protect = 0x22;
    CamSetFlashProtect(0, gpio, protect);
    watched = device_;
    busyRequests.clear();
    EXPECT_TRUE(CamEraseFlash());
    watched = nullptr;
    EXPECT_GT(busyRequests.size(), 100u);
    CamClose();
    return {busyRequests.front() + 1, busyRequests.back()};
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

TEST_F(CameraGone, ACameraThatRefusesForAWhileInTheEraseWaitPassesFirstTime) {
  const auto [waitStart, waitEnd] = EraseWait();
  // 0.9, 5 and 30 s pass at once; a camera that never answers again is let go after the erase
  // wait's two minutes of polling without an answer (four of the clock: each refused request takes
  // a millisecond too) and the byte waits' second each after it.
  for (const std::uint32_t millis : {900u, 5'000u, 30'000u, 0x7FFFFFFFu}) {
    // From the second status read on: a wait whose very first read is refused ends at once, as
    // the layer's waits always have, status 0 read as ready.
    for (const std::uint32_t at : {7u, 100u, 256u}) {
      const std::uint32_t k = waitStart + (waitEnd - waitStart) * at / 256;
      SCOPED_TRACE(std::to_string(millis) + " ms from request " + std::to_string(k));
      CamResetState();
      OneCamera(12, 2, 0x8C);
      device_->faults().refuseFromRequest = k;
      device_->faults().refuseMillis = millis;
      const std::uint64_t start = Framework().clock().nowMillis();
      const bool passed = Update();
      const std::uint64_t took = Framework().clock().nowMillis() - start;
      if (millis == 0x7FFFFFFFu) {
        EXPECT_FALSE(passed);
        EXPECT_GT(took, 240'000u);
        EXPECT_LT(took, 600'000u);
        continue;
      }
      EXPECT_TRUE(passed);
      EXPECT_GE(took, millis);
      EXPECT_EQ(Chip().flash().contents()[0xFFFF], 0x5A);
    }
  }
}

TEST_F(CameraGone, ADeviceRemovalErrorEndsTheByteWaitAtOnceAndNothingElseDoes) {
  struct Case {
    std::uint32_t code;
    int polls;
  };
  // The device-removal errors (ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED,
  // ERROR_NO_SUCH_DEVICE, ERROR_DEV_NOT_EXIST), then a stall, E_FAIL and ERROR_NOT_FOUND.
  for (const Case& c :
       {Case{0x8007048F, 1}, Case{0x80070651, 1}, Case{0x800701B1, 1}, Case{0x80070037, 1},
        Case{0x8007001F, 1000}, Case{0x80004005, 1000}, Case{0x80070490, 1000}}) {
    SCOPED_TRACE(c.code);
    OneCamera(9, 2);
    ASSERT_TRUE(OpenFirst());
    watched = device_;
    forcedResult = static_cast<HResult>(c.code);
    const std::uint32_t before = Requests();
    SpiWaitDone(0);
    EXPECT_EQ(Requests() - before, static_cast<std::uint32_t>(c.polls));
    forcedResult = 0;
    watched = nullptr;
    CamClose();
    CamResetState();
  }
}

// One restore of the protection after another, each from the released state, on chip 13 (it
// protects the status register whatever the image says), with one fault each.
class Restore : public CameraGone {
 public:
  // The request number, in a restore that starts now, of the `nth` line of a clean restore that
  // begins with `prefix`, counting from the first line that begins with `from`.
  std::uint32_t At(const std::string& prefix, int nth = 0, const char* from = "") {
    std::size_t i = 0;
    while (i < clean_.size() && clean_[i].rfind(from, 0) != 0) {
      ++i;
    }
    for (; i < clean_.size(); ++i) {
      if (clean_[i].rfind(prefix, 0) == 0 && nth-- == 0) {
        return Requests() + static_cast<std::uint32_t>(i) + 1;
      }
    }
    ADD_FAILURE() << "no " << prefix << " in the restore";
    return 0;
  }
  std::uint32_t NextStatusWrite() { return Chip().flash().counters().statusWritesDue + 1; }

 protected:
  void Release(std::uint8_t flashType) {
    OneCamera(13, flashType, 0x8C);
    ASSERT_TRUE(OpenFirst());
    gpio_ = 0xFFFF;
    protect_ = 0x22;
    ASSERT_TRUE(CamSetFlashProtect(0, gpio_, protect_));
    releasedProtect_ = protect_;
    ASSERT_TRUE(Run({}, &clean_));
  }

  // A restore from the released state with `fault` set on the camera; the faults are cleared
  // afterwards.
  bool Run(const std::function<void(sim::Faults&)>& fault,
           std::vector<std::string>* trace = nullptr) {
    CamWriteAsic(0, 0x1006, releasedProtect_);  // the pin back at its unlocked level
    CamWriteAsic(0, 0x1080, 0);                 // the SPI port back with the chip
    Chip().flash().setStatus(0x00);
    gpio_ = 0x1006;
    protect_ = releasedProtect_;
    if (fault) {
      fault(device_->faults());
    }
    StartTrace();
    const bool restored = CamSetFlashProtect(1, gpio_, protect_);
    if (trace != nullptr) {
      *trace = TakeLines();
    }
    const sim::FaultsFired fired = device_->faults().fired;
    device_->faults() = sim::Faults{};
    device_->faults().fired = fired;
    return restored;
  }

  std::uint16_t gpio_ = 0xFFFF;
  std::uint8_t protect_ = 0x22;
  std::uint8_t releasedProtect_ = 0;
  std::vector<std::string> clean_;
};

TEST_F(Restore, AnyOneRefusedRequestIsTriedAgainAndTheStatusIsTaken) {
  for (const std::uint8_t flashType : {2, 3}) {
    Release(flashType);
    for (std::size_t i = 0; i < clean_.size(); ++i) {
      SCOPED_TRACE("flash type " + std::to_string(flashType) + ", refused: " + clean_[i]);
      EXPECT_TRUE(Run([&](sim::Faults& f) { f.failRequest = Requests() + i + 1; }));
      EXPECT_EQ(device_->faults().fired.failRequest, i + 1);
      EXPECT_EQ(Chip().flash().status(), 0x8C);
      EXPECT_FALSE(Chip().writeProtectHigh());
    }
    CamClose();
  }
}

TEST_F(Restore, IsFailedOnlyByWhatCanLeaveTheFlashWritable) {
  struct Case {
    const char* what;
    bool restored;
    std::function<void(Restore&, sim::Faults&)> fault;
    std::uint32_t refusals = 0;  // the fault must have acted this often
  };
  // A request refused on both tries; `stale` keeps the SPI data register without a flash.
  const auto twice = [](const char* prefix, int nth = 0, const char* from = "",
                        bool stale = false) {
    return [=](Restore& r, sim::Faults& f) {
      f.refuseRequest = r.At(prefix, nth, from);
      f.refuseRequestTries = 2;
      f.staleDataIn = stale;
    };
  };
  const auto statusBits = [](std::uint8_t keeps, std::uint8_t drops) {
    return [=](Restore& r, sim::Faults& f) {
      f.statusBitsWrite = r.NextStatusWrite();
      f.statusKeepsBits = keeps;
      f.statusDropsBits = drops;
    };
  };
  // The status value goes out, then the select that ends its command; the final wait follows.
  const char* finalWait = "SET 1 3 82 10 8C 00";
  const std::vector<Case> cases = {
      {"the status write dropped", false,
       [](Restore& r, sim::Faults& f) { f.ignoreStatusWrite = r.NextStatusWrite(); }},
      // A status one bit off is not the protection asked for, in either direction.
      {"bit 2 dropped from the status", false, statusBits(0, 0x04)},
      {"bit 4 kept in the status", false, statusBits(0x10, 0)},
      {"the status write's enable refused twice", false, twice("SET 1 3 82 10 06 00"), 2},
      {"the status value refused twice", false, twice("SET 1 3 82 10 8C 00"), 2},
      {"the protection pin refused twice", false, twice("SET 1 3 06 10"), 2},
      {"the first configuration byte unread on both tries", false, twice("SET 3 3"), 2},
      {"the second configuration byte unread on both tries", false, twice("SET 3 3", 1), 2},
      // What the chip's reset sets anyway, or what a status read tells afterwards.
      {"the write-enable code register refused twice", true, twice("SET 1 3 F3 05"), 2},
      {"the program code register refused twice", true, twice("SET 1 3 F5 05"), 2},
      {"a lock byte refused twice", true, twice("SET 1 3 FA 05 34 00"), 2},
      {"the port given back refused twice", true, twice("SET 1 3 80 10 00 00", 0, finalWait), 2},
      // A status byte that never came off the flash is read again, not taken for the outcome.
      {"the receive's start refused twice in the final wait", true,
       twice("SET 1 3 81 10 02 00", 0, finalWait), 2},
      {"the select refused twice in the final wait, the data register stale", true,
       twice("SET 1 3 91 10 00 00", 0, finalWait, true), 2},
  };
  for (const std::uint8_t flashType : {2, 3}) {
    Release(flashType);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", flash type " + std::to_string(flashType));
      const std::uint32_t refusedBefore = device_->faults().fired.refusedRepeats;
      const std::uint32_t staleBefore = Chip().staleReceives();
      EXPECT_EQ(Run([&](sim::Faults& f) { c.fault(*this, f); }), c.restored);
      EXPECT_EQ(device_->faults().fired.refusedRepeats - refusedBefore, c.refusals);
      EXPECT_EQ(Chip().staleReceives() > staleBefore,
                std::string(c.what).find("stale") != std::string::npos);
      if (c.restored) {
        EXPECT_EQ(Chip().flash().status(), 0x8C);
      }
    }
    CamClose();
  }
}
