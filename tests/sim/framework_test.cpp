// The simulated media-capture framework: listing, binding, topology and node probing, COM
// reference counts and apartments, and injected faults.

#include "sim_fixture.h"

#include <string>
#include <thread>

namespace simtest {
namespace {

using sim::ObjectKind;

class FrameworkTest : public SimFixture {
 protected:
  // Lists the device paths the framework shows, releasing everything it obtains.
  std::vector<std::u16string> listPaths() {
    std::vector<std::u16string> paths;
    ops().coInitialize();
    McObject* devEnum = nullptr;
    McObject* classEnum = nullptr;
    EXPECT_EQ(ops().createDeviceEnumerator(&devEnum), McOk);
    if (ops().createClassEnumerator(devEnum, VideoInputCategory, &classEnum, 0) == McOk) {
      McObject* moniker = nullptr;
      while (ops().enumNext(classEnum, &moniker) == McOk) {
        McObject* bag = nullptr;
        if (ops().bindToStorage(moniker, &bag) == McOk) {
          char16_t* path = nullptr;
          if (ops().readStringProperty(bag, u"DevicePath", &path) == McOk) {
            paths.emplace_back(path);
            ops().freeString(path);
          }
          ops().release(bag);
        }
        ops().release(moniker);
      }
      ops().release(classEnum);
    }
    ops().release(devEnum);
    ops().coUninitialize();
    return paths;
  }

  // A framework with the given devices and nothing bound.
  void buildDevices(const std::vector<sim::DeviceSetup>& setups) {
    unbind();
    sim::ResetSimulator();
    for (const auto& setup : setups) {
      framework().addDevice(setup);
    }
    device_ = framework().firstCameraDevice();
  }

  // Binds the filter of the device at `index` of a fresh listing.
  HResult bindAt(std::size_t index) {
    unbind();
    ops().coInitialize();
    McObject* devEnum = nullptr;
    McObject* classEnum = nullptr;
    ops().createDeviceEnumerator(&devEnum);
    ops().createClassEnumerator(devEnum, VideoInputCategory, &classEnum, 0);
    McObject* moniker = nullptr;
    HResult result = McFail;
    for (std::size_t i = 0; i <= index && ops().enumNext(classEnum, &moniker) == McOk; ++i) {
      if (i == index) {
        result = ops().bindToObject(moniker, &filter_);
      }
      ops().release(moniker);
    }
    ops().release(classEnum);
    ops().release(devEnum);
    if (filter_ != nullptr) {
      ops().queryInterface(filter_, IidKsControl, &control_);
    } else {
      ops().coUninitialize();
    }
    return result;
  }

  HResult probe(std::uint32_t nodeId) {
    McObject* topology = nullptr;
    EXPECT_EQ(ops().queryInterface(filter_, IidKsTopologyInfo, &topology), McOk);
    McObject* nodeControl = nullptr;
    EXPECT_EQ(ops().createNodeInstance(topology, nodeId, IidKsControl, &nodeControl), McOk);
    auto header = Header(0, 0x10000100, nodeId);
    std::uint32_t returned = 0;
    const HResult result = ops().ksProperty(nodeControl, header.data(), 32, nullptr, 0, &returned);
    ops().release(nodeControl);
    ops().release(topology);
    return result;
  }
};

// Listing and binding.

TEST_F(FrameworkTest, ListsDevicesInTheOrderTheyWereAdded) {
  const auto foreign = sim::ForeignCaptureDevice();
  const auto ours = sim::CameraDevice({}, "vid_1f3a&pid_5c72", 1);
  buildDevices({foreign, ours});
  EXPECT_EQ(listPaths(), (std::vector<std::u16string>{foreign.path, ours.path}));
}

TEST_F(FrameworkTest, CameraPathCarriesTheUsbIdInLowerCase) {
  const std::u16string path = sim::CameraDevicePath("VID_0C45&PID_6320");
  EXPECT_NE(path.find(u"usb#vid_0c45&pid_6320&"), std::u16string::npos);
  EXPECT_EQ(path.rfind(u"\\\\?\\", 0), 0u);
}

TEST_F(FrameworkTest, EmptyCategoryGivesNoEnumerator) {
  buildDevices({});
  ops().coInitialize();
  McObject* devEnum = nullptr;
  McObject* classEnum = reinterpret_cast<McObject*>(&classEnum);
  ASSERT_EQ(ops().createDeviceEnumerator(&devEnum), McOk);
  EXPECT_EQ(ops().createClassEnumerator(devEnum, VideoInputCategory, &classEnum, 0), McFalse);
  EXPECT_EQ(classEnum, nullptr);
  ops().release(devEnum);
  ops().coUninitialize();
  EXPECT_EQ(framework().liveReferences(), 0);
}

TEST_F(FrameworkTest, UnpluggedDeviceIsNotListed) {
  buildDevices({sim::CameraDevice()});
  framework().device(0).setPlugged(false);
  EXPECT_TRUE(listPaths().empty());
}

TEST_F(FrameworkTest, UnreadablePathFailsTheRead) {
  auto setup = sim::CameraDevice();
  setup.pathUnreadable = true;
  buildDevices({setup, sim::CameraDevice({}, sim::DefaultUsbId, 1)});
  EXPECT_EQ(listPaths(),
            (std::vector<std::u16string>{sim::CameraDevicePath(sim::DefaultUsbId, 1)}));
  EXPECT_EQ(framework().liveStrings(), 0);
}

TEST_F(FrameworkTest, DeviceThatCannotBeBoundFailsBinding) {
  auto setup = sim::CameraDevice();
  setup.cannotBind = true;
  buildDevices({setup});
  EXPECT_LT(bindAt(0), 0);
  EXPECT_EQ(filter_, nullptr);
}

TEST_F(FrameworkTest, ForeignDeviceAnswersNoExtensionUnitRequest) {
  buildDevices({sim::ForeignCaptureDevice()});
  ASSERT_EQ(bindAt(0), McOk);
  EXPECT_LT(probe(2), 0);
  Record record(4, 0);
  for (std::uint32_t node = 0; node < 4; ++node) {
    EXPECT_LT(request(1, 0x10000001, node, record.data(), 4), 0) << "node " << node;
  }
}

// Topology and the set-support probe.

TEST_F(FrameworkTest, DefaultCameraShowsTwoVendorNodesAndOnlyTheLastAcceptsTheProbe) {
  build();
  McObject* topology = nullptr;
  ASSERT_EQ(ops().queryInterface(filter_, IidKsTopologyInfo, &topology), McOk);
  std::uint32_t count = 0;
  ASSERT_EQ(ops().getNumNodes(topology, &count), McOk);
  ASSERT_EQ(count, 4u);
  Guid type{};
  ASSERT_EQ(ops().getNodeType(topology, 2, &type), McOk);
  EXPECT_TRUE(type == NodeTypeVendorSpecific);
  ASSERT_EQ(ops().getNodeType(topology, 3, &type), McOk);
  EXPECT_TRUE(type == NodeTypeVendorSpecific);
  ASSERT_EQ(ops().getNodeType(topology, 0, &type), McOk);
  EXPECT_FALSE(type == NodeTypeVendorSpecific);
  EXPECT_LT(ops().getNodeType(topology, 4, &type), 0);
  ops().release(topology);

  EXPECT_LT(probe(2), 0);
  EXPECT_EQ(probe(3), McOk);
}

TEST_F(FrameworkTest, CameraWithoutVendorNodesStillAnswersOnNodeTwo) {
  sim::WorldOptions options;
  options.vendorNodes = false;
  build(options);
  EXPECT_EQ(node(), 2u);
  McObject* topology = nullptr;
  ASSERT_EQ(ops().queryInterface(filter_, IidKsTopologyInfo, &topology), McOk);
  std::uint32_t count = 0;
  ASSERT_EQ(ops().getNumNodes(topology, &count), McOk);
  for (std::uint32_t i = 0; i < count; ++i) {
    Guid type{};
    ASSERT_EQ(ops().getNodeType(topology, i, &type), McOk);
    EXPECT_FALSE(type == NodeTypeVendorSpecific);
  }
  ops().release(topology);
  EXPECT_TRUE(writeReg(0x0100, 0x5A));
  EXPECT_EQ(readReg(0x0100), 0x5A);
  Record record(4, 0);
  EXPECT_LT(request(1, 0x10000001, 1, record.data(), 4), 0);
}

TEST_F(FrameworkTest, FilterWithoutTopologyRefusesTheInterface) {
  auto setup = sim::CameraDevice();
  setup.hasTopology = false;
  buildDevices({setup});
  ASSERT_EQ(bindAt(0), McOk);
  McObject* topology = reinterpret_cast<McObject*>(&topology);
  EXPECT_EQ(ops().queryInterface(filter_, IidKsTopologyInfo, &topology), McNoInterface);
  EXPECT_EQ(topology, nullptr);
}

// Reference counts, strings and apartments.

TEST_F(FrameworkTest, EveryReferenceReturnsToZeroAfterAFullWalk) {
  build();
  EXPECT_EQ(probe(3), McOk);
  writeReg(0x0100, 1);
  EXPECT_GT(framework().liveReferences(), 0);
  unbind();
  EXPECT_TRUE(listPaths().size() == 1);
  for (int kind = 0; kind < sim::objectKindCount; ++kind) {
    EXPECT_EQ(framework().liveReferences(static_cast<ObjectKind>(kind)), 0)
        << sim::ObjectKindName(static_cast<ObjectKind>(kind));
  }
  EXPECT_EQ(framework().liveStrings(), 0);
  EXPECT_EQ(framework().overReleases(), 0u);
  EXPECT_EQ(framework().apartmentBalance(), 0);
  EXPECT_EQ(sim::ApartmentDepth(), 0);
}

TEST_F(FrameworkTest, KeptReferenceShowsAsLiveOfItsKind) {
  build();
  McObject* extra = nullptr;
  ASSERT_EQ(ops().queryInterface(filter_, IidKsControl, &extra), McOk);
  unbind();
  EXPECT_EQ(framework().liveReferences(ObjectKind::filterControl), 1);
  EXPECT_EQ(framework().liveReferences(ObjectKind::filter), 0);
  EXPECT_EQ(ops().release(extra), 0u);
  EXPECT_EQ(framework().liveReferences(), 0);
}

TEST_F(FrameworkTest, ReleaseReturnsRemainingCountAndCountsOneTooMany) {
  build();
  McObject* again = nullptr;
  ASSERT_EQ(ops().queryInterface(filter_, IidBaseFilter, &again), McOk);
  EXPECT_EQ(again, filter_);
  EXPECT_EQ(ops().release(again), 1u);
  EXPECT_EQ(ops().release(filter_), 0u);
  EXPECT_EQ(ops().release(filter_), 0u);
  EXPECT_EQ(framework().overReleases(), 1u);
  filter_ = nullptr;
  ops().coUninitialize();
}

TEST_F(FrameworkTest, QueryForAnUnknownInterfaceFails) {
  build();
  McObject* out = reinterpret_cast<McObject*>(&out);
  EXPECT_EQ(ops().queryInterface(filter_, IidPropertyBag, &out), McNoInterface);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(framework().liveReferences(ObjectKind::propertyBag), 0);
}

TEST_F(FrameworkTest, StringsAreCountedUntilFreedAndForeignFreesAreCaught) {
  buildDevices({sim::CameraDevice()});
  ops().coInitialize();
  McObject* devEnum = nullptr;
  McObject* classEnum = nullptr;
  McObject* moniker = nullptr;
  McObject* bag = nullptr;
  ops().createDeviceEnumerator(&devEnum);
  ops().createClassEnumerator(devEnum, VideoInputCategory, &classEnum, 0);
  ops().enumNext(classEnum, &moniker);
  ASSERT_EQ(ops().bindToStorage(moniker, &bag), McOk);
  char16_t* name = nullptr;
  ASSERT_EQ(ops().readStringProperty(bag, u"FriendlyName", &name), McOk);
  EXPECT_EQ(std::u16string(name), u"USB Camera");
  EXPECT_EQ(framework().liveStrings(), 1);
  char16_t foreign[] = u"x";
  ops().freeString(foreign);
  EXPECT_EQ(framework().badStringFrees(), 1u);
  ops().freeString(name);
  EXPECT_EQ(framework().liveStrings(), 0);
  char16_t* missing = nullptr;
  EXPECT_LT(ops().readStringProperty(bag, u"Nonsense", &missing), 0);
  EXPECT_EQ(missing, nullptr);
  for (McObject* object : {bag, moniker, classEnum, devEnum}) {
    ops().release(object);
  }
  ops().coUninitialize();
}

TEST_F(FrameworkTest, DeviceEnumeratorNeedsAnApartment) {
  buildDevices({sim::CameraDevice()});
  McObject* devEnum = nullptr;
  EXPECT_EQ(ops().createDeviceEnumerator(&devEnum), sim::McNotInitialized);
  EXPECT_EQ(devEnum, nullptr);
}

TEST_F(FrameworkTest, ApartmentDepthIsKeptPerThread) {
  buildDevices({});
  EXPECT_EQ(ops().coInitialize(), McOk);
  EXPECT_EQ(ops().coInitialize(), McFalse);
  int otherDepth = -1;
  std::thread other([&] {
    ops().coInitialize();
    otherDepth = sim::ApartmentDepth();
    ops().coUninitialize();
  });
  other.join();
  EXPECT_EQ(otherDepth, 1);
  EXPECT_EQ(sim::ApartmentDepth(), 2);
  EXPECT_EQ(framework().apartmentBalance(), 2);
  ops().coUninitialize();
  ops().coUninitialize();
  ops().coUninitialize();  // one too many
  EXPECT_EQ(framework().unbalancedLeaves(), 1u);
  EXPECT_EQ(framework().apartmentBalance(), 0);
}

// Reset and disconnection.

TEST_F(FrameworkTest, ResetCameraIsBackAfterItsAbsenceButOldFilterStaysDead) {
  build();
  McObject* oldFilter = nullptr;
  McObject* oldControl = nullptr;
  ASSERT_EQ(ops().queryInterface(filter_, IidBaseFilter, &oldFilter), McOk);
  ASSERT_EQ(ops().queryInterface(filter_, IidKsControl, &oldControl), McOk);
  ASSERT_TRUE(writeReg(0x1073, 0));
  ops().sleep(1500);
  ASSERT_TRUE(rebind());
  EXPECT_TRUE(writeReg(0x0100, 0x01));
  Record record{0x00, 0x01, 0x00, 0xFF};
  auto header = Header(1, 0x10000002, node());
  std::uint32_t returned = 0;
  EXPECT_EQ(ops().ksProperty(oldControl, header.data(), 32, record.data(), 4, &returned),
            sim::McDeviceNotConnected);
  ops().release(oldControl);
  ops().release(oldFilter);
}

// Injected faults.

TEST_F(FrameworkTest, FailsExactlyTheNthRequest) {
  build();
  device().faults().failRequest = device().requestCount() + 3;
  EXPECT_TRUE(writeReg(0x0100, 1));
  EXPECT_TRUE(writeReg(0x0101, 1));
  EXPECT_FALSE(writeReg(0x0102, 1));
  EXPECT_TRUE(writeReg(0x0103, 1));
  EXPECT_EQ(readReg(0x0102), 0x00);
  EXPECT_EQ(readReg(0x0103), 0x01);
}

TEST_F(FrameworkTest, DisconnectsAfterNRequestsUntilEnumeratedAgain) {
  build();
  device().faults().disconnectAfter = device().requestCount() + 2;
  EXPECT_TRUE(writeReg(0x0100, 1));
  EXPECT_TRUE(writeReg(0x0101, 1));
  EXPECT_FALSE(writeReg(0x0102, 1));
  EXPECT_FALSE(writeReg(0x0103, 1));
  EXPECT_FALSE(device().attached());
  ASSERT_TRUE(rebind());
  EXPECT_TRUE(writeReg(0x0104, 1));
  // Plugged in again, it starts from its power-on registers.
  EXPECT_EQ(readReg(0x0101), 0x00);
  EXPECT_EQ(readReg(0x0104), 0x01);
}

TEST_F(FrameworkTest, FailedSelectorFailsOnlyThatSelector) {
  build();
  device().faults().failSelector = 3;
  EXPECT_EQ(chipReadStart(0, 8), sim::McGenFailure);
  EXPECT_TRUE(writeReg(0x0100, 1));
}

TEST_F(FrameworkTest, FailedNodeRejectsProbesAndRequestsThere) {
  build();
  device().faults().failNode = 3;
  EXPECT_LT(probe(3), 0);
  EXPECT_FALSE(writeReg(0x0100, 1));
  device().faults().failNode = -1;
  EXPECT_EQ(probe(3), McOk);
}

TEST_F(FrameworkTest, StayBusyKeepsBusyBitAndChipWritesFail) {
  build();
  device().faults().stayBusy = true;
  EXPECT_EQ(readStatus() & 1, 1);
  ops().sleep(100'000);
  EXPECT_EQ(readStatus() & 1, 1);
  unlockChipWrites();
  EXPECT_EQ(chipWrite(0x0000, {0x00}), sim::McGenFailure);
  EXPECT_EQ(flash().contents()[0], 0xFF);
  device().faults().stayBusy = false;
  EXPECT_EQ(readStatus() & 1, 0);
}

TEST_F(FrameworkTest, CorruptedReadBackFlipsOneByteOnTheReadPathOnly) {
  build();
  flash().contents()[0x0102] = 0x5A;
  device().faults().corruptReadback = 0x0102;
  const auto bytes = chipRead(0x0100, 8);
  ASSERT_EQ(bytes.size(), 8u);
  EXPECT_EQ(bytes[2], 0xA5);
  EXPECT_EQ(bytes[1], 0xFF);
  EXPECT_EQ(bytes[3], 0xFF);
  EXPECT_EQ(flash().contents()[0x0102], 0x5A);
}

TEST_F(FrameworkTest, RequestsAreCountedPerDevice) {
  build();
  const std::uint32_t before = device().requestCount();
  readReg(0x0100);  // a SET and a GET
  EXPECT_EQ(device().requestCount(), before + 2);
}

}  // namespace
}  // namespace simtest
