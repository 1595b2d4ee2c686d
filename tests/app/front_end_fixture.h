#pragma once
// Runs the whole front end on the console host in a scratch directory, with a bounded wait.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/console/console_host.h"

namespace apptest {

// What one run of the front end left behind.
struct RunOutcome {
  int exitStatus = -1;
  std::vector<std::string> events;
};

// The Sleep calls the front end made, in order; virtual, so a run costs no wall time.
class SleepLog {
 public:
  void Sleep(std::uint32_t milliseconds) {
    std::lock_guard lock(mutex_);
    sleeps_.push_back(milliseconds);
  }
  std::vector<std::uint32_t> Sleeps() {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::uint32_t> sleeps_;
};

// A scratch current directory per test (Result.log is relative) and clean front-end state.
class FrontEndTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Host options for a run with the embedded image, virtual timers and a recording exit.
  console::HostOptions TestHostOptions();
  // Runs the application object to its end; a run that does not end within the bound (a
  // deadlock between worker and interface thread) ends the test process as a failure.
  // `beforeRun` runs once the host is installed, before the dialog starts.
  RunOutcome RunFrontEnd(const console::HostOptions& options,
                         const std::function<void()>& beforeRun = {});

  // The bytes of Result.log, or "<none>" when there is no such file.
  std::string ResultLog() const;

  SleepLog sleepLog;
  std::filesystem::path scratch;

 private:
  std::filesystem::path previousDirectory;
};

// Status lines as the ui trace writes them.
std::string Blue(const std::string& text);
std::string Red(const std::string& text);
std::string Progress(int position);

}  // namespace apptest
