#include "platform/sim_program/sim_session.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>

#include "seams/device_tree.h"
#include "product/product.h"
#include "camera/camera_state.h"
#include "seams/media_capture.h"
#include "platform/sim_program/sim_plug_events.h"
#include "platform/sim/flash_file.h"
#include "platform/sim/simulator.h"
#include "resources/embedded_image.h"

namespace console {
namespace {

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(file), {});
  return !file.bad();
}

bool Creatable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  std::fclose(file);
  return true;
}

sim::WorldOptions WorldFor(const SimOptions& options) {
  sim::WorldOptions world;
  world.usbId = options.usbId;
  // The worker sees only the cameras on its port; this fixture has one, on --camera-port.
  world.cameraPresent =
      !options.noCamera && (options.port.empty() || options.port == options.cameraPort);
  world.vendorNodes = !options.noXuNode;
  world.devicePath.assign(options.devicePath.begin(), options.devicePath.end());
  world.clockMode = options.instant ? sim::ClockMode::instant : sim::ClockMode::real;
  sim::CameraConfig& camera = world.camera;
  camera.flashStatus = ProtectedFlashStatus;
  camera.writeProtectPin = WriteProtectGpioPin;
  if (options.chip) {
    camera.chipIndex = *options.chip;
  }
  if (options.revision) {
    camera.revision = *options.revision;
  }
  if (options.flashType) {
    camera.flashType = *options.flashType;
  }
  if (options.infoByte) {
    camera.infoByte = *options.infoByte;
  }
  if (options.configPage) {
    camera.configPage = *options.configPage;
  }
  return world;
}

}  // namespace

std::vector<std::uint8_t> OlderFirmware(const std::uint8_t* image, std::size_t size) {
  std::vector<std::uint8_t> older(image, image + size);
  // Code and data differ; the configuration blocks (first 64 bytes of each) stay as they were.
  for (std::size_t i = 0x40; i < size; ++i) {
    if ((i & 0x3FFF) >= 0x40 && (i < 0x5800 || i >= 0x5840)) {
      older[i] = static_cast<std::uint8_t>(older[i] ^ 0x5A);
    }
  }
  return older;
}

bool SimSession::Start(const SimOptions& options, std::string& error) {
  options_ = options;
  if (options.image.empty()) {
    image_.assign(EmbeddedFirmwareImage, EmbeddedFirmwareImage + EmbeddedFirmwareImageSize);
  } else if (!ReadWholeFile(options.image, image_)) {
    error = "option '--image': cannot read '" + options.image + "'";
    return false;
  }
  std::vector<std::uint8_t> flashIn;
  if (!options.flashIn.empty() &&
      (!ReadWholeFile(options.flashIn, flashIn) || flashIn.size() != sim::FlashSize)) {
    error = "option '--flash-in': '" + options.flashIn + "' is not a readable " +
            std::to_string(sim::FlashSize) + "-byte file";
    return false;
  }
  if (!options.flashOut.empty() && !Creatable(options.flashOut)) {
    error = "option '--flash-out': cannot create '" + options.flashOut + "'";
    return false;
  }
  if (!options.report.empty()) {
    if (!Creatable(options.report)) {
      error = "option '--report': cannot create '" + options.report + "'";
      return false;
    }
    // The report reads the run from the timeline's events, so it records even without a file.
    report_ = std::make_unique<RunReport>();
    timeline_.SetListener([report = report_.get()](std::uint64_t ms, std::string_view event) {
      report->NoteEvent(ms, event);
    });
  }
  if (!options.uiTrace.empty()) {
    uiTrace_ = std::fopen(options.uiTrace.c_str(), "wb");
    if (uiTrace_ == nullptr) {
      error = "option '--ui-trace': cannot create '" + options.uiTrace + "'";
      return false;
    }
  }

  device_ = sim::BuildOneCameraWorld(WorldFor(options));
  sim::CaptureFramework& framework = sim::CurrentFramework();
  if ((!options.timeline.empty() || report_) && !timeline_.Open(options.timeline, [] {
        return sim::CurrentFramework().clock().nowMillis();
      })) {
    error = "option '--timeline': cannot create '" + options.timeline + "'";
    return false;
  }
  if (timeline_.IsOpen()) {
    if (!options.trace.empty() &&
        (traceFile_ = std::fopen(options.trace.c_str(), "wb")) == nullptr) {
      error = "option '--trace': cannot create '" + options.trace + "'";
      return false;
    }
    traceSplitter_ = std::make_unique<RequestTraceSplitter>(timeline_, traceFile_);
    traceStream_ = std::make_unique<std::ostream>(traceSplitter_.get());
    framework.traceTo(traceStream_.get());
  } else if (!options.trace.empty() && !framework.traceToFile(options.trace)) {
    error = "option '--trace': cannot create '" + options.trace + "'";
    return false;
  }
  if (device_ != nullptr && device_->camera() != nullptr) {
    auto& contents = device_->camera()->flash().contents();
    if (!flashIn.empty()) {
      std::copy(flashIn.begin(), flashIn.end(), contents.begin());
    } else {
      const auto older = OlderFirmware(EmbeddedFirmwareImage, EmbeddedFirmwareImageSize);
      std::copy(older.begin(), older.end(), contents.begin());
    }
    sim::Faults& faults = device_->faults();
    faults.failRequest = options.failRequest;
    faults.disconnectAfter = options.disconnectAfter;
    faults.stayBusy = options.stayBusy;
    faults.corruptReadback = options.corruptReadback;
    faults.stuckBitAddress = options.stuckBitAddress;
    faults.stuckBitMask = options.stuckBitMask;
    faults.shortGetRequest = options.shortGetRequest;
    faults.shortGetBytes = options.shortGetBytes;
    faults.positiveSuccessRequest = options.positiveSuccess;
    faults.hangRequest = options.hangRequest;
    faults.hangMillis = options.hangMillis;
    faults.refuseFromRequest = options.refuseFromRequest;
    faults.refuseMillis = options.refuseMillis;
    faults.ignoreStatusWrite = options.ignoreStatusWrite;
    faults.statusBitsWrite = options.statusBitsWrite;
    faults.statusKeepsBits = options.statusKeepsBits;
    faults.statusDropsBits = options.statusDropsBits;
    faults.refuseRequest = options.refuseRequest;
    faults.refuseRequestTries = options.refuseRequestTries;
    faults.staleDataIn = options.staleDataIn;
  }
  WatchPlugEvents(device_, options.usbId, &timeline_);
  InstallDeviceTree(PlugAwareDeviceTree(sim::DeviceTreeTable()));
  CameraSource& cameras = PlugAwareSource(framework);
  framework.emulation().useSource(
      timeline_.IsOpen() ? &RecordingSource(cameras, timeline_, device_, report_.get()) : &cameras);
  CamInstallMediaCapture(sim::MediaCaptureTable());
  return true;
}

void SimSession::Sleep(std::uint32_t milliseconds) {
  sim::Clock& clock = sim::CurrentFramework().clock();
  CarryOutPlugEvents();
  if (clock.mode() == sim::ClockMode::instant) {
    clock.sleepMillis(milliseconds);
    CarryOutPlugEvents();
    return;
  }
  // A camera pulled or plugged in during a long real wait is so from that moment on, as the
  // camera's own time to enumerate again runs from then.
  constexpr std::uint64_t kSliceMicros = 10'000;
  const std::uint64_t end = clock.nowMicros() + std::uint64_t{milliseconds} * 1000;
  for (std::uint64_t now = clock.nowMicros(); now < end; now = clock.nowMicros()) {
    clock.sleepMicros(std::min(end - now, kSliceMicros));
    CarryOutPlugEvents();
  }
}

void SimSession::Finish() {
  if (finished_) {
    return;
  }
  finished_ = true;
  sim::CaptureFramework& framework = sim::CurrentFramework();
  framework.stopTrace();
  if (traceFile_ != nullptr) {
    std::fclose(traceFile_);
    traceFile_ = nullptr;
  }
  timeline_.Close();
  if (uiTrace_ != nullptr) {
    std::fclose(uiTrace_);
    uiTrace_ = nullptr;
  }
  if (!options_.flashOut.empty() && device_ != nullptr && device_->camera() != nullptr) {
    std::lock_guard lock(framework.mutex());
    std::string error;
    if (!sim::SaveFlash(device_->camera()->flash(), options_.flashOut, &error)) {
      std::fprintf(stderr, "reflash-sim: %s\n", error.c_str());
    }
  }
  WriteReport();
}

void SimSession::WriteReport() {
  if (!report_) {
    return;
  }
  sim::CaptureFramework& framework = sim::CurrentFramework();
  RunReport::End end;
  std::vector<std::uint8_t> resultLog;
  end.passed = ReadWholeFile(ResultLogName, resultLog) &&
               std::string(resultLog.begin(), resultLog.end()) == ResultPassText;
  {
    std::lock_guard lock(framework.mutex());
    end.ms = framework.clock().nowMillis();
    if (device_ != nullptr && device_->camera() != nullptr) {
      const sim::Camera& camera = *device_->camera();
      const auto& flash = camera.flash().contents();
      end.flashEqualsImage = std::equal(flash.begin(), flash.end(), image_.begin(), image_.end());
      end.flashStatus = camera.flash().status();
      end.writeProtectHigh = camera.writeProtectHigh();
    }
  }
  for (std::size_t selector = 1; selector <= end.shortAnswers.size(); ++selector) {
    end.shortAnswers[selector - 1] = shortAnswersRejected[selector];
  }
  const std::string json = report_->Json(end);
  std::FILE* file = std::fopen(options_.report.c_str(), "wb");
  if (file == nullptr || std::fwrite(json.data(), 1, json.size(), file) != json.size()) {
    std::fprintf(stderr, "reflash-sim: cannot write the report '%s'\n", options_.report.c_str());
  }
  if (file != nullptr) {
    std::fclose(file);
  }
}

}  // namespace console
