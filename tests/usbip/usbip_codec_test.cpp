// The wire form of USB/IP headers: big-endian words, the setup packet as the bus carries it.

#include "testrig/usbip/usbip_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testrig/usbip/usbip_options.h"

namespace {

TEST(UsbipCodec, SubmitHeaderIsBigEndianWithSetupAsIs) {
  const std::uint8_t wire[48] = {
      0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x01, 0x00, 0x02,  // submit, seq, devid
      0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,                          // in, ep 0
      0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00,  // flags, length
      0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00,                          // packets, interval
      0xA1, 0x81, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00};                         // setup
  const usbip::Command command = usbip::DecodeCommand(wire);
  EXPECT_EQ(command.command, 1u);
  EXPECT_EQ(command.seqnum, 0x102u);
  EXPECT_EQ(command.devid, 65538u);
  EXPECT_EQ(command.direction, 1u);
  EXPECT_EQ(command.ep, 0u);
  EXPECT_EQ(command.transferFlags, 0x200u);
  EXPECT_EQ(command.transferBufferLength, 4);
  EXPECT_EQ(command.numberOfPackets, -1);
  EXPECT_EQ(command.setup[0], 0xA1);
  EXPECT_EQ(command.setup[5], 0x02);
  EXPECT_EQ(command.setup[6], 0x04);

  std::uint8_t again[48];
  usbip::EncodeCommand(command, again);
  EXPECT_EQ(std::vector<std::uint8_t>(again, again + 48),
            std::vector<std::uint8_t>(wire, wire + 48));
}

TEST(UsbipCodec, UnlinkNamesTheSubmitInItsFirstBodyWord) {
  std::uint8_t wire[48] = {0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x09};
  wire[20 + 3] = 0x07;
  const usbip::Command command = usbip::DecodeCommand(wire);
  EXPECT_EQ(command.command, 2u);
  EXPECT_EQ(command.seqnum, 9u);
  EXPECT_EQ(command.unlinkSeqnum, 7u);
}

TEST(UsbipCodec, RepliesCarryStatusAndLengthBigEndian) {
  std::uint8_t wire[48];
  usbip::EncodeReply({3, 0x0A0B0C0D, -32, 0x0102, 0}, wire);
  const std::vector<std::uint8_t> head(wire, wire + 28);
  EXPECT_EQ(head, (std::vector<std::uint8_t>{0,    0,    0,    3,    0x0A, 0x0B, 0x0C, 0x0D, 0, 0,
                                             0,    0,    0,    0,    0,    0,    0,    0,    0, 0,
                                             0xFF, 0xFF, 0xFF, 0xE0, 0,    0,    0x01, 0x02}));
  usbip::EncodeReply({4, 5, -104, 0, 0}, wire);
  EXPECT_EQ(std::vector<std::uint8_t>(wire + 20, wire + 24),
            (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0x98}));
  const usbip::Reply back = usbip::DecodeReply(wire);
  EXPECT_EQ(back.command, 4u);
  EXPECT_EQ(back.seqnum, 5u);
  EXPECT_EQ(back.status, -104);
}

TEST(UsbipOptions, ValuesAndRefusals) {
  struct Case {
    std::vector<const char*> args;
    bool ok;
  };
  const Case cases[] = {
      {{"x", "--fail-register-write", "0x1080:0"}, true},
      {{"x", "--fail-register-write", "4224:0x00"}, true},
      {{"x", "--fail-register-write", "0x1080"}, false},
      {{"x", "--fail-register-write", "0x10000:0"}, false},
      {{"x", "--fail-register-write", "0x1080:256"}, false},
      {{"x", "--chip", "19"}, false},
      {{"x", "--chip"}, false},
      {{"x", "--pull-after", "-1"}, false},
      {{"x", "--bogus"}, false},
  };
  for (const Case& c : cases) {
    usbip::CameraOptions options;
    std::string error;
    EXPECT_EQ(
        usbip::ParseCameraOptions(static_cast<int>(c.args.size()), c.args.data(), options, error),
        c.ok)
        << c.args[1];
    if (c.ok) {
      ASSERT_TRUE(options.faults.failRegisterAddress.has_value());
      EXPECT_EQ(*options.faults.failRegisterAddress, 0x1080);
      EXPECT_EQ(options.faults.failRegisterValue, 0);
    }
  }
  usbip::CameraOptions options;
  std::string error;
  const char* args[] = {"x", "--chip", "3", "--pull-after", "7", "--replug-after-ms", "500"};
  ASSERT_TRUE(usbip::ParseCameraOptions(7, args, options, error));
  EXPECT_EQ(options.chip, 3);
  EXPECT_EQ(options.faults.pullAfter, 7u);
  EXPECT_EQ(options.replugAfterMs, 500u);
  EXPECT_FALSE(options.foreign);
  EXPECT_EQ(static_cast<int>(options.faults.failCode), 0xFF);
}

TEST(UsbipOptions, FailureCauseAndForeignCamera) {
  struct Case {
    const char* kind;
    bool ok;
    int code;  // what the request error code control says, as the video class numbers it
  };
  const Case cases[] = {
      {"busy", true, 0x01}, {"out-of-range", true, 0x04}, {"stall", true, 0xFF}, {"Busy", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    usbip::CameraOptions options;
    std::string error;
    const char* args[] = {"x", "--foreign", "--fail-as", c.kind};
    EXPECT_EQ(usbip::ParseCameraOptions(4, args, options, error), c.ok) << c.kind;
    if (c.ok) {
      EXPECT_EQ(static_cast<int>(options.faults.failCode), c.code) << c.kind;
      EXPECT_TRUE(options.foreign);
    } else {
      EXPECT_EQ(error, "bad value for --fail-as");
    }
  }
}

}  // namespace
