// The VideoControl unit list read from a configuration's raw descriptors.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/linux/uvc_descriptors.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

std::string HexOf(const std::uint8_t* bytes, std::size_t n) {
  std::string text;
  char pair[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

// "id:subtype" for a unit, with ":guid:controls:size:bitmap" for an extension unit.
std::vector<std::string> Describe(const Bytes& bytes, std::uint8_t interfaceNumber) {
  std::vector<std::string> out;
  for (const auto& unit : linuxplat::ParseUvcUnits(bytes.data(), bytes.size(), interfaceNumber)) {
    // Appended piece by piece: GCC 12 at -O3 warns (falsely) about chains of string `+`.
    std::string text = std::to_string(unit.unitId);
    text.append(":").append(HexOf(&unit.subtype, 1));
    if (unit.subtype == 0x06) {
      text.append(":").append(HexOf(unit.guid.data(), 16));
      text.append(":").append(std::to_string(unit.numControls));
      text.append(":").append(std::to_string(unit.controlSize));
      text.append(":").append(HexOf(unit.controls.data(), unit.controls.size()));
    }
    out.push_back(text);
  }
  return out;
}

const Bytes kDevice{0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0x3A,
                    0x1F, 0x72, 0x5C, 0x00, 0x01, 0x01, 0x02, 0x00, 0x01};
const Bytes kConfig{0x09, 0x02, 0xE4, 0x00, 0x03, 0x01, 0x00, 0x80, 0xFA};
const Bytes kAssociation{0x08, 0x0B, 0x00, 0x02, 0x0E, 0x03, 0x00, 0x02};
const Bytes kVcInterface{0x09, 0x04, 0x00, 0x00, 0x01, 0x0E, 0x01, 0x00, 0x02};
const Bytes kVcHeader{0x0D, 0x24, 0x01, 0x00, 0x01, 0x4D, 0x00, 0x80, 0xC3, 0xC9, 0x01, 0x01, 0x01};
const Bytes kCameraTerminal{0x12, 0x24, 0x02, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x0E, 0x00, 0x00};
const Bytes kProcessingUnit{0x0B, 0x24, 0x05, 0x02, 0x01, 0x00, 0x00, 0x02, 0x7F, 0x15, 0x00};
// The camera's unit: id 3, five controls, one control byte.
const Bytes kCameraXu{0x1A, 0x24, 0x06, 0x03, 0x70, 0x33, 0xF0, 0x28, 0x11, 0x63, 0x2E, 0x4A, 0xBA,
                      0x2C, 0x68, 0x90, 0xEB, 0x33, 0x40, 0x16, 0x05, 0x01, 0x02, 0x01, 0x1F, 0x00};
// Another vendor unit: id 4, two source pins, two control bytes.
const Bytes kOtherXu{0x1C, 0x24, 0x06, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                     0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
                     0x08, 0x02, 0x03, 0x02, 0x02, 0xFF, 0x00, 0x00};
const Bytes kOutputTerminal{0x09, 0x24, 0x03, 0x05, 0x01, 0x01, 0x00, 0x04, 0x00};
const Bytes kInterruptEndpoint{0x07, 0x05, 0x83, 0x03, 0x10, 0x00,
                               0x06, 0x05, 0x25, 0x03, 0x10, 0x00};
// Streaming: a format (subtype 4) and a frame (subtype 5) that must not read as units.
const Bytes kVsInterface{0x09, 0x04, 0x01, 0x00, 0x00, 0x0E, 0x02, 0x00, 0x00};
const Bytes kVsFormat{0x1B, 0x24, 0x04, 0x01, 0x01, 0x59, 0x55, 0x59, 0x32,
                      0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00,
                      0x38, 0x9B, 0x71, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00};
const Bytes kVsFrame{0x0E, 0x24, 0x05, 0x01, 0x00, 0x80, 0x02,
                     0xE0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
// Sound control with a mixer-like unit (subtype 4) of its own.
const Bytes kAudioInterface{0x09, 0x04, 0x02, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00};
const Bytes kAudioUnit{0x07, 0x24, 0x04, 0x07, 0x01, 0x01, 0x00};

const std::string kCameraXuText = "3:06:7033f02811632e4aba2c6890eb334016:5:1:1f";
const std::string kOtherXuText = "4:06:000102030405060708090a0b0c0d0e0f:8:2:ff00";

Bytes Configuration() {
  return Join({kDevice, kConfig, kAssociation, kVcInterface, kVcHeader, kCameraTerminal,
               kProcessingUnit, kCameraXu, kOtherXu, kOutputTerminal, kInterruptEndpoint,
               kVsInterface, kVsFormat, kVsFrame, kAudioInterface, kAudioUnit});
}

TEST(UvcDescriptorsTest, ListsTheVideoControlUnitsInDescriptorOrder) {
  const Bytes bytes = Configuration();
  EXPECT_EQ(Describe(bytes, 0), (std::vector<std::string>{"2:05", kCameraXuText, kOtherXuText}));
  EXPECT_TRUE(Describe(bytes, 1).empty()) << "streaming interface";
  EXPECT_TRUE(Describe(bytes, 2).empty()) << "sound interface";
  EXPECT_TRUE(Describe(bytes, 5).empty()) << "no such interface";
}

TEST(UvcDescriptorsTest, MalformedInputKeepsTheUnitsBeforeIt) {
  const Bytes head = Join({kDevice, kConfig, kVcInterface, kVcHeader, kProcessingUnit});
  Bytes cutXu(kCameraXu.begin(), kCameraXu.begin() + 12);
  Bytes wideControls = kCameraXu;
  wideControls[23] = 0x03;  // three control bytes where two remain
  Bytes manyPins = kCameraXu;
  manyPins[21] = 0xFF;
  Bytes shortXu = kCameraXu;
  shortXu[0] = 0x16;  // ends before bControlSize
  struct Case {
    const char* name;
    Bytes bytes;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"zero length", Join({head, {0x00, 0x24, 0x06, 0x09}, kCameraXu}), {"2:05"}},
      {"length one", Join({head, {0x01, 0x24}, kCameraXu}), {"2:05"}},
      {"descriptor cut by the end", Join({head, cutXu}), {"2:05"}},
      {"control size past the descriptor", Join({head, wideControls, kOtherXu}), {"2:05"}},
      {"source pins past the descriptor", Join({head, manyPins, kOtherXu}), {"2:05"}},
      {"unit ends before its control size", Join({head, shortXu, kOtherXu}), {"2:05"}},
      {"unit too short for its id", Join({head, {0x03, 0x24, 0x05}, kOtherXu}), {"2:05"}},
      {"unknown subtype skipped",
       Join({head, {0x05, 0x24, 0x0F, 0x09, 0x00}, kCameraXu}),
       {"2:05", kCameraXuText}},
      {"header alone", Join({kDevice, kConfig, kVcInterface, kVcHeader}), {}},
      {"empty", {}, {}},
      {"one byte", {0x12}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Describe(c.bytes, 0), c.expected) << c.name;
  }
  EXPECT_TRUE(linuxplat::ParseUvcUnits(nullptr, 40, 0).empty());
}

}  // namespace
