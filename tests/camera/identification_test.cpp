// Opening cameras of every known chip: identification, the row-15 variant, the chunk size rule.

#include <cstring>

#include "tests/camera/camera_fixture.h"

namespace {

using Identification = CameraOnSim;

TEST_F(Identification, EveryRowIsRecognisedAndOpened) {
  const char* names[19] = {"220R", "225R", "250R", "250R", "230R", "230R", "230R",
                           "231R", "216R", "215R", "236R", "236R", "256R", "231R",
                           "266R", "276R", "275R", "232R", "232R"};
  const int revisions[19] = {1, 3, 1, 2, 1, 2, 3, 1, 1, 1, 1, 2, 1, 2, 1, 1, 1, 1, 2};
  for (int row = 0; row < 19; ++row) {
    CamResetState();
    OneCamera(row);
    CameraSlot[0].chipIndex = -1;
    ASSERT_TRUE(OpenFirst()) << "row " << row;
    EXPECT_EQ(CameraSlot[0].chipIndex, row);
    EXPECT_EQ(0, std::memcmp(CameraSlot[0].romId, names[row], 4)) << row;
    EXPECT_EQ(CameraSlot[0].romId[5], revisions[row]) << row;
    EXPECT_TRUE(CamClose());
  }
}

TEST_F(Identification, UnknownChipIsNotOpened) {
  sim::WorldOptions options;
  options.camera.romIdPresent = false;
  sim::BuildOneCameraWorld(options);
  int found = 7;
  EXPECT_FALSE(CamEnumerate(&paths_[0][0], 10, 256, &found));
  EXPECT_EQ(found, 0);
  EXPECT_EQ(CamOpen(sim::CameraDevicePath(sim::DefaultUsbId).c_str(), 256), 0);
  EXPECT_FALSE(CameraSlot[0].isOpen);
}

TEST_F(Identification, VariantWhoseRegisterKeepsBitsReportsFifthCharacterOne) {
  for (bool keeps : {true, false}) {
    sim::WorldOptions options;
    options.camera.chipIndex = 15;
    options.camera.variantKeepsBits = keeps;
    device_ = sim::BuildOneCameraWorld(options);
    ASSERT_TRUE(OpenFirst());
    EXPECT_EQ(CameraSlot[0].romId[4], keeps ? '1' : '0');
    std::uint8_t id[8] = {};
    EXPECT_TRUE(CamReadRomId(id));
    EXPECT_EQ(id[4], keeps ? '1' : '0');
    // The written bits are left in place.
    std::uint8_t reg = 0;
    EXPECT_TRUE(CamReadAsic(0, 0x1185, &reg));
    EXPECT_EQ((reg & 0x70) == 0x70, keeps);
    CamClose();
  }
}

TEST_F(Identification, OtherRowsNeverTouchTheVariantRegister) {
  OneCamera(16);
  StartTrace();
  ASSERT_TRUE(OpenFirst());
  for (const std::string& line : TakeLines()) {
    EXPECT_EQ(line.find("SET 1 3 85 11"), std::string::npos) << line;
  }
}

TEST_F(Identification, OldChipReportingTypeThreeGetsOneBytePerRequest) {
  OneCamera(0, 3);
  ASSERT_TRUE(OpenFirst());
  EXPECT_EQ(transferChunk, 1u);
  StartTrace();
  std::uint8_t buffer[4] = {};
  EXPECT_TRUE(CamTransfer(TransferFlashRead, 0, buffer, 4));
  EXPECT_EQ(CountPrefix(TakeLines(), "GET 3 "), 4);
  CamClose();

  OneCamera(0, 2);
  ASSERT_TRUE(OpenFirst());
  EXPECT_EQ(transferChunk, 8u);
  CamClose();

  OneCamera(1, 3);  // the rule belongs to row 0 alone
  ASSERT_TRUE(OpenFirst());
  EXPECT_EQ(transferChunk, 8u);
}

TEST_F(Identification, EveryOpenStartsAgainFromEightBytes) {
  OneCamera(0, 3);
  ASSERT_TRUE(OpenFirst());
  ASSERT_EQ(transferChunk, 1u);
  CamClose();
  OneCamera(9);  // a new camera on the same layer state
  ASSERT_TRUE(OpenFirst());
  EXPECT_EQ(transferChunk, 8u);
}

TEST_F(Identification, FailedChunkRegisterReadClosesAndReleases) {
  OneCamera(0, 3);
  ASSERT_TRUE(OpenFirst());
  const std::uint32_t openRequests = Requests();
  CamClose();
  const std::uint32_t before = Requests();
  ASSERT_EQ(CamOpen(paths_[0], 256), 2);
  const std::uint32_t perOpen = Requests() - before;
  ASSERT_GT(openRequests, perOpen);
  CamClose();
  // The register read is the open's last request pair: fail its request.
  device_->faults().failRequest = Requests() + perOpen - 1;
  EXPECT_EQ(CamOpen(paths_[0], 256), 0);
  EXPECT_FALSE(CameraSlot[0].isOpen);
  EXPECT_EQ(cameraBinding.boundFilter, nullptr);
  EXPECT_EQ(Framework().liveReferences(), 0);
  EXPECT_EQ(Framework().apartmentBalance(), 0);
}

TEST_F(Identification, FlashTypeComesFromTheRowsRegister) {
  OneCamera(10, 7);  // row 10 keeps its type at 0x0690
  ASSERT_TRUE(OpenFirst());
  EXPECT_EQ(CamGetFlashType(0), 7u);
  device_->faults().failSelector = 1;
  EXPECT_EQ(CamGetFlashType(0), 0xFFu);
  CamClose();
  EXPECT_EQ(CamGetFlashType(0), 0xFFFFFFFFu);
}

TEST_F(Identification, ChipIndexSurvivesCloseAndFailedIdentification) {
  OneCamera(14);
  ASSERT_TRUE(OpenFirst());
  device_->faults().failSelector = 4;
  std::uint8_t id[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_FALSE(CamReadRomId(id));
  EXPECT_EQ(id[0], 9);
  EXPECT_EQ(CameraSlot[0].chipIndex, 14);
  CamClose();
  EXPECT_EQ(CameraSlot[0].chipIndex, 14);
}

}  // namespace
