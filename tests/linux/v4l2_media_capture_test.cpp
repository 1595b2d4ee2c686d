// The V4L2 media-capture table: one device per camera, its path, the unit topology, and property
// requests carried as extension-unit queries, against a stand-in for the kernel's calls.

#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "seams/media_capture.h"
#include "camera/xu_transport.h"
#include "platform/linux/linux_syscalls.h"
#include "platform/linux/operator_notice.h"
#include "platform/linux/v4l2_media_capture.h"
#include "tests/linux/sysfs_fixture.h"

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

// Written out from the system's documented identifiers.
const Guid kVideoInputCategory{
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const Guid kTopologyInfo{
    0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
const Guid kKsControl{0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const Guid kDevSpecific{
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
const Bytes kSetGuid{0x70, 0x33, 0xF0, 0x28, 0x11, 0x63, 0x2E, 0x4A,
                     0xBA, 0x2C, 0x68, 0x90, 0xEB, 0x33, 0x40, 0x16};
const char16_t kCameraPath[] =
    u"\\\\?\\usb#vid_1f3a&pid_5c72&mi_00#1-1#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";

// VideoControl interface 0: a processing unit (id 2), the camera's unit (id 3) and another
// vendor unit (id 4).
const Bytes kDescriptors{
    0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0x3A, 0x1F, 0x72, 0x5C, 0x00, 0x01, 0x01, 0x02,
    0x00, 0x01, 0x09, 0x02, 0x60, 0x00, 0x02, 0x01, 0x00, 0x80, 0xFA, 0x09, 0x04, 0x00, 0x00, 0x01,
    0x0E, 0x01, 0x00, 0x02, 0x0D, 0x24, 0x01, 0x00, 0x01, 0x4D, 0x00, 0x80, 0xC3, 0xC9, 0x01, 0x01,
    0x01, 0x0B, 0x24, 0x05, 0x02, 0x01, 0x00, 0x00, 0x02, 0x7F, 0x15, 0x00, 0x1A, 0x24, 0x06, 0x03,
    0x70, 0x33, 0xF0, 0x28, 0x11, 0x63, 0x2E, 0x4A, 0xBA, 0x2C, 0x68, 0x90, 0xEB, 0x33, 0x40, 0x16,
    0x05, 0x01, 0x02, 0x01, 0x1F, 0x00, 0x1A, 0x24, 0x06, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
    0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x08, 0x01, 0x03, 0x01, 0x03, 0x00};

struct Query {
  int unit, selector, query, size;
  Bytes data;
};

// What the kernel would do with the calls, scripted per test.
struct FakeKernel {
  std::map<std::string, std::uint32_t> deviceCaps;  // by node path; absent nodes fail to open
  std::map<std::string, int> openErrno;
  std::map<int, std::string> openFds;
  int nextFd = 10;
  std::vector<std::string> opened;
  std::vector<unsigned long> requests;
  std::vector<Query> queries;
  std::deque<int> queryErrnos;  // one per UVCIOC call, then success
  Bytes answer;                 // copied into a GET_CUR's data
  // The opened file's device number by node path; absent: 81:N for videoN, as sysfs lists it.
  std::map<std::string, dev_t> rdev;
  std::map<std::string, mode_t> type;  // absent: a character device
  int fstatErrno = 0;                  // fstat of an open node fails with this when set
  // The nodes' mode and owner, and who the process is.
  mode_t nodeMode = 0660;
  uid_t nodeUid = 0;
  gid_t nodeGid = 46;
  uid_t euid = 1000;
  gid_t egid = 1000;
  std::vector<gid_t> groups{1000, 24};
};
FakeKernel* kernel = nullptr;

const std::map<unsigned, std::string> kUsers{{0, "root"}, {1000, "station"}};
const std::map<unsigned, std::string> kGroups{
    {0, "root"}, {24, "cdrom"}, {44, "video"}, {46, "plugdev"}, {1000, "station"}};

int FakeOpen(const char* path, int) {
  if (auto e = kernel->openErrno.find(path); e != kernel->openErrno.end()) {
    errno = e->second;
    return -1;
  }
  if (!kernel->deviceCaps.count(path)) {
    errno = ENOENT;
    return -1;
  }
  kernel->opened.push_back(path);
  kernel->openFds[kernel->nextFd] = path;
  return kernel->nextFd++;
}

int FakeClose(int fd) {
  return kernel->openFds.erase(fd) == 1 ? 0 : (errno = EBADF, -1);
}

int FakeIoctl(int fd, unsigned long request, void* argument) {
  kernel->requests.push_back(request);
  if (!kernel->openFds.count(fd)) {
    errno = EBADF;
    return -1;
  }
  if (request == 0x80685600ul) {
    auto* caps = static_cast<v4l2_capability*>(argument);
    std::memset(caps, 0, sizeof *caps);
    caps->device_caps = kernel->deviceCaps[kernel->openFds[fd]];
    // The whole device's capabilities, as the driver reports them on every node of the camera.
    caps->capabilities = 0x84A00001u;
    return 0;
  }
  if (request == 0xC0107521ul) {
    auto* q = static_cast<uvc_xu_control_query*>(argument);
    kernel->queries.push_back(
        {q->unit, q->selector, q->query, q->size, Bytes(q->data, q->data + q->size)});
    if (!kernel->queryErrnos.empty()) {
      errno = kernel->queryErrnos.front();
      kernel->queryErrnos.pop_front();
      return -1;
    }
    if (q->query == 0x81) {
      std::memcpy(q->data, kernel->answer.data(),
                  std::min<std::size_t>(q->size, kernel->answer.size()));
    }
    return 0;
  }
  errno = ENOTTY;
  return -1;
}

dev_t NumberOf(const std::string& path) {
  if (auto r = kernel->rdev.find(path); r != kernel->rdev.end()) {
    return r->second;
  }
  return makedev(81, std::stoi(path.substr(path.rfind("video") + 5)));
}

int FakeFstat(int fd, struct stat* info) {
  if (!kernel->openFds.count(fd)) {
    errno = EBADF;
    return -1;
  }
  if (kernel->fstatErrno != 0) {
    errno = kernel->fstatErrno;
    return -1;
  }
  const std::string& path = kernel->openFds[fd];
  *info = {};
  const auto t = kernel->type.find(path);
  info->st_mode = (t != kernel->type.end() ? t->second : S_IFCHR) | kernel->nodeMode;
  info->st_rdev = NumberOf(path);
  return 0;
}

int FakeStat(const char*, struct stat* info) {
  *info = {};
  info->st_mode = S_IFCHR | kernel->nodeMode;
  info->st_uid = kernel->nodeUid;
  info->st_gid = kernel->nodeGid;
  return 0;
}

uid_t FakeGeteuid() {
  return kernel->euid;
}

gid_t FakeGetegid() {
  return kernel->egid;
}

int FakeGetgroups(int size, gid_t* list) {
  const int count = static_cast<int>(kernel->groups.size());
  if (size == 0) {
    return count;
  }
  if (size < count) {
    errno = EINVAL;
    return -1;
  }
  std::copy(kernel->groups.begin(), kernel->groups.end(), list);
  return count;
}

int NameOf(const std::map<unsigned, std::string>& names, unsigned id, char* name,
           std::size_t size) {
  const auto found = names.find(id);
  if (found == names.end() || found->second.size() >= size) {
    return -1;
  }
  std::memcpy(name, found->second.c_str(), found->second.size() + 1);
  return 0;
}

int FakeUserName(uid_t uid, char* name, std::size_t size) {
  return NameOf(kUsers, uid, name, size);
}

int FakeGroupName(gid_t gid, char* name, std::size_t size) {
  return NameOf(kGroups, gid, name, size);
}

const linuxplat::LinuxSyscalls kFakeCalls{FakeOpen,     FakeClose,    FakeIoctl,     FakeFstat,
                                          FakeStat,     FakeGeteuid,  FakeGetgroups, FakeGetegid,
                                          FakeUserName, FakeGroupName};

class V4l2MediaCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel = &fake;
    linuxplat::InstallSyscalls(&kFakeCalls);
    linuxplat::SetV4l2Roots(fixture.Root(), fixture.DevRoot());
    linuxtest::AddCamera(fixture);
    fixture.WriteDeviceFile("1-1", "descriptors", kDescriptors);
    linuxplat::ResetNotices();
    ops->coInitialize();  // the framework is entered, as the camera layer always does
  }
  void TearDown() override {
    ops->coUninitialize();
    EXPECT_TRUE(fake.openFds.empty()) << "a node was left open";
    linuxplat::InstallSyscalls(nullptr);
    linuxplat::SetV4l2Roots("/sys", "/dev");
    kernel = nullptr;
  }

  std::string Node(int n) const { return fixture.DevRoot() + "/video" + std::to_string(n); }

  // The paths of the devices the class enumerator lists.
  std::vector<std::u16string> ListPaths() {
    std::vector<std::u16string> paths;
    McObject* devEnum = nullptr;
    McObject* classEnum = nullptr;
    EXPECT_EQ(ops->createDeviceEnumerator(&devEnum), 0);
    if (ops->createClassEnumerator(devEnum, kVideoInputCategory, &classEnum, 0) == 0) {
      McObject* moniker = nullptr;
      while (ops->enumNext(classEnum, &moniker) == 0) {
        McObject* bag = nullptr;
        char16_t* path = nullptr;
        EXPECT_EQ(ops->bindToStorage(moniker, &bag), 0);
        EXPECT_EQ(ops->readStringProperty(bag, u"DevicePath", &path), 0);
        paths.emplace_back(path);
        ops->freeString(path);
        ops->release(bag);
        ops->release(moniker);
      }
      ops->release(classEnum);
    }
    ops->release(devEnum);
    return paths;
  }

  // Binds the first listed device's filter.
  McObject* BindFirst() {
    McObject* devEnum = nullptr;
    McObject* classEnum = nullptr;
    McObject* moniker = nullptr;
    McObject* filter = nullptr;
    ops->createDeviceEnumerator(&devEnum);
    if (ops->createClassEnumerator(devEnum, kVideoInputCategory, &classEnum, 0) == 0 &&
        ops->enumNext(classEnum, &moniker) == 0) {
      ops->bindToObject(moniker, &filter);
      ops->release(moniker);
    }
    if (classEnum != nullptr) {
      ops->release(classEnum);
    }
    ops->release(devEnum);
    return filter;
  }

  static Bytes Header(std::uint32_t selector, std::uint32_t flags, std::uint32_t node) {
    Bytes header = kSetGuid;
    for (std::uint32_t v : {selector, flags, node, 0u}) {
      for (int i = 0; i < 4; ++i) {
        header.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
      }
    }
    return header;
  }

  linuxtest::SysfsFixture fixture;
  FakeKernel fake;
  const MediaCaptureOps* ops = linuxplat::V4l2MediaCaptureOps();
};

TEST_F(V4l2MediaCaptureTest, ACameraIsListedOnceThroughItsCaptureNode) {
  struct Case {
    const char* name;
    std::uint32_t video0, video1;  // device_caps of the two nodes
    int boundNode;
  };
  const Case cases[] = {
      {"capture node first", 0x04200001, 0x04A00000, 0},
      {"metadata node first", 0x04A00000, 0x04200001, 1},
  };
  fixture.AddVideoNode(0, "1-1:1.0");
  fixture.AddVideoNode(1, "1-1:1.0");
  for (const Case& c : cases) {
    fake.deviceCaps = {{Node(0), c.video0}, {Node(1), c.video1}};
    EXPECT_EQ(ListPaths(), std::vector<std::u16string>{kCameraPath}) << c.name;
    fake.opened.clear();
    McObject* filter = BindFirst();
    ASSERT_NE(filter, nullptr) << c.name;
    ASSERT_FALSE(fake.opened.empty());
    EXPECT_EQ(fake.opened.back(), Node(c.boundNode)) << c.name;
    ops->release(filter);
  }
  // After a reset the camera comes back on other nodes: the next enumeration finds them.
  fake.deviceCaps = {{Node(2), 0x04200001}, {Node(3), 0x04A00000}};
  fixture.AddVideoNode(2, "1-1:1.0");
  fixture.AddVideoNode(3, "1-1:1.0");
  std::filesystem::remove_all(fixture.Root() + "/class/video4linux/video0");
  std::filesystem::remove_all(fixture.Root() + "/class/video4linux/video1");
  EXPECT_EQ(ListPaths(), std::vector<std::u16string>{kCameraPath});
  fake.deviceCaps = {{Node(2), 0x04A00000}, {Node(3), 0x04A00000}};
  EXPECT_TRUE(ListPaths().empty()) << "nodes that answer as no capture device";
  std::filesystem::remove_all(fixture.Root() + "/class/video4linux");
  McObject* devEnum = nullptr;
  McObject* classEnum = nullptr;
  ops->createDeviceEnumerator(&devEnum);
  EXPECT_NE(ops->createClassEnumerator(devEnum, kVideoInputCategory, &classEnum, 0), 0);
  EXPECT_EQ(classEnum, nullptr);
  ops->release(devEnum);
}

TEST_F(V4l2MediaCaptureTest, TopologyIsTheUnitsAndTheProbeMatchesTheUnitCode) {
  fixture.AddVideoNode(0, "1-1:1.0");
  fake.deviceCaps = {{Node(0), 0x04200001}};
  McObject* filter = BindFirst();
  ASSERT_NE(filter, nullptr);
  McObject* topology = nullptr;
  ASSERT_EQ(ops->queryInterface(filter, kTopologyInfo, &topology), 0);
  std::uint32_t count = 0;
  ASSERT_EQ(ops->getNumNodes(topology, &count), 0);
  EXPECT_EQ(count, 3u);
  const bool vendorNode[] = {false, true, true};
  const bool accepts[] = {false, true, false};  // only unit id 3 carries the camera's code
  for (std::uint32_t i = 0; i < 3; ++i) {
    Guid type{};
    ASSERT_EQ(ops->getNodeType(topology, i, &type), 0);
    EXPECT_EQ(type == kDevSpecific, vendorNode[i]) << "node " << i;
    McObject* control = nullptr;
    ASSERT_EQ(ops->createNodeInstance(topology, i, kKsControl, &control), 0);
    Bytes header = Header(0, 0x10000100, i);
    std::uint32_t returned = 0;
    EXPECT_EQ(ops->ksProperty(control, header.data(), 32, nullptr, 0, &returned) >= 0, accepts[i])
        << "node " << i;
    header[15] ^= 0x01;
    EXPECT_LT(ops->ksProperty(control, header.data(), 32, nullptr, 0, &returned), 0)
        << "another set, node " << i;
    ops->release(control);
  }
  EXPECT_TRUE(fake.queries.empty()) << "the probe is answered from the descriptors";
  ops->release(topology);
  ops->release(filter);
}

TEST_F(V4l2MediaCaptureTest, PropertyRequestsBecomeExtensionUnitQueries) {
  fixture.AddVideoNode(0, "1-1:1.0");
  fake.deviceCaps = {{Node(0), 0x04200001}};
  McObject* filter = BindFirst();
  ASSERT_NE(filter, nullptr);
  McObject* control = nullptr;
  ASSERT_EQ(ops->queryInterface(filter, kKsControl, &control), 0);
  fake.answer = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC};

  struct Case {
    const char* name;
    std::uint32_t selector, flags, node, length;
    std::deque<int> errnos;
    bool ok;
    int unit, query, calls;
  };
  const Case cases[] = {
      {"register write", 1, 0x10000002, 1, 4, {}, true, 3, 0x01, 1},
      {"register answer", 1, 0x10000001, 1, 4, {}, true, 3, 0x81, 1},
      {"flash record", 3, 0x10000002, 1, 12, {}, true, 3, 0x01, 1},
      {"the unit's id as a fallback node", 2, 0x10000001, 3, 8, {}, true, 3, 0x81, 1},
      {"interrupted twice", 5, 0x10000001, 1, 12, {EINTR, EINTR}, true, 3, 0x81, 3},
      {"size the driver does not take", 1, 0x10000001, 1, 4, {ENOBUFS}, false, 3, 0x81, 1},
      {"selector not in the unit", 6, 0x10000002, 1, 12, {ENOENT}, false, 3, 0x01, 1},
      {"stalled", 1, 0x10000002, 1, 4, {EPIPE}, false, 3, 0x01, 1},
      {"unsupported query", 1, 0x10000001, 1, 4, {EBADRQC}, false, 3, 0x81, 1},
      {"camera gone", 1, 0x10000002, 1, 4, {ENODEV}, false, 3, 0x01, 1},
      {"input/output error", 1, 0x10000001, 1, 4, {EIO}, false, 3, 0x81, 1},
      {"denied", 1, 0x10000001, 1, 4, {EACCES}, false, 3, 0x81, 1},
  };
  testing::internal::CaptureStderr();  // the failures' lines are another test's business
  for (const Case& c : cases) {
    fake.queries.clear();
    fake.queryErrnos = c.errnos;
    Bytes header = Header(c.selector, c.flags, c.node);
    Bytes data(c.length, 0);
    for (std::uint32_t i = 0; i < c.length; ++i) {
      data[i] = static_cast<std::uint8_t>(0x10 + i);
    }
    const Bytes sent = data;
    std::uint32_t returned = 0xDEAD;
    const HResult hr =
        ops->ksProperty(control, header.data(), 32, data.data(), c.length, &returned);
    EXPECT_EQ(hr == 0, c.ok) << c.name;
    EXPECT_EQ(hr < 0, !c.ok) << c.name;
    EXPECT_EQ(returned, c.ok ? c.length : 0xDEADu) << c.name;
    ASSERT_EQ(fake.queries.size(), static_cast<std::size_t>(c.calls)) << c.name;
    const Query& q = fake.queries.back();
    EXPECT_EQ(q.unit, c.unit) << c.name;
    EXPECT_EQ(q.selector, static_cast<int>(c.selector)) << c.name;
    EXPECT_EQ(q.query, c.query) << c.name;
    EXPECT_EQ(q.size, static_cast<int>(c.length)) << c.name;
    EXPECT_EQ(q.data, sent) << c.name;
    if (c.ok && c.query == 0x81) {
      EXPECT_EQ(data, Bytes(fake.answer.begin(), fake.answer.begin() + c.length)) << c.name;
    }
  }
  testing::internal::GetCapturedStderr();
  fake.queries.clear();
  Bytes header = Header(1, 0x10000001, 1);
  Bytes data(4, 0);
  std::uint32_t returned = 0;
  EXPECT_LT(ops->ksProperty(control, nullptr, 32, data.data(), 4, &returned), 0) << "no header";
  EXPECT_LT(ops->ksProperty(control, header.data(), 31, data.data(), 4, &returned), 0)
      << "short header";
  EXPECT_LT(ops->ksProperty(control, header.data(), 32, nullptr, 4, &returned), 0) << "no record";
  EXPECT_TRUE(fake.queries.empty());
  ops->release(control);
  ops->release(filter);
}

TEST_F(V4l2MediaCaptureTest, CameraLayerFindsTheUnitAndReadsARegisterThroughIt) {
  fixture.AddVideoNode(0, "1-1:1.0");
  fake.deviceCaps = {{Node(0), 0x04200001}};
  CamResetState();
  CamInstallMediaCapture(ops);
  cameraBinding.boundFilter = BindFirst();
  ASSERT_NE(cameraBinding.boundFilter, nullptr);
  std::uint32_t node = 99;
  EXPECT_TRUE(CamFindXuNode(&node));
  EXPECT_EQ(node, 1u) << "the second unit is the camera's";
  cameraBinding.xuNodeId = node;
  fake.answer = {0x00, 0x00, 0x5A, 0x00};
  std::uint8_t value = 0;
  EXPECT_TRUE(opAsicRead(0, 0x03C5, &value));
  EXPECT_EQ(value, 0x5A);
  ASSERT_EQ(fake.queries.size(), 2u);
  EXPECT_EQ(fake.queries[0].unit, 3);
  EXPECT_EQ(fake.queries[0].query, 0x01);
  EXPECT_EQ(fake.queries[0].data, (Bytes{0xC5, 0x03, 0x00, 0xFF}));
  EXPECT_EQ(fake.queries[1].unit, 3);
  EXPECT_EQ(fake.queries[1].query, 0x81);
  EXPECT_EQ(fake.queries[1].size, 4);
  ops->release(cameraBinding.boundFilter);
  cameraBinding.boundFilter = nullptr;
  CamInstallMediaCapture(nullptr);
  CamResetState();
}

TEST_F(V4l2MediaCaptureTest, RequestsReachOnlyAUnitWhoseCodeIsTheirSet) {
  fixture.AddVideoNode(0, "1-1:1.0");
  fake.deviceCaps = {{Node(0), 0x04200001}};
  McObject* filter = BindFirst();
  ASSERT_NE(filter, nullptr);
  McObject* control = nullptr;
  ASSERT_EQ(ops->queryInterface(filter, kKsControl, &control), 0);
  const std::uint32_t kNotFound = 0x80070490u;
  struct Case {
    const char* name;
    std::uint32_t flags, node;
    bool otherSet;
  };
  const Case refused[] = {
      {"SET to the other vendor's unit by index", 0x10000002, 2, false},
      {"the other vendor's unit id", 0x10000002, 4, false},
      {"the processing unit by index", 0x10000001, 0, false},
      {"a node id that no unit carries", 0x10000002, 7, false},
      {"our unit with another set", 0x10000002, 1, true},
  };
  for (const Case& c : refused) {
    Bytes header = Header(1, c.flags, c.node);
    if (c.otherSet) {
      header[0] ^= 0x80;
    }
    Bytes data(4, 0x11);
    EXPECT_EQ(static_cast<std::uint32_t>(
                  ops->ksProperty(control, header.data(), 32, data.data(), 4, nullptr)),
              kNotFound)
        << c.name;
  }
  EXPECT_TRUE(fake.queries.empty()) << "a refused request makes no system call";

  // A node made for one unit is that unit, whatever the node id says.
  McObject* topology = nullptr;
  ASSERT_EQ(ops->queryInterface(filter, kTopologyInfo, &topology), 0);
  McObject* other = nullptr;
  ASSERT_EQ(ops->createNodeInstance(topology, 2, kKsControl, &other), 0);
  Bytes header = Header(1, 0x10000002, 1);
  Bytes data(4, 0x11);
  EXPECT_EQ(static_cast<std::uint32_t>(
                ops->ksProperty(other, header.data(), 32, data.data(), 4, nullptr)),
            kNotFound);
  EXPECT_TRUE(fake.queries.empty());
  ops->release(other);
  ops->release(topology);
  ops->release(control);
  ops->release(filter);
}

// A camera whose only vendor unit is another maker's, at unit id 1: the fallback node ids find
// nothing to send to.
TEST_F(V4l2MediaCaptureTest, ForeignUnitAtTheFallbackIdIsNeverAsked) {
  const Bytes foreign{0x09, 0x04, 0x00, 0x00, 0x01, 0x0E, 0x01, 0x00, 0x00, 0x0D, 0x24, 0x01,
                      0x00, 0x01, 0x27, 0x00, 0x80, 0xC3, 0xC9, 0x01, 0x01, 0x01, 0x1A, 0x24,
                      0x06, 0x01, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9,
                      0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0x05, 0x01, 0x02, 0x01, 0x1F, 0x00};
  fixture.WriteDeviceFile("1-1", "descriptors", foreign);
  fixture.AddVideoNode(0, "1-1:1.0");
  fake.deviceCaps = {{Node(0), 0x04200001}};
  CamResetState();
  CamInstallMediaCapture(ops);
  cameraBinding.boundFilter = BindFirst();
  ASSERT_NE(cameraBinding.boundFilter, nullptr);
  std::uint32_t node = 99;
  EXPECT_FALSE(CamFindXuNode(&node));
  std::uint8_t value = 0;
  for (std::uint32_t fallback : {1u, 2u}) {
    cameraBinding.xuNodeId = fallback;
    EXPECT_FALSE(opAsicWrite(0, 0x05F3, 0x06)) << "node " << fallback;
    EXPECT_FALSE(opAsicRead(0, 0x03C5, &value)) << "node " << fallback;
  }
  EXPECT_TRUE(fake.queries.empty());
  ops->release(cameraBinding.boundFilter);
  cameraBinding.boundFilter = nullptr;
  CamInstallMediaCapture(nullptr);
  CamResetState();
}

TEST_F(V4l2MediaCaptureTest, OpenedNodeMustBeTheDeviceTheListingExamined) {
  fixture.AddVideoNode(0, "1-1:1.0");
  fake.deviceCaps = {{Node(0), 0x04200001}};
  const std::string wrong = "reflash: cannot open " + Node(0) +
                            ": it is device 81:7, not the camera's 81:0 (replaced while it was "
                            "opened); the next attempt looks again\n";
  struct Case {
    const char* name;
    dev_t opened;
    mode_t type;
    bool bound;
    std::string said;
  };
  const Case cases[] = {
      {"the listed device", makedev(81, 0), S_IFCHR, true, ""},
      {"another device under the same name", makedev(81, 7), S_IFCHR, false, wrong},
      {"the same numbers on a block device", makedev(81, 0), S_IFBLK, false, ""},
  };
  for (const Case& c : cases) {
    linuxplat::ResetNotices();
    fake.rdev[Node(0)] = c.opened;
    fake.type[Node(0)] = c.type;
    testing::internal::CaptureStderr();
    McObject* filter = BindFirst();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(filter != nullptr, c.bound) << c.name;
    if (c.type == S_IFCHR) {
      EXPECT_EQ(said, c.said) << c.name;
    }
    if (filter != nullptr) {
      ops->release(filter);
    }
    EXPECT_TRUE(fake.openFds.empty()) << c.name << ": the refused node is closed";
  }
  // A node that cannot be examined, and one that sysfs gives no number for, are refused with a
  // line of their own.
  fake.type.clear();
  fake.rdev.clear();
  fake.fstatErrno = EIO;
  testing::internal::CaptureStderr();
  EXPECT_EQ(BindFirst(), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "reflash: cannot open " + Node(0) +
                ": the opened node cannot be examined (fstat: EIO); re-plug the camera and run "
                "again\n");
  fake.fstatErrno = 0;
  std::filesystem::remove(fixture.Root() + "/class/video4linux/video0/dev");
  testing::internal::CaptureStderr();
  EXPECT_EQ(BindFirst(), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "reflash: cannot open " + Node(0) +
                ": sysfs gives no device number for it (its \"dev\" entry cannot be read), so "
                "nothing shows it is the camera; re-plug the camera and run again\n");
  EXPECT_TRUE(fake.openFds.empty());
}

// The camera layer stops waiting at once for a camera the platform says has left: the driver's
// own word, or the node or the USB device gone from sysfs. A refusal is not that.
TEST_F(V4l2MediaCaptureTest, ARequestToACameraThatLeftEndsWithTheRemovalError) {
  fixture.AddVideoNode(0, "1-1:1.0");
  fake.deviceCaps = {{Node(0), 0x04200001}};
  McObject* filter = BindFirst();
  ASSERT_NE(filter, nullptr);
  McObject* control = nullptr;
  ASSERT_EQ(ops->queryInterface(filter, kKsControl, &control), 0);
  const struct {
    int error;
    const char* removed;  // a sysfs folder moved away for the request, or ""
    bool gone;
  } cases[] = {{EPIPE, "", false},
               {ERANGE, "", false},
               {ENODEV, "", true},
               {ESHUTDOWN, "", true},
               {EPIPE, "/bus/usb/devices/1-1", true},
               {EPROTO, "/class/video4linux/video0", true}};
  testing::internal::CaptureStderr();
  for (const auto& c : cases) {
    const std::string folder = *c.removed != 0 ? fs::canonical(fixture.Root() + c.removed) : "";
    if (!folder.empty()) {
      fs::rename(folder, folder + ".gone");
    }
    fake.queryErrnos = {c.error};
    Bytes header = Header(1, 0x10000002, 1);
    Bytes data(4, 0);
    const HResult hr = ops->ksProperty(control, header.data(), 32, data.data(), 4, nullptr);
    EXPECT_TRUE(hr < 0 && McIsDeviceRemoved(hr) == c.gone) << c.error << c.removed;
    if (!folder.empty()) {
      fs::rename(folder + ".gone", folder);
    }
  }
  testing::internal::GetCapturedStderr();
  ops->release(control);
  ops->release(filter);
}

TEST_F(V4l2MediaCaptureTest, DeniedNodeIsExplainedOnceByWhatItsModeAndOwnerSay) {
  fixture.AddVideoNode(0, "1-1:1.0");
  fake.deviceCaps = {{Node(0), 0x04200001}};
  const std::string open = "reflash: cannot open " + Node(0) + ": ";
  const std::string rule =
      "no group may open it: install the udev rule /lib/udev/rules.d/60-reflash.rules (package "
      "reflash) and re-plug the camera\n";
  const std::string policy = "allow this program video devices in the policy (AppArmor, SELinux)\n";
  struct Case {
    const char* name;
    int error;
    mode_t mode;
    uid_t owner;
    gid_t group;
    std::vector<gid_t> held;
    std::string said;
  };
  const Case cases[] = {
      {"a group grants it, the user is not in it",
       EACCES,
       0660,
       0,
       46,
       {1000, 24},
       open + "permission denied (mode 0660, owner root:plugdev); add this user to the group "
              "\"plugdev\" and log in again\n"},
      {"only root may open it",
       EACCES,
       0600,
       0,
       0,
       {1000, 24},
       open + "permission denied (mode 0600, owner root:root); " + rule},
      {"the group is root's own",
       EACCES,
       0660,
       0,
       0,
       {1000},
       open + "permission denied (mode 0660, owner root:root); " + rule},
      {"the user holds the group",
       EACCES,
       0660,
       0,
       44,
       {1000, 44},
       open + "refused by a security policy (mode 0660, owner root:video would allow this user); " +
           policy},
      {"the owner's class decides before the others'",
       EACCES,
       0066,
       1000,
       1000,
       {1000},
       open + "permission denied (mode 0066, owner station:station); add this user to the group "
              "\"station\" and log in again\n"},
      {"not a permission", ENODEV, 0660, 0, 46, {1000}, ""},
  };
  for (const Case& c : cases) {
    linuxplat::ResetNotices();
    fake.openErrno = {{Node(0), c.error}};
    fake.nodeMode = c.mode;
    fake.nodeUid = c.owner;
    fake.nodeGid = c.group;
    fake.groups = c.held;
    testing::internal::CaptureStderr();
    EXPECT_EQ(BindFirst(), nullptr) << c.name;
    EXPECT_EQ(BindFirst(), nullptr) << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said) << c.name;
  }
}

// Another maker's camera on the same computer: its failures are not the operator's business.
TEST_F(V4l2MediaCaptureTest, OnlyTheProductsCameraIsExplained) {
  fixture.AddDevice("usb1", "1-2",
                    {{"idVendor", "046d"}, {"idProduct", "0825"}, {"bNumInterfaces", " 2"}});
  fixture.AddInterface("1-2", "1-2:1.0", {{"bInterfaceNumber", "00"}}, "uvcvideo");
  fixture.WriteDeviceFile("1-2", "descriptors", kDescriptors);
  fixture.AddVideoNode(0, "1-2:1.0");
  fake.deviceCaps = {{Node(0), 0x04200001}};
  fake.openErrno = {{Node(0), EACCES}};
  testing::internal::CaptureStderr();
  EXPECT_EQ(BindFirst(), nullptr);
  fake.openErrno.clear();
  McObject* filter = BindFirst();
  ASSERT_NE(filter, nullptr);
  McObject* control = nullptr;
  ASSERT_EQ(ops->queryInterface(filter, kKsControl, &control), 0);
  fake.queryErrnos = {EPIPE};
  Bytes header = Header(1, 0x10000002, 1);
  Bytes data(4, 0);
  EXPECT_LT(ops->ksProperty(control, header.data(), 32, data.data(), 4, nullptr), 0);
  EXPECT_EQ(fake.queries.size(), 1u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ops->release(control);
  ops->release(filter);
}

TEST_F(V4l2MediaCaptureTest, EachFailedRequestCauseIsToldOnceWithWhatToDo) {
  fixture.AddVideoNode(0, "1-1:1.0");
  fake.deviceCaps = {{Node(0), 0x04200001}};
  McObject* filter = BindFirst();
  ASSERT_NE(filter, nullptr);
  McObject* control = nullptr;
  ASSERT_EQ(ops->queryInterface(filter, kKsControl, &control), 0);
  const std::string node = "reflash: " + Node(0) + ": ";
  const std::string repair = "a camera of another model or firmware: send it to repair\n";
  struct Case {
    int error;
    std::uint32_t selector, length;
    std::string said;
    int sameCause = 0;  // another error that means the same to the operator: no second line
  };
  const Case cases[] = {
      {ENOENT, 3, 12,
       node +
           "the driver does not reach control 3 of unit 3 (ENOENT: the unit is not in its "
           "control chain); " +
           repair},
      {ENOBUFS, 1, 4,
       node + "control 1 of unit 3 does not take a 4-byte record (ENOBUFS); " + repair},
      {EPIPE, 3, 12,
       node + "the camera stalled a request on control 3 of unit 3 (EPIPE); re-plug it on a port "
              "of the computer and run again; a second failure sends it to repair\n"},
      {EBUSY, 3, 12,
       node + "the camera was not ready for control 3 of unit 3 (EBUSY); run again; a camera "
              "that stays busy goes to repair\n"},
      // Mainline uvcvideo's reading of the camera's "wrong state", older kernels' EILSEQ.
      {EACCES, 3, 12,
       node + "the camera refused a request on control 3 of unit 3 in its present state (EACCES); "
              "re-plug it and run again; a second failure sends it to repair\n",
       EILSEQ},
      {ERANGE, 1, 4,
       node +
           "the camera found a value out of range on control 1 of unit 3 "
           "(ERANGE); " +
           repair},
      {EPERM, 1, 4,
       node + "a security policy refused the request on control 1 of unit 3 (EPERM); allow this "
              "program video devices in the policy (AppArmor, SELinux)\n"},
      {ENODEV, 3, 12,
       node + "the camera stopped answering (ENODEV); check the cable, and use a port of the "
              "computer, not an unpowered hub\n",
       ESHUTDOWN},
      {EPROTO, 1, 4,
       node + "a request on control 1 of unit 3 failed (EPROTO: Protocol error); re-plug the "
              "camera and run again; a second failure sends it to repair\n"},
  };
  for (const Case& c : cases) {
    Bytes header = Header(c.selector, 0x10000002, 1);
    Bytes data(c.length, 0);
    testing::internal::CaptureStderr();
    for (const int error : {c.error, c.error, c.sameCause}) {
      if (error != 0) {
        fake.queryErrnos = {error};
        EXPECT_LT(ops->ksProperty(control, header.data(), 32, data.data(), c.length, nullptr), 0);
      }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said) << c.error;
  }
  testing::internal::CaptureStderr();
  Bytes header = Header(1, 0x10000002, 1);
  Bytes data(4, 0);
  fake.queryErrnos = {EINTR};
  EXPECT_EQ(ops->ksProperty(control, header.data(), 32, data.data(), 4, nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "an interrupted call is repeated";
  ops->release(control);
  ops->release(filter);
}

}  // namespace
