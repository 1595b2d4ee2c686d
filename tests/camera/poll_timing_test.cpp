// The camera layer's waits on the simulated clock: every poll of the SPI port's done flag and of
// the flash's busy bit is followed by a 1 ms sleep, up to 1,000 and 10,000 polls.

#include <cstdint>

#include "tests/camera/camera_fixture.h"

namespace {

class PollTiming : public CameraOnSim {
 protected:
  // A camera of row 12 (register erase) with flash type 7 (code 0xC7).
  void RegisterEraseCamera(std::uint64_t spiDoneMicros) {
    sim::CameraConfig config;
    config.chipIndex = 12;
    config.flashType = 7;
    config.spiDoneMicros = spiDoneMicros;
    AddCamera(config, "vid_1f3a&pid_5c72", 0);
    ASSERT_TRUE(OpenFirst());
  }
  // Simulated milliseconds one register erase takes.
  std::uint64_t EraseMillis() {
    const std::uint64_t before = Framework().clock().nowMicros();
    EXPECT_TRUE(CamEraseFlash());
    return (Framework().clock().nowMicros() - before) / 1000;
  }
};

TEST_F(PollTiming, FlashThatStaysBusyIsPolled10000TimesOneMillisecondApart) {
  RegisterEraseCamera(0);
  device_->faults().stayBusy = true;
  EXPECT_EQ(EraseMillis(), 10'000u);
}

TEST_F(PollTiming, SpiByteThatNeverFinishesIsPolled1000TimesOneMillisecondApart) {
  // Write enable, the erase code, Read Status and its answer: four bytes that never finish.
  RegisterEraseCamera(3'600'000'000);
  EXPECT_EQ(EraseMillis(), 4'000u);
}

TEST_F(PollTiming, EraseWaitsOutTheFlashAndNoMore) {
  // Each status poll costs its 1 ms sleep plus two bytes of 2 ms each on the SPI port; the erase
  // takes 400 ms, so the wait ends within one poll (5 ms) after it.
  RegisterEraseCamera(2'000);
  const std::uint64_t millis = EraseMillis();
  EXPECT_GE(millis, 400u);
  EXPECT_LE(millis, 400u + 4u + 5u);  // write enable and erase code, 2 ms each, then one poll
  EXPECT_FALSE(Chip().flash().busy());
}

}  // namespace
