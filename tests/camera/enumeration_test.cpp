// Enumeration of capture devices, binding by path, extension-unit discovery and release.

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "camera/chip_table.h"
#include "seams/media_capture.h"
#include "tests/camera/camera_fixture.h"

namespace {

class Enumeration : public CameraOnSim {
 protected:
  void SetUp() override {
    CameraOnSim::SetUp();
    sim::ResetSimulator();
  }
  int Enumerate(int count = 10, int pathLength = 256) {
    int found = -1;
    const bool result = CamEnumerate(&paths_[0][0], count, pathLength, &found);
    EXPECT_EQ(result, found != 0);
    EXPECT_EQ(cameraBinding.boundFilter, nullptr);
    EXPECT_EQ(Framework().liveReferences(), 0);
    EXPECT_EQ(Framework().apartmentBalance(), 0);
    return found;
  }
  std::u16string Entry(int i) { return std::u16string(paths_[i]); }
};

TEST_F(Enumeration, NoDeviceAtAllFindsNothing) {
  std::memset(paths_, 0x41, sizeof paths_);
  EXPECT_EQ(Enumerate(), 0);
  for (const auto& entry : paths_) {
    for (char16_t c : entry) {
      ASSERT_EQ(c, 0);
    }
  }
  EXPECT_FALSE(CamBindDevice(sim::CameraDevicePath(sim::DefaultUsbId).c_str(), 256));
  EXPECT_EQ(cameraBinding.boundFilter, nullptr);
}

TEST_F(Enumeration, UnrecognisedDevicesAreSkipped) {
  Framework().addDevice(sim::ForeignCaptureDevice());
  sim::DeviceSetup unreadable = sim::CameraDevice({}, sim::DefaultUsbId, 1);
  unreadable.pathUnreadable = true;
  Framework().addDevice(unreadable);
  sim::DeviceSetup unbindable = sim::CameraDevice({}, sim::DefaultUsbId, 2);
  unbindable.cannotBind = true;
  Framework().addDevice(unbindable);
  sim::CameraConfig unknownChip;
  unknownChip.romIdPresent = false;
  Framework().addDevice(sim::CameraDevice(unknownChip, sim::DefaultUsbId, 3));
  sim::Device& ours = AddCamera({}, "vid_0c45&pid_6320", 4);
  EXPECT_EQ(Enumerate(), 1);
  EXPECT_EQ(Entry(0), ours.setup().path);
  EXPECT_TRUE(Entry(1).empty());
}

TEST_F(Enumeration, StopsWhenEveryEntryIsFilled) {
  for (int i = 0; i < 3; ++i) {
    AddCamera({}, "vid_1f3a&pid_5c72", i);
  }
  EXPECT_EQ(Enumerate(2), 2);
  EXPECT_EQ(Entry(0), Framework().device(0).setup().path);
  EXPECT_EQ(Entry(1), Framework().device(1).setup().path);
  EXPECT_EQ(Framework().device(2).requestCount(), 0u);  // never examined
}

TEST_F(Enumeration, PathThatDoesNotFitIsLeftOutNotCut) {
  sim::DeviceSetup longPath = sim::CameraDevice({}, sim::DefaultUsbId, 0);
  longPath.path = u"\\\\?\\usb#vid_1f3a&pid_5c72#" + std::u16string(40, u'x');
  const std::u16string fits = longPath.path.substr(0, 47);
  Framework().addDevice(longPath);
  sim::DeviceSetup shortPath = sim::CameraDevice({}, sim::DefaultUsbId, 1);
  shortPath.path = fits;
  Framework().addDevice(shortPath);
  EXPECT_EQ(Enumerate(10, 48), 1);
  EXPECT_EQ(std::u16string(&paths_[0][0]), fits);
}

TEST_F(Enumeration, ExtensionUnitIsTheFirstVendorNodeAcceptingTheProbe) {
  sim::Device& camera = AddCamera({}, "vid_1f3a&pid_5c72", 0);
  StartTrace();
  EXPECT_EQ(Enumerate(), 1);
  EXPECT_EQ(cameraBinding.xuNodeId, camera.setup().xuNodeId);
  const auto lines = TakeLines();
  // Another vendor's unit rejects the probe before ours accepts it; other nodes are not probed.
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "SUPPORT 2 FAIL");
  EXPECT_EQ(lines[1], "SUPPORT 3");
  EXPECT_EQ(CountPrefix(lines, "SUPPORT"), 2);
}

TEST_F(Enumeration, WithoutVendorNodesNodeIdsOneThenTwoAreTried) {
  Framework().addDevice(sim::CameraDeviceWithoutVendorNodes({}, sim::DefaultUsbId, 0));
  device_ = &Framework().device(0);
  StartTrace();
  EXPECT_EQ(Enumerate(), 1);
  EXPECT_EQ(cameraBinding.xuNodeId, 2u);
  const auto lines = TakeLines();
  EXPECT_EQ(CountPrefix(lines, "SUPPORT"), 0);
  EXPECT_EQ(lines[0], Line("SET", 4, 1, {0xF8, 0x9F, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + " FAIL");
  EXPECT_EQ(lines[1].substr(0, 8), "SET 4 2 ");
  CamResetState();  // binding alone, from a fresh layer, falls back the same way
  ASSERT_EQ(CamOpen(paths_[0], 256), 2);
  EXPECT_EQ(cameraBinding.xuNodeId, 2u);
}

// An enumerator that starts at its end until it is reset, as one walked before would.
std::set<McObject*> rewound;
const MediaCaptureOps* simTable = nullptr;

TEST_F(Enumeration, WalksStartFromAResetEnumerator) {
  AddCamera({}, "vid_1f3a&pid_5c72", 0);
  simTable = CamMediaCapture();
  MediaCaptureOps ops = *simTable;
  ops.enumReset = [](McObject* e) {
    rewound.insert(e);
    return simTable->enumReset(e);
  };
  ops.enumNext = [](McObject* e, McObject** moniker) {
    return rewound.count(e) != 0 ? simTable->enumNext(e, moniker) : McFalse;
  };
  CamInstallMediaCapture(&ops);
  EXPECT_EQ(Enumerate(), 1);
  rewound.clear();
  EXPECT_EQ(CamOpen(paths_[0], 256), 2);
  CamClose();
  CamInstallMediaCapture(simTable);
}

TEST_F(Enumeration, AProbeAnsweredWithAPositiveCodeFindsTheNode) {
  AddCamera({}, "vid_1f3a&pid_5c72", 0);
  simTable = CamMediaCapture();
  MediaCaptureOps ops = *simTable;
  ops.ksProperty = [](McObject* c, void* p, std::uint32_t pl, void* d, std::uint32_t dl,
                      std::uint32_t* r) -> HResult {
    const HResult result = simTable->ksProperty(c, p, pl, d, dl, r);
    const bool probe = (static_cast<const std::uint8_t*>(p)[21] & 0x01) != 0;  // set support
    return probe && result == 0 ? 1 : result;
  };
  CamInstallMediaCapture(&ops);
  EXPECT_EQ(Enumerate(), 1);
  EXPECT_EQ(cameraBinding.xuNodeId, 3u);
  CamInstallMediaCapture(simTable);
}

TEST_F(Enumeration, BindingFindsTheDeviceByItsPath) {
  sim::CameraConfig first;
  first.chipIndex = 9;
  sim::CameraConfig second;
  second.chipIndex = 16;
  AddCamera(first, "vid_1f3a&pid_5c72", 0);
  sim::Device& other = AddCamera(second, "vid_0c45&pid_6320", 1);
  ASSERT_TRUE(CamBindDevice(other.setup().path.c_str(), 256));
  EXPECT_NE(cameraBinding.boundFilter, nullptr);
  EXPECT_EQ(CameraSlot[0].chipIndex, 16);
  EXPECT_EQ(Framework().apartmentBalance(), 1);  // stays in the apartment until released
  EXPECT_TRUE(CamReleaseDevice(0));
  EXPECT_EQ(cameraBinding.boundFilter, nullptr);
  EXPECT_FALSE(CamBindDevice(u"\\\\?\\usb#vid_dead&pid_beef#0", 256));
  EXPECT_EQ(cameraBinding.boundFilter, nullptr);
}

TEST_F(Enumeration, OpeningAnAbsentPathInstallsNothing) {
  AddCamera({}, "vid_1f3a&pid_5c72", 0);
  EXPECT_EQ(CamOpen(u"\\\\?\\usb#vid_1f3a&pid_5c72#nothere", 256), 0);
  EXPECT_FALSE(CameraSlot[0].isOpen);
  EXPECT_EQ(cameraOps.opTransfer, nullptr);
  EXPECT_EQ(transferChunk, 0u);
}

TEST_F(Enumeration, CloseReleasesOnceAndLeavesTheTableInstalled) {
  AddCamera({}, "vid_1f3a&pid_5c72", 0);
  EXPECT_FALSE(CamClose());  // never opened
  ASSERT_EQ(Enumerate(), 1);
  ASSERT_EQ(CamOpen(paths_[0], 256), 2);
  EXPECT_TRUE(CameraSlot[0].isOpen);
  EXPECT_GT(Framework().liveReferences(), 0);
  EXPECT_TRUE(CamClose());
  EXPECT_FALSE(CamClose());
  EXPECT_EQ(Framework().liveReferences(), 0);
  EXPECT_EQ(Framework().apartmentBalance(), 0);
  EXPECT_NE(cameraOps.opTransfer, nullptr);
  const std::uint32_t node = cameraBinding.xuNodeId;
  EXPECT_EQ(node, 3u);  // kept after close
}

TEST_F(Enumeration, OpenCameraIsNotDisturbedByAnotherEnumeration) {
  AddCamera({}, "vid_1f3a&pid_5c72", 0);
  ASSERT_EQ(Enumerate(), 1);
  ASSERT_EQ(CamOpen(paths_[0], 256), 2);
  McObject* bound = cameraBinding.boundFilter;
  int found = 5;
  char16_t more[2][256];
  EXPECT_FALSE(CamEnumerate(&more[0][0], 2, 256, &found));
  EXPECT_EQ(found, 0);
  EXPECT_EQ(cameraBinding.boundFilter, bound);
  EXPECT_FALSE(CamBindDevice(paths_[0], 256));
  EXPECT_EQ(cameraBinding.boundFilter, bound);
}

TEST_F(Enumeration, ResetCameraComesBackAtTheFirstEnumerationAfterItsAbsence) {
  sim::CameraConfig config;
  config.chipIndex = 16;
  sim::Device& camera = AddCamera(config, "vid_1f3a&pid_5c72", 0);
  ASSERT_EQ(Enumerate(), 1);
  ASSERT_EQ(CamOpen(paths_[0], 256), 2);
  EXPECT_EQ(CamResetDevice(), 2);
  std::uint8_t value = 0;
  EXPECT_FALSE(CamReadAsic(0, 0x05F0, &value));
  CamClose();
  EXPECT_EQ(Enumerate(), 0);  // still restarting
  Framework().clock().sleepMillis(1500);
  EXPECT_EQ(Enumerate(), 1);
  EXPECT_EQ(Entry(0), camera.setup().path);
  EXPECT_EQ(CamOpen(paths_[0], 256), 2);
}

}  // namespace

namespace {

// Forwards every seam call to the simulator and records the ones that obtain or give back a
// platform object, named by what it is.
std::vector<std::string> calls;
std::map<McObject*, std::string> names;
const MediaCaptureOps* real = nullptr;

std::string NameOf(McObject* object) {
  auto it = names.find(object);
  return it == names.end() ? "?" : it->second;
}

HResult Obtained(HResult hr, McObject** out, const std::string& name) {
  if (hr >= 0 && out != nullptr && *out != nullptr) {
    names[*out] = name;
    calls.push_back("get " + name);
  }
  return hr;
}

MediaCaptureOps RecordingOps() {
  MediaCaptureOps ops = *real;
  ops.coInitialize = [] {
    calls.emplace_back("enter");
    return real->coInitialize();
  };
  ops.coUninitialize = [] {
    calls.emplace_back("leave");
    real->coUninitialize();
  };
  ops.createDeviceEnumerator = [](McObject** out) {
    return Obtained(real->createDeviceEnumerator(out), out, "devEnum");
  };
  ops.createClassEnumerator = [](McObject* e, const Guid& c, McObject** out, std::uint32_t f) {
    return Obtained(real->createClassEnumerator(e, c, out, f), out, "classEnum");
  };
  ops.enumNext = [](McObject* e, McObject** out) {
    return Obtained(real->enumNext(e, out), out, "moniker");
  };
  ops.bindToStorage = [](McObject* m, McObject** out) {
    return Obtained(real->bindToStorage(m, out), out, "bag");
  };
  ops.readStringProperty = [](McObject* bag, const char16_t* name, char16_t** value) {
    const HResult hr = real->readStringProperty(bag, name, value);
    calls.emplace_back("get path");
    return hr;
  };
  ops.freeString = [](char16_t* value) {
    calls.emplace_back("free path");
    real->freeString(value);
  };
  ops.bindToObject = [](McObject* m, McObject** out) {
    return Obtained(real->bindToObject(m, out), out, "filter");
  };
  ops.release = [](McObject* object) {
    const std::string name = NameOf(object);
    if (!name.empty() && name != "?") {
      calls.push_back("release " + name);
    }
    return real->release(object);
  };
  return ops;
}

TEST_F(Enumeration, PlatformObjectsAreReleasedInTheWalksOrder) {
  AddCamera({}, "vid_1f3a&pid_5c72", 0);
  real = sim::MediaCaptureTable();
  static const MediaCaptureOps recording = RecordingOps();
  CamInstallMediaCapture(&recording);
  calls.clear();
  names.clear();
  ASSERT_EQ(Enumerate(), 1);
  const std::vector<std::string> expected = {"enter",
                                             "get devEnum",
                                             "get classEnum",
                                             "release devEnum",
                                             "get moniker",
                                             "get bag",
                                             "get path",
                                             "get filter",
                                             "release filter",
                                             "release bag",
                                             "free path",
                                             "release moniker",
                                             "release classEnum",
                                             "leave"};
  EXPECT_EQ(calls, expected);

  calls.clear();
  ASSERT_TRUE(CamBindDevice(paths_[0], 256));
  const std::vector<std::string> bound = {
      "enter",       "get devEnum", "get classEnum",   "release devEnum",
      "get moniker", "get bag",     "get path",        "get filter",
      "release bag", "free path",   "release moniker", "release classEnum"};
  EXPECT_EQ(calls, bound);
  calls.clear();
  EXPECT_TRUE(CamReleaseDevice(0));
  EXPECT_EQ(calls, (std::vector<std::string>{"release filter", "leave"}));
  CamInstallMediaCapture(real);
}

}  // namespace
