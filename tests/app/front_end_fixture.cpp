#include "tests/app/front_end_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <thread>

#include "app/reflash_app.h"
#include "app/run_state.h"
#include "camera/camera.h"
#include "resources/embedded_image.h"

namespace apptest {
namespace {
constexpr auto kRunBound = std::chrono::seconds(60);

[[noreturn]] void Deadlocked(const char* what) {
  std::fprintf(stderr, "FAILED: %s did not end within %lld s (deadlock?)\n", what,
               static_cast<long long>(kRunBound.count()));
  std::fflush(nullptr);
  std::_Exit(1);
}
}  // namespace

void FrontEndTest::SetUp() {
  previousDirectory = std::filesystem::current_path();
  std::random_device random;
  scratch = std::filesystem::temp_directory_path() /
            ("reflash-app-test-" + std::to_string(random()) + "-" + std::to_string(random()));
  std::filesystem::create_directories(scratch);
  std::filesystem::current_path(scratch);
  ResetFrontEndState();
  CamResetState();
}

void FrontEndTest::TearDown() {
  std::filesystem::current_path(previousDirectory);
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  ResetFrontEndState();
}

console::HostOptions FrontEndTest::TestHostOptions() {
  console::HostOptions options;
  options.hasImage = true;
  options.image = EmbeddedFirmwareImage;
  options.imageSize = EmbeddedFirmwareImageSize;
  options.sleep = [this](std::uint32_t milliseconds) { sleepLog.Sleep(milliseconds); };
  options.virtualTimers = true;
  options.exitEndsProcess = false;
  return options;
}

RunOutcome FrontEndTest::RunFrontEnd(const console::HostOptions& options,
                                     const std::function<void()>& beforeRun) {
  console::InstallConsoleHost(options);
  if (beforeRun) {
    beforeRun();
  }
  std::packaged_task<int()> application(ReflashAppMain);
  auto finished = application.get_future();
  std::thread interfaceThread(std::move(application));
  if (finished.wait_for(kRunBound) != std::future_status::ready) {
    Deadlocked("the front end's run");
  }
  interfaceThread.join();
  // The last worker returns from its send after the run ended; it must be gone before the next
  // test resets the state it may still read.
  if (!console::WaitForWorkers(kRunBound)) {
    Deadlocked("the last worker");
  }
  RunOutcome outcome;
  outcome.exitStatus = console::ExitStatus();
  outcome.events = console::Events();
  return outcome;
}

std::string FrontEndTest::ResultLog() const {
  std::ifstream file("Result.log", std::ios::binary);
  if (!file) {
    return "<none>";
  }
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string Blue(const std::string& text) {
  return "status 0x00FF0000 " + text;
}
std::string Red(const std::string& text) {
  return "status 0x000000FF " + text;
}
std::string Progress(int position) {
  return "progress " + std::to_string(position);
}

}  // namespace apptest
