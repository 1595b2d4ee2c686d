// Where the simulated camera is as strict as a real one: requests a model or its flash does not
// know are stalled, the SPI port and a reset take time, and WP# can hang on either wiring.

#include <algorithm>
#include <array>
#include <string>

#include "sim_fixture.h"

namespace simtest {
namespace {

class StrictCameraTest : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    build();
  }
  void buildRow(int row, std::uint8_t flashType) {
    sim::WorldOptions options;
    options.camera.chipIndex = row;
    options.camera.flashType = flashType;
    build(options);
  }
  bool flashFilled(std::uint8_t value) {
    for (std::uint8_t cell : flash().contents()) {
      if (cell != value) {
        return false;
      }
    }
    return true;
  }
};

// Per model and per flash type.

TEST_F(StrictCameraTest, OnlyModelsWithoutRegisterEraseCarryOutTheEraseRequest) {
  // The rows whose erase is the chip's own request; all others erase through the SPI registers.
  const bool hasEraseRequest[19] = {true,  true,  true,  true,  true,  false, false,
                                    false, false, true,  true,  false, false, false,
                                    false, false, false, false, false};
  for (int row = 0; row < 19; ++row) {
    for (std::uint8_t type : {2, 3}) {
      SCOPED_TRACE("row " + std::to_string(row) + " flash type " + std::to_string(type));
      buildRow(row, type);
      unlockChipWrites();
      flash().contents().fill(0x00);
      EXPECT_EQ(chipErase() == McOk, hasEraseRequest[row]);
      // The chip sends its flash's own erase code, so whichever type it is, the flash erases.
      EXPECT_EQ(flashFilled(0xFF), hasEraseRequest[row]);
      EXPECT_EQ(camera().refusals(), hasEraseRequest[row] ? 0u : 1u);
    }
  }
}

TEST_F(StrictCameraTest, OldestModelTakesOnlyOneByteWritesForAFlashOfType3) {
  struct Case {
    int row;
    std::uint8_t type;
    bool eightByteWritesTaken;
  };
  for (const Case c : {Case{0, 3, false}, Case{0, 2, true}, Case{0, 4, true}, Case{1, 3, true},
                       Case{9, 3, true}}) {
    SCOPED_TRACE("row " + std::to_string(c.row) + " flash type " + std::to_string(c.type));
    buildRow(c.row, c.type);
    EXPECT_EQ(chipWrite(0x0100, {1, 2, 3, 4, 5, 6, 7, 8}) == McOk, c.eightByteWritesTaken);
    EXPECT_EQ(chipWrite(0x0200, {0x42}), McOk);
    EXPECT_EQ(flash().contents()[0x0200], 0x42);
    EXPECT_EQ(flash().contents()[0x0100], c.eightByteWritesTaken ? 0x01 : 0xFF);
  }
}

TEST_F(StrictCameraTest, ChipPathStallsWhileTheHostLeftTheFlashBusy) {
  sim::WorldOptions options;
  options.camera.chipIndex = 9;
  options.camera.flashTiming.eraseMicros = 100'000;
  build(options);
  spiCommand({0x06});
  spiCommand({0xC7});  // the register erase, not waited for
  ASSERT_TRUE(flash().busy());
  const std::uint64_t before = framework().clock().nowMicros();
  EXPECT_EQ(chipWrite(0x0000, {0x00}), sim::McGenFailure);
  EXPECT_EQ(chipErase(), sim::McGenFailure);
  ASSERT_EQ(chipReadStart(0x0000, 8), McOk);
  Record record;
  EXPECT_EQ(chipReadNext(record), sim::McGenFailure);
  EXPECT_EQ(framework().clock().nowMicros(), before);  // refused at once, not waited out
  EXPECT_EQ(camera().refusals(), 3u);
  waitReady();
  EXPECT_EQ(chipWrite(0x0000, {0x00}), McOk);
  EXPECT_EQ(flash().contents()[0], 0x00);
}

// The SPI port's done flag.

TEST_F(StrictCameraTest, SpiDoneReadsZeroFor2MsAndTheReceivedByteArrivesWithIt) {
  flash().setStatus(0x8C);
  spiEnable(true);
  select();
  sendByte(0x05);
  writeReg(0x1083, 0);
  writeReg(0x1081, 2);
  EXPECT_EQ(readReg(0x1084), 0);
  EXPECT_EQ(readReg(0x1083), 0x00);  // nothing shifted in yet
  ops().sleep(1);
  EXPECT_EQ(readReg(0x1084), 0);
  ops().sleep(1);
  EXPECT_EQ(readReg(0x1084), 1);
  EXPECT_EQ(readReg(0x1083), 0x8C);
  // The host's own poll: three reads (0, 0, 1) with 1 ms between them.
  writeReg(0x1082, 0x05);
  writeReg(0x1081, 1);
  EXPECT_EQ(waitDone(), 3);
}

// Requests the chip does not answer.

TEST_F(StrictCameraTest, RegisterReadAnswersOnlyTheReadRequestJustBeforeIt) {
  Record answer;
  EXPECT_EQ(get(1, answer), sim::McGenFailure);  // no read request at all
  ASSERT_EQ(set(1, {0x73, 0x10, 0x00, 0xFF}), McOk);
  EXPECT_EQ(get(1, answer), McOk);
  EXPECT_EQ(get(1, answer), sim::McGenFailure);  // that request was answered already
  ASSERT_EQ(set(1, {0x73, 0x10, 0x00, 0xFF}), McOk);
  ASSERT_EQ(set(1, {0x00, 0x01, 0x07, 0x00}), McOk);  // a write in between
  EXPECT_EQ(get(1, answer), sim::McGenFailure);
  // A read request carries 0 in byte 2.
  EXPECT_EQ(set(1, {0x73, 0x10, 0x01, 0xFF}), sim::McGenFailure);
  EXPECT_EQ(get(1, answer), sim::McGenFailure);
}

TEST_F(StrictCameraTest, HeaderOfAnyLengthButThirtyTwoStalls) {
  std::array<std::uint8_t, 40> header{};
  const auto node32 = Header(1, 0x10000002, node());
  std::copy(node32.begin(), node32.end(), header.begin());
  for (const std::uint32_t length : {31u, 33u, 40u, 32u}) {
    Record record{0x00, 0x01, 0x5A, 0x00};
    std::uint32_t returned = 0;
    const HResult result =
        ops().ksProperty(control_, header.data(), length, record.data(), 4, &returned);
    EXPECT_EQ(result == McOk, length == 32) << "length " << length;
  }
  EXPECT_EQ(camera().readRegister(0x0100), 0x5A);
}

// Wiring and reset.

TEST_F(StrictCameraTest, InvertedWiringShowsTheFlashThePinsOppositeLevel) {
  sim::WorldOptions options;
  options.camera.writeProtectPin = 4;
  options.camera.writeProtectInverted = true;
  options.camera.flashStatus = 0x8C;
  build(options);
  EXPECT_TRUE(camera().writeProtectHigh());  // an undriven pin is low, WP# high
  driveWriteProtect(true, 4);
  EXPECT_FALSE(camera().writeProtectHigh());
  writeStatus(0x00);  // frozen: SRP set and WP# low
  waitReady();
  EXPECT_EQ(readStatus(), 0x8C);
  driveWriteProtect(false, 4);
  EXPECT_TRUE(camera().writeProtectHigh());
  writeStatus(0x00);
  waitReady();
  EXPECT_EQ(readStatus(), 0x00);
}

}  // namespace
}  // namespace simtest
