// Whole updates of every chip row with an image whose protection bytes and configuration blocks
// differ from place to place, so that a wrong offset, base, threshold or erase path shows as a
// wrong verdict, a wrong status register or a wrong WP# level just before the camera's reset.

#include <string>
#include <vector>

#include "app/run_state.h"
#include "tests/app/sim_front_end_fixture.h"

namespace apptest {
namespace {

constexpr const char* kPass = "Pass\r\nR06.00.01\r\n";
constexpr std::uint8_t kConfigPage = 0x30;  // row 18's configuration block at 0x3000
constexpr std::uint16_t kProtectOffsets[] = {0x000F, 0x8034, 0xC034};
// Every place a configuration block can be: 0x5800, 0x8000, 0xC000, page x 256 and
// 0x8000 + page x 256.
constexpr std::uint16_t kConfigBases[] = {0x5800, 0x8000, 0xC000, 0x3000, 0xB000};

// Where a row takes its protection byte and its configuration block, from the chip it names.
std::uint16_t ProtectOffsetOf(int row) {
  switch (row) {
    case 15:  // "276R" revision 1
    case 16:  // "275R" revision 1
    case 17:  // "232R" revision 1
      return 0xC034;
    case 13:  // "231R" revision 2
      return 0x000F;
    default:
      return 0x8034;
  }
}

std::uint16_t ConfigBaseOf(int row) {
  switch (row) {
    case 8:
      return 0x5800;
    case 15:
    case 16:
    case 17:
      return 0xC000;
    case 18:
      return 0x3000;
    default:
      return 0x8000;
  }
}

struct Case {
  int row;
  std::uint8_t flashType;
  // Whether the row's own configuration block asks for status-register protection; the blocks
  // in all the other places ask for the opposite.
  bool blockAsksForProtection;
  std::uint8_t infoByte = 0;
};

std::string Name(const Case& c) {
  return "row " + std::to_string(c.row) + " flash type " + std::to_string(c.flashType) +
         (c.blockAsksForProtection ? " protection asked" : " protection not asked") +
         " info byte " + std::to_string(c.infoByte);
}

// WP# on a pin that depends on the row; odd rows wire it through an inverter (protect-byte mode
// 1), even rows directly (modes 2-15).
int PinOf(int row) {
  return (row * 3 + 1) % 8;
}
std::uint8_t ModeOf(int row) {
  return row % 2 == 1 ? 1 : static_cast<std::uint8_t>(2 + row % 14);
}

std::vector<std::uint8_t> ImageFor(const Case& c) {
  std::vector<std::uint8_t> image(0x10000);
  std::uint32_t x = 0x1234567u + static_cast<std::uint32_t>(c.row);
  for (auto& byte : image) {
    x = x * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(x >> 24);
  }
  const std::uint16_t own = ProtectOffsetOf(c.row);
  const std::uint16_t base = ConfigBaseOf(c.row);
  for (std::uint16_t b : kConfigBases) {
    const bool asks = (b == base) == c.blockAsksForProtection;
    image[b + 0x03] = asks ? 0x35 : 0x34;  // 0x35 is the least that asks
    image[b + 0x34] = 0x80;
  }
  // The protection bytes carry bit 7 as well, since two of them are also a block's byte B.
  const int decoyPin = (PinOf(c.row) + 4) % 8;
  for (std::uint16_t offset : kProtectOffsets) {
    image[offset] = offset == own
                        ? static_cast<std::uint8_t>(0x80 | (PinOf(c.row) << 4) | ModeOf(c.row))
                        : static_cast<std::uint8_t>(0x80 | (decoyPin << 4) | 0x02);
  }
  return image;
}

// The flash's status register and WP# level just before the reset (or at the end, for the rows
// that are not reset), from the camera's record of protection changes.
struct Protection {
  std::uint8_t status;
  bool writeProtectHigh;
  bool reset;
};

Protection BeforeReset(const sim::Camera& camera, std::uint8_t status, bool writeProtectHigh) {
  Protection state{status, writeProtectHigh, false};
  for (const sim::ProtectionEvent& event : camera.history()) {
    if (event.kind == sim::ProtectionEvent::Kind::reset) {
      state.reset = true;
      break;
    }
    if (event.kind == sim::ProtectionEvent::Kind::status) {
      state.status = event.value;
    } else {
      state.writeProtectHigh = event.value != 0;
    }
  }
  return state;
}

// Flash types that erase with 0xC7 through the registers, and ones that take the row's own way:
// the chip's erase request (rows 0-4, 9, 10) or the registers with 0x60.
constexpr std::uint8_t kTypesOf0xC7[] = {2, 7, 8, 10, 11};
constexpr std::uint8_t kOtherTypes[] = {3, 0, 4, 5, 0xFF, 6, 9, 1, 12};

class PerChipUpdateTest : public SimFrontEndTest {
 protected:
  void Check(const Case& c) {
    SCOPED_TRACE(Name(c));
    ResetWorld();
    const std::vector<std::uint8_t> image = ImageFor(c);
    sim::CameraConfig config;
    config.chipIndex = c.row;
    config.flashType = c.flashType;
    // With info byte 2 the tool leaves the status register alone; such a flash is locked only by
    // its status-register protect bit, which keeps neither erase nor programming out.
    config.flashStatus = c.infoByte == 2 ? 0x80 : 0x8C;
    config.writeProtectPin = PinOf(c.row);
    config.writeProtectInverted = ModeOf(c.row) == 1;
    config.configPage = kConfigPage;
    config.infoByte = c.infoByte;
    sim::Device& device = AddCamera(sim::DefaultUsbId, sim::DefaultUsbId, config);
    console::HostOptions options = SimHostOptions();
    options.image = image.data();
    options.imageSize = image.size();
    RunFrontEnd(options);

    const sim::Camera& camera = *device.camera();
    EXPECT_EQ(ResultLog(), kPass);
    EXPECT_EQ(AttemptCount, 1);
    EXPECT_TRUE(Flash(device) == image);
    EXPECT_EQ(camera.refusals(), 0u);  // a clean pass asks nothing the camera does not do
    // A flash of type 3 on row 0 is written one byte per request, every other one 8 bytes.
    EXPECT_EQ(camera.flash().counters().programs, c.row == 0 && c.flashType == 3 ? 65536u : 8192u);
    EXPECT_EQ(camera.flash().counters().erases, 1u);
    // Flash types 2, 7, 8, 10 and 11 are erased through the registers on every row; the others
    // by the chip's erase request on the rows that have one.
    bool typeOf0xC7 = false;
    for (std::uint8_t t : kTypesOf0xC7) {
      typeOf0xC7 = typeOf0xC7 || t == c.flashType;
    }
    const bool rowHasEraseRequest = c.row <= 4 || c.row == 9 || c.row == 10;
    EXPECT_EQ(camera.eraseRequests(), !typeOf0xC7 && rowHasEraseRequest ? 1u : 0u);

    // Power-on: an undriven pin is low, which an inverter shows the flash as high.
    const Protection state = BeforeReset(camera, config.flashStatus, config.writeProtectInverted);
    EXPECT_EQ(state.reset, c.row > 1);  // rows 0 and 1 are never reset
    std::uint8_t expected = c.blockAsksForProtection || c.row == 13 ? 0x8C : 0x00;
    if (c.infoByte == 2) {
      expected = config.flashStatus;  // left alone both ways
    }
    EXPECT_EQ(state.status, expected);
    EXPECT_FALSE(state.writeProtectHigh);
  }
};

TEST_F(PerChipUpdateTest, EveryRowAsksForProtectionOnlyThroughItsOwnBlock) {
  for (int row = 0; row < 19; ++row) {
    Check({row, kTypesOf0xC7[row % 5], true});
  }
}

TEST_F(PerChipUpdateTest, EveryRowLeavesTheFlashUnprotectedWhenItsOwnBlockDoesNotAsk) {
  for (int row = 0; row < 19; ++row) {
    Check({row, kOtherTypes[row % 9], false});
  }
}

TEST_F(PerChipUpdateTest, OnlyFlashType3MakesRowZeroWriteOneBytePerRequest) {
  for (std::uint8_t type : {3, 4, 0x83, 0xFF}) {
    Check({0, type, true});
  }
}

TEST_F(PerChipUpdateTest, InfoByteTwoLeavesTheStatusRegisterAlone) {
  Check({18, 3, true, 2});
  Check({18, 7, false, 2});
}

}  // namespace
}  // namespace apptest
