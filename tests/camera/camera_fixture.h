#pragma once
// Shared fixture: the camera layer over the simulated capture framework, with the request trace
// captured and leak checks at the end of every test.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "platform/sim/capture_framework.h"
#include "platform/sim/simulator.h"

class CameraOnSim : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  sim::CaptureFramework& Framework() { return sim::CurrentFramework(); }
  // A work station with one camera of the given chip row; returns its device.
  sim::Device& OneCamera(int chipIndex, std::uint8_t flashType = 2, std::uint8_t status = 0x00);
  sim::Device& AddCamera(const sim::CameraConfig& config, const char* usbId, int instance);
  // Enumerates and opens the first listed camera; false when either step fails.
  bool OpenFirst();
  std::u16string FirstPath();

  void StartTrace();
  // The trace lines since StartTrace (or the last TakeLines), without newlines.
  std::vector<std::string> TakeLines();
  std::uint32_t Requests() { return device_ != nullptr ? device_->requestCount() : 0; }
  sim::Camera& Chip() { return *device_->camera(); }

  sim::Device* device_ = nullptr;
  std::ostringstream trace_;
  char16_t paths_[10][256] = {};
};

// Counts the lines that begin with a prefix.
int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix);
// Formats a record line as the trace writes it, e.g. Line("SET", 1, 3, {0xF3, 0x05, 0x06, 0}).
std::string Line(const char* kind, int selector, int node, std::initializer_list<int> bytes);
