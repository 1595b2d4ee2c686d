// ChooseDevice and VerifyFirmware against the simulated capture framework.

#include <cstring>
#include <memory>
#include <sstream>

#include "app/reflash_dlg.h"
#include "app/run_state.h"
#include "camera/camera.h"
#include "resources/embedded_image.h"
#include "tests/app/sim_front_end_fixture.h"

namespace apptest {
namespace {

const std::u16string kGuidTail = u"#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";

class ChooseDeviceTest : public SimFrontEndTest {
 protected:
  void SetUp() override {
    SimFrontEndTest::SetUp();
    console::InstallConsoleHost(SimHostOptions());
    dialog = std::make_unique<CReflashDlg>();
  }
  void TearDown() override {
    dialog.reset();
    SimFrontEndTest::TearDown();
  }

  std::unique_ptr<CReflashDlg> dialog;
};

TEST_F(ChooseDeviceTest, FirstListedPathWithEitherIdIsChosen) {
  AddCamera("vid_046d&pid_0825", "vid_046d&pid_0825");
  AddCamera(UsbIdSecondary, UsbIdSecondary);
  AddCamera(UsbIdPrimary, UsbIdPrimary);
  dialog->ChooseDevice();
  EXPECT_EQ(ChosenDevice, 1);
}

TEST_F(ChooseDeviceTest, IdMatchesIgnoringCaseAsAFieldPrefix) {
  AddCameraWithPath(u"\\\\?\\USB#VID_1F3A&PID_5C72&MI_00#7&1&0000" + kGuidTail);
  dialog->ChooseDevice();
  EXPECT_EQ(ChosenDevice, 0);
}

TEST_F(ChooseDeviceTest, IdInsideAFieldOrCutShortDoesNotMatch) {
  AddCameraWithPath(u"\\\\?\\usb#xvid_1f3a&pid_5c72&mi_00#7&1&0000" + kGuidTail);
  AddCameraWithPath(u"\\\\?\\usb#vid_1f3a&pid_5c7#7&1&0001" + kGuidTail);
  dialog->ChooseDevice();
  EXPECT_EQ(ChosenDevice, -1);
}

TEST_F(ChooseDeviceTest, EmptyFieldsAreSkipped) {
  AddCameraWithPath(u"\\\\?\\usb###vid_0c45&pid_6320&mi_00##7&1&0000" + kGuidTail);
  dialog->ChooseDevice();
  EXPECT_EQ(ChosenDevice, 0);
}

TEST_F(ChooseDeviceTest, LaterPathsAreStillConvertedAfterTheChoice) {
  AddCamera(UsbIdPrimary, UsbIdPrimary);
  AddCamera(UsbIdSecondary, UsbIdSecondary);
  dialog->ChooseDevice();
  EXPECT_EQ(ChosenDevice, 0);
  std::string expected;
  for (const char16_t c : sim::CameraDevicePath(UsbIdSecondary, 1)) {
    expected += static_cast<char>(c);
  }
  EXPECT_STREQ(dialog->DevicePathsA[1], expected.c_str());
}

TEST_F(ChooseDeviceTest, EveryChoiceStartsFromClearedEntries) {
  std::strcpy(dialog->DevicePathsA[0], "stale");
  dialog->DevicePathsW[0][0] = u'x';
  ChosenDevice = 3;
  dialog->ChooseDevice();
  EXPECT_EQ(ChosenDevice, -1);
  EXPECT_EQ(dialog->DevicePathsA[0][0], 0);
  EXPECT_EQ(dialog->DevicePathsW[0][0], 0);
}

class VerifyFirmwareTest : public ChooseDeviceTest {
 protected:
  void SetUp() override {
    ChooseDeviceTest::SetUp();
    FirmwareImage = new std::uint8_t[FirmwareImageSize];
    std::memcpy(FirmwareImage, EmbeddedFirmwareImage, FirmwareImageSize);
  }

  sim::Device& CameraHoldingTheImage() {
    sim::Device& camera = AddCamera();
    auto& contents = camera.camera()->flash().contents();
    std::memcpy(contents.data(), EmbeddedFirmwareImage, contents.size());
    return camera;
  }
};

TEST_F(VerifyFirmwareTest, FlashEqualToTheImageIsConfirmed) {
  CameraHoldingTheImage();
  EXPECT_EQ(dialog->VerifyFirmware(), 1);
}

TEST_F(VerifyFirmwareTest, LastByteDifferenceIsFound) {
  sim::Device& camera = CameraHoldingTheImage();
  camera.camera()->flash().contents()[0xFFFF] ^= 0x01;
  EXPECT_EQ(dialog->VerifyFirmware(), 0);
}

TEST_F(VerifyFirmwareTest, UnlistedCameraIsNotConfirmed) {
  sim::Device& camera = CameraHoldingTheImage();
  camera.setPlugged(false);
  EXPECT_EQ(dialog->VerifyFirmware(), 0);
}

TEST_F(VerifyFirmwareTest, CameraThatCannotBeOpenedIsNotConfirmed) {
  // Listed (its identification answers) but gone when it is opened.
  sim::Device& camera = CameraHoldingTheImage();
  std::ostringstream trace;
  sim::CurrentFramework().traceTo(&trace);
  int count = 0;
  CamEnumerate(&dialog->DevicePathsW[0][0], DevicePathCount, DevicePathLength, &count);
  sim::CurrentFramework().stopTrace();
  ASSERT_EQ(count, 1);
  // The check's own enumeration makes as many requests again; everything after it fails.
  camera.faults().disconnectAfter = camera.requestCount() * 2;
  EXPECT_EQ(dialog->VerifyFirmware(), 0);
}

TEST_F(VerifyFirmwareTest, FailedReadIsNotComparedWhateverTheBufferHeld) {
  sim::Device& camera = CameraHoldingTheImage();
  std::ostringstream trace;
  sim::CurrentFramework().traceTo(&trace);
  ASSERT_EQ(dialog->VerifyFirmware(), 1);
  sim::CurrentFramework().stopTrace();
  std::size_t lines = 0;
  std::size_t lastRead = 0;
  std::istringstream in(trace.str());
  for (std::string line; std::getline(in, line);) {
    ++lines;
    if (line.rfind("GET 3 ", 0) == 0) {
      lastRead = lines;
    }
  }
  ASSERT_GT(lastRead, 0u);
  // The same check again loses its last read request. Its buffer, allocated right where the
  // first check's buffer was freed, still holds eight right bytes there: a comparison that ignored
  // the failed read would confirm the image.
  camera.faults().failRequest = static_cast<std::uint32_t>(lines + lastRead);
  EXPECT_EQ(dialog->VerifyFirmware(), 0);
}

}  // namespace
}  // namespace apptest
