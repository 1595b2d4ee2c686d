// The capture framework emulated over a camera source: the framework's code for each class of
// failure, the node header's length, and the leak accounting over a source that holds a node open.

#include <gtest/gtest.h>

#include <vector>

#include "seams/platform_ids.h"
#include "platform/capture_emulation/capture_emulation.h"

namespace {

// One camera with two units that, like a device node, stays open until its camera is let go.
class NodeSource : public CameraSource {
 public:
  std::vector<SourceCamera> listCameras() override {
    SourceCamera camera;
    camera.devicePath = u"\\\\?\\usb#vid_1f3a&pid_5c72&mi_00#1-1#{x}\\global";
    camera.nodeTypes = {Guid{}, KSNODETYPE_DEV_SPECIFIC_};
    return {camera};
  }
  int open(const SourceCamera&, std::uint64_t* binding) override {
    ++openNodes;
    *binding = 7;
    return 0;
  }
  void close(std::uint64_t) override { --openNodes; }
  int query(const SourceQuery&) override {
    ++queries;
    return answer;
  }
  void sleep(std::uint32_t) override {}

  int openNodes = 0;
  int queries = 0;
  int answer = 0;
};

class EmulationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture::ResetApartmentOfThisThread();
    framework.coInitialize();
    McObject* devEnum = nullptr;
    McObject* classEnum = nullptr;
    McObject* moniker = nullptr;
    framework.createDeviceEnumerator(&devEnum);
    framework.createClassEnumerator(devEnum, CLSID_VideoInputDeviceCategory_, &classEnum, 0);
    framework.enumNext(classEnum, &moniker);
    EXPECT_EQ(framework.bindToObject(moniker, &filter), McOk);
    for (McObject* object : {moniker, classEnum, devEnum}) {
      framework.release(object);
    }
    EXPECT_EQ(framework.queryInterface(filter, IID_IKsControl_, &control), McOk);
  }

  HResult Get(std::uint32_t headerLength = 32) {
    std::uint8_t header[48] = {};
    header[16] = 1;     // selector
    header[20] = 0x01;  // a get on a topology node
    header[23] = 0x10;
    std::uint8_t record[4] = {};
    std::uint32_t returned = 0;
    return framework.ksProperty(control, header, headerLength, record, 4, &returned);
  }

  NodeSource source;
  capture::Emulation framework{source};
  McObject* filter = nullptr;
  McObject* control = nullptr;
};

TEST_F(EmulationTest, EachClassOfFailureBecomesTheFrameworksCode) {
  const struct {
    int source;
    std::uint32_t framework;
  } cases[] = {
      {0, 0x00000000u},    // done
      {1, 0x00000001u},    // an odd success code passes as it is
      {-19, 0x8007048Fu},  // the camera left: the device is not connected
      {-32, 0x8007001Fu},  // a stall: the device does not function
      {-2, 0x80070490u},   // no such unit or control: element not found
      {-90, 0x8007007Au},  // not the record's length: the buffer is too small
      {-92, 0x80070492u},  // another property set: set not found
      {-22, 0x80070057u},  // malformed: an invalid argument
      {-5, 0x80004005u},   // a plain failure
      {-13, 0xA000000Du},  // any other errno keeps its number under the customer bit
  };
  for (const auto& c : cases) {
    source.answer = c.source;
    EXPECT_EQ(static_cast<std::uint32_t>(Get()), c.framework) << c.source;
  }
  source.answer = -19;
  EXPECT_TRUE(McIsDeviceRemoved(Get()));
}

TEST_F(EmulationTest, HeaderOfAnyLengthButThirtyTwoBytesNeverReachesTheCamera) {
  for (std::uint32_t length : {0u, 24u, 31u, 33u, 48u}) {
    EXPECT_LT(Get(length), 0) << length;
  }
  EXPECT_EQ(source.queries, 0);
  EXPECT_EQ(Get(32), McOk);
  EXPECT_EQ(source.queries, 1);
}

TEST_F(EmulationTest, KeptControlKeepsTheNodeOpenAndShowsAsALeakOfItsKind) {
  framework.release(filter);
  EXPECT_EQ(source.openNodes, 1) << "the control still uses the node";
  EXPECT_EQ(framework.liveReferences(capture::ObjectKind::filterControl), 1);
  EXPECT_EQ(framework.liveReferences(), 1);
  EXPECT_EQ(framework.release(control), 0u);
  EXPECT_EQ(source.openNodes, 0);
  EXPECT_EQ(framework.liveReferences(), 0);
  EXPECT_EQ(Get(), capture::McInvalidArg) << "a released camera is not asked";
  EXPECT_EQ(framework.release(control), 0u);
  EXPECT_EQ(framework.overReleases(), 1u);
  EXPECT_EQ(framework.apartmentBalance(), 1);
  framework.coUninitialize();
  framework.coUninitialize();
  EXPECT_EQ(framework.apartmentBalance(), 0);
  EXPECT_EQ(framework.unbalancedLeaves(), 1u);
}

}  // namespace
