// ChooseDevice and VerifyFirmware against the simulated capture framework.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "app/reflash_dlg.h"
#include "app/run_state.h"
#include "camera/camera.h"
#include "camera/camera_state.h"
#include "seams/media_capture.h"
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
  AddCamera("vid_0c45&pid_6320", "vid_0c45&pid_6320");
  AddCamera("vid_1f3a&pid_5c72", "vid_1f3a&pid_5c72");
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

TEST_F(ChooseDeviceTest, AConversionCutShortLeavesNoOldBytesToMatch) {
  // 255 characters whose multibyte form does not fit: the conversion stops before the final
  // four-byte character, right after an id one character short; an earlier choice left '2's.
  AddCameraWithPath(std::u16string(236, u'x') + u"#vid_1f3a&pid_5c7" + u"\U00010000");
  std::memset(dialog->DevicePathsA[0], '2', sizeof dialog->DevicePathsA[0]);
  dialog->ChooseDevice();
  EXPECT_EQ(ChosenDevice, -1);
}

TEST_F(ChooseDeviceTest, EmptyFieldsAreSkipped) {
  AddCameraWithPath(u"\\\\?\\usb###vid_0c45&pid_6320&mi_00##7&1&0000" + kGuidTail);
  dialog->ChooseDevice();
  EXPECT_EQ(ChosenDevice, 0);
}

TEST_F(ChooseDeviceTest, LaterPathsAreStillConvertedAfterTheChoice) {
  AddCamera("vid_1f3a&pid_5c72", "vid_1f3a&pid_5c72");
  AddCamera("vid_0c45&pid_6320", "vid_0c45&pid_6320");
  dialog->ChooseDevice();
  EXPECT_EQ(ChosenDevice, 0);
  std::string expected;
  for (const char16_t c : sim::CameraDevicePath("vid_0c45&pid_6320", 1)) {
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
    FirmwareImage.reset(new std::uint8_t[FirmwareImageSize]);
    std::memcpy(FirmwareImage.get(), EmbeddedFirmwareImage, FirmwareImageSize);
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

// One attempt on a camera whose register writes are logged by a wrapper around the simulator's
// property requests; the wrapper can also fail the erase, fail the write or lower-case the RomId.
struct Bent {
  std::vector<std::string> writes;  // "W1007=04", register writes in order
  bool failErase = false;           // the erase's closing write of 0 to 0x1080
  bool failWrite = false;           // the image write at 0x1000
  bool lowerCase = false;           // the RomId's "R" read as "r"
};
Bent bent;
const MediaCaptureOps* simOps = nullptr;

HResult BentKsProperty(McObject* control, void* property, std::uint32_t propertyLength, void* data,
                       std::uint32_t dataLength, std::uint32_t* returned) {
  const auto* header = static_cast<const std::uint8_t*>(property);
  auto* record = static_cast<std::uint8_t*>(data);
  const bool set = (header[20] & 2) != 0;
  if (set && header[16] == 1 && record[3] == 0) {
    char text[16];
    std::snprintf(text, sizeof text, "W%02X%02X=%02X", record[1], record[0], record[2]);
    bent.writes.push_back(text);
    if (bent.failErase && bent.writes.back() == "W1080=00" && bent.writes.size() > 1 &&
        bent.writes[bent.writes.size() - 2] == "W1091=01") {
      return McFail;
    }
  }
  if (set && header[16] == 3 && bent.failWrite && record[0] == 0x00 && record[1] == 0x10 &&
      record[2] == 8) {
    return McFail;
  }
  const HResult result =
      simOps->ksProperty(control, property, propertyLength, data, dataLength, returned);
  if (result == 0 && !set && header[16] == 4 && bent.lowerCase && record[6] == 'R') {
    record[6] = 'r';
  }
  return result;
}

class RunUpdateTest : public ChooseDeviceTest {
 protected:
  void SetUp() override {
    ChooseDeviceTest::SetUp();
    simOps = CamMediaCapture();
    table = *simOps;
    table.ksProperty = BentKsProperty;
    CamInstallMediaCapture(&table);
    Fresh();
  }
  // A work station without cameras and an image whose candidate places of the protection byte
  // each name another pin (1, 2 or 3, mode 2).
  void Fresh() {
    ResetWorld();
    bent = Bent{};
    FirmwareImage.reset(new std::uint8_t[FirmwareImageSize]);
    std::memcpy(FirmwareImage.get(), EmbeddedFirmwareImage, FirmwareImageSize);
    FirmwareImage[0x000F] = 0x12;
    FirmwareImage[0x8034] = 0x22;
    FirmwareImage[0xC034] = 0x32;
  }
  sim::Device& Camera(int row, int revision) {
    sim::CameraConfig config;
    config.chipIndex = row;
    config.revision = revision;
    config.writeProtectPin = -1;
    return AddCamera(sim::DefaultUsbId, sim::DefaultUsbId, config);
  }
  MediaCaptureOps table{};
};

TEST_F(RunUpdateTest, ProtectionByteIsTakenWhereTheChipKeepsIt) {
  struct Case {
    int row, revision;
    bool lower;
    const char* pinEnable;
  };
  const Case cases[] = {
      {17, 1, false, "W1007=08"}, {16, 1, false, "W1007=08"}, {15, 1, false, "W1007=08"},
      {17, 1, true, "W1007=08"},  {13, 2, false, "W1007=02"}, {13, 2, true, "W1007=02"},
      {18, 2, false, "W1007=04"}, {7, 1, false, "W1007=04"},  {13, 3, false, "W1007=04"},
      {16, 2, false, "W1007=04"}, {12, 1, false, "W1007=04"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("row " + std::to_string(c.row) + " revision " + std::to_string(c.revision) +
                 (c.lower ? " lower case" : ""));
    Fresh();
    bent.lowerCase = c.lower;
    Camera(c.row, c.revision);
    dialog->RunUpdate();
    const auto at = std::find_if(bent.writes.begin(), bent.writes.end(),
                                 [](const std::string& w) { return w.rfind("W1007=", 0) == 0; });
    ASSERT_NE(at, bent.writes.end());
    EXPECT_EQ(*at, c.pinEnable);
  }
}

TEST_F(RunUpdateTest, FailedEraseOrWriteWritesFailAndRestoresWithoutReset) {
  for (int fault = 0; fault < 3; ++fault) {
    SCOPED_TRACE("fault " + std::to_string(fault));
    Fresh();
    bent.failErase = fault == 1;
    bent.failWrite = fault == 2;
    Camera(13, 2);  // status register always locked again; pin 1 from offset 0x000F
    dialog->RunUpdate();
    if (fault == 0) {
      EXPECT_EQ(ResultLog(), "<none>");
      EXPECT_EQ(UpdatePassed, 1);
      continue;
    }
    EXPECT_EQ(ResultLog(), "Fail");
    EXPECT_EQ(UpdatePassed, 0);
    EXPECT_FALSE(CameraSlot[0].isOpen);
    EXPECT_EQ(std::count(bent.writes.begin(), bent.writes.end(), "W1073=00"), 0);
    // The last register writes: the status write of 0x8C, its closing writes, the pin restored.
    ASSERT_GE(bent.writes.size(), 4u);
    const auto status = std::find(bent.writes.rbegin(), bent.writes.rend(), "W1082=8C");
    ASSERT_NE(status, bent.writes.rend());
    EXPECT_EQ(bent.writes.back(), "W1006=FD");
    EXPECT_EQ(bent.writes[bent.writes.size() - 2], "W1080=00");
  }
}

TEST_F(RunUpdateTest, NoVerdictIsWrittenWhenNothingIsChosenOrTheCheckFails) {
  dialog->RunUpdate();  // nothing listed
  EXPECT_EQ(ResultLog(), "<none>");
  sim::Device& camera = Camera(12, 1);
  camera.faults().corruptReadback = 0x1234;
  dialog->RunUpdate();
  EXPECT_EQ(UpdatePassed, 0);
  EXPECT_EQ(ResultLog(), "<none>");
}

}  // namespace
}  // namespace apptest
