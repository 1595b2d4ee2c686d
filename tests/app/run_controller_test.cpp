// The run controller without a camera: attempts, verdicts, exit status, and what it ignores.

#include <filesystem>
#include <fstream>
#include <vector>

#include "seams/device_tree.h"
#include "app/run_state.h"
#include "resources/embedded_image.h"
#include "tests/app/front_end_fixture.h"

namespace apptest {
namespace {

using Events = std::vector<std::string>;

class RunControllerTest : public FrontEndTest {
 protected:
  void SetUp() override {
    FrontEndTest::SetUp();
    InstallDeviceTree(nullptr);  // no device tree: the camera is absent
  }
};

const Events kThreeAbsentAttempts = {
    Blue("Detect Device!!!"),   Progress(0), Blue("Check Hardware ..."), Progress(0),
    Blue("Check Hardware ..."), Progress(0), Blue("Check Hardware ...")};

TEST_F(RunControllerTest, AbsentCameraRunsThreeAttemptsAndWritesFail) {
  const RunOutcome outcome = RunFrontEnd(TestHostOptions());
  EXPECT_EQ(outcome.events, kThreeAbsentAttempts);
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(AttemptCount, 3);
  // Only the start timer's 3,000 ms: an absent camera gets no 2,000 or 5,000 ms waits.
  EXPECT_EQ(sleepLog.Sleeps(), std::vector<std::uint32_t>{3000});
}

TEST_F(RunControllerTest, StaleVerdictIsReplacedByThisRunsFail) {
  std::ofstream("Result.log", std::ios::binary) << "Pass\r\nR06.00.01\r\n";
  RunFrontEnd(TestHostOptions());
  EXPECT_EQ(ResultLog(), "Fail");
}

TEST_F(RunControllerTest, UnwritableVerdictEndsWithStatusTwo) {
  // A directory in the way makes the verdict file impossible to create, even for root.
  std::filesystem::create_directory("Result.log");
  const RunOutcome outcome = RunFrontEnd(TestHostOptions());
  EXPECT_EQ(outcome.events, kThreeAbsentAttempts);
  EXPECT_EQ(outcome.exitStatus, 2);
  EXPECT_TRUE(std::filesystem::is_directory("Result.log"));
}

TEST_F(RunControllerTest, EnterEscapeAndCloseRequestsDoNotEndTheRun) {
  const RunOutcome outcome = RunFrontEnd(TestHostOptions(), [] {
    console::PostToDialog(WmCommand, IdOk, 0);
    console::PostToDialog(WmCommand, IdCancel, 0);
    console::PostToDialog(WmClose, 0, 0);
  });
  EXPECT_EQ(outcome.events, kThreeAbsentAttempts);
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_EQ(AttemptCount, 3);
}

TEST_F(RunControllerTest, WorkersThatCannotStartCountAsAttemptsAndTheRunEnds) {
  static WindowingOps refusing;
  const RunOutcome outcome = RunFrontEnd(TestHostOptions(), [] {
    refusing = *Windowing();
    refusing.createThread = [](ThreadProc, void*) { return false; };
    InstallWindowing(&refusing);
  });
  EXPECT_EQ(outcome.events, Events{Blue("Detect Device!!!")});
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_EQ(AttemptCount, 3);
  EXPECT_EQ(outcome.exitStatus, 0);
}

class MissingImageTest : public RunControllerTest {};

TEST_F(MissingImageTest, NoResourceMeansNoAttemptAndFail) {
  console::HostOptions options = TestHostOptions();
  options.hasImage = false;
  const RunOutcome outcome = RunFrontEnd(options);
  EXPECT_EQ(outcome.events, Events{Red("Firmware image missing!!!")});
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(AttemptCount, 0);
  EXPECT_FALSE(FirmwareImageLoaded);
}

TEST_F(MissingImageTest, ShortResourceIsRefusedLikeAMissingOne) {
  console::HostOptions options = TestHostOptions();
  options.imageSize = EmbeddedFirmwareImageSize - 1;
  const RunOutcome outcome = RunFrontEnd(options);
  EXPECT_EQ(outcome.events, Events{Red("Firmware image missing!!!")});
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_EQ(AttemptCount, 0);
}

TEST_F(MissingImageTest, UnwritableFailEndsWithStatusTwo) {
  std::filesystem::create_directory("Result.log");
  console::HostOptions options = TestHostOptions();
  options.hasImage = false;
  EXPECT_EQ(RunFrontEnd(options).exitStatus, 2);
}

class DialogSetupTest : public RunControllerTest {};

TEST_F(DialogSetupTest, LoadsTheWholeImageFromResource131) {
  RunFrontEnd(TestHostOptions());
  ASSERT_TRUE(FirmwareImageLoaded);
  ASSERT_NE(FirmwareImage, nullptr);
  EXPECT_EQ(std::vector<std::uint8_t>(FirmwareImage.get(), FirmwareImage.get() + FirmwareImageSize),
            std::vector<std::uint8_t>(EmbeddedFirmwareImage,
                                      EmbeddedFirmwareImage + EmbeddedFirmwareImageSize));
}

TEST_F(DialogSetupTest, WindowGetsIconsControlsAndLabelFont) {
  RunFrontEnd(TestHostOptions());
  const console::HostView view = console::View();
  EXPECT_EQ(view.caption, "Update QX207B-T41C-KM05-PL-R06.00.01 Firmware V.7.0.0.7");
  EXPECT_EQ(view.commonControls, 0xFFu);
  EXPECT_EQ(view.iconsSet, (std::vector<WParam>{1, 0}));
  EXPECT_EQ(view.fontHeight, -18);
  EXPECT_EQ(view.statusText, "Check Hardware ...");
  EXPECT_EQ(view.statusColour, 0x00FF0000u);
  // The label's brush and font went with the dialog.
  EXPECT_EQ(view.liveGdiObjects, 0);
}

}  // namespace
}  // namespace apptest
