#pragma once
// The simulated camera and device tree the Wine fixtures serve, chosen by scenario name.

#include <string_view>

#include <windows.h>

#include "seams/device_tree.h"

namespace sim {
class CaptureFramework;
}

// The test camera's COM class, registered in the Wine prefix by tests/win32/wine_test.sh.
// {5B1F3C2A-7D4E-4F61-9A2B-3C4D5E6F7081}
inline constexpr GUID TestCameraClsid{
    0x5B1F3C2A, 0x7D4E, 0x4F61, {0x9A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x81}};

// Adds the capture device of a camera scenario: "normal" (the product's camera, flash protected
// and holding older firmware), "erase-fail" (its serial-flash requests stall, so the erase
// fails) or "no-xu-node" (no vendor-specific node in its topology). False for another name.
bool AddScenarioDevice(sim::CaptureFramework& framework, std::string_view scenario);

// The device tree of a scenario: "camera" (the camera among other devices) or "none" (the same
// machine without it). Made once; null for another name.
const DeviceTreeOps* ScenarioDeviceTree(std::string_view tree);
