// The whole front end against the simulated camera: status and progress sequence, Result.log,
// and what ends up in the camera's flash, for passes, absent cameras and injected faults.

#include <vector>

#include "app/run_state.h"
#include "seams/media_capture.h"
#include "tests/app/sim_front_end_fixture.h"

namespace apptest {
namespace {

using Events = std::vector<std::string>;

Events Concat(std::initializer_list<Events> parts) {
  Events all;
  for (const Events& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

const Events kStart = {Blue("Detect Device!!!")};
const Events kAbsent = {Progress(0), Blue("Check Hardware ...")};
const Events kNotChosen = {Progress(0), Blue("Check Hardware ..."), Progress(20)};
const Events kUpToWrite = {Progress(0),  Blue("Check Hardware ..."),
                           Progress(20), Blue("Erase Flash ..."),
                           Progress(40), Blue("Update Firmware ...")};
const Events kPassedAttempt = Concat({kUpToWrite,
                                      {Progress(60), Blue("Reset Device..."), Progress(80),
                                       Blue("Check Firmware..."), Progress(100)}});
const Events kCheckFailedAttempt = Concat({kPassedAttempt, {Red("Check Firmware Failed!!!")}});
const Events kEraseFailedAttempt = {Progress(0),   Blue("Check Hardware ..."),
                                    Progress(20),  Blue("Erase Flash ..."),
                                    Progress(100), Red("Erase failed!!!")};
const Events kWriteFailedAttempt =
    Concat({kUpToWrite, {Progress(60), Progress(100), Red("Write firmware Failed!!!")}});

constexpr const char* kPass = "Pass\r\nR06.00.01\r\n";

class UpdatePassTest : public SimFrontEndTest {};

TEST_F(UpdatePassTest, FirstAttemptWritesTheImageAndRestoresProtection) {
  sim::Device& camera = AddCamera();
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events, Concat({kStart, kPassedAttempt}));
  EXPECT_EQ(ResultLog(), kPass);
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(AttemptCount, 1);
  EXPECT_EQ(Flash(camera), Image());
  // The image's configuration block asks for status-register protection, and the pin went low.
  EXPECT_EQ(camera.camera()->flash().status() & 0x80, 0x80);
  EXPECT_FALSE(camera.camera()->writeProtectHigh());
  EXPECT_EQ(camera.camera()->resets(), 1u);
  EXPECT_EQ(sleepLog.Sleeps(), (std::vector<std::uint32_t>{3000, 2000, 5000}));
  EXPECT_EQ(sim::CurrentFramework().liveReferences(), 0);
}

TEST_F(UpdatePassTest, SecondaryIdPasses) {
  sim::Device& camera = AddCamera("vid_0c45&pid_6320", "vid_0c45&pid_6320");
  RunOnSimulator();
  EXPECT_EQ(ResultLog(), kPass);
  EXPECT_EQ(Flash(camera), Image());
}

TEST_F(UpdatePassTest, UpperCaseIdsInTreeAndPathPass) {
  sim::Device& camera = AddCameraWithPath(
      u"\\\\?\\USB#VID_1F3A&PID_5C72&MI_00#7&2F1C4E3A&0&0000#{65E8773D-8F56-11D0-A3B9-"
      u"00A0C9223196}\\GLOBAL",
      "VID_1F3A&PID_5C72");
  RunOnSimulator();
  EXPECT_EQ(ResultLog(), kPass);
  EXPECT_EQ(Flash(camera), Image());
}

TEST_F(UpdatePassTest, FirstListedCameraIsUpdatedWhicheverIdItCarries) {
  for (const bool primaryFirst : {true, false}) {
    SCOPED_TRACE(primaryFirst ? "primary id listed first" : "secondary id listed first");
    ResetWorld();
    const char* first = primaryFirst ? "vid_1f3a&pid_5c72" : "vid_0c45&pid_6320";
    const char* second = primaryFirst ? "vid_0c45&pid_6320" : "vid_1f3a&pid_5c72";
    sim::Device& listedFirst = AddCamera(first, first);
    sim::Device& listedSecond = AddCamera(second, second);
    const auto untouched = Flash(listedSecond);
    RunOnSimulator();
    EXPECT_EQ(ResultLog(), kPass);
    EXPECT_EQ(Flash(listedFirst), Image());
    EXPECT_EQ(Flash(listedSecond), untouched);
  }
}

TEST_F(UpdatePassTest, DisconnectDuringWriteFailsOnceThenPassesOnTheSecondAttempt) {
  AddCamera();
  const auto trace = TracedRun();
  const std::size_t firstWrite = FindRequest(trace, "SET 3 3 00 00 08");
  ASSERT_GT(firstWrite, 0u);

  ResetWorld();
  sim::Device& camera = AddCamera();
  camera.faults().disconnectAfter = static_cast<std::uint32_t>(firstWrite + 100);
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events, Concat({kStart, kWriteFailedAttempt, kPassedAttempt}));
  EXPECT_EQ(ResultLog(), kPass);
  EXPECT_EQ(AttemptCount, 2);
  EXPECT_EQ(Flash(camera), Image());
}

class AbsentCameraTest : public SimFrontEndTest {};

TEST_F(AbsentCameraTest, NoCameraThreeAttemptsAtZeroThenFail) {
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events, Concat({kStart, kAbsent, kAbsent, kAbsent}));
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST_F(AbsentCameraTest, CameraWithNeitherIdIsNotTouched) {
  sim::Device& other = AddCamera("vid_046d&pid_0825", "vid_046d&pid_0825");
  const auto before = Flash(other);
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events, Concat({kStart, kAbsent, kAbsent, kAbsent}));
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_EQ(Flash(other), before);
  EXPECT_EQ(other.requestCount(), 0u);
}

TEST_F(AbsentCameraTest, PresentButNoCaptureDeviceWithAnIdStopsAtTwenty) {
  // In the device tree with our id, but its capture path names another device.
  sim::Device& camera = AddCamera(sim::DefaultUsbId, "vid_046d&pid_0825");
  const auto before = Flash(camera);
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events, Concat({kStart, kNotChosen, kNotChosen, kNotChosen}));
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_EQ(Flash(camera), before);
}

class UpdateFaultTest : public SimFrontEndTest {};

TEST_F(UpdateFaultTest, EraseFailureShowsRedRestoresProtectionAndDoesNotReset) {
  AddCamera();
  const auto trace = TracedRun();
  const std::size_t firstWrite = FindRequest(trace, "SET 3 3 00 00 08");
  ASSERT_GT(firstWrite, 1u);
  // The request just before the write is the erase's final register write.
  ASSERT_EQ(trace[firstWrite - 2].rfind("SET 1 ", 0), 0u);

  ResetWorld();
  sim::Device& camera = AddCamera();
  camera.faults().failRequest = static_cast<std::uint32_t>(firstWrite - 1);
  bool failWrittenBeforeSecondAttempt = false;
  onSleep = [&](std::uint32_t ms) {
    if (ms == 2000 && AttemptCount == 2) {
      failWrittenBeforeSecondAttempt = ResultLog() == "Fail";
    }
  };
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events, Concat({kStart, kEraseFailedAttempt, kPassedAttempt}));
  EXPECT_TRUE(failWrittenBeforeSecondAttempt);
  EXPECT_EQ(ResultLog(), kPass);
  EXPECT_EQ(camera.camera()->resets(), 1u);  // only the passing attempt reset the camera
}

TEST_F(UpdateFaultTest, EraseThatNeverCompletesFailsEveryAttempt) {
  // Row 0 with flash type 0 erases through the chip's own path, which gives up on a busy flash.
  sim::CameraConfig config = ProtectedCamera(0);
  config.flashType = 0;
  sim::Device& camera = AddCamera(sim::DefaultUsbId, sim::DefaultUsbId, config);
  camera.faults().stayBusy = true;
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events,
            Concat({kStart, kEraseFailedAttempt, kEraseFailedAttempt, kEraseFailedAttempt}));
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_NE(Flash(camera), Image());
}

TEST_F(UpdateFaultTest, WriteFailureShowsFortySixtyHundredAndRed) {
  AddCamera();
  const std::size_t firstWrite = FindRequest(TracedRun(), "SET 3 3 00 00 08");
  ASSERT_GT(firstWrite, 0u);

  ResetWorld();
  sim::Device& camera = AddCamera();
  camera.faults().failRequest = static_cast<std::uint32_t>(firstWrite + 4000);
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events, Concat({kStart, kWriteFailedAttempt, kPassedAttempt}));
  EXPECT_EQ(ResultLog(), kPass);
  EXPECT_EQ(camera.camera()->resets(), 1u);
}

TEST_F(UpdateFaultTest, ReadBackDifferingInTheLastByteFails) {
  sim::Device& camera = AddCamera();
  camera.faults().corruptReadback = 0xFFFF;
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events,
            Concat({kStart, kCheckFailedAttempt, kCheckFailedAttempt, kCheckFailedAttempt}));
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(Flash(camera), Image());  // the flash is right; only its read-back was not
}

TEST_F(UpdateFaultTest, CameraThatDoesNotComeBackAfterResetIsNeverAPass) {
  sim::Device& camera = AddCamera();
  onSleep = [&](std::uint32_t ms) {
    if (ms == 5000) {
      camera.setPlugged(false);
    }
  };
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events, Concat({kStart, kCheckFailedAttempt, kNotChosen, kNotChosen}));
  EXPECT_EQ(ResultLog(), "Fail");
  EXPECT_EQ(Flash(camera), Image());
}

TEST_F(UpdateFaultTest, CameraThatCannotBeOpenedAgainIsNeverAPass) {
  sim::Device& camera = AddCamera();
  onSleep = [&](std::uint32_t ms) {
    if (ms == 5000) {
      camera.setup().cannotBind = true;
    }
  };
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events.size() >= kCheckFailedAttempt.size() + 1, true);
  EXPECT_EQ(Events(outcome.events.begin(),
                   outcome.events.begin() + 1 + static_cast<long>(kCheckFailedAttempt.size())),
            Concat({kStart, kCheckFailedAttempt}));
  EXPECT_EQ(ResultLog(), "Fail");
}

TEST_F(UpdateFaultTest, FailedReadBackFailsTheCheck) {
  AddCamera();
  const auto trace = TracedRun();
  // The read-back's data requests come after the write's 8,192 data requests.
  const std::size_t write = FindRequest(trace, "SET 3 3 00 00 08");
  const std::size_t firstRead = FindRequest(trace, "GET 3 ", write + 8192);
  ASSERT_GT(firstRead, 0u);

  ResetWorld();
  sim::Device& camera = AddCamera();
  camera.faults().failRequest = static_cast<std::uint32_t>(firstRead + 8191);
  const RunOutcome outcome = RunOnSimulator();
  EXPECT_EQ(outcome.events, Concat({kStart, kCheckFailedAttempt, kPassedAttempt}));
  EXPECT_EQ(ResultLog(), kPass);
}

// A transport that reports every answer whole, as uvcvideo does when it fills a short control
// answer with zeros.
HResult WholeAnswers(McObject* control, void* property, std::uint32_t propertyLength, void* data,
                     std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  const HResult result = sim::MediaCaptureTable()->ksProperty(control, property, propertyLength,
                                                              data, dataLength, bytesReturned);
  if (result == 0 && bytesReturned != nullptr) {
    *bytesReturned = dataLength;
  }
  return result;
}

TEST_F(UpdateFaultTest, AConfigurationByteZeroFilledUnseenFailsTheAttemptThatLeftNoProtection) {
  static const MediaCaptureOps wholeAnswers = [] {
    MediaCaptureOps ops = *sim::MediaCaptureTable();
    ops.ksProperty = WholeAnswers;
    return ops;
  }();
  AddCamera();
  const auto trace = TracedRun();
  // The restore reads the image's configuration byte at 0x8003 (chip 12): a read start for one
  // byte there, then its answer, which asks for status-register protection.
  const std::size_t start = FindRequest(trace, "SET 3 3 03 80 81");
  ASSERT_GT(start, 0u);

  ResetWorld();
  CamInstallMediaCapture(&wholeAnswers);
  sim::Device& camera = AddCamera();
  camera.faults().shortGetRequest = static_cast<std::uint32_t>(start + 1);
  camera.faults().shortGetBytes = 0;
  const RunOutcome outcome = RunOnSimulator();
  CamInstallMediaCapture(sim::MediaCaptureTable());
  EXPECT_EQ(camera.faults().fired.shortGet, 1u);
  EXPECT_EQ(outcome.events, Concat({kStart, kCheckFailedAttempt, kPassedAttempt}));
  EXPECT_EQ(ResultLog(), kPass);
  EXPECT_EQ(camera.camera()->flash().status(), 0x8C);
}

}  // namespace
}  // namespace apptest
