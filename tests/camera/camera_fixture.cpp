#include "tests/camera/camera_fixture.h"

#include <cstdio>
#include <cstring>

#include "seams/media_capture.h"

void CameraOnSim::SetUp() {
  CamResetState();
  sim::ResetSimulator();
  CamInstallMediaCapture(sim::MediaCaptureTable());
}

void CameraOnSim::TearDown() {
  CamClose(0);
  // Whatever a test did, the layer must have given back every platform object it obtained.
  EXPECT_EQ(cameraBinding.boundFilter, nullptr);
  EXPECT_EQ(Framework().liveReferences(), 0);
  EXPECT_EQ(Framework().liveStrings(), 0);
  EXPECT_EQ(Framework().overReleases(), 0u);
  EXPECT_EQ(Framework().apartmentBalance(), 0);
  Framework().stopTrace();
  sim::ResetSimulator();
  CamResetState();
}

sim::Device& CameraOnSim::OneCamera(int chipIndex, std::uint8_t flashType, std::uint8_t status) {
  sim::WorldOptions options;
  options.camera.chipIndex = chipIndex;
  options.camera.flashType = flashType;
  options.camera.flashStatus = status;
  device_ = sim::BuildOneCameraWorld(options);
  return *device_;
}

sim::Device& CameraOnSim::AddCamera(const sim::CameraConfig& config, const char* usbId,
                                    int instance) {
  sim::Device& device = Framework().addDevice(sim::CameraDevice(config, usbId, instance));
  if (device_ == nullptr) {
    device_ = &device;
  }
  return device;
}

bool CameraOnSim::OpenFirst() {
  int found = 0;
  if (!CamEnumerate(&paths_[0][0], 10, 256, &found) || found < 1) {
    return false;
  }
  return CamOpen(paths_[0], 256) == 2;
}

std::u16string CameraOnSim::FirstPath() {
  return std::u16string(paths_[0]);
}

void CameraOnSim::StartTrace() {
  trace_.str("");
  Framework().traceTo(&trace_);
}

std::vector<std::string> CameraOnSim::TakeLines() {
  std::vector<std::string> lines;
  std::istringstream in(trace_.str());
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  trace_.str("");
  return lines;
}

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const std::string& line : lines) {
    n += line.rfind(prefix, 0) == 0 ? 1 : 0;
  }
  return n;
}

std::string Line(const char* kind, int selector, int node, std::initializer_list<int> bytes) {
  std::string line =
      std::string(kind) + " " + std::to_string(selector) + " " + std::to_string(node);
  for (int b : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", b & 0xFF);
    line += hex;
  }
  return line;
}
