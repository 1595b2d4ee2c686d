// The layer's guards: closed slots, slot numbers outside the table and null pointers send
// nothing and return the failure value; the request header is laid out as the platform expects.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "seams/platform_ids.h"
#include "seams/media_capture.h"
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
  EXPECT_FALSE(CamWriteAsic(0, 0x1073, 0));
  EXPECT_FALSE(CamReadAsic(0, 0x1084, &value));
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
    EXPECT_FALSE(CamWriteAsic(slot, 0x1073, 0));
    EXPECT_FALSE(CamReadAsic(slot, 0x1073, &value));
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
  EXPECT_FALSE(CamReadAsic(0, 0x1084, nullptr));
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
  XuBuildHeader(header, 3, 0x10000002, 0x01020304);
  const std::uint8_t expected[32] = {0x70, 0x33, 0xF0, 0x28, 0x11, 0x63, 0x2E, 0x4A,
                                     0xBA, 0x2C, 0x68, 0x90, 0xEB, 0x33, 0x40, 0x16,
                                     0x03, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x10,
                                     0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(header, expected, 32));
}

// Each identifier in its registry form, as the platform documents it.
TEST(PlatformIds, AreTheDocumentedGuids) {
  const auto text = [](const Guid& g) {
    char s[40];
    std::snprintf(s, sizeof s, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned>(g.data1), g.data2, g.data3, g.data4[0], g.data4[1],
                  g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return std::string(s);
  };
  EXPECT_EQ(text(CLSID_SystemDeviceEnum_), "62BE5D10-60EB-11D0-BD3B-00A0C911CE86");
  EXPECT_EQ(text(IID_ICreateDevEnum_), "29840822-5B84-11D0-BD3B-00A0C911CE86");
  EXPECT_EQ(text(CLSID_VideoInputDeviceCategory_), "860BB310-5D01-11D0-BD3B-00A0C911CE86");
  EXPECT_EQ(text(IID_IPropertyBag_), "55272A00-42CB-11CE-8135-00AA004BB851");
  EXPECT_EQ(text(IID_IBaseFilter_), "56A86895-0AD4-11CE-B03A-0020AF0BA770");
  EXPECT_EQ(text(IID_IKsTopologyInfo_), "720D4AC0-7533-11D0-A5D6-28DB04C10000");
  EXPECT_EQ(text(KSNODETYPE_DEV_SPECIFIC_), "941C7AC0-C559-11D0-8A2B-00A0C9255AC1");
  EXPECT_EQ(text(IID_IKsControl_), "28F54685-06FD-11D2-B27A-00A0C9223196");
  EXPECT_EQ(text(XuPropertySet), "28F03370-6311-4A2E-BA2C-6890EB334016");
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
