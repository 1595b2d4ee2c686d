// The request trace (exact text per request) and the cost of the request path with it off.

#include "sim_fixture.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

#include "platform/sim/request_trace.h"

namespace {
std::atomic<long> allocations{0};
}  // namespace

// Counts every allocation of this test program, so the request path can be shown to make none.
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace simtest {
namespace {

class TraceTest : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    build();
  }
  // One request the way the camera layer sends it: control interface, request, release.
  HResult layerRequest(std::uint32_t selector, std::uint32_t flags, std::uint8_t* record,
                       std::uint32_t length) {
    McObject* control = nullptr;
    if (ops().queryInterface(filter_, IidKsControl, &control) != McOk) {
      return McFail;
    }
    auto header = Header(selector, flags, 3);
    std::uint32_t returned = 0;
    const HResult result = ops().ksProperty(control, header.data(), 32, record, length, &returned);
    ops().release(control);
    return result;
  }
  // A 64 KiB write in 8-byte requests and its read back, as the update does it.
  void writeAndReadBack() {
    unlockChipWrites();
    std::uint8_t record[12];
    for (std::uint32_t address = 0; address < 0x10000; address += 8) {
      record[0] = static_cast<std::uint8_t>(address & 0xFF);
      record[1] = static_cast<std::uint8_t>(address >> 8);
      record[2] = 8;
      for (int i = 0; i < 8; ++i) {
        record[3 + i] = static_cast<std::uint8_t>(address + i);
      }
      record[11] = 0;
      layerRequest(3, 0x10000002, record, 12);
    }
    std::uint8_t start[12] = {0, 0, 0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    layerRequest(3, 0x10000002, start, 12);
    for (std::uint32_t address = 0; address < 0x10000; address += 8) {
      for (std::uint8_t& byte : record) {
        byte = 0;
      }
      layerRequest(3, 0x10000001, record, 12);
    }
  }
};

// Line format.

TEST_F(TraceTest, RegisterWriteIsOneSetLine) {
  std::ostringstream out;
  framework().traceTo(&out);
  writeReg(0x05F3, 0x06);
  EXPECT_EQ(out.str(), "SET 1 3 F3 05 06 00\n");
}

TEST_F(TraceTest, RegisterReadShowsTheRequestAndTheAnswerAsReturned) {
  writeReg(0x03C5, 0xAB);
  std::ostringstream out;
  framework().traceTo(&out);
  readReg(0x03C5);
  EXPECT_EQ(out.str(), "SET 1 3 C5 03 00 FF\nGET 1 3 00 00 AB 00\n");
}

TEST_F(TraceTest, FlashRecordsShowAllTwelveBytes) {
  std::ostringstream out;
  sim::WorldOptions options;
  options.camera.chipIndex = 9;  // a model with the erase request
  build(options);
  framework().traceTo(&out);
  chipErase();
  chipReadStart(0xC034, 1);
  EXPECT_EQ(out.str(),
            "SET 3 3 00 00 C8 00 00 00 00 00 00 00 00 00\n"
            "SET 3 3 34 C0 81 00 00 00 00 00 00 00 00 00\n");
}

TEST_F(TraceTest, SupportProbeLinesNameOnlyTheNode) {
  std::ostringstream out;
  framework().traceTo(&out);
  for (std::uint32_t nodeId : {2u, 3u}) {
    auto header = Header(0, 0x10000100, nodeId);
    std::uint32_t returned = 0;
    ops().ksProperty(control_, header.data(), 32, nullptr, 0, &returned);
  }
  EXPECT_EQ(out.str(), "SUPPORT 2 FAIL\nSUPPORT 3\n");
}

TEST_F(TraceTest, FailedRequestsEndInFail) {
  device().faults().failSelector = 4;
  std::ostringstream out;
  framework().traceTo(&out);
  set(4, {0xF8, 0x9F, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  Record answer;
  get(5, answer);
  EXPECT_EQ(out.str(),
            "SET 4 3 F8 9F 08 00 00 00 00 00 00 00 00 00 FAIL\n"
            "GET 5 3 00 00 00 00 00 00 00 00 00 00 00 00 FAIL\n");
}

TEST_F(TraceTest, NumbersAreDecimalAndHexIsUpperCase) {
  char line[sim::TraceLineCapacity];
  const std::uint8_t bytes[] = {0x0A, 0xFF, 0x10};
  const std::size_t length =
      sim::FormatTraceLine(line, sim::RequestKind::get, 12, 1234567, bytes, 3, false);
  EXPECT_EQ(std::string(line, length), "GET 12 1234567 0A FF 10\n");
}

TEST_F(TraceTest, TraceIsOffByDefaultAndStops) {
  std::ostringstream out;
  writeReg(0x0100, 1);
  framework().traceTo(&out);
  writeReg(0x0101, 1);
  framework().stopTrace();
  writeReg(0x0102, 1);
  EXPECT_EQ(out.str(), "SET 1 3 01 01 01 00\n");
}

TEST_F(TraceTest, TraceFileIsCompleteWhileTheProcessStillRuns) {
  const auto path =
      std::filesystem::temp_directory_path() /
      ("sim_trace_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
       std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".txt");
  ASSERT_TRUE(framework().traceToFile(path.string()));
  writeReg(0x1073, 0x01);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "SET 1 3 73 10 01 00\n");
  framework().stopTrace();
  std::filesystem::remove(path);
}

// Cost with the trace off.

TEST_F(TraceTest, RequestPathAllocatesNothing) {
  std::uint8_t record[4] = {0x00, 0x01, 0x05, 0x00};
  layerRequest(1, 0x10000002, record, 4);  // warm up
  const long before = allocations.load();
  for (int i = 0; i < 1000; ++i) {
    record[2] = static_cast<std::uint8_t>(i);
    layerRequest(1, 0x10000002, record, 4);
    record[3] = 0xFF;
    layerRequest(1, 0x10000002, record, 4);
    record[3] = 0x00;
    layerRequest(1, 0x10000001, record, 4);
  }
  EXPECT_EQ(allocations.load() - before, 0);
}

TEST_F(TraceTest, FullWriteAndReadBackCostLittleCpuWithTraceOff) {
  writeAndReadBack();
  for (std::uint32_t i = 0; i < 0x10000; ++i) {
    ASSERT_EQ(flash().contents()[i], static_cast<std::uint8_t>(i)) << i;
  }
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    build();
    const std::clock_t start = std::clock();
    writeAndReadBack();
    best = std::min(best, 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
  }
  // The whole update must stay under 10 ms; the simulator may take a fraction of that.
  EXPECT_LT(best, 6.0) << "ms of CPU for 16,385 requests";
  RecordProperty("sim_cpu_ms", std::to_string(best));
#endif
}

}  // namespace
}  // namespace simtest
