// The camera's record of protection changes and resets, the faults a test can inject into it,
// and which chip models have which optional parts.

#include "sim_fixture.h"

#include <algorithm>

namespace simtest {
namespace {

using Event = sim::ProtectionEvent;
using Kind = sim::ProtectionEvent::Kind;

class FaultsAndHistoryTest : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    build();
  }
  void buildModel(int model) {
    sim::WorldOptions options;
    options.camera.chipIndex = model;
    build(options);
  }
  sim::Faults& faults() { return device().faults(); }
};

TEST_F(FaultsAndHistoryTest, HistoryNumbersEachProtectionChangeAndResetByItsRequest) {
  driveWriteProtect(true);
  const std::uint32_t pinRaised = device().requestCount();
  writeStatus(0x8C);
  // The status write takes effect when the select is released, one request before the port
  // is handed back.
  const std::uint32_t statusWritten = device().requestCount() - 1;
  ASSERT_TRUE(writeReg(0x1073, 0));
  const std::uint32_t reset = device().requestCount();
  // The restart drops the GPIO outputs, so the pin falls with the reset request.
  EXPECT_EQ(camera().history(), (std::vector<Event>{{Kind::writeProtectPin, 1, pinRaised},
                                                    {Kind::status, 0x8C, statusWritten},
                                                    {Kind::reset, 0, reset},
                                                    {Kind::writeProtectPin, 0, reset}}));
}

TEST_F(FaultsAndHistoryTest, ShortAnswerFillsOnlyTheBytesItReports) {
  ASSERT_TRUE(writeReg(0x0100, 0x99));
  struct Case {
    std::uint32_t bytes;
    Record expected;
  };
  for (const Case& c : {Case{0, {0xEE, 0xEE, 0xEE, 0xEE}}, Case{2, {0x00, 0x00, 0xEE, 0xEE}},
                        Case{3, {0x00, 0x00, 0x99, 0xEE}}}) {
    ASSERT_EQ(set(1, {0x00, 0x01, 0x00, 0xFF}), McOk);
    faults().shortGetRequest = device().requestCount() + 1;
    faults().shortGetBytes = c.bytes;
    auto header = Header(1, 0x10000001, node());
    Record record(4, 0xEE);
    std::uint32_t returned = 99;
    EXPECT_EQ(ops().ksProperty(control_, header.data(), 32, record.data(), 4, &returned), McOk);
    EXPECT_EQ(returned, c.bytes);
    EXPECT_EQ(record, c.expected) << c.bytes << " bytes";
  }
  // A selector-wide short answer hits every GET of that selector, and only those.
  faults().shortGetRequest = 0;
  faults().shortGetSelector = 1;
  faults().shortGetBytes = 0;
  EXPECT_EQ(readReg(0x0100), 0x00);
  Record memory;
  ASSERT_EQ(set(4, {0xF8, 0xBF, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0}), McOk);
  ASSERT_EQ(get(4, memory), McOk);
  EXPECT_EQ(memory[2], 8);
}

TEST_F(FaultsAndHistoryTest, PositiveSuccessCodeStillCarriesTheRequestOut) {
  faults().positiveSuccessRequest = device().requestCount() + 1;
  EXPECT_EQ(set(1, {0x00, 0x01, 0x42, 0x00}), 1);
  EXPECT_EQ(readReg(0x0100), 0x42);
}

TEST_F(FaultsAndHistoryTest, VariantRegisterKeepsOnlyTheMaskedBits) {
  buildModel(15);
  faults().variantKeptBits = 0x30;
  ASSERT_TRUE(writeReg(0x1185, 0x71));
  EXPECT_EQ(readReg(0x1185), 0x31);
}

TEST_F(FaultsAndHistoryTest, StuckBitResistsProgramming) {
  buildModel(9);  // "215R0": its own writes need no unlocking
  faults().stuckBitAddress = 0x0101;
  faults().stuckBitMask = 0x10;
  ASSERT_EQ(chipWrite(0x0100, {0x00, 0x00, 0x00}), McOk);
  waitReady();
  EXPECT_EQ(chipRead(0x0100, 3), (std::vector<std::uint8_t>{0x00, 0x10, 0x00}));
}

TEST_F(FaultsAndHistoryTest, HungRequestAnswersAfterItsTime) {
  const std::uint64_t before = framework().clock().nowMillis();
  faults().hangRequest = device().requestCount() + 2;
  faults().hangMillis = 1500;
  ASSERT_TRUE(writeReg(0x0100, 0x01));
  EXPECT_EQ(framework().clock().nowMillis(), before);
  ASSERT_TRUE(writeReg(0x0100, 0x02));
  EXPECT_EQ(framework().clock().nowMillis(), before + 1500);
}

TEST_F(FaultsAndHistoryTest, ARefusingCameraAnswersAgainWhenItsTimeIsUp) {
  ASSERT_TRUE(writeReg(0x0100, 0x01));
  faults().refuseFromRequest = device().requestCount() + 2;
  faults().refuseMillis = 900;
  ASSERT_TRUE(writeReg(0x0100, 0x02));  // the request before the spell
  const std::uint64_t start = framework().clock().nowMillis();
  EXPECT_FALSE(writeReg(0x0100, 0x03));
  EXPECT_EQ(framework().clock().nowMillis(), start + 1);  // a refusal takes a USB frame
  framework().clock().sleepMillis(897);
  EXPECT_FALSE(writeReg(0x0100, 0x04));
  EXPECT_EQ(framework().clock().nowMillis(), start + 899);
  framework().clock().sleepMillis(1);
  ASSERT_TRUE(writeReg(0x0100, 0x05));
  EXPECT_EQ(readReg(0x0100), 0x05);
  EXPECT_EQ(faults().fired.refused, 2u);
  EXPECT_TRUE(device().attached());  // refusing, not gone
}

// Which models answer the information record, need the unlock code for their own flash
// writes, and have the variant register, as the description lists them.
TEST_F(FaultsAndHistoryTest, OptionalPartsBelongToTheListedModels) {
  const std::vector<int> withCommandRegisters = {8, 12, 13, 14, 15, 16, 17, 18};
  for (int model = 0; model < 19; ++model) {
    buildModel(model);
    Record info;
    EXPECT_EQ(get(5, info) == McOk, model == 18) << "model " << model;
    // A write without unlocking takes effect only where no command registers stand in the way.
    ASSERT_EQ(chipWrite(0x0040, {0x00}), McOk);
    waitReady();
    const bool needsUnlock =
        std::count(withCommandRegisters.begin(), withCommandRegisters.end(), model) != 0;
    EXPECT_EQ(chipRead(0x0040, 1),
              std::vector<std::uint8_t>{needsUnlock ? std::uint8_t{0xFF} : std::uint8_t{0x00}})
        << "model " << model;
    // With the variant that drops bits 4-6, only the model that has the register drops them.
    faults().variantKeptBits = 0;
    writeReg(0x1185, 0x70);
    EXPECT_EQ(readReg(0x1185), model == 15 ? 0x00 : 0x70) << "model " << model;
  }
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

TEST_F(FaultsAndHistoryTest, APulledCameraComesBackPowerCycled) {
  driveWriteProtect(true);
  writeStatus(0x8C);
  waitReady();
  // Pulled in the middle of a command: write enable latched, the flash selected, a byte sent.
  spiEnable(true);
  select();
  sendByte(0x06);
  release();
  select();
  sendByte(0x01);
  faults().disconnectAfter = device().requestCount();
  EXPECT_NE(set(1, {0x82, 0x10, 0x00, 0x00}), McOk);
  ASSERT_TRUE(rebind());
  // Plugged in again: the open command is gone, the latch is clear, the lasting bits stay,
  // and the pin is no longer driven.
  EXPECT_EQ(readReg(0x1080), 0);
  EXPECT_EQ(readStatus(), 0x8C);
  EXPECT_FALSE(camera().writeProtectHigh());
}

}  // namespace
}  // namespace simtest
