// The layer's guards: closed slots, slot numbers outside the table and null pointers send
// nothing and return the failure value; the request header is laid out as the platform expects.

#include <gtest/gtest.h>

#include <cstring>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "camera/chip_registers.h"
#include "camera/media_capture.h"
#include "camera/xu_transport.h"

namespace {

int calls = 0;
bool CountingTransfer(int, std::uint8_t, std::uint32_t, std::uint8_t*, std::uint32_t,
                      std::uint32_t) {
  ++calls;
  return true;
}
bool CountingWrite(int, std::uint16_t, std::uint8_t) {
  ++calls;
  return true;
}
bool CountingRead(int, std::uint16_t, std::uint8_t* v) {
  ++calls;
  *v = 0x42;
  return true;
}
bool CountingClose(int) {
  ++calls;
  return true;
}

class SlotGuards : public ::testing::Test {
 protected:
  void SetUp() override {
    CamResetState();
    calls = 0;
    cameraOps.opTransfer = CountingTransfer;
    cameraOps.opAsicWrite = CountingWrite;
    cameraOps.opAsicRead = CountingRead;
    cameraOps.opClose = CountingClose;
  }
  void TearDown() override { CamResetState(); }
};

TEST_F(SlotGuards, ClosedSlotSendsNothing) {
  std::uint8_t buffer[4] = {};
  std::uint8_t value = 0x5A;
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0xB2;
  EXPECT_FALSE(CamTransfer(TransferFlashRead, 0, buffer, 4));
  EXPECT_FALSE(CamWriteAsic(0, RegReset, 0));
  EXPECT_FALSE(CamReadAsic(0, RegSpiDone, &value));
  EXPECT_EQ(value, 0x5A);
  EXPECT_FALSE(CamClose());
  EXPECT_FALSE(CamReadRomId(buffer));
  EXPECT_EQ(CamGetFlashType(0), 0xFFFFFFFFu);
  EXPECT_FALSE(CamEraseFlash());
  EXPECT_FALSE(CamSetFlashProtect(0, gpio, protect));
  EXPECT_EQ(protect, 0xB2);
  EXPECT_EQ(CamResetDevice(), 0);
  EXPECT_EQ(calls, 0);
}

TEST_F(SlotGuards, SlotNumbersOutsideTheTableFailWithoutSending) {
  CameraSlot[0].isOpen = true;
  std::uint8_t buffer[4] = {};
  std::uint8_t value = 0;
  std::uint16_t gpio = 0xFFFF;
  std::uint8_t protect = 0;
  for (int slot : {-1, 24, 1000}) {
    EXPECT_FALSE(CamTransfer(slot, TransferFlashRead, 0, buffer, 4));
    EXPECT_FALSE(CamWriteAsic(slot, RegReset, 0));
    EXPECT_FALSE(CamReadAsic(slot, RegReset, &value));
    EXPECT_FALSE(CamClose(slot));
    EXPECT_FALSE(CamReadRomId(slot, buffer));
    EXPECT_EQ(CamGetFlashType(slot), 0xFFFFFFFFu);
    EXPECT_FALSE(CamEraseFlash(slot));
    EXPECT_FALSE(CamSetFlashProtect(slot, 0, gpio, protect));
    EXPECT_EQ(CamResetDevice(slot), 0);
    EXPECT_FALSE(CamReadInfoByte(slot, &value));
  }
  EXPECT_EQ(calls, 0);
}

TEST_F(SlotGuards, NullPointersFailWithoutSending) {
  CameraSlot[0].isOpen = true;
  EXPECT_FALSE(CamTransfer(TransferFlashWrite, 0, nullptr, 8));
  EXPECT_FALSE(CamReadAsic(0, RegSpiDone, nullptr));
  EXPECT_FALSE(CamReadRomId(nullptr));
  EXPECT_FALSE(CamReadInfoByte(0, nullptr));
  EXPECT_FALSE(CamReadInfoWord(0, nullptr));
  int found = 3;
  EXPECT_FALSE(CamEnumerate(nullptr, 10, 256, &found));
  EXPECT_FALSE(CamBindDevice(nullptr, 256));
  EXPECT_FALSE(CamFindXuNode(nullptr));
  EXPECT_EQ(CamOpen(nullptr, 256), 0);
  EXPECT_EQ(calls, 0);
}

TEST_F(SlotGuards, OpenSlotDispatchesWithTheCurrentChunk) {
  CameraSlot[3].isOpen = true;
  transferChunk = 1;
  static std::uint32_t seenChunk = 0;
  cameraOps.opTransfer = [](int slot, std::uint8_t, std::uint32_t, std::uint8_t*, std::uint32_t,
                            std::uint32_t chunk) {
    EXPECT_EQ(slot, 3);
    seenChunk = chunk;
    return true;
  };
  std::uint8_t buffer[2] = {};
  EXPECT_TRUE(CamTransfer(3, TransferFlashRead, 0, buffer, 2));
  EXPECT_EQ(seenChunk, 1u);
  std::uint8_t value = 0;
  EXPECT_TRUE(CamReadAsic(3, 0x1234, &value));
  EXPECT_EQ(value, 0x42);
}

TEST_F(SlotGuards, CloseClearsTheFlagBeforeReleasingAndOnlyOnce) {
  CameraSlot[0].isOpen = true;
  cameraOps.opClose = [](int) {
    EXPECT_FALSE(CameraSlot[0].isOpen);
    ++calls;
    return true;
  };
  EXPECT_TRUE(CamClose());
  EXPECT_FALSE(CamClose());
  EXPECT_EQ(calls, 1);
}

TEST(RequestHeader, MatchesThePlatformLayout) {
  std::uint8_t header[32];
  std::memset(header, 0xEE, sizeof header);
  XuBuildHeader(header, 3, KsPropertyTypeSet | KsPropertyTypeTopology, 0x01020304);
  const std::uint8_t expected[32] = {0x70, 0x33, 0xF0, 0x28, 0x11, 0x63, 0x2E, 0x4A,
                                     0xBA, 0x2C, 0x68, 0x90, 0xEB, 0x33, 0x40, 0x16,
                                     0x03, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x10,
                                     0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(header, expected, 32));
}

TEST(BusControl, LeadingBytesFollowTheHighNibble) {
  EXPECT_EQ(BusByteCount(0x21), 3u);
  EXPECT_EQ(BusByteCount(0x12), 3u);
  EXPECT_EQ(BusByteCount(0x2F), 17u);
  EXPECT_EQ(BusByteCount(0x00), 1u);
}

TEST(OperationsWithoutBinding, SendNothingAndFail) {
  CamResetState();
  std::uint8_t value = 0x77;
  std::uint8_t buffer[8] = {};
  EXPECT_FALSE(opAsicWrite(0, 0x1000, 1));
  EXPECT_FALSE(opAsicRead(0, 0x1000, &value));
  EXPECT_EQ(value, 0x77);
  EXPECT_FALSE(opFlashErase(0));
  EXPECT_FALSE(opTransfer(0, TransferFlashRead, 0, buffer, 8, 8));
  EXPECT_FALSE(opTransfer(0, 8, 0, buffer, 8, 8));
}

}  // namespace
