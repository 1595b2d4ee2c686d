// One capture device whose description and every answer of its extension unit come from the
// fuzz input, driven through a whole update and a read-back.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "fuzz/capture_seam.h"

namespace {

constexpr std::uint32_t kFlashSize = 65536;

// Byte 0: framework failures; byte 1: node count (low nibble), node count fails (bit 4);
// byte 2: vendor-specific nodes; byte 3: nodes without a control interface; bytes 4-5: path
// length (9 bits), then one byte per path character. The rest answers the requests.
fuzz::CaptureWorld DescribeWorld(fuzz::Input& in) {
  fuzz::CaptureWorld world;
  const std::uint8_t framework = in.ByteOr(0);
  const std::uint8_t nodes = in.ByteOr(0);
  world.deviceEnumFails = framework & 0x01;
  world.classEnumFails = framework & 0x02;
  world.controlFails = framework & 0x80;
  world.requestCap = 3000;
  if (framework & 0x04) {
    return world;  // no capture device at all
  }
  fuzz::CaptureDevice device;
  device.bagFails = framework & 0x08;
  device.pathFails = framework & 0x10;
  device.filterFails = framework & 0x20;
  device.topologyFails = framework & 0x40;
  device.nodes = nodes & 0x0F;
  device.nodeCountFails = nodes & 0x10;
  device.vendorNodes = in.ByteOr(0);
  device.instanceFails = in.ByteOr(0);
  const std::uint8_t low = in.ByteOr(0);
  const std::size_t length = low | (in.ByteOr(0) & 1) << 8;
  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t c = 0;
    if (!in.Byte(c)) {
      break;
    }
    device.path.push_back(static_cast<char16_t>(c));
  }
  world.devices.push_back(device);
  return world;
}

// Nothing of the platform's is held, or exactly the open camera's filter and its apartment.
void RequireHeld(bool open) {
  FUZZ_REQUIRE(fuzz::HeldStrings() == 0);
  FUZZ_REQUIRE(fuzz::HeldObjects() == (open ? 1 : 0));
  FUZZ_REQUIRE(fuzz::ApartmentDepth() == (open ? 1 : 0));
  FUZZ_REQUIRE((cameraBinding.boundFilter != nullptr) == open);
}

// Enumerates and opens the first listed device; true when it is open.
bool EnumerateAndOpen() {
  char16_t paths[10][256];
  int found = -1;
  CamEnumerate(&paths[0][0], 10, 256, &found);
  FUZZ_REQUIRE(found >= 0 && found <= 1);
  RequireHeld(false);
  const int opened = CamOpen(paths[0], 256);
  FUZZ_REQUIRE(opened == 0 || opened == 2);
  RequireHeld(opened == 2);
  return opened == 2;
}

// A call on a closed slot sends nothing.
template <typename Step>
void OnClosedSlot(Step step) {
  const std::uint32_t before = fuzz::RequestsSent();
  step();
  FUZZ_REQUIRE(fuzz::RequestsSent() == before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::uint8_t* const image = new std::uint8_t[kFlashSize];
  fuzz::Input in(data, size);
  fuzz::CaptureWorld world = DescribeWorld(in);
  world.answers = &in;
  CamResetState();
  fuzz::StartCaptureWorld(std::move(world));

  const bool open = EnumerateAndOpen();
  auto update = [] {
    std::uint8_t romId[8] = {};
    std::uint16_t gpio = 0xFFFF;
    std::uint8_t protect = 0;
    CamReadRomId(romId);
    CamSetFlashProtect(0, gpio, protect);
    CamEraseFlash();
    CamTransfer(6, 0, image, kFlashSize);
    CamSetFlashProtect(1, gpio, protect);
    CamResetDevice();
  };
  if (open) {
    update();
    RequireHeld(true);
  } else {
    OnClosedSlot(update);
  }
  CamClose();
  RequireHeld(false);

  if (EnumerateAndOpen()) {
    CamTransfer(7, 0, image, kFlashSize);
  } else {
    OnClosedSlot([] { CamTransfer(7, 0, image, kFlashSize); });
  }
  CamClose();
  RequireHeld(false);
  return 0;
}
