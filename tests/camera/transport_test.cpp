// The extension-unit records byte for byte, and how block transfers are split into requests.

#include <cstring>
#include <functional>
#include <vector>

#include "seams/media_capture.h"
#include "camera/xu_transport.h"
#include "tests/camera/camera_fixture.h"

namespace {

constexpr int Node = 3;  // the simulated camera's extension unit

class Transport : public CameraOnSim {
 protected:
  void SetUp() override {
    CameraOnSim::SetUp();
    OneCamera(9);  // "215R0": no flash command registers, so the chip writes freely
    ASSERT_TRUE(OpenFirst());
    StartTrace();
  }
  std::array<std::uint8_t, 0x10000>& Flash() { return Chip().flash().contents(); }
};

TEST_F(Transport, RegisterWriteIsOneSet) {
  EXPECT_TRUE(CamWriteAsic(0, 0x05F3, 0x06));
  EXPECT_EQ(TakeLines(), (std::vector<std::string>{Line("SET", 1, Node, {0xF3, 0x05, 0x06, 0})}));
}

TEST_F(Transport, RegisterReadIsRequestThenAnswer) {
  Chip().writeRegister(0x2345, 0x5B);
  std::uint8_t value = 0;
  EXPECT_TRUE(CamReadAsic(0, 0x2345, &value));
  EXPECT_EQ(value, 0x5B);
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], Line("SET", 1, Node, {0x45, 0x23, 0x00, 0xFF}));
  EXPECT_EQ(lines[1].substr(0, 6), "GET 1 ");
  // "GET 1 3 b0 b1 b2 b3": the value is answer byte 2.
  EXPECT_EQ(lines[1].substr(14, 2), "5B") << lines[1];
}

TEST_F(Transport, FailedReadRequestSendsNoAnswerAndKeepsTheOutput) {
  device_->faults().failRequest = Requests() + 1;
  std::uint8_t value = 0xA5;
  EXPECT_FALSE(CamReadAsic(0, 0x05F0, &value));
  EXPECT_EQ(value, 0xA5);
  EXPECT_EQ(TakeLines(),
            (std::vector<std::string>{Line("SET", 1, Node, {0xF0, 0x05, 0, 0xFF}) + " FAIL"}));
}

TEST_F(Transport, FlashRequestsCapTheirLengthAtEight) {
  std::uint8_t data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_TRUE(xuFlashWrite(0x1234, 12, data));
  EXPECT_TRUE(xuFlashReadStart(0x0010, 1));
  EXPECT_TRUE(xuFlashReadStart(0x0010, 9));
  EXPECT_TRUE(opFlashErase(0));
  EXPECT_TRUE(opFlashCommand(0, 0x06, 0x1073));
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], Line("SET", 3, Node, {0x34, 0x12, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0}));
  EXPECT_EQ(lines[1], Line("SET", 3, Node, {0x10, 0x00, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(lines[2], Line("SET", 3, Node, {0x10, 0x00, 0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(lines[3], Line("SET", 3, Node, {0, 0, 0xC8, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(lines[4], Line("SET", 3, Node, {0, 0, 0x40, 0x06, 0x73, 0x10, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Transport, BusRecordsCarryOnlyTheBytesThatFit) {
  const std::uint8_t three[3] = {0xA1, 0xA2, 0xA3};
  EXPECT_TRUE(opBusWrite(0x42, 0x21, three));  // two leading bytes, n = 3
  const std::uint8_t seventeen[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  EXPECT_TRUE(opBusWrite(0x42, 0x2F, seventeen));
  std::uint8_t readBack[3] = {0xB1, 0xB2, 0xB3};
  EXPECT_TRUE(opBusRead(0x42, 0x12, readBack));  // one leading byte, n = 3
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], Line("SET", 2, Node, {0x42, 0x21, 0xA1, 0xA2, 0xA3, 0, 0, 0}));
  EXPECT_EQ(lines[1], Line("SET", 2, Node, {0x42, 0x2F, 1, 2, 3, 4, 5, 0}));
  EXPECT_EQ(lines[2], Line("SET", 2, Node, {0x42, 0x12, 0xB1, 0, 0, 0, 0, 0xFF}));
  EXPECT_EQ(lines[3].substr(0, 6), "GET 2 ");
}

TEST_F(Transport, BusReadCopiesBackNoMoreThanTheRecordHolds) {
  // n = 17: the record answers six bytes; the caller's later bytes stay as they were.
  std::uint8_t data[17];
  std::memset(data, 0xEE, sizeof data);
  EXPECT_TRUE(opBusRead(0x42, 0x2F, data));
  for (int i = 6; i < 17; ++i) {
    EXPECT_EQ(data[i], 0xEE) << i;
  }
}

TEST_F(Transport, InformationReadsAreOneGetEach) {
  std::uint8_t byte = 0;
  std::uint16_t word = 0;
  EXPECT_FALSE(CamReadInfoByte(0, &byte));  // this chip has no information block
  EXPECT_TRUE(TakeLines().empty());
  EXPECT_FALSE(opInfoByte(0, &byte));  // and the chip stalls the request
  EXPECT_FALSE(opInfoWord(0, &word));
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 6), "GET 5 ");
  EXPECT_EQ(lines[1].substr(0, 6), "GET 5 ");
}

TEST_F(Transport, WholeImageWriteIs8192EightByteWrites) {
  std::vector<std::uint8_t> image(0x10000);
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  }
  EXPECT_TRUE(CamTransfer(TransferFlashWrite, 0, image.data(), 0x10000));
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 8192u);
  EXPECT_EQ(CountPrefix(lines, "SET 3 3 "), 8192);
  EXPECT_EQ(lines[0].substr(0, 17), "SET 3 3 00 00 08 ");
  EXPECT_EQ(lines[1].substr(0, 17), "SET 3 3 08 00 08 ");
  EXPECT_EQ(lines[8191].substr(0, 17), "SET 3 3 F8 FF 08 ");
  EXPECT_EQ(0, std::memcmp(Flash().data(), image.data(), image.size()));
}

TEST_F(Transport, WholeImageWriteWithChunkOneIs65536Writes) {
  std::vector<std::uint8_t> image(0x10000, 0x5A);
  EXPECT_TRUE(opTransfer(0, TransferFlashWrite, 0, image.data(), 0x10000, 1));
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 65536u);
  EXPECT_EQ(lines[65535].substr(0, 17), "SET 3 3 FF FF 01 ");
}

TEST_F(Transport, WholeImageReadIsOneStartAnd8192Answers) {
  for (std::size_t i = 0; i < 0x10000; ++i) {
    Flash()[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
  }
  std::vector<std::uint8_t> buffer(0x10000, 0);
  EXPECT_TRUE(CamTransfer(TransferFlashRead, 0, buffer.data(), 0x10000));
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 8193u);
  EXPECT_EQ(lines[0], Line("SET", 3, Node, {0, 0, 0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(CountPrefix(lines, "GET 3 3 "), 8192);
  EXPECT_EQ(0, std::memcmp(Flash().data(), buffer.data(), buffer.size()));
}

TEST_F(Transport, SingleByteReadStartsAtItsAddress) {
  Flash()[0xC034] = 0xB2;
  std::uint8_t value = 0;
  EXPECT_TRUE(CamTransfer(TransferFlashRead, 0xC034, &value, 1));
  EXPECT_EQ(value, 0xB2);
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], Line("SET", 3, Node, {0x34, 0xC0, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(lines[1].substr(0, 6), "GET 3 ");
}

// The address and control bytes of each write request, in order.
std::vector<std::pair<int, int>> Writes(const std::vector<std::string>& lines) {
  std::vector<std::pair<int, int>> writes;
  for (const std::string& line : lines) {
    unsigned lo = 0, hi = 0, n = 0;
    if (std::sscanf(line.c_str(), "SET 3 3 %x %x %x", &lo, &hi, &n) == 3) {
      writes.emplace_back(static_cast<int>(lo | hi << 8), static_cast<int>(n));
    }
  }
  return writes;
}

TEST_F(Transport, UnalignedWritesSplitIntoHeadChunksAndTail) {
  std::uint8_t data[20];
  for (int i = 0; i < 20; ++i) {
    data[i] = static_cast<std::uint8_t>(0x10 + i);
  }
  EXPECT_TRUE(CamTransfer(TransferFlashWrite, 0x0006, data, 20));
  EXPECT_EQ(Writes(TakeLines()),
            (std::vector<std::pair<int, int>>{{0x06, 2}, {0x08, 8}, {0x10, 8}, {0x18, 2}}));
  EXPECT_TRUE(CamTransfer(TransferFlashWrite, 0x0103, data, 20));
  EXPECT_EQ(Writes(TakeLines()),
            (std::vector<std::pair<int, int>>{{0x103, 5}, {0x108, 8}, {0x110, 7}}));
  EXPECT_TRUE(CamTransfer(TransferFlashWrite, 0x0205, data, 2));
  EXPECT_EQ(Writes(TakeLines()), (std::vector<std::pair<int, int>>{{0x205, 2}}));
  EXPECT_TRUE(CamTransfer(TransferFlashWrite, 0x0306, data, 2));  // the head is the whole write
  EXPECT_EQ(Writes(TakeLines()), (std::vector<std::pair<int, int>>{{0x306, 2}}));
  // Exactly the range asked for was programmed; its neighbours stay erased.
  EXPECT_EQ(0, std::memcmp(Flash().data() + 0x103, data, 20));
  EXPECT_EQ(Flash()[0x102], 0xFF);
  EXPECT_EQ(Flash()[0x117], 0xFF);
  EXPECT_EQ(Flash()[0x207], 0xFF);
}

TEST_F(Transport, MemoryReadIsOneRequestAndItsAnswer) {
  std::uint8_t id[8] = {};
  EXPECT_TRUE(CamTransfer(TransferMemoryRead, 0xBFF8, id, 8));
  EXPECT_EQ(0, std::memcmp(id, "215R0", 5));
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], Line("SET", 4, Node, {0xF8, 0xBF, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(lines[1].substr(0, 6), "GET 4 ");
}

TEST_F(Transport, OtherModesSendNothing) {
  std::uint8_t buffer[8] = {};
  EXPECT_FALSE(CamTransfer(8, 0, buffer, 8));
  EXPECT_FALSE(CamTransfer(10, 0, buffer, 8));
  EXPECT_TRUE(TakeLines().empty());
}

TEST_F(Transport, EmptyTransfersStillMakeTheFinalStep) {
  std::uint8_t buffer[8] = {0xEE, 0xEE};
  EXPECT_TRUE(opTransfer(0, TransferFlashWrite, 0x40, buffer, 0, 8));
  EXPECT_EQ(
      TakeLines(),
      (std::vector<std::string>{Line("SET", 3, Node, {0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}));
  for (std::uint32_t chunk : {8u, 0u}) {
    EXPECT_TRUE(opTransfer(0, TransferFlashRead, 0x40, buffer, 0, chunk));
    auto lines = TakeLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], Line("SET", 3, Node, {0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(opTransfer(0, TransferMemoryRead, 0xBFF8, buffer, 0, chunk));
    lines = TakeLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 6), "SET 4 ");
  }
  EXPECT_EQ(buffer[0], 0xEE);  // nothing delivered
}

TEST_F(Transport, WriteWithChunkZeroHasNoHeadAndSendsOneEmptyWrite) {
  std::uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_TRUE(opTransfer(0, TransferFlashWrite, 0x0003, buffer, 8, 0));
  EXPECT_EQ(Writes(TakeLines()), (std::vector<std::pair<int, int>>{{0x03, 0}}));
}

TEST_F(Transport, ChunkAboveEightBehavesAsEight) {
  std::uint8_t buffer[32] = {};
  EXPECT_TRUE(opTransfer(0, TransferFlashWrite, 0, buffer, 32, 64));
  EXPECT_EQ(Writes(TakeLines()),
            (std::vector<std::pair<int, int>>{{0, 8}, {8, 8}, {16, 8}, {24, 8}}));
}

TEST_F(Transport, FailureInTheMiddleStopsAtOnce) {
  std::vector<std::uint8_t> image(0x10000, 0x00);
  device_->faults().failRequest = Requests() + 100;
  EXPECT_FALSE(CamTransfer(TransferFlashWrite, 0, image.data(), 0x10000));
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines[99].substr(lines[99].size() - 5), " FAIL");
  // What was written before the failure stays written.
  EXPECT_EQ(Flash()[98 * 8], 0x00);
  EXPECT_EQ(Flash()[99 * 8], 0xFF);
}

TEST_F(Transport, RangePastTheTopWrapsToLowSixteenBits) {
  std::uint8_t data[16];
  std::memset(data, 0x3C, sizeof data);
  EXPECT_TRUE(CamTransfer(TransferFlashWrite, 0xFFF8, data, 16));
  EXPECT_EQ(Writes(TakeLines()), (std::vector<std::pair<int, int>>{{0xFFF8, 8}, {0x0000, 8}}));
  EXPECT_EQ(Flash()[0x0007], 0x3C);
}

TEST_F(Transport, ReadTailStartsAgainAtTheTailAddress) {
  for (int i = 0; i < 32; ++i) {
    Flash()[0x300 + i] = static_cast<std::uint8_t>(i);
  }
  std::uint8_t buffer[11] = {};
  EXPECT_TRUE(CamTransfer(TransferFlashRead, 0x300, buffer, 11));
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(0, 17), "SET 3 3 00 03 88 ");
  EXPECT_EQ(lines[2].substr(0, 17), "SET 3 3 08 03 83 ");
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(buffer[i], i);
  }
}

TEST_F(Transport, AnAnswerIsJudgedByTheBytesTheToolReadsFromIt) {
  // Zeros the host filled in would pass for a register value or a configuration byte, so an answer
  // that stops before a byte the tool reads is no answer; bytes nobody reads may be left off.
  for (std::uint32_t i = 0; i < 8; ++i) {
    Flash()[i] = static_cast<std::uint8_t>(0xA0 + i);
  }
  struct Case {
    const char* what;
    int selector;
    std::uint32_t needed;  // answer bytes up to and including the last one read
    std::function<bool()> read;
  };
  std::uint8_t value = 0;
  std::uint8_t out[8] = {};
  std::uint16_t word = 0;
  std::vector<Case> cases = {
      {"register read: byte 2", 1, 3, [&] { return CamReadAsic(0, 0x1000, &value); }},
      {"8-byte flash read: bytes 3-10", 3, 11, [&] { return CamTransfer(0, 7, 0, out, 8); }},
      {"1-byte flash read: byte 3", 3, 4, [&] { return CamTransfer(0, 7, 0, out, 1); }},
      {"memory read of 8: count and 8 bytes", 4, 11, [&] { return xuMemoryRead(0xBFF8, out, 8); }},
      {"memory read of 2: count and 2 bytes", 4, 5, [&] { return xuMemoryRead(0xBFF8, out, 2); }},
      // (selector 5 on "232R0", the chip with an information record, below)
      {"information word: bytes 0-1", 5, 2, [&] { return opInfoWord(0, &word); }},
      {"information byte: byte 2", 5, 3, [&] { return opInfoByte(0, &value); }},
  };
  for (const Case& c : cases) {
    if (c.selector == 5) {
      CamResetState();
      OneCamera(18);
      ASSERT_TRUE(OpenFirst());
    }
    device_->faults().shortGetSelector = c.selector;
    device_->faults().shortGetBytes = c.needed;
    value = 0;
    EXPECT_TRUE(c.read()) << c.what << ", " << c.needed << " bytes";
    device_->faults().shortGetBytes = c.needed - 1;
    value = 0x5A;
    std::memset(out, 0xEE, sizeof out);
    EXPECT_FALSE(c.read()) << c.what << ", " << c.needed - 1 << " bytes";
    EXPECT_EQ(value, 0x5A) << c.what << ": output untouched";
  }
  device_->faults().shortGetSelector = 1;
  device_->faults().shortGetBytes = 3;
  EXPECT_TRUE(CamReadAsic(0, 0x1000, &value));
  EXPECT_EQ(value, Chip().readRegister(0x1000));
}

// The simulator's property requests, with what comes back bent by the test.
struct Bent {
  HResult code = 0;      // returned in place of a success
  int memoryCount = -1;  // count byte of a memory-read answer, when not -1
  std::vector<std::string> seen;
};
Bent bent;
const MediaCaptureOps* simOps = nullptr;

HResult BentKsProperty(McObject* control, void* property, std::uint32_t propertyLength, void* data,
                       std::uint32_t dataLength, std::uint32_t* returned) {
  const auto* header = static_cast<const std::uint8_t*>(property);
  const bool get = (header[20] & 1) != 0;
  bent.seen.push_back(std::to_string(header[16]) + (get ? " GET " : " SET ") +
                      std::to_string(propertyLength) + " " + std::to_string(dataLength));
  const HResult result =
      simOps->ksProperty(control, property, propertyLength, data, dataLength, returned);
  if (result != 0) {
    return result;
  }
  if (get && header[16] == 4 && bent.memoryCount >= 0) {
    static_cast<std::uint8_t*>(data)[2] = static_cast<std::uint8_t>(bent.memoryCount);
  }
  return bent.code != 0 ? bent.code : result;
}

class BentTransport : public Transport {
 protected:
  void SetUp() override {
    Transport::SetUp();
    bent = Bent{};
    simOps = CamMediaCapture();
    table = *simOps;
    table.ksProperty = BentKsProperty;
    CamInstallMediaCapture(&table);
  }
  MediaCaptureOps table{};
};

TEST_F(BentTransport, EverySelectorHasItsRecordLengthAndA32ByteHeader) {
  std::uint8_t bytes[12] = {};
  std::uint8_t byte = 0;
  opAsicWrite(0, 0x1000, 0);
  opBusWrite(0, 0x10, bytes);
  xuFlashWrite(0x0100, 1, bytes);
  xuMemoryRead(0xBFF8, bytes, 8);
  opInfoByte(0, &byte);
  EXPECT_EQ(bent.seen, (std::vector<std::string>{"1 SET 32 4", "2 SET 32 8", "3 SET 32 12",
                                                 "4 SET 32 12", "4 GET 32 12", "5 GET 32 12"}));
}

TEST_F(BentTransport, ASuccessCodeOtherThanZeroIsAFailure) {
  bent.code = 1;
  std::uint8_t bytes[16] = {};
  std::uint8_t byte = 0x5A;
  std::uint16_t word = 0x5A5A;
  EXPECT_FALSE(opAsicWrite(0, 0x1000, 0));
  EXPECT_FALSE(opAsicRead(0, 0x1000, &byte));
  EXPECT_FALSE(opBusWrite(0, 0x10, bytes));
  EXPECT_FALSE(opBusRead(0, 0x10, bytes));
  EXPECT_FALSE(xuFlashWrite(0x0100, 1, bytes));
  EXPECT_FALSE(xuFlashReadStart(0x0100, 1));
  EXPECT_FALSE(xuFlashReadNext(bytes));
  EXPECT_FALSE(opFlashErase(0));
  EXPECT_FALSE(opFlashCommand(0, 0x06, 0));
  EXPECT_FALSE(xuMemoryRead(0xBFF8, bytes, 8));
  EXPECT_FALSE(opInfoWord(0, &word));
  EXPECT_FALSE(opTransfer(0, 6, 0, bytes, 16, 8));
  EXPECT_FALSE(opTransfer(0, 7, 0, bytes, 16, 8));
  EXPECT_FALSE(opTransfer(0, 9, 0xBFF8, bytes, 8, 8));
  EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(word, 0x5A5A);
  // Two-request reads stop after the refused request: no answer is asked for.
  EXPECT_EQ(CountPrefix(bent.seen, "1 GET"), 0);
  EXPECT_EQ(CountPrefix(bent.seen, "4 GET"), 0);
}

TEST_F(BentTransport, ShortMemoryAnswersDeliverOnlyTheBytesCounted) {
  struct Case {
    int count;
    std::uint32_t room;
    std::uint32_t delivered;
  };
  const std::uint8_t id[8] = {'2', '1', '5', 'R', '0', 1, 0x16, 0x09};
  for (const Case& c : {Case{0, 8, 0}, Case{3, 8, 3}, Case{8, 8, 8}, Case{12, 8, 8},
                        Case{12, 12, 9}, Case{9, 2, 2}}) {
    bent.memoryCount = c.count;
    std::uint8_t out[12];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_TRUE(xuMemoryRead(0xBFF8, out, c.room));
    for (std::uint32_t i = 0; i < 12; ++i) {
      if (i >= c.delivered) {
        EXPECT_EQ(out[i], 0xEE) << "count " << c.count << " byte " << i;
      } else if (i < 8) {
        EXPECT_EQ(out[i], id[i]) << "count " << c.count << " byte " << i;
      } else {
        EXPECT_NE(out[i], 0xEE) << "count " << c.count << " byte " << i;
      }
    }
  }
}

}  // namespace
