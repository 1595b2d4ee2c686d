// The serial flash as the host reaches it through the chip's SPI register port.

#include <algorithm>
#include <iterator>
#include <string>

#include "sim_fixture.h"

namespace simtest {
namespace {

class SerialFlashTest : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    build();
  }
  void fillPattern() {
    for (std::size_t i = 0; i < sim::FlashSize; ++i) {
      flash().contents()[i] = static_cast<std::uint8_t>(i * 7);
    }
  }
  bool erased() {
    for (std::uint8_t value : flash().contents()) {
      if (value != 0xFF) {
        return false;
      }
    }
    return true;
  }
  void eraseByPort(std::uint8_t code = 0xC7) {
    spiCommand({0x06});
    spiCommand({code});
  }
};

// Protection: block-protect bits, status-register protect and the write-protect pin.

TEST_F(SerialFlashTest, ProtectedFlashIgnoresEraseUntilReleased) {
  flash().setStatus(0x8C);
  fillPattern();
  eraseByPort();
  EXPECT_EQ(flash().contents()[0x1234], static_cast<std::uint8_t>(0x1234 * 7));

  writeStatus(0x00);  // refused: SRP set and the pin low
  EXPECT_EQ(readStatus(), 0x8C);
  eraseByPort();
  EXPECT_FALSE(erased());

  driveWriteProtect(true);
  writeStatus(0x00);
  waitReady();
  EXPECT_EQ(readStatus(), 0x00);
  eraseByPort();
  waitReady();
  EXPECT_TRUE(erased());
}

TEST_F(SerialFlashTest, AnyBlockProtectBitStopsErase) {
  for (std::uint8_t bits : {0x04, 0x08, 0x10}) {
    fillPattern();
    flash().setStatus(bits);
    eraseByPort();
    EXPECT_FALSE(erased()) << "status " << int{bits};
    EXPECT_EQ(flash().counters().erases, 0u);
  }
}

TEST_F(SerialFlashTest, StatusWriteBlockedWhileSrpSetAndPinLowOnly) {
  flash().setStatus(0x80);
  driveWriteProtect(false);
  writeStatus(0x0C);
  EXPECT_EQ(readStatus(), 0x80);

  driveWriteProtect(true);
  writeStatus(0x0C);
  waitReady();
  EXPECT_EQ(readStatus(), 0x0C);

  // With SRP clear the pin does not matter.
  driveWriteProtect(false);
  writeStatus(0x8C);
  waitReady();
  EXPECT_EQ(readStatus(), 0x8C);
}

TEST_F(SerialFlashTest, PinThatIsNotDrivenReadsLow) {
  flash().setStatus(0x80);
  writeReg(0x1007, 0x00);
  writeReg(0x1006, 0x04);  // level set, but the pin is not an output
  writeStatus(0x00);
  EXPECT_EQ(readStatus(), 0x80);
}

TEST_F(SerialFlashTest, WriteProtectFollowsTheConfiguredPin) {
  sim::WorldOptions options;
  options.camera.writeProtectPin = 5;
  options.camera.flashStatus = 0x8C;
  build(options);
  driveWriteProtect(true, 2);  // the wrong pin
  writeStatus(0x00);
  EXPECT_EQ(readStatus(), 0x8C);
  driveWriteProtect(true, 5);
  writeStatus(0x00);
  waitReady();
  EXPECT_EQ(readStatus(), 0x00);
}

// The write-enable latch.

TEST_F(SerialFlashTest, WriteEnableSetsLatchAndEraseClearsIt) {
  spiCommand({0x06});
  EXPECT_EQ(readStatus() & sim::StatusWriteEnableLatch, sim::StatusWriteEnableLatch);
  spiCommand({0xC7});
  waitReady();
  EXPECT_EQ(readStatus() & sim::StatusWriteEnableLatch, 0);
}

TEST_F(SerialFlashTest, SecondEraseWithoutNewWriteEnableDoesNothing) {
  eraseByPort();
  waitReady();
  fillPattern();
  spiCommand({0xC7});
  waitReady();
  EXPECT_FALSE(erased());
  EXPECT_EQ(flash().counters().erases, 1u);
}

TEST_F(SerialFlashTest, StatusWriteClearsLatchAndNeedsIt) {
  spiCommand({0x01, 0x0C});
  EXPECT_EQ(readStatus(), 0x00);
  writeStatus(0x0C);
  waitReady();
  EXPECT_EQ(readStatus(), 0x0C);  // latch bit 1 cleared again
}

TEST_F(SerialFlashTest, LatchClearedEvenWhenProtectionStopsTheErase) {
  flash().setStatus(0x0C);
  eraseByPort();
  EXPECT_EQ(readStatus() & sim::StatusWriteEnableLatch, 0);
}

// Command dialects by flash type.

TEST_F(SerialFlashTest, TypeThreeNeedsEnableWriteStatusImmediatelyBefore) {
  sim::WorldOptions options;
  options.camera.flashType = 3;
  options.camera.flashStatus = 0x0C;
  build(options);
  writeStatus(0x00);
  EXPECT_EQ(readStatus() & 0x9C, 0x0C);

  // Something between 0x50 and 0x01 breaks the pair.
  spiCommand({0x06});
  spiCommand({0x50});
  readStatus();
  spiCommand({0x01, 0x00});
  EXPECT_EQ(readStatus() & 0x1C, 0x0C);

  writeStatus(0x00, true);
  waitReady();
  EXPECT_EQ(readStatus(), 0x00);
}

TEST_F(SerialFlashTest, OtherTypesWriteStatusWithoutEnableWriteStatus) {
  flash().setStatus(0x0C);
  writeStatus(0x00);
  waitReady();
  EXPECT_EQ(readStatus(), 0x00);
}

TEST_F(SerialFlashTest, EachFlashTypeErasesOnlyWithItsOwnChipEraseCode) {
  const std::uint8_t typesOf0xC7[] = {2, 7, 8, 10, 11};
  for (int type = 0; type <= 12; ++type) {
    const bool c7 =
        std::find(std::begin(typesOf0xC7), std::end(typesOf0xC7), type) != std::end(typesOf0xC7);
    sim::WorldOptions options;
    options.camera.flashType = static_cast<std::uint8_t>(type);
    build(options);
    for (std::uint8_t code : {0xC7, 0x60}) {
      SCOPED_TRACE("type " + std::to_string(type) + " code " + std::to_string(code));
      fillPattern();
      eraseByPort(code);
      waitReady();
      EXPECT_EQ(erased(), code == (c7 ? 0xC7 : 0x60));
    }
  }
}

TEST_F(SerialFlashTest, ProgramThroughPortOnlyClearsBits) {
  flash().contents()[0x0100] = 0x3C;
  spiCommand({0x06});
  spiCommand({0x02, 0x00, 0x01, 0x00, 0xF0});
  EXPECT_EQ(flash().contents()[0x0100], 0x30);
}

// Busy timing on the simulator's clock.

TEST_F(SerialFlashTest, EraseKeepsFlashBusyForItsConfiguredTime) {
  sim::WorldOptions options;
  options.camera.flashTiming.eraseMicros = 50'000;
  options.camera.spiDoneMicros = 0;  // status reads take no time of their own
  build(options);
  eraseByPort();
  EXPECT_EQ(readStatus() & sim::StatusBusy, sim::StatusBusy);
  ops().sleep(49);
  EXPECT_EQ(readStatus() & sim::StatusBusy, sim::StatusBusy);
  ops().sleep(1);
  EXPECT_EQ(readStatus() & sim::StatusBusy, 0);
}

TEST_F(SerialFlashTest, StatusWriteKeepsFlashBusy) {
  sim::WorldOptions options;
  options.camera.flashTiming.statusWriteMicros = 15'000;
  build(options);
  writeStatus(0x0C);
  EXPECT_EQ(readStatus(), 0x0D);
  ops().sleep(15);
  EXPECT_EQ(readStatus(), 0x0C);
}

TEST_F(SerialFlashTest, CommandsWhileBusyAreLost) {
  eraseByPort();
  spiCommand({0x06});
  waitReady();
  EXPECT_EQ(readStatus() & sim::StatusWriteEnableLatch, 0);
}

TEST_F(SerialFlashTest, StatusStreamsWhileSelectIsHeld) {
  // The host re-selects and re-sends 0x05 without releasing in between, as its busy wait does.
  eraseByPort();
  spiEnable(true);
  select();
  sendByte(0x05);
  EXPECT_EQ(receiveByte() & 1, 1);
  ops().sleep(1000);
  select();
  sendByte(0x05);
  EXPECT_EQ(receiveByte() & 1, 0);
  release();
  spiEnable(false);
}

// The register port itself.

TEST_F(SerialFlashTest, DoneFlagSetByEachTransfer) {
  EXPECT_EQ(readReg(0x1084), 0);
  spiEnable(true);
  select();
  sendByte(0x05);
  EXPECT_EQ(readReg(0x1084), 1);
  release();
  spiEnable(false);
}

TEST_F(SerialFlashTest, PortDoesNothingWhileSpiDisabled) {
  fillPattern();
  select();
  sendByte(0x06);
  EXPECT_EQ(readReg(0x1084), 0);
  release();
  select();
  sendByte(0xC7);
  release();
  EXPECT_FALSE(erased());
  EXPECT_EQ(flash().status() & sim::StatusWriteEnableLatch, 0);
}

TEST_F(SerialFlashTest, CommandRunsOnlyWhenSelectIsReleased) {
  spiEnable(true);
  select();
  sendByte(0x06);
  EXPECT_EQ(flash().status() & sim::StatusWriteEnableLatch, 0);
  release();
  EXPECT_EQ(flash().status() & sim::StatusWriteEnableLatch, sim::StatusWriteEnableLatch);
  spiEnable(false);
}

}  // namespace
}  // namespace simtest
