// The chip's register space, internal memory, information record, reset, and the exact
// record format the extension unit accepts.

#include "sim_fixture.h"

namespace simtest {
namespace {

// Each chip model as the camera's description lists it, in order: identification text,
// revision, where the identification block lies, which register reports the flash type.
struct ModelFacts {
  const char* name;
  std::uint8_t revision;
  std::uint16_t romIdAddress;
  std::uint16_t flashTypeRegister;
};
constexpr ModelFacts Models[] = {
    {"220R0", 1, 0x9FF8, 0x03C5}, {"225R0", 3, 0x9FF8, 0x031D}, {"250R0", 1, 0x9FF8, 0x0530},
    {"250R0", 2, 0x9FF8, 0x05F0}, {"230R0", 1, 0xD2B2, 0x0530}, {"230R0", 2, 0xDFF8, 0x05E0},
    {"230R0", 3, 0xDFF8, 0x05F0}, {"231R0", 1, 0xDFF8, 0x05F0}, {"216R0", 1, 0xDFF8, 0x05F0},
    {"215R0", 1, 0xBFF8, 0x05F0}, {"236R0", 1, 0xBFF8, 0x0690}, {"236R0", 2, 0xBFF8, 0x05F0},
    {"256R0", 1, 0xBFF8, 0x05F0}, {"231R0", 2, 0xBFF8, 0x05F0}, {"266R0", 1, 0xBFF8, 0x05F0},
    {"276R0", 1, 0xBFF8, 0x05F0}, {"275R0", 1, 0xBFF8, 0x05F0}, {"232R0", 1, 0xC7F8, 0x05F0},
    {"232R0", 2, 0xC7F8, 0x05F0},
};
constexpr int ModelCount = 19;
static_assert(std::size(Models) == ModelCount);
constexpr std::uint16_t RomIdAddresses[] = {0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8};

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

TEST_F(ChipRegistersTest, FlashTypeRegisterOfEveryModelHoldsTheConfiguredCode) {
  for (int row = 0; row < ModelCount; ++row) {
    buildRow(row, static_cast<std::uint8_t>(row + 1));
    EXPECT_EQ(readReg(Models[row].flashTypeRegister), row + 1) << "model " << row;
    writeReg(Models[row].flashTypeRegister, 0xEE);
    EXPECT_EQ(readReg(Models[row].flashTypeRegister), row + 1) << "model " << row << " after write";
  }
}

TEST_F(ChipRegistersTest, VariantRegisterOfRow15KeepsBitsOnOneVariantOnly) {
  sim::WorldOptions options;
  options.camera.chipIndex = 15;
  options.camera.variantKeepsBits = true;
  build(options);
  writeReg(0x1185, 0x71);
  EXPECT_EQ(readReg(0x1185), 0x71);

  options.camera.variantKeepsBits = false;
  build(options);
  writeReg(0x1185, 0x71);
  EXPECT_EQ(readReg(0x1185), 0x01);
}

TEST_F(ChipRegistersTest, VariantSettingMattersOnlyForRow15) {
  sim::WorldOptions options;
  options.camera.chipIndex = 14;
  options.camera.variantKeepsBits = false;
  build(options);
  writeReg(0x1185, 0x70);
  EXPECT_EQ(readReg(0x1185), 0x70);
}

// Internal memory and the RomId.

TEST_F(ChipRegistersTest, EveryModelKeepsItsRomIdAtItsOwnAddress) {
  for (int row = 0; row < ModelCount; ++row) {
    buildRow(row);
    const ModelFacts& chip = Models[row];
    const std::vector<std::uint8_t> romId = memoryRead(chip.romIdAddress);
    ASSERT_EQ(romId.size(), 8u) << "model " << row;
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(romId[i], static_cast<std::uint8_t>(chip.name[i])) << "model " << row;
    }
    EXPECT_EQ(romId[5], chip.revision) << "model " << row;
    for (std::uint16_t probe : RomIdAddresses) {
      if (probe != chip.romIdAddress) {
        EXPECT_EQ(memoryRead(probe), std::vector<std::uint8_t>(8, 0)) << "model " << row;
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
  for (std::uint16_t probe : RomIdAddresses) {
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
  writeReg(0x1006, 0x04);
  writeReg(0x05F3, 0x06);
  flash().contents()[0x0123] = 0x45;
  flash().setStatus(0x8C);
  ASSERT_TRUE(writeReg(0x1073, 0));
  EXPECT_EQ(camera().resets(), 1u);
  EXPECT_FALSE(device().attached());

  EXPECT_EQ(camera().readRegister(0x1006), 0x00);
  EXPECT_EQ(camera().readRegister(0x05F3), 0x00);
  EXPECT_EQ(camera().readRegister(0x1091), 0x01);
  EXPECT_EQ(flash().contents()[0x0123], 0x45);
  EXPECT_EQ(flash().status(), 0x8C);
}

TEST_F(ChipRegistersTest, ResetCameraIsAwayFor1500MsThenBackAtTheNextEnumeration) {
  ASSERT_TRUE(writeReg(0x1073, 0));
  EXPECT_EQ(readReg(0x0100), std::nullopt);
  EXPECT_EQ(set(1, {0, 1, 0, 0}), sim::McDeviceNotConnected);
  ops().sleep(1499);
  EXPECT_FALSE(rebind());  // still restarting: not listed
  ops().sleep(1);
  ASSERT_TRUE(rebind());
  EXPECT_TRUE(writeReg(0x0100, 0x01));
  EXPECT_EQ(readReg(0x0100), 0x01);
}

TEST_F(ChipRegistersTest, NonZeroWriteToResetRegisterDoesNotReset) {
  ASSERT_TRUE(writeReg(0x1073, 1));
  EXPECT_TRUE(device().attached());
  EXPECT_EQ(camera().resets(), 0u);
}

// The record format.

TEST_F(ChipRegistersTest, WrongRecordLengthFailsForEverySelector) {
  for (std::uint32_t selector = 1; selector <= 5; ++selector) {
    std::vector<std::uint8_t> record(RecordLength[selector] + 1, 0);
    EXPECT_EQ(request(selector, 0x10000001, node(), record.data(),
                      static_cast<std::uint32_t>(record.size())),
              sim::McBufferTooSmall)
        << "selector " << selector;
    EXPECT_EQ(request(selector, 0x10000001, node(), record.data(), RecordLength[selector] - 1),
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
  ASSERT_EQ(set(1, {0x00, 0x01, 0x00, 0xFF}), McOk);
  auto header = Header(1, 0x10000001, node());
  Record record(4, 0);
  std::uint32_t returned = 0;
  ASSERT_EQ(ops().ksProperty(control_, header.data(), 32, record.data(), 4, &returned), McOk);
  EXPECT_EQ(returned, 4u);
}

}  // namespace
}  // namespace simtest
