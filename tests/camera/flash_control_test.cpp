// Serial-flash control on the simulated camera: protection release and restore, erase paths,
// the GPIO write-protect pin, status-register protection, busy waits and reset.

#include <algorithm>
#include <cstring>

#include "camera/chip_registers.h"
#include "camera/flash_control.h"
#include "tests/camera/camera_fixture.h"

namespace {

constexpr int Node = 3;

std::string RegWrite(std::uint16_t reg, std::uint8_t value) {
  return Line("SET", 1, Node, {reg & 0xFF, reg >> 8, value, 0});
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Index of the first line equal to `line`, or -1.
long IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : it - lines.begin();
}

// The bytes shifted out through the SPI port, in order.
std::vector<int> SpiBytes(const std::vector<std::string>& lines) {
  std::vector<int> bytes;
  for (const std::string& line : lines) {
    unsigned value = 0;
    if (std::sscanf(line.c_str(), "SET 1 3 82 10 %x 00", &value) == 1) {
      bytes.push_back(static_cast<int>(value));
    }
  }
  return bytes;
}

class FlashControl : public CameraOnSim {
 protected:
  // A camera whose flash is protected by its status register and a low write-protect pin.
  void ProtectedCamera(int row, std::uint8_t flashType, int wpPin = 2) {
    sim::WorldOptions options;
    options.camera.chipIndex = row;
    options.camera.flashType = flashType;
    options.camera.flashStatus = 0x8C;
    options.camera.writeProtectPin = wpPin;
    device_ = sim::BuildOneCameraWorld(options);
    std::fill(Flash().begin(), Flash().end(), 0x11);
    ASSERT_TRUE(OpenFirst());
  }
  std::array<std::uint8_t, 0x10000>& Flash() { return Chip().flash().contents(); }
  std::uint8_t Status() { return Chip().flash().status(); }
};

TEST_F(FlashControl, ProtectedFlashIgnoresEraseUntilReleased) {
  ProtectedCamera(9, 2);
  EXPECT_TRUE(CamEraseFlash());
  EXPECT_EQ(Flash()[0x1234], 0x11);
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x22;  // pin 2 driven high while unprotected
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_EQ(Status() & 0x9C, 0);
  EXPECT_TRUE(CamEraseFlash());
  EXPECT_EQ(Flash()[0x1234], 0xFF);
}

TEST_F(FlashControl, ReleaseWithoutTheWriteProtectPinLeavesTheStatusLocked) {
  ProtectedCamera(9, 2);
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x00;  // no pin driven: WP# stays low, so the status write is ignored
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_EQ(Status() & 0x9C, 0x8C);
  EXPECT_TRUE(CamEraseFlash());
  EXPECT_EQ(Flash()[0], 0x11);
}

TEST_F(FlashControl, PinTwoModeTwoDrivesHighThenLow) {
  ProtectedCamera(9, 2);
  StartTrace();
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0xA2;
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  auto lines = TakeLines();
  EXPECT_TRUE(Contains(lines, RegWrite(RegGpioOutEnable, 0x04)));
  EXPECT_TRUE(Contains(lines, RegWrite(RegGpioOut, 0x04)));
  EXPECT_EQ(protect, 0x04);
  EXPECT_EQ(gpio, RegGpioOut);
  EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
  lines = TakeLines();
  EXPECT_TRUE(Contains(lines, RegWrite(RegGpioOut, 0xFB)));
  EXPECT_FALSE(Contains(lines, RegWrite(RegGpioOutEnable, 0x04)));
}

TEST_F(FlashControl, PinFiveModeOneDrivesLowThenHigh) {
  ProtectedCamera(9, 2, 5);
  StartTrace();
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x51;
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  auto lines = TakeLines();
  EXPECT_TRUE(Contains(lines, RegWrite(RegGpioOutEnable, 0x20)));
  EXPECT_TRUE(Contains(lines, RegWrite(RegGpioOut, 0xDF)));
  EXPECT_EQ(protect, 0xDF);
  EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
  EXPECT_TRUE(Contains(TakeLines(), RegWrite(RegGpioOut, 0x20)));
}

TEST_F(FlashControl, BitSevenOfTheProtectionByteIsNotPartOfThePin) {
  ProtectedCamera(9, 2);
  StartTrace();
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0xF1;  // pin 7, mode 1
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  const auto lines = TakeLines();
  EXPECT_TRUE(Contains(lines, RegWrite(RegGpioOutEnable, 0x80)));
  EXPECT_TRUE(Contains(lines, RegWrite(RegGpioOut, 0x7F)));
}

TEST_F(FlashControl, NoPinModeWritesNoGpioRegister) {
  ProtectedCamera(9, 2);
  StartTrace();
  std::uint16_t gpio = 0x1234;
  std::uint8_t protect = 0x00;
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
  EXPECT_EQ(gpio, 0xFFFF);
  for (const std::string& line : TakeLines()) {
    EXPECT_NE(line.rfind("SET 1 3 06 10 ", 0), 0u) << line;
    EXPECT_NE(line.rfind("SET 1 3 07 10 ", 0), 0u) << line;
  }
}

TEST_F(FlashControl, EraseCodeFollowsTheFlashTypeAndRow) {
  struct Case {
    int row;
    std::uint8_t type;
    int spiCode;  // -1: the chip's own erase request
  };
  const Case cases[] = {
      {9, 7, 0xC7},  {9, 2, 0xC7},  {9, 11, 0xC7},  {9, 3, -1},      {9, 0, -1},
      {11, 3, 0x60}, {11, 8, 0xC7}, {11, 10, 0xC7}, {5, 0xFF, 0x60},
  };
  for (const Case& c : cases) {
    OneCamera(c.row, c.type);
    std::fill(Flash().begin(), Flash().end(), 0x00);
    ASSERT_TRUE(OpenFirst());
    StartTrace();
    EXPECT_TRUE(CamEraseFlash());
    const auto lines = TakeLines();
    const bool chipErase =
        Contains(lines, Line("SET", 3, Node, {0, 0, 0xC8, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    const auto spi = SpiBytes(lines);
    if (c.spiCode < 0) {
      EXPECT_TRUE(chipErase) << "row " << c.row << " type " << int(c.type);
      EXPECT_TRUE(spi.empty());
    } else {
      EXPECT_FALSE(chipErase) << "row " << c.row << " type " << int(c.type);
      ASSERT_GE(spi.size(), 2u);
      EXPECT_EQ(spi[0], 0x06);
      EXPECT_EQ(spi[1], c.spiCode);
      EXPECT_EQ(lines.back(), RegWrite(RegSpiEnable, 0));
    }
    EXPECT_EQ(Flash()[0x4000], 0xFF) << "row " << c.row << " type " << int(c.type);
    CamClose();
  }
}

TEST_F(FlashControl, FailedTypeReadErasesLikeAnUnlistedType) {
  OneCamera(11, 2);  // would be 0xC7 if the type were read
  ASSERT_TRUE(OpenFirst());
  device_->faults().failRequest = Requests() + 1;
  StartTrace();
  EXPECT_TRUE(CamEraseFlash());
  const auto spi = SpiBytes(TakeLines());
  ASSERT_GE(spi.size(), 2u);
  EXPECT_EQ(spi[1], 0x60);
}

TEST_F(FlashControl, TypeThreeSendsEnableWriteStatusBeforeTheStatusWrite) {
  ProtectedCamera(9, 3);
  StartTrace();
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x22;
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  const auto spi = SpiBytes(TakeLines());
  const int sequence[] = {0x50, 0x01, 0x00};
  const auto at = std::search(spi.begin(), spi.end(), std::begin(sequence), std::end(sequence));
  EXPECT_NE(at, spi.end());
  EXPECT_EQ(Status() & 0x9C, 0);
}

TEST_F(FlashControl, RestoreLocksTheStatusWhenTheImageAsksForIt) {
  struct Case {
    std::uint8_t a, b;
    bool locked;
  };
  for (const Case& c : {Case{0x35, 0x80, true}, Case{0x34, 0x80, false}, Case{0x36, 0x7F, false},
                        Case{0xFF, 0xFF, true}}) {
    ProtectedCamera(9, 2);  // configuration block at 0x8000
    std::uint16_t gpio = 0xFFFF;
    std::uint8_t protect = 0x22;
    ASSERT_TRUE(CamSetFlashProtect(0, gpio, protect));
    ASSERT_TRUE(CamEraseFlash());
    std::uint8_t block[0x40];
    std::memset(block, 0x00, sizeof block);
    block[0x03] = c.a;
    block[0x34] = c.b;
    ASSERT_TRUE(CamTransfer(TransferFlashWrite, 0x8000, block, sizeof block));
    EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
    EXPECT_EQ((Status() & 0x8C) == 0x8C, c.locked) << int(c.a) << " " << int(c.b);
    EXPECT_FALSE(Chip().writeProtectHigh());
    CamClose();
  }
}

TEST_F(FlashControl, ConfigurationBlockBaseFollowsTheRow) {
  struct Case {
    int row;
    std::uint16_t base;
  };
  for (const Case& c : {Case{9, 0x8000}, Case{15, 0xC000}, Case{8, 0x5800}}) {
    ProtectedCamera(c.row, 2);
    std::uint16_t gpio = 0xFFFF;
    std::uint8_t protect = 0x22;
    ASSERT_TRUE(CamSetFlashProtect(0, gpio, protect));
    StartTrace();
    EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
    const auto lines = TakeLines();
    const int lo = (c.base + 3) & 0xFF, hi = (c.base + 3) >> 8;
    EXPECT_TRUE(Contains(lines, Line("SET", 3, Node, {lo, hi, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0})))
        << "row " << c.row;
    CamClose();
  }
}

TEST_F(FlashControl, InfoBlockChipTakesThePageItReports) {
  sim::WorldOptions options;
  options.camera.chipIndex = 18;
  options.camera.configPage = 0x5A;
  device_ = sim::BuildOneCameraWorld(options);
  ASSERT_TRUE(OpenFirst());
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0;
  StartTrace();
  EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
  EXPECT_TRUE(
      Contains(TakeLines(), Line("SET", 3, Node, {0x03, 0x5A, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
}

TEST_F(FlashControl, AlwaysProtectRowLocksWhateverTheImageSays) {
  ProtectedCamera(13, 2);
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x22;
  ASSERT_TRUE(CamSetFlashProtect(0, gpio, protect));
  ASSERT_TRUE(CamEraseFlash());
  EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
  EXPECT_EQ(Status() & 0x8C, 0x8C);
}

TEST_F(FlashControl, InfoByteTwoLeavesTheStatusRegisterAlone) {
  sim::WorldOptions options;
  options.camera.chipIndex = 18;
  options.camera.infoByte = 2;
  options.camera.flashStatus = 0x00;
  device_ = sim::BuildOneCameraWorld(options);
  ASSERT_TRUE(OpenFirst());
  StartTrace();
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x22;
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
  const auto lines = TakeLines();
  EXPECT_TRUE(SpiBytes(lines).empty());
  EXPECT_TRUE(Contains(lines, RegWrite(RegGpioOut, 0x04)));
  EXPECT_TRUE(Contains(lines, RegWrite(RegGpioOut, 0xFB)));
  EXPECT_TRUE(Contains(lines, RegWrite(RegFlashWriteEnableCmd, 0x06)));
  EXPECT_EQ(CountPrefix(lines, "SET 3 "), 0);  // no configuration read either
}

TEST_F(FlashControl, FailedInfoByteReadStopsBeforeAnyWrite) {
  OneCamera(18);
  ASSERT_TRUE(OpenFirst());
  device_->faults().failSelector = 5;
  StartTrace();
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0x22;
  EXPECT_FALSE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_EQ(protect, 0x22);
  for (const std::string& line : TakeLines()) {
    EXPECT_FALSE(line.rfind("SET 1 3 ", 0) == 0 && line.substr(17, 2) == "00") << line;
  }
}

TEST_F(FlashControl, CommandRegistersAreUnlockedThenRestored) {
  OneCamera(12, 3);
  ASSERT_TRUE(OpenFirst());
  Chip().writeRegister(RegFlashWriteEnableCmd, 0x16);
  Chip().writeRegister(RegFlashProgramCmd, 0x12);
  StartTrace();
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0;
  EXPECT_TRUE(CamSetFlashProtect(0, gpio, protect));
  auto lines = TakeLines();
  const long we = IndexOf(lines, RegWrite(RegFlashWriteEnableCmd, 0x06));
  const long u0 = IndexOf(lines, RegWrite(0x05F8, FlashWriteUnlockCode[0]));
  const long u3 = IndexOf(lines, RegWrite(0x05FB, FlashWriteUnlockCode[3]));
  const long pg = IndexOf(lines, RegWrite(RegFlashProgramCmd, 0xAF));
  EXPECT_TRUE(we >= 0 && we < u0 && u0 < u3 && u3 < pg);
  EXPECT_TRUE(Chip().flashWritesUnlocked());
  EXPECT_EQ(CameraSlot[0].savedWriteEnableCmd, 0x16);
  EXPECT_EQ(CameraSlot[0].savedProgramCmd, 0x12);

  EXPECT_TRUE(CamSetFlashProtect(1, gpio, protect));
  lines = TakeLines();
  EXPECT_EQ(lines[0].substr(0, 8), "SET 1 3 ");  // flash type read first
  EXPECT_TRUE(Contains(lines, RegWrite(RegFlashWriteEnableCmd, 0x16)));
  EXPECT_TRUE(Contains(lines, RegWrite(RegFlashProgramCmd, 0x12)));
  EXPECT_TRUE(Contains(lines, RegWrite(0x05FB, 0x34)));
  EXPECT_FALSE(Chip().flashWritesUnlocked());
}

TEST_F(FlashControl, StuckBusyFlashTimesOutAndStillEndsTheSequence) {
  OneCamera(9, 2);
  ASSERT_TRUE(OpenFirst());
  device_->faults().stayBusy = true;
  const std::uint64_t start = Framework().clock().nowMillis();
  ASSERT_TRUE(CamWriteAsic(0, RegSpiEnable, 1));  // the host drives the port
  StartTrace();
  FlashWaitReady(0);
  auto lines = TakeLines();
  const auto spi = SpiBytes(lines);
  EXPECT_EQ(std::count(spi.begin(), spi.end(), 0x05), FlashReadyPolls);
  EXPECT_GE(Framework().clock().nowMillis() - start, 10000u);
  EXPECT_NE(lines.back(), RegWrite(RegFlashSelect, 1));  // left selected
  EXPECT_TRUE(CamEraseFlash());
  lines = TakeLines();
  EXPECT_EQ(lines.back(), RegWrite(RegSpiEnable, 0));
}

TEST_F(FlashControl, SpiWaitGivesUpAfterAThousandPolls) {
  OneCamera(9, 2);
  ASSERT_TRUE(OpenFirst());
  // The port belongs to the chip (enable 0), so a started byte never reports done.
  CamWriteAsic(0, 0x1081, 1);
  const std::uint64_t start = Framework().clock().nowMillis();
  StartTrace();
  SpiWaitDone(0);
  EXPECT_EQ(CountPrefix(TakeLines(), "SET 1 3 84 10 00 FF"), 1000);
  EXPECT_EQ(Framework().clock().nowMillis() - start, 1000u);
}

TEST_F(FlashControl, SpiWaitStopsAtOnceWhenTheCameraStopsAnswering) {
  OneCamera(9, 2);
  ASSERT_TRUE(OpenFirst());
  device_->faults().failSelector = 1;
  const std::uint64_t start = Framework().clock().nowMillis();
  StartTrace();
  SpiWaitDone(0);
  // Thirty-two failed reads in a row mean the camera is gone; no sleep after the last one.
  EXPECT_EQ(CountPrefix(TakeLines(), "SET 1 3 84 10 00 FF FAIL"), 32);
  EXPECT_EQ(Framework().clock().nowMillis() - start, 31u);
  StartTrace();
  FlashWaitReady(0);
  EXPECT_TRUE(TakeLines().empty());
}

TEST_F(FlashControl, ResetDependsOnTheRow) {
  OneCamera(0);
  ASSERT_TRUE(OpenFirst());
  StartTrace();
  EXPECT_EQ(CamResetDevice(), 1);
  EXPECT_TRUE(TakeLines().empty());
  CamClose();
  EXPECT_EQ(CamResetDevice(), 0);

  OneCamera(1);
  ASSERT_TRUE(OpenFirst());
  EXPECT_EQ(CamResetDevice(), 1);
  CamClose();

  OneCamera(17);
  ASSERT_TRUE(OpenFirst());
  StartTrace();
  EXPECT_EQ(CamResetDevice(), 2);
  EXPECT_EQ(TakeLines(), (std::vector<std::string>{RegWrite(RegReset, 0)}));
  EXPECT_EQ(Chip().resets(), 1u);
  EXPECT_EQ(CamResetDevice(), 2);  // the camera is gone: the write fails, the result stays 2
}

}  // namespace
