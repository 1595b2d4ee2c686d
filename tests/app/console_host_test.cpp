// The console host's thread model: synchronous sends, the one-shot timer, exit, interrupts.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "seams/device_tree.h"
#include "app/run_state.h"
#include "tests/app/front_end_fixture.h"

namespace apptest {
namespace {

constexpr std::uint32_t kSlowMessage = WmUser + 50;
constexpr std::uint32_t kEndMessage = WmUser + 51;

// A dialog procedure driven by the test, with what it observed.
struct Probe {
  static inline std::atomic<bool> handlerDone{false};
  static inline std::atomic<bool> senderSawHandlerDone{false};
  static inline std::atomic<bool> handledOnInterfaceThread{false};
  static inline std::atomic<int> timerTicks{0};
  static inline std::thread::id interfaceThread;
  static inline HWnd progressWindow = nullptr;
  static inline bool startWorker = false;
  static inline std::uint32_t timerMs = 0;

  static std::uint32_t Worker(void* dialog) {
    auto* window = static_cast<HWnd>(dialog);
    Windowing()->sendMessage(window, kSlowMessage, 0, 0);
    senderSawHandlerDone = handlerDone.load();
    Windowing()->sendMessage(window, kEndMessage, 0, 0);
    return 1;
  }

  static LResult Proc(HWnd dialog, std::uint32_t message, WParam wParam, LParam) {
    switch (message) {
      case WmInitDialog:
        interfaceThread = std::this_thread::get_id();
        progressWindow = Windowing()->getDlgItem(dialog, IdcProgressBar);
        if (startWorker) {
          Windowing()->createThread(&Worker, dialog);
        }
        if (timerMs != 0) {
          Windowing()->setTimer(dialog, 1, timerMs);
        }
        return 1;
      case kSlowMessage:
        handledOnInterfaceThread = std::this_thread::get_id() == interfaceThread;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        handlerDone = true;
        return 0;
      case kEndMessage:
        Windowing()->exit(7);
        return 0;
      case WmTimer:
        if (++timerTicks == 2) {
          Windowing()->exit(9);
        }
        if (wParam == 2) {
          Windowing()->killTimer(dialog, 1);
          Windowing()->exit(8);
        }
        return 0;
      default:
        return 0;
    }
  }

  static void Reset() {
    handlerDone = false;
    senderSawHandlerDone = false;
    handledOnInterfaceThread = false;
    timerTicks = 0;
    startWorker = false;
    timerMs = 0;
  }
};

class ConsoleHostTest : public FrontEndTest {
 protected:
  void SetUp() override {
    FrontEndTest::SetUp();
    Probe::Reset();
  }

  // Runs the probe's dialog on its own interface thread, with a bounded wait.
  void RunProbeDialog(const console::HostOptions& options) {
    console::InstallConsoleHost(options);
    auto run = std::async(std::launch::async, [] {
      return Windowing()->dialogBoxParam(IddReflashDialog, nullptr, &Probe::Proc, 0);
    });
    ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "deadlock";
    ASSERT_TRUE(console::WaitForWorkers(std::chrono::seconds(30)));
  }
};

TEST_F(ConsoleHostTest, WorkersSendReturnsOnlyAfterTheInterfaceThreadHandledIt) {
  Probe::startWorker = true;
  RunProbeDialog(TestHostOptions());
  EXPECT_TRUE(Probe::handledOnInterfaceThread);
  EXPECT_TRUE(Probe::senderSawHandlerDone);
  EXPECT_EQ(console::ExitStatus(), 7);
}

TEST_F(ConsoleHostTest, VirtualTimerElapsesThroughSleepAndRepeatsUntilKilled) {
  Probe::timerMs = 3000;
  RunProbeDialog(TestHostOptions());
  EXPECT_EQ(Probe::timerTicks, 2);
  EXPECT_EQ(console::ExitStatus(), 9);
  EXPECT_EQ(sleepLog.Sleeps(), (std::vector<std::uint32_t>{3000, 3000}));
}

TEST_F(ConsoleHostTest, RealTimerWaitsItsPeriod) {
  Probe::timerMs = 60;
  console::HostOptions options = TestHostOptions();
  options.virtualTimers = false;
  const auto start = std::chrono::steady_clock::now();
  RunProbeDialog(options);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
  EXPECT_EQ(Probe::timerTicks, 2);
}

TEST_F(ConsoleHostTest, SendAfterTheRunEndedReturnsAtOnce) {
  Probe::startWorker = true;
  RunProbeDialog(TestHostOptions());
  ASSERT_NE(Probe::progressWindow, nullptr);
  auto late = std::async(std::launch::async, [] {
    return Windowing()->sendMessage(Windowing()->getDlgItem(nullptr, IdcProgressBar), PbmSetPos, 50,
                                    0);
  });
  EXPECT_EQ(late.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST(InterruptTest, CtrlCAndHangUpAreIgnored) {
  console::IgnoreInterrupts();
  // Were either signal still armed, the test process would end here.
  std::raise(SIGINT);
  std::raise(SIGHUP);
  SUCCEED();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGHUP, SIG_DFL);
}

class ScreenTest : public FrontEndTest {
 protected:
  void SetUp() override {
    FrontEndTest::SetUp();
    InstallDeviceTree(nullptr);
  }

  std::string RunShowingOn(bool terminal) {
    std::FILE* screen = std::tmpfile();
    console::HostOptions options = TestHostOptions();
    options.screen = screen;
    options.terminal = terminal;
    RunFrontEnd(options);
    std::rewind(screen);
    std::string text;
    for (int c = std::fgetc(screen); c != EOF; c = std::fgetc(screen)) {
      text += static_cast<char>(c);
    }
    std::fclose(screen);
    return text;
  }
};

TEST_F(ScreenTest, PlainOutputIsTheCaptionThenOneLinePerChange) {
  const std::string text = RunShowingOn(false);
  EXPECT_EQ(text.rfind(std::string(DialogCaption) + "\n", 0), 0u);
  EXPECT_NE(text.find("[  0%] Detect Device!!!\n"), std::string::npos);
  EXPECT_NE(text.find("[  0%] Check Hardware ...\n"), std::string::npos);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_F(ScreenTest, TerminalOutputRedrawsOneLineWithTheStatusInBlue) {
  const std::string text = RunShowingOn(true);
  EXPECT_NE(text.find(DialogCaption), std::string::npos);
  EXPECT_NE(text.find("\r\x1b[2K\x1b[34mCheck Hardware ..."), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
}

}  // namespace
}  // namespace apptest
