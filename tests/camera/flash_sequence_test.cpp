// Serial-flash control and identification against a register-level stand-in for the chip: every
// register access, flash byte read and erase request is logged, so the sequences are compared
// with the camera's register map and command set as literals.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "camera/flash_control.h"
#include "seams/media_capture.h"

namespace {

struct FakeChip {
  std::vector<std::string> log;
  std::map<std::uint16_t, std::uint8_t> regs;
  std::set<std::uint16_t> failingReads;
  std::map<std::uint16_t, std::uint8_t> flash;                // bytes read back in mode 7
  std::map<std::uint16_t, std::vector<std::uint8_t>> memory;  // RomId blocks, mode 9
  bool spiDone = true;
  bool flashBusy = false;
  std::set<std::uint16_t> failingWrites;
  std::uint8_t variantKeeps = 0x70;  // bits of 0x1185 that read back as written
  std::uint16_t infoWord = 0x0A00;
  std::uint8_t infoByte = 0;
  bool infoByteFails = false;
  int sleeps = 0;
  // The flash's status register: a Write Status (0x01 then the value on the SPI port) sets it.
  std::uint8_t status = 0x02;
  std::uint8_t lastSpiByte = 0;
};
FakeChip* chip = nullptr;

std::string Hex(const char* format, unsigned a, unsigned b = 0) {
  char text[32];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

bool Write(int, std::uint16_t reg, std::uint8_t value) {
  chip->log.push_back(Hex("W%04X=%02X", reg, value));
  if (chip->failingWrites.count(reg) != 0) {
    return false;
  }
  chip->regs[reg] = reg == 0x1185 ? static_cast<std::uint8_t>(value & chip->variantKeeps) : value;
  if (reg == 0x1082) {
    if (chip->lastSpiByte == 0x01) {
      chip->status = value;
    }
    chip->lastSpiByte = value;
  }
  return true;
}

bool Read(int, std::uint16_t reg, std::uint8_t* value) {
  chip->log.push_back(Hex("R%04X", reg));
  if (chip->failingReads.count(reg) != 0) {
    return false;
  }
  if (reg == 0x1084) {
    *value = chip->spiDone ? 1 : 0;
  } else if (reg == 0x1083) {
    *value = chip->flashBusy ? static_cast<std::uint8_t>(chip->status | 0x01) : chip->status;
  } else {
    *value = chip->regs[reg];
  }
  return true;
}

bool Transfer(int, std::uint8_t mode, std::uint32_t address, std::uint8_t* buffer,
              std::uint32_t length, std::uint32_t) {
  if (mode == 7 && length == 1) {
    chip->log.push_back(Hex("F%04X", address));
    buffer[0] = chip->flash[static_cast<std::uint16_t>(address)];
    return true;
  }
  if (mode == 9) {
    auto it = chip->memory.find(static_cast<std::uint16_t>(address));
    for (std::uint32_t i = 0; i < length; ++i) {
      buffer[i] = it == chip->memory.end() ? 0xFF : it->second[i];
    }
    return true;
  }
  ADD_FAILURE() << "unexpected transfer mode " << int(mode);
  return false;
}

bool Erase(int) {
  chip->log.push_back("ERASE");
  return true;
}
bool InfoByte(int, std::uint8_t* value) {
  chip->log.push_back("IB");
  *value = chip->infoByte;
  return !chip->infoByteFails;
}
bool InfoWord(int, std::uint16_t* value) {
  chip->log.push_back("IW");
  *value = chip->infoWord;
  return true;
}
void Sleep(std::uint32_t) {
  ++chip->sleeps;
}

// The log with the SPI port's handshake folded away: a byte sent becomes "spi XX"; selects,
// starts, done polls and data-in reads are dropped.
std::vector<std::string> Outline(const std::vector<std::string>& log) {
  std::vector<std::string> out;
  for (const std::string& entry : log) {
    const std::string reg = entry.substr(1, 4);
    if (entry[0] == 'W' && reg == "1082") {
      out.push_back("spi " + entry.substr(6));
    } else if (reg == "1081" || reg == "1083" || reg == "1084" || reg == "1091") {
      continue;
    } else {
      out.push_back(entry);
    }
  }
  return out;
}

using Lines = std::vector<std::string>;

// A full status write as the outline shows it (type 3 adds 0x50 after the first ready wait).
Lines StatusWrite(const char* value, bool type3 = false) {
  Lines lines = {"W1080=01", "spi 06", "spi 05"};
  if (type3) {
    lines.push_back("spi 50");
  }
  lines.insert(lines.end(), {"spi 01", std::string("spi ") + value, "spi 05", "W1080=00"});
  return lines;
}

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

class FlashSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    CamResetState();
    fake = FakeChip{};
    chip = &fake;
    cameraOps.opAsicWrite = Write;
    cameraOps.opAsicRead = Read;
    cameraOps.opTransfer = Transfer;
    cameraOps.opFlashErase = Erase;
    cameraOps.opInfoByte = InfoByte;
    cameraOps.opInfoWord = InfoWord;
    sleepOnly.sleep = Sleep;
    CamInstallMediaCapture(&sleepOnly);
    transferChunk = 8;
  }
  void TearDown() override {
    CamInstallMediaCapture(nullptr);
    CamResetState();
    chip = nullptr;
  }
  // An open slot 0 of a row whose flash type register (given literally) holds `type`.
  void Open(int row, std::uint16_t typeReg, std::uint8_t type) {
    CameraSlot[0].isOpen = true;
    CameraSlot[0].chipIndex = row;
    fake.regs[typeReg] = type;
  }
  Lines Take() {
    Lines out = Outline(fake.log);
    fake.log.clear();
    return out;
  }

  FakeChip fake;
  MediaCaptureOps sleepOnly{};
};

TEST_F(FlashSequence, StatusWriteDrivesThePortRegisterByRegister) {
  CameraSlot[0].isOpen = true;
  FlashWriteStatus(0, 2, 0x8C);
  const Lines send06 = {"W1091=00", "W1082=06", "W1081=01", "R1084", "W1091=01"};
  const Lines ready = {"W1091=00", "W1082=05", "W1081=01", "R1084",   "W1083=00",
                       "W1081=02", "R1084",    "R1083",    "W1091=01"};
  const Lines status = {"W1091=00", "W1082=01", "W1081=01", "R1084",
                        "W1082=8C", "W1081=01", "R1084",    "W1091=01"};
  EXPECT_EQ(fake.log, Join({{"W1080=01"}, send06, ready, status, ready, {"W1080=00"}}));
  fake.log.clear();
  FlashWriteStatus(0, 3, 0x00);
  EXPECT_EQ(Take(), StatusWrite("00", true));
}

TEST_F(FlashSequence, WaitsGiveUpAfterTheirExactPollBounds) {
  CameraSlot[0].isOpen = true;
  fake.spiDone = false;
  SpiWaitDone(0);
  EXPECT_EQ(fake.log.size(), 1000u);
  EXPECT_EQ(fake.log.back(), "R1084");
  EXPECT_EQ(fake.sleeps, 1000);

  fake = FakeChip{};
  fake.flashBusy = true;
  FlashWaitReady(0);
  EXPECT_EQ(std::count(fake.log.begin(), fake.log.end(), "W1091=01"), 0);  // never released
  const Lines outline = Take();
  EXPECT_EQ(outline.size(), 10000u);  // one "spi 05" per status read, nothing else
  EXPECT_EQ(outline.back(), "spi 05");
  EXPECT_EQ(fake.sleeps, 10000);
}

TEST_F(FlashSequence, WaitStopsAtTheFirstGoodPoll) {
  CameraSlot[0].isOpen = true;
  SpiWaitDone(0);
  EXPECT_EQ(fake.log, Lines{"R1084"});
  EXPECT_EQ(fake.sleeps, 0);
  fake.log.clear();
  fake.regs[0x1084] = 0;
  fake.failingReads = {0x1084};  // a failed poll counts as not done
  SpiWaitDone(0);
  EXPECT_EQ(fake.sleeps, 1000);
}

TEST_F(FlashSequence, EraseCommandFollowsTheFlashTypeAndTheRow) {
  // Row 9 erases by the chip's own request, row 11 through the registers.
  for (int row : {9, 11}) {
    for (int type = 0; type <= 12; ++type) {
      for (bool enableOffFails : {false, true}) {
        CamResetState();
        SetUp();
        Open(row, 0x05F0, static_cast<std::uint8_t>(type));
        if (enableOffFails) {
          fake.failingWrites = {0x1080};
        }
        const bool c7 = type == 2 || type == 7 || type == 8 || type == 10 || type == 11;
        const bool result = CamEraseFlash();
        const Lines got = Take();
        SCOPED_TRACE("row " + std::to_string(row) + " type " + std::to_string(type));
        if (!c7 && row == 9) {
          EXPECT_EQ(got, (Lines{"R05F0", "ERASE"}));
          EXPECT_TRUE(result);
          continue;
        }
        const Lines expected = {"R05F0",  "W1080=01",
                                "spi 06", "spi " + Hex("%02X", c7 ? 0xC7 : 0x60),
                                "spi 05", "W1080=00"};
        EXPECT_EQ(got, expected);
        EXPECT_EQ(result, !enableOffFails);
      }
    }
  }
}

TEST_F(FlashSequence, FailedTypeReadErasesLikeAnUnlistedType) {
  Open(11, 0x05F0, 2);
  fake.failingReads = {0x05F0};
  EXPECT_TRUE(CamEraseFlash());
  EXPECT_EQ(Take()[3], "spi 60");
}

TEST_F(FlashSequence, TheTypeIsReadAgainOnlyAfterARefusedRead) {
  const auto typeReads = [this] {
    return std::count(fake.log.begin(), fake.log.end(), std::string("R05F0"));
  };
  Open(9, 0x05F0, 0xFF);  // a register may hold any value: 0xFF answered is no refusal
  std::uint16_t gpio = 0;
  std::uint8_t protect = 0;
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_EQ(typeReads(), 1);
  fake.log.clear();
  fake.failingReads = {0x05F0};
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_EQ(typeReads(), 2);
}

TEST_F(FlashSequence, ProtectionPinFollowsModeAndPinBits) {
  struct Case {
    std::uint8_t protect;
    Lines release;  // GPIO writes of enable 0
    std::uint8_t after;
    std::uint16_t gpioReg;
    Lines restore;  // GPIO writes of enable 1
  };
  const Case cases[] = {
      {0x00, {}, 0x00, 0xFFFF, {}},
      {0xA2, {"W1007=04", "W1006=04"}, 0x04, 0x1006, {"W1006=FB"}},
      {0x51, {"W1007=20", "W1006=DF"}, 0xDF, 0x1006, {"W1006=20"}},
      {0xF1, {"W1007=80", "W1006=7F"}, 0x7F, 0x1006, {"W1006=80"}},
      {0x03, {"W1007=01", "W1006=01"}, 0x01, 0x1006, {"W1006=FE"}},
      {0x6F, {"W1007=40", "W1006=40"}, 0x40, 0x1006, {"W1006=BF"}},
      {0x10, {}, 0x00, 0xFFFF, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex("protect %02X", c.protect));
    CamResetState();
    SetUp();
    Open(9, 0x05F0, 2);  // no command registers, no info block; configuration at 0x8000
    std::uint16_t gpio = 0x1234;
    std::uint8_t protect = c.protect;
    EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
    EXPECT_EQ(Take(), Join({{"R05F0"}, c.release, StatusWrite("00")}));
    EXPECT_EQ(protect, c.after);
    EXPECT_EQ(gpio, c.gpioReg);
    EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
    EXPECT_EQ(Take(), Join({{"R05F0", "F8003", "F8034"}, c.restore}));
  }
}

TEST_F(FlashSequence, CommandRegistersAreSavedUnlockedAndWrittenBack) {
  for (std::uint8_t type : {2, 3}) {
    CamResetState();
    SetUp();
    Open(12, 0x05F0, type);
    fake.regs[0x05F3] = 0x16;
    fake.regs[0x05F5] = 0x12;
    fake.flash[0x8003] = 0x35;
    fake.flash[0x8034] = 0x80;
    std::uint16_t gpio = 0xFFFF;
    std::uint8_t protect = 0xA2;
    EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
    Lines got = Take();
    // The unlock code is the chip's own; only where it goes is checked here.
    ASSERT_GE(got.size(), 8u);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(got[3 + i].substr(0, 6), Hex("W05F%X=", 8 + i));
      got[3 + i] = got[3 + i].substr(0, 6);
    }
    EXPECT_EQ(got, Join({{"R05F0", "R05F3", "W05F3=06", "W05F8=", "W05F9=", "W05FA=", "W05FB=",
                          "R05F5", type == 3 ? "W05F5=AF" : "W05F5=02", "W1007=04", "W1006=04"},
                         StatusWrite("00", type == 3)}));
    EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
    EXPECT_EQ(Take(), Join({{"R05F0", "W05F3=16", "W05F5=12", "W05F8=34", "W05F9=34", "W05FA=34",
                             "W05FB=34", "F8003", "F8034"},
                            StatusWrite("8C", type == 3),
                            {"W1006=FB"}}));
  }
}

TEST_F(FlashSequence, StatusIsLockedWhenTheBlockAsksForItOrTheRowAlwaysDoes) {
  struct Case {
    int row;
    std::uint16_t base;
    std::uint8_t a, b;
    bool locked;
    std::uint16_t word = 0x0A00;  // the information word; the page is in register word + 8
    std::uint8_t page = 0x5A;     // the configuration page the info-block chip reports
  };
  const Case cases[] = {
      {9, 0x8000, 0x35, 0x80, true},
      {9, 0x8000, 0x34, 0x80, false},
      {9, 0x8000, 0x35, 0x7F, false},
      {9, 0x8000, 0xFF, 0xFF, true},
      {13, 0x8000, 0x00, 0x00, true},
      {13, 0x8000, 0x34, 0x7F, true},
      {12, 0x8000, 0x34, 0xFF, false},
      {8, 0x5800, 0x35, 0x80, true},
      {15, 0xC000, 0x35, 0x80, true},
      {16, 0xC000, 0x00, 0x00, false},
      {18, 0x5A00, 0x40, 0x81, true},
      {18, 0x5A00, 0x34, 0x80, false},
      // A page or an information word answered short and filled with zeros: the block read at
      // page 0 (here asking for nothing) cannot leave the flash unprotected.
      {18, 0x0000, 0x00, 0x00, true, 0x0A00, 0x00},
      {18, 0x0000, 0x00, 0x00, true, 0x0000, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("row " + std::to_string(c.row) + Hex(" A %02X B %02X", c.a, c.b));
    CamResetState();
    SetUp();
    Open(c.row, 0x05F0, 2);
    fake.infoWord = c.word;
    fake.regs[static_cast<std::uint16_t>(c.word + 8)] = c.page;
    fake.flash[static_cast<std::uint16_t>(c.base + 3)] = c.a;
    fake.flash[static_cast<std::uint16_t>(c.base + 0x34)] = c.b;
    std::uint16_t gpio = 0xFFFF;
    std::uint8_t protect = 0;
    EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
    Lines got = Take();
    const Lines reads = {Hex("F%04X", c.base + 3), Hex("F%04X", c.base + 0x34)};
    const auto at = std::search(got.begin(), got.end(), reads.begin(), reads.end());
    ASSERT_NE(at, got.end());
    const Lines rest(at + 2, got.end());
    EXPECT_EQ(rest, c.locked ? StatusWrite("8C") : Lines{});
  }
}

TEST_F(FlashSequence, InfoByteTwoLeavesTheStatusRegisterAlone) {
  Open(18, 0x05F0, 2);
  fake.infoWord = 0x0C10;
  fake.infoByte = 2;
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x32;
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  Lines got = Take();
  ASSERT_GE(got.size(), 5u);
  EXPECT_EQ(Lines(got.begin(), got.begin() + 5), (Lines{"R05F0", "IW", "R0C18", "IB", "R05F3"}));
  EXPECT_EQ(Lines(got.end() - 2, got.end()), (Lines{"W1007=08", "W1006=08"}));
  EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
  got = Take();
  EXPECT_EQ(
      Lines(got.begin() + 4, got.end()),
      (Lines{"W05F3=00", "W05F5=00", "W05F8=34", "W05F9=34", "W05FA=34", "W05FB=34", "W1006=F7"}));
  // A refused info byte ends both calls before anything is written.
  fake.infoByteFails = true;
  for (std::uint8_t enable : {0, 1}) {
    protect = 0x32;
    EXPECT_FALSE(CamSetFlashProtect(enable, gpio, protect));
    EXPECT_EQ(Take(), (Lines{"R05F0", "IW", "R0C18", "IB"}));
    EXPECT_EQ(protect, 0x32);
  }
}

TEST_F(FlashSequence, ResetWritesZeroToTheResetRegisterExceptOnTheFirstTwoRows) {
  for (int row = 0; row < 19; ++row) {
    Open(row, 0x05F0, 2);
    fake.log.clear();
    EXPECT_EQ(CamResetDevice(), row <= 1 ? 1 : 2) << row;
    EXPECT_EQ(fake.log, row <= 1 ? Lines{} : Lines{"W1073=00"}) << row;
  }
  fake.failingWrites = {0x1073};
  EXPECT_EQ(CamResetDevice(), 2);
}

TEST_F(FlashSequence, VariantCheckNeedsAllThreeBitsBack) {
  struct Case {
    std::uint8_t keeps;
    std::uint8_t start;
    bool readFails;
    char fifth;
  };
  const Case cases[] = {
      {0x70, 0x00, false, '1'}, {0x30, 0x00, false, '0'}, {0x60, 0x00, false, '0'},
      {0x00, 0x00, false, '0'}, {0x70, 0x00, true, '0'},  {0xFF, 0x05, false, '1'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex("keeps %02X", c.keeps));
    CamResetState();
    SetUp();
    CameraSlot[0].isOpen = true;
    fake.memory[0xBFF8] = {'2', '7', '6', 'R', '0', 1, 0xAA, 0xBB};
    fake.variantKeeps = c.keeps;
    fake.regs[0x1185] = c.start;
    if (c.readFails) {
      fake.failingReads = {0x1185};
    }
    std::uint8_t id[8] = {};
    EXPECT_TRUE(CamReadRomId(id));
    EXPECT_EQ(CameraSlot[0].chipIndex, 15);
    EXPECT_EQ(id[4], c.fifth);
    EXPECT_EQ(fake.log, (Lines{"R1185", Hex("W1185=%02X", c.start | 0x70), "R1185"}));
  }
  // Another chip at the same address never touches the register.
  CamResetState();
  SetUp();
  CameraSlot[0].isOpen = true;
  fake.memory[0xBFF8] = {'2', '7', '5', 'R', '0', 1, 0, 0};
  std::uint8_t id[8] = {};
  EXPECT_TRUE(CamReadRomId(id));
  EXPECT_EQ(CameraSlot[0].chipIndex, 16);
  EXPECT_TRUE(fake.log.empty());
}

}  // namespace
