// `reflash` outlives the signals a station or a user sends to stop it.

#include "platform/linux/stop_signals.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

TEST(StopSignalsTest, TerminationInterruptAndHangUpAreIgnored) {
  linuxplat::IgnoreStopSignals();
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    struct sigaction now {};
    ASSERT_EQ(sigaction(signal, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN) << "signal " << signal;
    // Were it still armed, the test process would end here.
    std::raise(signal);
  }
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    std::signal(signal, SIG_DFL);
  }
}

}  // namespace
