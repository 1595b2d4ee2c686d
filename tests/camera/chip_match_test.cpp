// Chip identification against the table, with the chip's internal memory served by a transfer
// function the test controls.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "camera/chip_table.h"

namespace {

// Internal memory holding identification blocks at chosen addresses; counts the reads made.
struct FakeMemory {
  std::map<std::uint32_t, std::array<std::uint8_t, 8>> blocks;
  std::vector<std::uint32_t> reads;
  std::uint32_t failAt = 0xFFFFFFFF;
};
FakeMemory* memory = nullptr;

bool FakeTransfer(int, std::uint8_t mode, std::uint32_t address, std::uint8_t* buffer,
                  std::uint32_t length, std::uint32_t chunk) {
  EXPECT_EQ(mode, 9);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(chunk, 8u);
  memory->reads.push_back(address);
  if (address == memory->failAt) {
    return false;
  }
  auto it = memory->blocks.find(address);
  if (it == memory->blocks.end()) {
    std::memset(buffer, 0xFF, length);
  } else {
    std::memcpy(buffer, it->second.data(), 8);
  }
  return true;
}

std::array<std::uint8_t, 8> Id(const char* name, std::uint8_t revision) {
  return {static_cast<std::uint8_t>(name[0]),
          static_cast<std::uint8_t>(name[1]),
          static_cast<std::uint8_t>(name[2]),
          static_cast<std::uint8_t>(name[3]),
          static_cast<std::uint8_t>(name[4]),
          revision,
          0x12,
          0x34};
}

class ChipMatch : public ::testing::Test {
 protected:
  void SetUp() override {
    CamResetState();
    memory = &fake;
  }
  void TearDown() override { memory = nullptr; }

  // Places one block and returns the row found, or -1.
  int Match(std::uint32_t address, const char* name, std::uint8_t revision) {
    fake.blocks.clear();
    fake.reads.clear();
    fake.blocks[address] = Id(name, revision);
    CameraSlot[0].chipIndex = -7;
    std::uint8_t out[8] = {};
    if (!CamMatchRomId(0, FakeTransfer, out)) {
      return -1;
    }
    EXPECT_EQ(0, std::memcmp(out, fake.blocks[address].data(), 8));
    return CameraSlot[0].chipIndex;
  }

  FakeMemory fake;
};

// The 19 known chips as the camera's description lists them, in row order.
struct Row {
  std::uint16_t probe;
  const char* name;
  std::uint8_t revision, atLeast;
  std::uint16_t flashTypeReg;
  std::uint8_t eraseReg, cmdRegs, altCfg, info;
  std::uint16_t auxA, auxB, auxC;
  std::uint32_t auxLong;
};
// clang-format off
const Row kRows[19] = {
    {0x9FF8, "220R0", 1, 1, 0x03C5, 0, 0, 0, 0, 0x0000, 0x0000, 0x0000, 0xA000},
    {0x9FF8, "225R0", 3, 1, 0x031D, 0, 0, 0, 0, 0x0000, 0x0000, 0x01E8, 0xA000},
    {0x9FF8, "250R0", 1, 0, 0x0530, 0, 0, 0, 0, 0x0000, 0x0000, 0x01E8, 0xA000},
    {0x9FF8, "250R0", 2, 1, 0x05F0, 0, 0, 0, 0, 0x0000, 0x0000, 0x01E8, 0xA000},
    {0xD2B2, "230R0", 1, 0, 0x0530, 0, 0, 0, 0, 0x0000, 0x0000, 0x01E8, 0xE000},
    {0xDFF8, "230R0", 2, 0, 0x05E0, 1, 0, 0, 0, 0x0000, 0x0000, 0x01E8, 0xE000},
    {0xDFF8, "230R0", 3, 1, 0x05F0, 1, 0, 0, 0, 0x0300, 0x0000, 0x01E8, 0xE000},
    {0xDFF8, "231R0", 1, 0, 0x05F0, 1, 0, 0, 0, 0x0100, 0x0000, 0x01E8, 0xE000},
    {0xDFF8, "216R0", 1, 1, 0x05F0, 1, 1, 1, 0, 0x0100, 0x0000, 0x0148, 0xE000},
    {0xBFF8, "215R0", 1, 1, 0x05F0, 0, 0, 0, 0, 0x0000, 0x0000, 0x01E8, 0xC000},
    {0xBFF8, "236R0", 1, 0, 0x0690, 0, 0, 0, 0, 0x0000, 0x0000, 0x01E8, 0xC000},
    {0xBFF8, "236R0", 2, 1, 0x05F0, 1, 0, 0, 0, 0x0200, 0x0000, 0x01E8, 0xC000},
    {0xBFF8, "256R0", 1, 1, 0x05F0, 1, 1, 0, 0, 0x0100, 0x0000, 0x01E8, 0xC000},
    {0xBFF8, "231R0", 2, 1, 0x05F0, 1, 1, 0, 0, 0x0110, 0x6000, 0x61E8, 0xC000},
    {0xBFF8, "266R0", 1, 1, 0x05F0, 1, 1, 0, 0, 0x0100, 0x0000, 0x01E8, 0xC000},
    {0xBFF8, "276R0", 1, 1, 0x05F0, 1, 1, 1, 0, 0x0640, 0x0000, 0x0148, 0xC000},
    {0xBFF8, "275R0", 1, 1, 0x05F0, 1, 1, 1, 0, 0x0530, 0x0000, 0x0148, 0xC000},
    {0xC7F8, "232R0", 1, 0, 0x05F0, 1, 1, 1, 0, 0x0520, 0x0000, 0x0148, 0xE000},
    {0xC7F8, "232R0", 2, 1, 0x05F0, 1, 1, 1, 1, 0x0750, 0x0000, 0x0148, 0xE000},
};
// clang-format on

TEST(ChipTableFacts, EveryCellAndTheProbeList) {
  ASSERT_EQ(chipTableRows, 19);
  for (int i = 0; i < 19; ++i) {
    const Row& e = kRows[i];
    const ChipRow& r = ChipTable[i];
    SCOPED_TRACE("row " + std::to_string(i));
    EXPECT_EQ(r.probeAddress, e.probe);
    EXPECT_EQ(std::string(r.romName, 5), e.name);
    EXPECT_EQ(r.revision, e.revision);
    EXPECT_EQ(r.revisionAtLeast, e.atLeast);
    EXPECT_EQ(r.flashTypeReg, e.flashTypeReg);
    EXPECT_EQ(r.eraseByRegisters, e.eraseReg);
    EXPECT_EQ(r.flashCommandRegs, e.cmdRegs);
    EXPECT_EQ(r.altConfigBlock, e.altCfg);
    EXPECT_EQ(r.hasInfoBlock, e.info);
    EXPECT_EQ(r.auxWordA, e.auxA);
    EXPECT_EQ(r.auxWordB, e.auxB);
    EXPECT_EQ(r.auxWordC, e.auxC);
    EXPECT_EQ(r.auxLong, e.auxLong);
  }
  const std::uint16_t probes[5] = {0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8};
  ASSERT_EQ(romIdProbeCount, 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(RomIdProbes[i], probes[i]);
  }
}

TEST_F(ChipMatch, EveryRowIsFoundAtItsOwnProbeAddress) {
  for (int row = 0; row < 19; ++row) {
    EXPECT_EQ(Match(kRows[row].probe, kRows[row].name, kRows[row].revision), row) << row;
  }
}

TEST_F(ChipMatch, ExactRevisionRowsWinOverLaterAtLeastRows) {
  EXPECT_EQ(Match(0x9FF8, "250R0", 1), 2);
  EXPECT_EQ(Match(0x9FF8, "250R0", 2), 3);
  EXPECT_EQ(Match(0x9FF8, "250R0", 9), 3);
  EXPECT_EQ(Match(0xDFF8, "230R0", 2), 5);
  EXPECT_EQ(Match(0xDFF8, "230R0", 3), 6);
  EXPECT_EQ(Match(0xBFF8, "236R0", 1), 10);
  EXPECT_EQ(Match(0xBFF8, "236R0", 2), 11);
  EXPECT_EQ(Match(0xC7F8, "232R0", 1), 17);
  EXPECT_EQ(Match(0xC7F8, "232R0", 2), 18);
}

TEST_F(ChipMatch, NameComparisonIgnoresCaseButRevisionRulesHold) {
  EXPECT_EQ(Match(0x9FF8, "220r0", 5), 0);
  EXPECT_EQ(Match(0x9FF8, "220R0", 0), -1);  // at-least 1
  EXPECT_EQ(Match(0xDFF8, "231R0", 2), -1);  // row 7 wants exactly 1
  EXPECT_EQ(Match(0xBFF8, "231R0", 2), 13);
  EXPECT_EQ(Match(0xD2B2, "230R0", 1), 4);
  EXPECT_EQ(Match(0xD2B2, "230R0", 2), -1);
}

TEST_F(ChipMatch, FifthCharacterIsNotCompared) {
  EXPECT_EQ(Match(0xBFF8, "215RZ", 1), 9);
}

TEST_F(ChipMatch, ProbesInOrderAndStopsAtFirstMatch) {
  Match(0x9FF8, "220R0", 1);
  EXPECT_EQ(fake.reads, (std::vector<std::uint32_t>{0x9FF8}));
  Match(0xC7F8, "232R0", 1);
  EXPECT_EQ(fake.reads, (std::vector<std::uint32_t>{0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8}));
}

TEST_F(ChipMatch, NoMatchingRowAnywhereLeavesStateUnchanged) {
  EXPECT_EQ(Match(0x9FF8, "250R0", 0), -1);
  EXPECT_EQ(fake.reads.size(), 5u);
  EXPECT_EQ(CameraSlot[0].chipIndex, -7);
}

TEST_F(ChipMatch, FailedReadEndsTheSearchAndTouchesNothing) {
  fake.blocks[0xBFF8] = Id("215R0", 1);
  fake.failAt = 0x9FF8;
  CameraSlot[0].chipIndex = 4;
  std::uint8_t out[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_FALSE(CamMatchRomId(0, FakeTransfer, out));
  EXPECT_EQ(fake.reads, (std::vector<std::uint32_t>{0x9FF8}));
  EXPECT_EQ(CameraSlot[0].chipIndex, 4);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[7], 8);
}

TEST_F(ChipMatch, MissingArgumentsOrBadSlotFailWithoutReading) {
  std::uint8_t out[8] = {};
  EXPECT_FALSE(CamMatchRomId(0, nullptr, out));
  EXPECT_FALSE(CamMatchRomId(0, FakeTransfer, nullptr));
  EXPECT_FALSE(CamMatchRomId(24, FakeTransfer, out));
  EXPECT_FALSE(CamMatchRomId(-1, FakeTransfer, out));
  EXPECT_TRUE(fake.reads.empty());
}

}  // namespace
