// `reflash-usbip-camera`: one simulated camera on the kernel's virtual USB host controller, so
// that the kernel's own video-class driver drives it like a plugged-in camera.

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/flash_file.h"
#include "platform/sim/sim_camera.h"
#include "testrig/usbip/usb_camera_device.h"
#include "testrig/usbip/usbip_options.h"
#include "testrig/usbip/usbip_session.h"
#include "testrig/usbip/vhci_port.h"
#include "resources/embedded_image.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void OnStopSignal(int) {
  stopRequested = 1;
}

// Signals stay blocked except while waiting, so a stop is never missed between checks.
sigset_t waitMask;

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigprocmask(SIG_BLOCK, &blocked, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
}

// Waits for input on `fd` (or only for time, with fd -1); false once a stop signal came.
bool Wait(int fd, int timeoutMs) {
  if (stopRequested) {
    return false;
  }
  pollfd entry{fd, POLLIN, 0};
  timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1'000'000L};
  ::ppoll(fd >= 0 ? &entry : nullptr, fd >= 0 ? 1 : 0, timeoutMs >= 0 ? &timeout : nullptr,
          &waitMask);
  return !stopRequested;
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Lets the host take the last reply before the device leaves: a reply still queued when the port
// is torn down would turn a request that was carried out into a failed one.
void DrainOutput(int fd) {
  for (int i = 0; i < 100; ++i) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued == 0) {
      return;
    }
    Wait(-1, 2);
  }
}

enum class Ended { stop, reset, pulled, closed };

class CameraServer {
 public:
  explicit CameraServer(const usbip::CameraOptions& options)
      : options_(options),
        clock_(sim::ClockMode::real),
        camera_(CameraConfigOf(options), clock_, simFaults_),
        device_(camera_, options.faults,
                options.foreign ? usbip::ForeignIdentity() : usbip::CameraIdentity()),
        port_{options.vhci, options.port, options.devid, options.speed} {}

  ~CameraServer() {
    if (trace_ != nullptr) {
      std::fclose(trace_);
    }
  }

  int run() {
    if (!prepare()) {
      return 2;
    }
    for (;;) {
      const int fd = attach();
      if (fd < 0) {
        saveFlash();
        return stopRequested ? 0 : 1;
      }
      const Ended ended = serve(fd);
      if (ended != Ended::closed) {
        DrainOutput(fd);
        usbip::DetachFromPort(port_);
      }
      ::close(fd);
      say("detached");
      saveFlash();
      if (ended == Ended::stop) {
        return 0;
      }
      if (ended == Ended::reset) {
        if (!Wait(-1, static_cast<int>(options_.resetPauseMs))) {
          return 0;
        }
        continue;
      }
      if (ended == Ended::pulled && options_.replugAfterMs.has_value()) {
        if (!Wait(-1, static_cast<int>(*options_.replugAfterMs))) {
          return 0;
        }
        camera_.replug();
        continue;
      }
      // Pulled for good, or dropped by the host: stay away until told to stop.
      while (Wait(-1, -1)) {
      }
      return 0;
    }
  }

 private:
  static sim::CameraConfig CameraConfigOf(const usbip::CameraOptions& options) {
    sim::CameraConfig config;
    config.chipIndex = options.chip;
    if (options.flashType.has_value()) {
      config.flashType = *options.flashType;
    }
    return config;
  }

  bool prepare() {
    std::string error;
    if (!options_.flashIn.empty() && !sim::LoadFlash(camera_.flash(), options_.flashIn, &error)) {
      std::fprintf(stderr, "reflash-usbip-camera: %s\n", error.c_str());
      return false;
    }
    if (!options_.trace.empty()) {
      trace_ = std::fopen(options_.trace.c_str(), "w");
      if (trace_ == nullptr) {
        std::fprintf(stderr, "reflash-usbip-camera: cannot create %s\n", options_.trace.c_str());
        return false;
      }
      device_.setTrace(trace_);
    }
    return true;
  }

  // What the camera says of itself as it enumerates: a camera that boots the image reports its
  // revision, 0601; any other flash keeps the revision it was given.
  usbip::UnitStrings UnitNow() {
    usbip::UnitStrings unit;
    unit.serial = options_.serial.value_or("RFQ-P" + std::to_string(options_.port));
    const auto& flash = camera_.flash().contents();
    const bool image = flash.size() == EmbeddedFirmwareImageSize &&
                       std::equal(flash.begin(), flash.end(), EmbeddedFirmwareImage);
    unit.release = image ? std::uint16_t{0x0601} : options_.bcdDevice;
    return unit;
  }

  // The port may still be busy for a moment after the last detach.
  int attach() {
    std::string error;
    for (int attempt = 0; attempt < 30; ++attempt) {
      const int fd = usbip::AttachToPort(port_, error);
      if (fd >= 0) {
        device_.setUnit(UnitNow());
        device_.busReset();
        say("attached");
        return fd;
      }
      if (!Wait(-1, 100)) {
        return -1;
      }
    }
    std::fprintf(stderr, "reflash-usbip-camera: %s\n", error.c_str());
    return -1;
  }

  Ended serve(int fd) {
    usbip::Session session(device_);
    std::vector<std::uint8_t> input(64 * 1024);
    std::vector<std::uint8_t> output;
    for (;;) {
      if (!Wait(fd, -1)) {
        return Ended::stop;
      }
      const ssize_t n = ::read(fd, input.data(), input.size());
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        continue;
      }
      if (n <= 0) {
        return Ended::closed;
      }
      output.clear();
      const bool sane = session.feed(input.data(), static_cast<std::size_t>(n), output);
      if (!WriteAll(fd, output) || !sane) {
        return Ended::closed;
      }
      switch (session.left()) {
        case usbip::Leave::reset:
          return Ended::reset;
        case usbip::Leave::pulled:
          return Ended::pulled;
        case usbip::Leave::none:
          break;
      }
    }
  }

  void saveFlash() {
    std::string error;
    if (!options_.flashOut.empty() && !sim::SaveFlash(camera_.flash(), options_.flashOut, &error)) {
      std::fprintf(stderr, "reflash-usbip-camera: %s\n", error.c_str());
    }
    if (!options_.stateOut.empty()) {
      std::FILE* state = std::fopen(options_.stateOut.c_str(), "w");
      if (state == nullptr) {
        std::fprintf(stderr, "reflash-usbip-camera: cannot create %s\n", options_.stateOut.c_str());
        return;
      }
      std::fprintf(state, "statusRegister %u\nwriteProtectPin %s\n",
                   static_cast<unsigned>(camera_.flash().status()),
                   camera_.writeProtectHigh() ? "high" : "low");
      std::fclose(state);
    }
  }

  void say(const char* what) const {
    if (!options_.quiet) {
      std::fprintf(stderr, "reflash-usbip-camera: %s\n", what);
    }
  }

  const usbip::CameraOptions& options_;
  sim::Clock clock_;
  sim::Faults simFaults_{};
  sim::Camera camera_;
  usbip::UsbCameraDevice device_;
  usbip::PortAddress port_;
  std::FILE* trace_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  usbip::CameraOptions options;
  std::string error;
  if (!usbip::ParseCameraOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "reflash-usbip-camera: %s\n%s", error.c_str(), usbip::CameraUsage());
    return 2;
  }
  if (options.help) {
    std::fputs(usbip::CameraUsage(), stdout);
    return 0;
  }
  InstallStopSignals();
  CameraServer server(options);
  return server.run();
}
