// The simulated camera as a USB device, fed USB/IP submits in-process as the virtual host
// controller sends them.

#include "testrig/usbip/usb_camera_device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/clock.h"
#include "platform/sim/faults.h"
#include "platform/sim/sim_camera.h"
#include "testrig/usbip/usbip_codec.h"
#include "testrig/usbip/usbip_session.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Answer {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::int32_t status = 0;
  Bytes data;
};

class UsbCameraTest : public ::testing::Test {
 protected:
  void start(const usbip::DeviceFaults& faults = {},
             const usbip::DeviceIdentity& identity = usbip::CameraIdentity()) {
    device_ = std::make_unique<usbip::UsbCameraDevice>(camera_, faults, identity);
    session_ = std::make_unique<usbip::Session>(*device_);
  }

  // The bytes of one submit: IN when the request type has bit 7, else OUT with `data`.
  Bytes submitBytes(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                    std::uint16_t index, std::uint16_t length, const Bytes& data = {},
                    std::uint32_t ep = 0) {
    usbip::Command command;
    command.command = 1;
    command.seqnum = ++seqnum_;
    command.devid = 65538;
    command.direction = (type & 0x80) != 0 ? 1 : 0;
    command.ep = ep;
    command.transferBufferLength = length;
    const std::uint8_t setup[8] = {type,
                                   request,
                                   static_cast<std::uint8_t>(value),
                                   static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(index),
                                   static_cast<std::uint8_t>(index >> 8),
                                   static_cast<std::uint8_t>(length),
                                   static_cast<std::uint8_t>(length >> 8)};
    std::copy(setup, setup + 8, command.setup);
    Bytes bytes(48);
    usbip::EncodeCommand(command, bytes.data());
    if (command.direction == 0) {
      bytes.insert(bytes.end(), data.begin(), data.end());
    }
    return bytes;
  }

  std::vector<Answer> feed(const Bytes& bytes) {
    Bytes out;
    EXPECT_TRUE(session_->feed(bytes.data(), bytes.size(), out));
    std::vector<Answer> answers;
    std::size_t at = 0;
    while (at + 48 <= out.size()) {
      const usbip::Reply reply = usbip::DecodeReply(out.data() + at);
      Answer answer{reply.command, reply.seqnum, reply.status, {}};
      at += 48;
      // IN data follows a submit's reply; the tests send OUT submits with no IN data.
      if (reply.command == 3 && last_in_) {
        answer.data.assign(out.begin() + static_cast<std::ptrdiff_t>(at),
                           out.begin() + static_cast<std::ptrdiff_t>(at + reply.actualLength));
        at += static_cast<std::size_t>(reply.actualLength);
      }
      answers.push_back(answer);
    }
    EXPECT_EQ(at, out.size());
    return answers;
  }

  Answer request(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                 std::uint16_t length, const Bytes& data = {}) {
    last_in_ = (type & 0x80) != 0;
    const std::vector<Answer> answers =
        feed(submitBytes(type, request, value, index, length, data));
    EXPECT_EQ(answers.size(), 1u);
    return answers.empty() ? Answer{} : answers[0];
  }

  // Extension unit 2 on interface 0.
  Answer unitSet(std::uint8_t selector, const Bytes& record) {
    return request(0x21, 0x01, static_cast<std::uint16_t>(selector << 8), 0x0200,
                   static_cast<std::uint16_t>(record.size()), record);
  }
  Answer unitGet(std::uint8_t selector, std::uint16_t length, std::uint8_t query = 0x81) {
    return request(0xA1, query, static_cast<std::uint16_t>(selector << 8), 0x0200, length);
  }
  Bytes configuration() { return request(0x80, 0x06, 0x0200, 0, 0xFFFF).data; }
  // The request error code control of the VideoControl interface: why the last request stalled.
  Bytes errorCode() { return request(0xA1, 0x81, 0x0200, 0x0000, 1).data; }

  sim::Clock clock_{sim::ClockMode::instant};
  sim::Faults simFaults_{};
  sim::Camera camera_{sim::CameraConfig{}, clock_, simFaults_};
  std::unique_ptr<usbip::UsbCameraDevice> device_;
  std::unique_ptr<usbip::Session> session_;
  std::uint32_t seqnum_ = 0;
  bool last_in_ = false;
};

TEST_F(UsbCameraTest, DeviceDescriptorNamesTheCameraAndHonoursLength) {
  start();
  const Answer full = request(0x80, 0x06, 0x0100, 0, 64);
  EXPECT_EQ(full.status, 0);
  EXPECT_EQ(full.data, (Bytes{0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0x3A, 0x1F, 0x72,
                              0x5C, 0x00, 0x01, 0x01, 0x02, 0x00, 0x01}));
  EXPECT_EQ(request(0x80, 0x06, 0x0100, 0, 8).data.size(), 8u);
  EXPECT_EQ(request(0x80, 0x06, 0x0300, 0, 255).data, (Bytes{4, 3, 0x09, 0x04}));
  EXPECT_EQ(request(0x80, 0x06, 0x0600, 0, 10).status, -32);  // no other speed
}

TEST_F(UsbCameraTest, TheSerialNumberAndRevisionAreTheUnitsOwn) {
  start();
  device_->setUnit({0x0601, "RFQ-7"});
  const Answer device = request(0x80, 0x06, 0x0100, 0, 64);
  ASSERT_EQ(device.data.size(), 18u);
  EXPECT_EQ(device.data[12], 0x01);  // bcdDevice 06.01, low byte first
  EXPECT_EQ(device.data[13], 0x06);
  ASSERT_NE(device.data[16], 0);  // iSerialNumber
  EXPECT_EQ(
      request(0x80, 0x06, static_cast<std::uint16_t>(0x0300 | device.data[16]), 0x0409, 255).data,
      (Bytes{12, 3, 'R', 0, 'F', 0, 'Q', 0, '-', 0, '7', 0}));
  device_->setUnit({0x0500, ""});  // none: index 0, as a camera without one reports
  EXPECT_EQ(request(0x80, 0x06, 0x0100, 0, 64).data[16], 0);
}

TEST_F(UsbCameraTest, ConfigurationWalksCleanlyWithItsTotals) {
  start();
  const Bytes head = request(0x80, 0x06, 0x0200, 0, 9).data;
  ASSERT_EQ(head.size(), 9u);
  const Bytes config = configuration();
  ASSERT_EQ(config.size(), std::size_t(head[2] | head[3] << 8));
  EXPECT_EQ(config[4], 2);  // two interfaces

  // Walk: every descriptor's length lands exactly on the end; class-specific totals add up.
  std::size_t at = 0;
  int interface = -1;
  std::size_t vcTotal = 0, vcSum = 0, vsTotal = 0, vsSum = 0;
  Bytes unit, iad, endpoint;
  while (at < config.size()) {
    const std::uint8_t length = config[at];
    ASSERT_GE(length, 2);
    ASSERT_LE(at + length, config.size());
    const Bytes d(config.begin() + static_cast<std::ptrdiff_t>(at),
                  config.begin() + static_cast<std::ptrdiff_t>(at + length));
    if (d[1] == 0x04) {
      interface = d[2];
      EXPECT_EQ(d[5], 0x0E);
      EXPECT_EQ(d[6], interface == 0 ? 0x01 : 0x02);
    } else if (d[1] == 0x0B) {
      iad = d;
    } else if (d[1] == 0x05) {
      endpoint = d;
    } else if (d[1] == 0x24) {
      (interface == 0 ? vcSum : vsSum) += length;
      if (interface == 0 && d[2] == 0x01) {
        vcTotal = d[5] | d[6] << 8;
        EXPECT_EQ(d[3] | d[4] << 8, 0x0100);
      }
      if (interface == 1 && d[2] == 0x01) {
        vsTotal = d[4] | d[5] << 8;
      }
      if (interface == 0 && d[2] == 0x06) {
        unit = d;
      }
    }
    at += length;
  }
  EXPECT_EQ(at, config.size());
  EXPECT_EQ(vcTotal, vcSum);
  EXPECT_EQ(vsTotal, vsSum);
  EXPECT_EQ(Bytes(iad.begin(), iad.begin() + 6), (Bytes{8, 0x0B, 0, 2, 0x0E, 0x03}));
  EXPECT_EQ(Bytes(endpoint.begin(), endpoint.begin() + 4), (Bytes{7, 0x05, 0x81, 0x02}));
  ASSERT_EQ(unit.size(), 26u);
  EXPECT_EQ(Bytes(unit.begin() + 4, unit.begin() + 20),
            (Bytes{0x70, 0x33, 0xF0, 0x28, 0x11, 0x63, 0x2E, 0x4A, 0xBA, 0x2C, 0x68, 0x90, 0xEB,
                   0x33, 0x40, 0x16}));
  EXPECT_EQ(unit[3], 2);   // the unit id the class requests address
  EXPECT_EQ(unit[20], 5);  // controls
  EXPECT_EQ(unit[23], 1);  // control size
  EXPECT_EQ(unit[24], 0x1F);
}

TEST_F(UsbCameraTest, UnitReportsLengthAndInfoOfEachSelector) {
  start();
  const std::uint8_t lengths[6] = {0, 4, 8, 12, 12, 12};
  for (std::uint8_t selector = 1; selector <= 5; ++selector) {
    EXPECT_EQ(unitGet(selector, 2, 0x85).data, (Bytes{lengths[selector], 0})) << int(selector);
    EXPECT_EQ(unitGet(selector, 1, 0x86).data, Bytes{0x03}) << int(selector);
  }
  EXPECT_EQ(unitGet(6, 2, 0x85).status, -32);
  EXPECT_EQ(device_->unitRequests(), 0u);  // probing does not count as requests
}

TEST_F(UsbCameraTest, RegisterWriteThenReadRoundTripsAndIsTraced) {
  std::FILE* trace = std::tmpfile();
  ASSERT_NE(trace, nullptr);
  start();
  device_->setTrace(trace);
  EXPECT_EQ(unitSet(1, {0xF3, 0x05, 0x06, 0x00}).status, 0);
  EXPECT_EQ(unitSet(1, {0xF3, 0x05, 0x00, 0xFF}).status, 0);
  const Answer read = unitGet(1, 4);
  EXPECT_EQ(read.status, 0);
  ASSERT_EQ(read.data.size(), 4u);
  EXPECT_EQ(read.data[2], 0x06);
  EXPECT_EQ(camera_.readRegister(0x05F3), 0x06);

  std::rewind(trace);
  char text[256] = {};
  const std::size_t size = std::fread(text, 1, sizeof text - 1, trace);
  std::fclose(trace);
  EXPECT_EQ(std::string(text, size),
            "SET 1 2 F3 05 06 00\nSET 1 2 F3 05 00 FF\nGET 1 2 00 00 06 00\n");
}

TEST_F(UsbCameraTest, WrongLengthsAndUnknownRequestsStall) {
  start();
  EXPECT_EQ(unitGet(1, 3).status, -32);
  EXPECT_EQ(unitSet(1, {0xF3, 0x05, 0x06}).status, -32);
  EXPECT_EQ(unitSet(3, Bytes(8, 0)).status, -32);
  EXPECT_EQ(unitGet(5, 12, 0x82).status, -32);                    // no minimum
  EXPECT_EQ(request(0xA1, 0x81, 0x0200, 0x0100, 4).status, -32);  // the terminal has nothing
  EXPECT_EQ(request(0xC0, 0x01, 0, 0, 4).status, -32);            // vendor request
  EXPECT_EQ(device_->unitRequests(), 0u);
}

TEST_F(UsbCameraTest, FaultsStallTheChosenRequests) {
  usbip::DeviceFaults faults;
  faults.failRequest = 3;
  faults.failRegisterAddress = 0x1080;
  faults.failRegisterValue = 0;
  start(faults);
  EXPECT_EQ(unitSet(1, {0x80, 0x10, 0x01, 0x00}).status, 0);
  EXPECT_EQ(unitSet(1, {0x80, 0x10, 0x00, 0x00}).status, -32);  // the write that fails
  EXPECT_EQ(camera_.readRegister(0x1080), 0x01);                // and was not made
  EXPECT_EQ(unitSet(1, {0xF3, 0x05, 0x06, 0x00}).status, -32);  // third request
  EXPECT_NE(camera_.readRegister(0x05F3), 0x06);
  EXPECT_EQ(unitSet(1, {0xF3, 0x05, 0x06, 0x00}).status, 0);
  EXPECT_EQ(unitSet(1, {0x80, 0x10, 0x00, 0xFF}).status, 0);    // a read of it is fine
  EXPECT_EQ(unitSet(1, {0x80, 0x10, 0x00, 0x00}).status, -32);  // every time
}

TEST_F(UsbCameraTest, PulledAfterNRequestsAnswersNothingMore) {
  usbip::DeviceFaults faults;
  faults.pullAfter = 2;
  start(faults);
  EXPECT_EQ(unitSet(1, {0xF3, 0x05, 0x06, 0x00}).status, 0);
  EXPECT_EQ(session_->left(), usbip::Leave::none);
  // The second request and a third behind it in the same read: only the second is answered.
  Bytes both = submitBytes(0x21, 0x01, 0x0100, 0x0200, 4, {0xF3, 0x05, 0x00, 0xFF});
  const Bytes third = submitBytes(0x21, 0x01, 0x0100, 0x0200, 4, {0xF5, 0x05, 0x02, 0x00});
  both.insert(both.end(), third.begin(), third.end());
  last_in_ = false;
  const std::vector<Answer> answers = feed(both);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].status, 0);
  EXPECT_EQ(session_->left(), usbip::Leave::pulled);
  EXPECT_EQ(device_->unitRequests(), 2u);
}

TEST_F(UsbCameraTest, ChipResetIsAnsweredThenLeavesTheBus) {
  start();
  EXPECT_EQ(unitSet(1, {0x73, 0x10, 0x00, 0x00}).status, 0);
  EXPECT_EQ(session_->left(), usbip::Leave::reset);
}

TEST_F(UsbCameraTest, StreamReadsWaitUntilUnlinked) {
  start();
  EXPECT_EQ(request(0x00, 0x09, 1, 0, 0).status, 0);
  EXPECT_EQ(feed(submitBytes(0x80, 0, 0, 0, 512, {}, 1)).size(), 0u);
  EXPECT_EQ(session_->pendingTransfers(), 1u);
  const std::uint32_t pendingSeq = seqnum_;

  usbip::Command unlink;
  unlink.command = 2;
  unlink.seqnum = 100;
  unlink.unlinkSeqnum = pendingSeq;
  Bytes bytes(48);
  usbip::EncodeCommand(unlink, bytes.data());
  std::vector<Answer> answers = feed(bytes);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].command, 4u);
  EXPECT_EQ(answers[0].seqnum, 100u);
  EXPECT_EQ(answers[0].status, -104);
  answers = feed(bytes);  // already gone
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].status, 0);
  EXPECT_EQ(session_->pendingTransfers(), 0u);
}

TEST_F(UsbCameraTest, CommandsSplitAcrossReadsAreServedOnceWhole) {
  start();
  const Bytes bytes = submitBytes(0x21, 0x01, 0x0100, 0x0200, 4, {0xF3, 0x05, 0x06, 0x00});
  last_in_ = false;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
    EXPECT_TRUE(feed(Bytes{bytes[i]}).empty()) << i;
  }
  const std::vector<Answer> answers = feed(Bytes{bytes.back()});
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].status, 0);
  EXPECT_EQ(camera_.readRegister(0x05F3), 0x06);
}

TEST_F(UsbCameraTest, StreamProbeSettlesOnTheOneFormat) {
  start();
  Bytes proposal(26, 0);
  proposal[2] = 1;
  proposal[3] = 1;
  EXPECT_EQ(request(0x21, 0x01, 0x0100, 0x0001, 26, proposal).status, 0);
  const Answer probe = request(0xA1, 0x81, 0x0100, 0x0001, 26);
  ASSERT_EQ(probe.data.size(), 26u);
  EXPECT_EQ(probe.data[2], 1);  // format
  EXPECT_EQ(probe.data[3], 1);  // frame
  // 160 x 120 at two bytes a pixel: 38,400 bytes a frame.
  EXPECT_EQ(Bytes(probe.data.begin() + 18, probe.data.begin() + 22), (Bytes{0x00, 0x96, 0, 0}));
  EXPECT_EQ(request(0xA1, 0x87, 0x0100, 0x0001, 26).data, probe.data);
  EXPECT_EQ(request(0x21, 0x01, 0x0200, 0x0001, 26, probe.data).status, 0);
  EXPECT_EQ(request(0x21, 0x01, 0x0100, 0x0001, 22, Bytes(22, 0)).status, -32);
}

}  // namespace

namespace {

TEST_F(UsbCameraTest, StalledRequestsSayWhyThroughTheErrorCodeControl) {
  struct Case {
    const char* name;
    std::uint8_t failCode;
    std::uint8_t expected;
  };
  // What the kind of fault makes the control answer, as the video class numbers the causes.
  const Case faults[] = {
      {"busy", 0x01, 0x01}, {"out of range", 0x04, 0x04}, {"plain stall", 0xFF, 0xFF}};
  for (const Case& c : faults) {
    usbip::DeviceFaults fault;
    fault.failRegisterAddress = 0x1080;
    fault.failCode = static_cast<usbip::ErrorCode>(c.failCode);
    start(fault);
    EXPECT_EQ(errorCode(), Bytes{0x00}) << c.name << ": nothing failed yet";
    EXPECT_EQ(unitSet(1, {0x80, 0x10, 0x00, 0x00}).status, -32) << c.name;
    EXPECT_EQ(errorCode(), Bytes{c.expected}) << c.name;
    EXPECT_EQ(errorCode(), Bytes{0x00}) << c.name << ": read once, then cleared";
    EXPECT_EQ(unitSet(1, {0x80, 0x10, 0x00, 0x00}).status, -32) << c.name;
    EXPECT_EQ(unitSet(1, {0x80, 0x10, 0x01, 0x00}).status, 0) << c.name;
    EXPECT_EQ(errorCode(), Bytes{0x00}) << c.name << ": a later success clears it";
  }
  start();
  const struct {
    const char* name;
    std::uint8_t type, request;
    std::uint16_t value, index, length;
    std::uint8_t expected;
  } refusals[] = {
      {"no such unit", 0xA1, 0x81, 0x0100, 0x0500, 4, 0x05},
      {"no selector 6 on the unit", 0xA1, 0x81, 0x0600, 0x0200, 12, 0x06},
      {"a record of the wrong length", 0xA1, 0x81, 0x0100, 0x0200, 3, 0x07},
      {"no minimum on the unit", 0xA1, 0x82, 0x0500, 0x0200, 12, 0x07},
      {"the interface's power mode", 0xA1, 0x81, 0x0100, 0x0000, 1, 0x06},
  };
  for (const auto& r : refusals) {
    EXPECT_EQ(request(r.type, r.request, r.value, r.index, r.length).status, -32) << r.name;
    EXPECT_EQ(errorCode(), Bytes{r.expected}) << r.name;
  }
  // The information record is read only: the chip refuses a SET of it in any state.
  EXPECT_EQ(unitSet(5, Bytes(12, 0)).status, -32);
  EXPECT_EQ(errorCode(), Bytes{0x02});
  EXPECT_EQ(request(0xA1, 0x86, 0x0200, 0x0000, 1).data, Bytes{0x01}) << "GET_CUR only";
  EXPECT_EQ(request(0x21, 0x01, 0x0200, 0x0000, 1, {0x00}).status, -32) << "not settable";
}

TEST_F(UsbCameraTest, ForeignCameraHasNeitherOurIdsNorOurUnit) {
  std::FILE* trace = std::tmpfile();
  ASSERT_NE(trace, nullptr);
  start({}, usbip::ForeignIdentity());
  device_->setTrace(trace);
  const Bytes device = request(0x80, 0x06, 0x0100, 0, 18).data;
  ASSERT_EQ(device.size(), 18u);
  const int vendor = device[8] | device[9] << 8;
  const int product = device[10] | device[11] << 8;
  for (const auto& [v, p] : {std::pair{0x1F3A, 0x5C72}, std::pair{0x0C45, 0x6320}}) {
    EXPECT_NE(vendor, v);
    EXPECT_NE(product, p);
  }
  // Its vendor unit is unit 1 and carries another code.
  const Bytes config = configuration();
  const Bytes ourCode{0x70, 0x33, 0xF0, 0x28, 0x11, 0x63, 0x2E, 0x4A,
                      0xBA, 0x2C, 0x68, 0x90, 0xEB, 0x33, 0x40, 0x16};
  Bytes unit;
  for (std::size_t at = 0; at + 3 < config.size(); at += config[at]) {
    if (config[at + 1] == 0x24 && config[at + 2] == 0x06) {
      unit.assign(config.begin() + static_cast<std::ptrdiff_t>(at),
                  config.begin() + static_cast<std::ptrdiff_t>(at + config[at]));
    }
  }
  ASSERT_EQ(unit.size(), 26u);
  EXPECT_EQ(unit[3], 1);
  EXPECT_NE(Bytes(unit.begin() + 4, unit.begin() + 20), ourCode);
  // Requests reach its unit at id 1 and are traced, the driver's own questions included; unit 2
  // is not there.
  EXPECT_EQ(request(0xA1, 0x85, 0x0100, 0x0100, 2).data, (Bytes{4, 0}));
  EXPECT_EQ(request(0x21, 0x01, 0x0100, 0x0100, 4, {0xF3, 0x05, 0x06, 0x00}).status, 0);
  EXPECT_EQ(unitSet(1, {0xF3, 0x05, 0x06, 0x00}).status, -32);
  EXPECT_EQ(errorCode(), Bytes{0x05});
  std::rewind(trace);
  char text[256] = {};
  const std::size_t size = std::fread(text, 1, sizeof text - 1, trace);
  std::fclose(trace);
  EXPECT_EQ(std::string(text, size), "GET_LEN 1 1\nSET 1 1 F3 05 06 00\n");
}

}  // namespace
