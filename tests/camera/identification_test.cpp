// Opening cameras: unknown chips, the chunk size rule, and what survives a close.

#include "tests/camera/camera_fixture.h"

namespace {

using Identification = CameraOnSim;

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
