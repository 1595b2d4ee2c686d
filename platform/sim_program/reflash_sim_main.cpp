// reflash-sim: the front end, on the console host, updating the built-in simulated camera.

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#define REFLASH_ISATTY(f) _isatty(_fileno(f))
#else
#include <signal.h>
#include <unistd.h>
#define REFLASH_ISATTY(f) isatty(fileno(f))
#endif

#include "app/reflash_app.h"
#include "seams/media_capture.h"
#include "platform/console/console_host.h"
#include "platform/sim_program/sim_options.h"
#include "platform/sim_program/sim_plug_events.h"
#include "platform/sim_program/sim_session.h"
#include "platform/console/station_worker.h"

namespace {
constexpr int kUsageError = 64;  // EX_USAGE

// Lives until the process ends; exit() runs inside a message handler.
console::SimSession& Session() {
  static auto* session = new console::SimSession;
  return *session;
}

#ifndef _WIN32
void OnPlugSignal(int signal) {
  if (signal == SIGUSR1) {
    console::NoteCameraPulled();
  } else {
    console::NoteCameraPluggedIn();
  }
}

// The station's word that this worker's camera was pulled from its port or plugged in again.
// Caught before anything else, as their default action would end the update; restarting the
// interrupted calls keeps the worker's pipe writes whole.
void CatchPlugSignals() {
  struct sigaction action {};
  action.sa_handler = &OnPlugSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);
  sigaction(SIGUSR2, &action, nullptr);
  // A station starts its workers with these blocked, so that one sent before this point waits
  // here instead of ending the worker.
  sigset_t plug;
  sigemptyset(&plug);
  sigaddset(&plug, SIGUSR1);
  sigaddset(&plug, SIGUSR2);
  sigprocmask(SIG_UNBLOCK, &plug, nullptr);
}
#endif
}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  CatchPlugSignals();
#endif
  console::SimOptions options;
  std::string error;
  if (!console::ParseSimOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "reflash-sim: %s\n", error.c_str());
    return kUsageError;
  }
  if (options.help) {
    std::fputs(console::SimUsage(), stdout);
    return 0;
  }
  if (!Session().Start(options, error)) {
    std::fprintf(stderr, "reflash-sim: %s\n", error.c_str());
    return kUsageError;
  }
  console::IgnoreInterrupts();

  console::HostOptions host;
  host.screen = options.station ? nullptr : stdout;
  host.terminal = !options.station && REFLASH_ISATTY(stdout) != 0;
  host.uiTrace = Session().UiTrace();
  if (options.station) {
    console::Worker().Open(stdout, options.port.empty() ? options.cameraPort : options.port);
    CamInstallMediaCapture(console::Worker().Wrap(CamMediaCapture()));
  }
  if (Session().Timeline().IsOpen() || options.station) {
    host.timeline = [](const std::string& event) {
      Session().Timeline().Record(event);
      console::Worker().Event(event);
    };
  }
  host.hasImage = !Session().Image().empty();
  host.image = Session().Image().data();
  host.imageSize = Session().Image().size();
  host.sleep = [](std::uint32_t milliseconds) { Session().Sleep(milliseconds); };
  host.virtualTimers = Session().Instant();
  host.exitEndsProcess = true;
  host.beforeExit = [](int status) {
    Session().Finish();
    console::Worker().Finish(status);
  };
  console::InstallConsoleHost(host);

  const int status = ReflashAppMain();
  Session().Finish();
  console::Worker().Finish(status);
  return status;
}
