// Chip identification against the table, with the chip's internal memory served by a transfer
// function the test controls.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
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
  EXPECT_EQ(mode, TransferMemoryRead);
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

TEST_F(ChipMatch, EveryRowIsFoundAtItsOwnProbeAddress) {
  for (int row = 0; row < chipTableRows; ++row) {
    const ChipRow& r = ChipTable[row];
    char name[6] = {};
    std::memcpy(name, r.romName, 5);
    EXPECT_EQ(Match(r.probeAddress, name, r.revision), row) << "row " << row;
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

TEST_F(ChipMatch, TableHoldsNineteenRowsWithProbeAddressesFromTheProbeList) {
  const std::uint16_t probes[5] = {0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(RomIdProbes[i], probes[i]);
  }
  for (const ChipRow& row : ChipTable) {
    bool listed = false;
    for (std::uint16_t p : probes) {
      listed = listed || p == row.probeAddress;
    }
    EXPECT_TRUE(listed);
  }
  // Spot checks of the data columns the layer acts on.
  EXPECT_EQ(ChipTable[0].flashTypeReg, 0x03C5);
  EXPECT_EQ(ChipTable[1].flashTypeReg, 0x031D);
  EXPECT_EQ(ChipTable[5].flashTypeReg, 0x05E0);
  EXPECT_EQ(ChipTable[10].flashTypeReg, 0x0690);
  EXPECT_EQ(ChipTable[8].altConfigBlock, 1);
  EXPECT_EQ(ChipTable[18].hasInfoBlock, 1);
  EXPECT_EQ(ChipTable[17].hasInfoBlock, 0);
  EXPECT_EQ(ChipTable[9].eraseByRegisters, 0);
  EXPECT_EQ(ChipTable[12].flashCommandRegs, 1);
  EXPECT_EQ(ChipTable[11].flashCommandRegs, 0);
}

}  // namespace
