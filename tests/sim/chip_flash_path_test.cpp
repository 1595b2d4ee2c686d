// The chip's own flash path: selector-3 writes, reads with a moving position, erase and
// command, with the command registers and unlock code of the rows that have them.

#include "sim_fixture.h"

namespace simtest {
namespace {

constexpr int rowWithCommandRegs = 12;    // "256R0"
constexpr int rowWithoutCommandRegs = 9;  // "215R0"

class ChipFlashPathTest : public SimFixture {
 protected:
  void buildRow(int row, std::uint8_t flashType = 2) {
    sim::WorldOptions options;
    options.camera.chipIndex = row;
    options.camera.flashType = flashType;
    build(options);
  }
};

// Reading.

TEST_F(ChipFlashPathTest, ReadPositionMovesOnByTheReadLength) {
  buildRow(rowWithoutCommandRegs);
  for (int i = 0; i < 16; ++i) {
    flash().contents()[0x0200 + i] = static_cast<std::uint8_t>(0xA0 + i);
  }
  ASSERT_EQ(chipReadStart(0x0200, 3), McOk);
  Record record;
  for (int chunk = 0; chunk < 4; ++chunk) {
    ASSERT_EQ(chipReadNext(record), McOk);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(record[3 + i], 0xA0 + chunk * 3 + i) << "chunk " << chunk;
    }
    for (int i = 3; i < 8; ++i) {
      EXPECT_EQ(record[3 + i], 0) << "bytes beyond n stay 0";
    }
  }
}

TEST_F(ChipFlashPathTest, ReadPositionWrapsAtTheTopOfTheFlash) {
  buildRow(rowWithoutCommandRegs);
  flash().contents()[0xFFFF] = 0x11;
  flash().contents()[0x0000] = 0x22;
  flash().contents()[0x0001] = 0x33;
  EXPECT_EQ(chipRead(0xFFFE, 4), (std::vector<std::uint8_t>{0xFF, 0x11, 0x22, 0x33}));
}

TEST_F(ChipFlashPathTest, ReadStartOfZeroDeliversNothing) {
  buildRow(rowWithoutCommandRegs);
  flash().contents()[0x0010] = 0x5A;
  ASSERT_EQ(chipReadStart(0x0010, 0), McOk);
  Record record;
  ASSERT_EQ(chipReadNext(record), McOk);
  EXPECT_EQ(record, Record(12, 0));
}

TEST_F(ChipFlashPathTest, ReadStartAboveEightIsRejected) {
  buildRow(rowWithoutCommandRegs);
  EXPECT_NE(set(3, {0, 0, 0x89, 0, 0, 0, 0, 0, 0, 0, 0, 0}), McOk);
}

// Writing.

TEST_F(ChipFlashPathTest, ChipWritesNeedNoWriteEnableFromTheHost) {
  buildRow(rowWithoutCommandRegs);
  ASSERT_EQ(chipWrite(0x0040, {1, 2, 3, 4, 5, 6, 7, 8}), McOk);
  EXPECT_EQ(chipRead(0x0040, 8), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(flash().contents()[0x0048], 0xFF);
}

TEST_F(ChipFlashPathTest, WritingOverDataLeavesTheAndOfBoth) {
  buildRow(rowWithoutCommandRegs);
  ASSERT_EQ(chipWrite(0x0100, {0x3C, 0xFF}), McOk);
  ASSERT_EQ(chipWrite(0x0100, {0xF0, 0x0F}), McOk);
  EXPECT_EQ(flash().contents()[0x0100], 0x30);
  EXPECT_EQ(flash().contents()[0x0101], 0x0F);
}

TEST_F(ChipFlashPathTest, WriteRunsPastTheTopIntoAddressZero) {
  buildRow(rowWithoutCommandRegs);
  ASSERT_EQ(chipWrite(0xFFFE, {0x01, 0x02, 0x03}), McOk);
  EXPECT_EQ(flash().contents()[0xFFFE], 0x01);
  EXPECT_EQ(flash().contents()[0xFFFF], 0x02);
  EXPECT_EQ(flash().contents()[0x0000], 0x03);
}

TEST_F(ChipFlashPathTest, BlockProtectedFlashIgnoresChipWritesAndErase) {
  buildRow(rowWithoutCommandRegs);
  flash().setStatus(0x0C);
  EXPECT_EQ(chipWrite(0x0000, {0x00}), McOk);
  EXPECT_EQ(flash().contents()[0], 0xFF);
  flash().contents()[1] = 0x00;
  EXPECT_EQ(chipErase(), McOk);
  EXPECT_EQ(flash().contents()[1], 0x00);
}

TEST_F(ChipFlashPathTest, TypeThreeFlashProgramsOnlyWithItsOwnCode) {
  buildRow(rowWithoutCommandRegs, 3);
  ASSERT_EQ(chipWrite(0x0000, {0x12}), McOk);
  EXPECT_EQ(flash().contents()[0], 0x12);
  EXPECT_EQ(flash().programCode(), 0xAF);
}

// Command registers and the unlock code.

TEST_F(ChipFlashPathTest, LockedChipRefusesWritesButAcknowledgesThem) {
  buildRow(rowWithCommandRegs);
  EXPECT_EQ(chipWrite(0x0000, {0x00, 0x11}), McOk);
  EXPECT_EQ(flash().contents()[0], 0xFF);
  EXPECT_EQ(camera().refusedWrites(), 1u);
}

TEST_F(ChipFlashPathTest, UnlockedChipWritesWithTheRegisteredCodes) {
  buildRow(rowWithCommandRegs);
  unlockChipWrites();
  ASSERT_EQ(chipWrite(0x0000, {0x00, 0x11}), McOk);
  EXPECT_EQ(flash().contents()[0], 0x00);
  EXPECT_EQ(flash().contents()[1], 0x11);
}

TEST_F(ChipFlashPathTest, EveryUnlockByteCounts) {
  buildRow(rowWithCommandRegs);
  for (int wrong = 0; wrong < 4; ++wrong) {
    unlockChipWrites();
    writeReg(static_cast<std::uint16_t>(0x05F8 + wrong), 0x34);
    EXPECT_EQ(chipWrite(0x0000, {0x00}), McOk);
    EXPECT_EQ(flash().contents()[0], 0xFF) << "unlock byte " << wrong << " wrong";
  }
}

TEST_F(ChipFlashPathTest, PowerOnCodesProgramNothingEvenWhenUnlocked) {
  buildRow(rowWithCommandRegs);
  EXPECT_NE(readReg(0x05F3), 0x06);
  EXPECT_NE(readReg(0x05F5), 0x02);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(readReg(static_cast<std::uint16_t>(0x05F8 + i)), 0x34);
    writeReg(static_cast<std::uint16_t>(0x05F8 + i), UnlockCode[i]);
  }
  EXPECT_EQ(chipWrite(0x0000, {0x00}), McOk);
  EXPECT_EQ(flash().contents()[0], 0xFF);
}

TEST_F(ChipFlashPathTest, WrongProgramCodeForTheFlashTypeProgramsNothing) {
  buildRow(rowWithCommandRegs, 3);
  unlockChipWrites(0x02);
  EXPECT_EQ(chipWrite(0x0000, {0x00}), McOk);
  EXPECT_EQ(flash().contents()[0], 0xFF);
  unlockChipWrites(0xAF);
  EXPECT_EQ(chipWrite(0x0000, {0x00}), McOk);
  EXPECT_EQ(flash().contents()[0], 0x00);

  buildRow(rowWithCommandRegs, 2);
  unlockChipWrites(0xAF);
  EXPECT_EQ(chipWrite(0x0000, {0x00}), McOk);
  EXPECT_EQ(flash().contents()[0], 0xFF);
}

TEST_F(ChipFlashPathTest, RelockingStopsFurtherWrites) {
  buildRow(rowWithCommandRegs);
  unlockChipWrites();
  ASSERT_EQ(chipWrite(0x0000, {0x0F}), McOk);
  for (int i = 0; i < 4; ++i) {
    writeReg(static_cast<std::uint16_t>(0x05F8 + i), 0x34);
  }
  ASSERT_EQ(chipWrite(0x0000, {0x00}), McOk);
  EXPECT_EQ(flash().contents()[0], 0x0F);
}

// Erase request and command.

TEST_F(ChipFlashPathTest, EraseRequestAnswersOnceTheEraseHasEnded) {
  sim::WorldOptions options;
  options.camera.chipIndex = rowWithoutCommandRegs;
  options.camera.flashTiming.eraseMicros = 200'000;
  build(options);
  flash().contents().fill(0x00);
  const std::uint64_t before = framework().clock().nowMicros();
  ASSERT_EQ(chipErase(), McOk);
  EXPECT_EQ(flash().contents()[0x8000], 0xFF);
  EXPECT_FALSE(flash().busy());
  EXPECT_EQ(framework().clock().nowMicros() - before, 200'000u);
  ASSERT_EQ(chipWrite(0x0000, {0x42}), McOk);
  EXPECT_EQ(flash().contents()[0], 0x42);
}

TEST_F(ChipFlashPathTest, CommandRequestPassesTheCodeToTheFlash) {
  buildRow(rowWithoutCommandRegs);
  ASSERT_EQ(set(3, {0, 0, 0x40, 0x06, 0, 0, 0, 0, 0, 0, 0, 0}), McOk);
  EXPECT_EQ(flash().status() & sim::StatusWriteEnableLatch, sim::StatusWriteEnableLatch);
  ASSERT_EQ(set(3, {0, 0, 0x40, 0x01, 0x0C, 0x00, 0, 0, 0, 0, 0, 0}), McOk);
  ops().sleep(100);
  EXPECT_EQ(flash().status(), 0x0C);
}

TEST_F(ChipFlashPathTest, UnknownControlByteStalls) {
  buildRow(rowWithoutCommandRegs);
  EXPECT_EQ(set(3, {0, 0, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0}), sim::McGenFailure);
  EXPECT_EQ(set(3, {0, 0, 0xC7, 0, 0, 0, 0, 0, 0, 0, 0, 0}), sim::McGenFailure);
}

TEST_F(ChipFlashPathTest, ChipPathFailsWhileTheHostOwnsTheSpiPort) {
  buildRow(rowWithoutCommandRegs);
  spiEnable(true);
  EXPECT_NE(chipWrite(0x0000, {0x00}), McOk);
  EXPECT_NE(chipErase(), McOk);
  ASSERT_EQ(chipReadStart(0x0000, 8), McOk);
  Record record;
  EXPECT_NE(chipReadNext(record), McOk);
  spiEnable(false);
  EXPECT_EQ(chipReadNext(record), McOk);
  EXPECT_EQ(flash().contents()[0], 0xFF);
}

}  // namespace
}  // namespace simtest
