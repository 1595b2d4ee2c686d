// reflash-sim's options and the camera it builds from them.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/sim_program/sim_options.h"
#include "platform/sim_program/sim_session.h"
#include "resources/embedded_image.h"

namespace {

bool Parse(std::vector<const char*> args, console::SimOptions& options, std::string& error) {
  args.insert(args.begin(), "reflash-sim");
  return console::ParseSimOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(SimOptionsTest, EveryOptionLandsInItsField) {
  console::SimOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--chip",
                     "15",
                     "--revision",
                     "2",
                     "--flash-type",
                     "3",
                     "--info-byte",
                     "2",
                     "--config-page",
                     "0x58",
                     "--usb-id",
                     "vid_0c45&pid_6320",
                     "--no-camera",
                     "--no-xu-node",
                     "--fail-request",
                     "7",
                     "--disconnect-after",
                     "900",
                     "--stay-busy",
                     "--corrupt-readback",
                     "0xFFFF",
                     "--image",
                     "i.bin",
                     "--flash-in",
                     "in.bin",
                     "--instant",
                     "--trace",
                     "t.txt",
                     "--ui-trace",
                     "u.txt",
                     "--flash-out",
                     "out.bin",
                     "--timeline",
                     "tl.txt",
                     "--stuck-bit",
                     "0xFFFF:0x80",
                     "--short-get",
                     "9:0",
                     "--positive-success",
                     "4",
                     "--hang-request",
                     "12:5000",
                     "--refuse-requests",
                     "300:900",
                     "--ignore-status-write",
                     "2",
                     "--status-drops-bits",
                     "2:0x04",
                     "--refuse-request",
                     "0x2736:2",
                     "--stale-data-in",
                     "--report",
                     "r.json"},
                    o, error))
      << error;
  EXPECT_EQ(o.chip, 15);
  EXPECT_EQ(o.revision, 2);
  EXPECT_EQ(o.flashType, 3);
  EXPECT_EQ(o.infoByte, 2);
  EXPECT_EQ(o.configPage, 0x58);
  EXPECT_EQ(o.usbId, "vid_0c45&pid_6320");
  EXPECT_TRUE(o.noCamera && o.noXuNode && o.stayBusy && o.instant);
  EXPECT_EQ(o.failRequest, 7u);
  EXPECT_EQ(o.disconnectAfter, 900u);
  EXPECT_EQ(o.corruptReadback, 0xFFFF);
  EXPECT_EQ(o.image, "i.bin");
  EXPECT_EQ(o.flashIn, "in.bin");
  EXPECT_EQ(o.trace, "t.txt");
  EXPECT_EQ(o.uiTrace, "u.txt");
  EXPECT_EQ(o.flashOut, "out.bin");
  EXPECT_EQ(o.timeline, "tl.txt");
  EXPECT_EQ(o.stuckBitAddress, 0xFFFF);
  EXPECT_EQ(o.stuckBitMask, 0x80);
  EXPECT_EQ(o.shortGetRequest, 9u);
  EXPECT_EQ(o.shortGetBytes, 0u);
  EXPECT_EQ(o.positiveSuccess, 4u);
  EXPECT_EQ(o.hangRequest, 12u);
  EXPECT_EQ(o.hangMillis, 5000u);
  EXPECT_EQ(o.refuseFromRequest, 300u);
  EXPECT_EQ(o.refuseMillis, 900u);
  EXPECT_EQ(o.ignoreStatusWrite, 2u);
  EXPECT_EQ(o.statusBitsWrite, 2u);
  EXPECT_EQ(o.statusDropsBits, 0x04);
  EXPECT_EQ(o.statusKeepsBits, 0);
  EXPECT_EQ(o.refuseRequest, 10038u);
  EXPECT_EQ(o.refuseRequestTries, 2u);
  EXPECT_TRUE(o.staleDataIn);
  EXPECT_EQ(o.report, "r.json");
}

TEST(SimOptionsTest, DefaultsAreOneCameraWithThePrimaryId) {
  console::SimOptions o;
  std::string error;
  ASSERT_TRUE(Parse({}, o, error));
  EXPECT_EQ(o.usbId, "vid_1f3a&pid_5c72");
  EXPECT_FALSE(o.noCamera || o.instant || o.chip.has_value());
  EXPECT_EQ(o.corruptReadback, -1);
}

TEST(SimOptionsTest, ValuesOutsideTheirRangeAreRefusedByName) {
  for (const auto& [name, value] :
       std::vector<std::pair<const char*, const char*>>{{"--chip", "19"},
                                                        {"--revision", "256"},
                                                        {"--corrupt-readback", "0x10000"},
                                                        {"--fail-request", "0"},
                                                        {"--disconnect-after", "-1"},
                                                        {"--flash-type", "3x"},
                                                        {"--stuck-bit", "0x10000:1"},
                                                        {"--stuck-bit", "5:0"},
                                                        {"--stuck-bit", "5"},
                                                        {"--short-get", "0:4"},
                                                        {"--short-get", "3:256"},
                                                        {"--short-get", "3:4:5"},
                                                        {"--positive-success", "0"},
                                                        {"--hang-request", "3:"},
                                                        {"--hang-request", ":100"},
                                                        {"--hang-request", "3:-1"},
                                                        {"--refuse-requests", "0:900"},
                                                        {"--refuse-requests", "5:0"},
                                                        {"--ignore-status-write", "0"},
                                                        {"--status-keeps-bits", "2:0x100"},
                                                        {"--refuse-request", "9:0"}}) {
    console::SimOptions o;
    std::string error;
    EXPECT_FALSE(Parse({name, value}, o, error)) << name;
    EXPECT_NE(error.find(name), std::string::npos) << error;
  }
}

TEST(OlderFirmwareTest, KeepsTheConfigurationBlocksAndDiffersElsewhere) {
  const auto older = console::OlderFirmware(EmbeddedFirmwareImage, EmbeddedFirmwareImageSize);
  ASSERT_EQ(older.size(), EmbeddedFirmwareImageSize);
  for (const std::size_t base : {0x5800u, 0x8000u, 0xC000u}) {
    EXPECT_TRUE(
        std::equal(older.begin() + base, older.begin() + base + 0x40, EmbeddedFirmwareImage + base))
        << base;
  }
  EXPECT_NE(older[0x1000], EmbeddedFirmwareImage[0x1000]);
  EXPECT_NE(older[0xFFFF], EmbeddedFirmwareImage[0xFFFF]);
}

}  // namespace
