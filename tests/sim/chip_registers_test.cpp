// The chip's register space, internal memory, information record, reset, and the exact
// record format the extension unit accepts.

#include "sim_fixture.h"

#include "camera/chip_table.h"

namespace simtest {
namespace {

class ChipRegistersTest : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    build();
  }
  void buildRow(int row, std::uint8_t flashType = 2) {
    sim::WorldOptions options;
    options.camera.chipIndex = row;
    options.camera.flashType = flashType;
    build(options);
  }
  std::vector<std::uint8_t> memoryRead(std::uint16_t address, std::uint8_t wanted = 8) {
    if (set(4, {static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(address >> 8),
                wanted, 0, 0, 0, 0, 0, 0, 0, 0, 0}) != McOk) {
      return {};
    }
    Record answer;
    if (get(4, answer) != McOk) {
      return {};
    }
    return std::vector<std::uint8_t>(answer.begin() + 3, answer.begin() + 3 + answer[2]);
  }
};

// Registers.

TEST_F(ChipRegistersTest, RegisterReadsBackWhatWasWritten) {
  ASSERT_TRUE(writeReg(0x2345, 0x6B));
  EXPECT_EQ(readReg(0x2345), 0x6B);
  EXPECT_EQ(readReg(0x2346), 0x00);
}

TEST_F(ChipRegistersTest, ReadAnswerCarriesTheValueInByteTwoOnly) {
  writeReg(0x0100, 0x99);
  ASSERT_EQ(set(1, {0x00, 0x01, 0x00, 0xFF}), McOk);
  Record answer;
  ASSERT_EQ(get(1, answer), McOk);
  EXPECT_EQ(answer, (Record{0x00, 0x00, 0x99, 0x00}));
}

TEST_F(ChipRegistersTest, DirectionByteOtherThanWriteOrReadStalls) {
  EXPECT_EQ(set(1, {0x00, 0x01, 0x55, 0x01}), sim::McGenFailure);
  EXPECT_EQ(readReg(0x0100), 0x00);
}

TEST_F(ChipRegistersTest, FlashTypeRegisterOfEveryRowHoldsTheConfiguredCode) {
  for (int row = 0; row < chipTableRows; ++row) {
    buildRow(row, static_cast<std::uint8_t>(row + 1));
    EXPECT_EQ(readReg(ChipTable[row].flashTypeReg), row + 1) << "row " << row;
    writeReg(ChipTable[row].flashTypeReg, 0xEE);
    EXPECT_EQ(readReg(ChipTable[row].flashTypeReg), row + 1) << "row " << row << " after write";
  }
}

TEST_F(ChipRegistersTest, VariantRegisterOfRow15KeepsBitsOnOneVariantOnly) {
  sim::WorldOptions options;
  options.camera.chipIndex = 15;
  options.camera.variantKeepsBits = true;
  build(options);
  writeReg(RegVariant276, 0x71);
  EXPECT_EQ(readReg(RegVariant276), 0x71);

  options.camera.variantKeepsBits = false;
  build(options);
  writeReg(RegVariant276, 0x71);
  EXPECT_EQ(readReg(RegVariant276), 0x01);
}

TEST_F(ChipRegistersTest, VariantSettingMattersOnlyForRow15) {
  sim::WorldOptions options;
  options.camera.chipIndex = 14;
  options.camera.variantKeepsBits = false;
  build(options);
  writeReg(RegVariant276, 0x70);
  EXPECT_EQ(readReg(RegVariant276), 0x70);
}

// Internal memory and the RomId.

TEST_F(ChipRegistersTest, EveryRowKeepsItsRomIdAtItsProbeAddress) {
  for (int row = 0; row < chipTableRows; ++row) {
    buildRow(row);
    const ChipRow& chip = ChipTable[row];
    const std::vector<std::uint8_t> romId = memoryRead(chip.probeAddress);
    ASSERT_EQ(romId.size(), 8u) << "row " << row;
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(romId[i], static_cast<std::uint8_t>(chip.romName[i])) << "row " << row;
    }
    EXPECT_EQ(romId[5], chip.revision) << "row " << row;
    for (std::uint16_t probe : RomIdProbes) {
      if (probe != chip.probeAddress) {
        EXPECT_EQ(memoryRead(probe), std::vector<std::uint8_t>(8, 0)) << "row " << row;
      }
    }
  }
}

TEST_F(ChipRegistersTest, ConfiguredRevisionAndTailAppearInTheRomId) {
  sim::WorldOptions options;
  options.camera.chipIndex = 3;
  options.camera.revision = 7;
  options.camera.romIdTail[0] = 0xAB;
  options.camera.romIdTail[1] = 0xCD;
  build(options);
  EXPECT_EQ(memoryRead(0x9FF8),
            (std::vector<std::uint8_t>{'2', '5', '0', 'R', '0', 7, 0xAB, 0xCD}));
}

TEST_F(ChipRegistersTest, UnknownChipHasNoRomIdAnywhere) {
  sim::WorldOptions options;
  options.camera.romIdPresent = false;
  build(options);
  for (std::uint16_t probe : RomIdProbes) {
    EXPECT_EQ(memoryRead(probe), std::vector<std::uint8_t>(8, 0));
  }
}

TEST_F(ChipRegistersTest, MemoryReadDeliversTheCountAskedForUpToEight) {
  EXPECT_EQ(memoryRead(0xBFF8, 0).size(), 0u);
  EXPECT_EQ(memoryRead(0xBFF8, 3), (std::vector<std::uint8_t>{'2', '5', '6'}));
  EXPECT_EQ(memoryRead(0xBFF8, 12).size(), 8u);
}

// The information record.

TEST_F(ChipRegistersTest, InfoRecordAnswersWordAndByteOnRowsWithInfoBlock) {
  sim::WorldOptions options;
  options.camera.chipIndex = 18;
  options.camera.infoWord = 0x1234;
  options.camera.infoByte = 2;
  options.camera.configPage = 0x58;
  build(options);
  Record answer;
  ASSERT_EQ(get(5, answer), McOk);
  EXPECT_EQ(answer, (Record{0x34, 0x12, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(readReg(0x1234 + 8), 0x58);
}

TEST_F(ChipRegistersTest, InfoRecordFailsOnRowsWithoutInfoBlock) {
  Record answer;
  EXPECT_EQ(get(5, answer), sim::McGenFailure);
}

TEST_F(ChipRegistersTest, InfoRecordCannotBeWritten) {
  buildRow(18);
  EXPECT_NE(set(5, Record(12, 0)), McOk);
}

// Bus transfers.

TEST_F(ChipRegistersTest, BusReadAnswersWhatABusWriteLeft) {
  // Device 0x42, one address byte 0x10, three data bytes.
  ASSERT_EQ(set(2, {0x42, 0x13, 0x10, 0xA1, 0xA2, 0xA3, 0x00, 0x00}), McOk);
  ASSERT_EQ(set(2, {0x42, 0x13, 0x10, 0x00, 0x00, 0x00, 0x00, 0xFF}), McOk);
  Record answer;
  ASSERT_EQ(get(2, answer), McOk);
  EXPECT_EQ(answer, (Record{0, 0, 0xA1, 0xA2, 0xA3, 0, 0, 0}));
}

// Reset.

TEST_F(ChipRegistersTest, ResetRestoresPowerOnRegistersAndKeepsFlash) {
  writeReg(RegGpioOut, 0x04);
  writeReg(RegFlashWriteEnableCmd, 0x06);
  flash().contents()[0x0123] = 0x45;
  flash().setStatus(0x8C);
  ASSERT_TRUE(writeReg(RegReset, 0));
  EXPECT_EQ(camera().resets(), 1u);
  EXPECT_FALSE(device().attached());

  EXPECT_EQ(camera().readRegister(RegGpioOut), 0x00);
  EXPECT_EQ(camera().readRegister(RegFlashWriteEnableCmd), 0x00);
  EXPECT_EQ(camera().readRegister(RegFlashSelect), 0x01);
  EXPECT_EQ(flash().contents()[0x0123], 0x45);
  EXPECT_EQ(flash().status(), 0x8C);
}

TEST_F(ChipRegistersTest, ResetCameraFailsRequestsUntilEnumeratedAgain) {
  ASSERT_TRUE(writeReg(RegReset, 0));
  EXPECT_EQ(readReg(0x0100), std::nullopt);
  EXPECT_EQ(set(1, {0, 1, 0, 0}), sim::McDeviceNotConnected);
  ASSERT_TRUE(rebind());
  EXPECT_TRUE(writeReg(0x0100, 0x01));
  EXPECT_EQ(readReg(0x0100), 0x01);
}

TEST_F(ChipRegistersTest, NonZeroWriteToResetRegisterDoesNotReset) {
  ASSERT_TRUE(writeReg(RegReset, 1));
  EXPECT_TRUE(device().attached());
  EXPECT_EQ(camera().resets(), 0u);
}

// The record format.

TEST_F(ChipRegistersTest, WrongRecordLengthFailsForEverySelector) {
  for (std::uint32_t selector = 1; selector <= 5; ++selector) {
    std::vector<std::uint8_t> record(XuRecordLength[selector] + 1, 0);
    EXPECT_EQ(request(selector, 0x10000001, node(), record.data(),
                      static_cast<std::uint32_t>(record.size())),
              sim::McBufferTooSmall)
        << "selector " << selector;
    EXPECT_EQ(request(selector, 0x10000001, node(), record.data(), XuRecordLength[selector] - 1),
              sim::McBufferTooSmall)
        << "selector " << selector;
  }
}

TEST_F(ChipRegistersTest, SelectorsOutsideOneToFiveFail) {
  Record record(12, 0);
  EXPECT_NE(request(0, 0x10000001, node(), record.data(), 12), McOk);
  EXPECT_NE(request(6, 0x10000001, node(), record.data(), 12), McOk);
}

TEST_F(ChipRegistersTest, FlagsWithoutTopologyBitFail) {
  Record record{0x00, 0x01, 0x07, 0x00};
  EXPECT_EQ(request(1, KsPropertyTypeSet, node(), record.data(), 4), sim::McSetNotFound);
  EXPECT_EQ(readReg(0x0100), 0x00);
}

TEST_F(ChipRegistersTest, WrongPropertySetFails) {
  auto header = Header(1, 0x10000002, node());
  header[0] ^= 0x01;
  Record record{0x00, 0x01, 0x07, 0x00};
  std::uint32_t returned = 0;
  EXPECT_EQ(ops().ksProperty(control_, header.data(), 32, record.data(), 4, &returned),
            sim::McSetNotFound);
  EXPECT_EQ(readReg(0x0100), 0x00);
}

TEST_F(ChipRegistersTest, NonZeroReservedFieldFails) {
  auto header = Header(1, 0x10000002, node());
  header[28] = 1;
  Record record{0x00, 0x01, 0x07, 0x00};
  std::uint32_t returned = 0;
  EXPECT_NE(ops().ksProperty(control_, header.data(), 32, record.data(), 4, &returned), McOk);
}

TEST_F(ChipRegistersTest, ShortHeaderFails) {
  auto header = Header(1, 0x10000002, node());
  Record record{0x00, 0x01, 0x07, 0x00};
  std::uint32_t returned = 0;
  EXPECT_NE(ops().ksProperty(control_, header.data(), 24, record.data(), 4, &returned), McOk);
  EXPECT_EQ(readReg(0x0100), 0x00);
}

TEST_F(ChipRegistersTest, RequestsToAnotherNodeFail) {
  Record record{0x00, 0x01, 0x07, 0x00};
  EXPECT_EQ(request(1, 0x10000002, node() - 1, record.data(), 4), McNotFound);
  EXPECT_EQ(readReg(0x0100), 0x00);
}

TEST_F(ChipRegistersTest, GetReportsTheRecordLengthReturned) {
  auto header = Header(1, 0x10000001, node());
  Record record(4, 0);
  std::uint32_t returned = 0;
  ASSERT_EQ(ops().ksProperty(control_, header.data(), 32, record.data(), 4, &returned), McOk);
  EXPECT_EQ(returned, 4u);
}

}  // namespace
}  // namespace simtest
