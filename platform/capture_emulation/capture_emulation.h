#pragma once
// The media-capture framework emulated once, over a camera source: reference-counted objects,
// apartments, strings, property-request headers and result codes, with strict leak accounting.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "seams/camera_source.h"
#include "seams/media_capture.h"

namespace capture {

// Result codes the emulated framework answers with besides the seam's own.
inline constexpr HResult McPointer = static_cast<HResult>(0x80004003u);
inline constexpr HResult McInvalidArg = static_cast<HResult>(0x80070057u);
inline constexpr HResult McNotInitialized = static_cast<HResult>(0x800401F0u);
inline constexpr HResult McGenFailure = static_cast<HResult>(0x8007001Fu);  // a stalled request
inline constexpr HResult McSetNotFound = static_cast<HResult>(0x80070492u);
inline constexpr HResult McBufferTooSmall = static_cast<HResult>(0x8007007Au);

// The framework's code for a source's result: success codes pass as they are, the failures the
// framework tells apart get its own codes, and any other errno keeps its number under the
// customer bit, so a trace shows what the system said without passing it off as a system code.
HResult ResultOf(int sourceResult);

// The length every property request's node header has; any other length is refused unread.
inline constexpr std::uint32_t KspNodeSize = 32;

enum class ObjectKind : int {
  deviceEnumerator,
  classEnumerator,
  moniker,
  propertyBag,
  filter,
  filterControl,
  topology,
  nodeControl,
};
inline constexpr int objectKindCount = 8;
const char* ObjectKindName(ObjectKind kind);

// Apartment depth of the calling thread (enters minus leaves), shared by every emulation.
int ApartmentDepth();
// For a test reset only: a test that failed half-way may have left this thread inside.
void ResetApartmentOfThisThread();

struct Object;

// A source that passes every call to another; a wrapper overrides the calls it watches.
class ForwardingSource : public CameraSource {
 public:
  explicit ForwardingSource(CameraSource& inner) : inner_(&inner) {}
  void setInner(CameraSource& inner) { inner_ = &inner; }
  std::vector<SourceCamera> listCameras() override { return inner_->listCameras(); }
  int open(const SourceCamera& camera, std::uint64_t* binding) override {
    return inner_->open(camera, binding);
  }
  void close(std::uint64_t binding) override { inner_->close(binding); }
  int query(const SourceQuery& query) override { return inner_->query(query); }
  void sleep(std::uint32_t milliseconds) override { inner_->sleep(milliseconds); }

 protected:
  CameraSource& inner() { return *inner_; }

 private:
  CameraSource* inner_;
};

class Emulation {
 public:
  explicit Emulation(CameraSource& source);
  ~Emulation();
  Emulation(const Emulation&) = delete;
  Emulation& operator=(const Emulation&) = delete;

  // Back to no objects, no strings and zero counters, over the source it was made with; open
  // cameras are closed. Objects handed out before are invalid afterwards.
  void clear();
  // Puts a wrapper of the source in its place (null: the source it was made with again).
  void useSource(CameraSource* source) { source_ = source != nullptr ? source : &own_; }

  // Leak accounting: references handed out and not yet released, by kind and in all.
  std::int64_t liveReferences(ObjectKind kind) const;
  std::int64_t liveReferences() const;
  std::int64_t liveStrings() const;
  // Releases of objects that had no reference left, and frees of unknown strings.
  std::uint32_t overReleases() const;
  std::uint32_t badStringFrees() const;
  // Apartment enters minus leaves over all threads, and leaves without an enter.
  std::int64_t apartmentBalance() const;
  std::uint32_t unbalancedLeaves() const;
  // The source's key of the camera an object (moniker, bag, filter or its parts) stands for.
  bool cameraKeyOf(McObject* object, std::uint64_t* key) const;

  // The seam's operations.
  HResult coInitialize();
  void coUninitialize();
  HResult createDeviceEnumerator(McObject** devEnum);
  HResult createClassEnumerator(McObject* devEnum, const Guid& category, McObject** enumMoniker,
                                std::uint32_t flags);
  HResult enumReset(McObject* enumMoniker);
  HResult enumNext(McObject* enumMoniker, McObject** moniker);
  HResult bindToStorage(McObject* moniker, McObject** propertyBag);
  HResult readStringProperty(McObject* propertyBag, const char16_t* name, char16_t** value);
  void freeString(char16_t* value);
  HResult bindToObject(McObject* moniker, McObject** filter);
  HResult queryInterface(McObject* object, const Guid& iid, McObject** out);
  HResult getNumNodes(McObject* topology, std::uint32_t* count);
  HResult getNodeType(McObject* topology, std::uint32_t index, Guid* type);
  HResult createNodeInstance(McObject* topology, std::uint32_t index, const Guid& iid,
                             McObject** control);
  HResult ksProperty(McObject* control, void* property, std::uint32_t propertyLength, void* data,
                     std::uint32_t dataLength, std::uint32_t* bytesReturned);
  std::uint32_t release(McObject* object);
  void sleep(std::uint32_t milliseconds) { source_.load()->sleep(milliseconds); }

 private:
  Object* newObject(ObjectKind kind);
  Object* newFilter(std::shared_ptr<const SourceCamera> camera, std::uint64_t binding);
  void addRef(Object* object);
  Object* live(McObject* handle, ObjectKind kind) const;

  CameraSource& source() { return *source_.load(); }

  CameraSource& own_;
  std::atomic<CameraSource*> source_;
  mutable std::mutex mutex_;
  // Objects live until clear(), so a release too many is counted instead of touching freed
  // memory.
  std::vector<std::unique_ptr<Object>> objects_;
  std::unordered_set<char16_t*> strings_;
  std::array<std::int64_t, objectKindCount> live_{};
  std::uint32_t overReleases_ = 0;
  std::uint32_t badStringFrees_ = 0;
  std::atomic<std::int64_t> apartmentBalance_{0};
  std::atomic<std::uint32_t> unbalancedLeaves_{0};
};

// The seam's table over the emulation `Current` returns at each call.
template <Emulation& (*Current)()>
const MediaCaptureOps* MediaCaptureOver() {
  static const MediaCaptureOps table{
      .coInitialize = [] { return Current().coInitialize(); },
      .coUninitialize = [] { Current().coUninitialize(); },
      .createDeviceEnumerator =
          [](McObject** devEnum) { return Current().createDeviceEnumerator(devEnum); },
      .createClassEnumerator =
          [](McObject* devEnum, const Guid& category, McObject** out, std::uint32_t flags) {
            return Current().createClassEnumerator(devEnum, category, out, flags);
          },
      .enumReset = [](McObject* enumMoniker) { return Current().enumReset(enumMoniker); },
      .enumNext = [](McObject* enumMoniker,
                     McObject** moniker) { return Current().enumNext(enumMoniker, moniker); },
      .bindToStorage = [](McObject* moniker,
                          McObject** bag) { return Current().bindToStorage(moniker, bag); },
      .readStringProperty =
          [](McObject* bag, const char16_t* name, char16_t** value) {
            return Current().readStringProperty(bag, name, value);
          },
      .freeString = [](char16_t* value) { Current().freeString(value); },
      .bindToObject = [](McObject* moniker,
                         McObject** filter) { return Current().bindToObject(moniker, filter); },
      .queryInterface = [](McObject* object, const Guid& iid,
                           McObject** out) { return Current().queryInterface(object, iid, out); },
      .getNumNodes = [](McObject* topology,
                        std::uint32_t* count) { return Current().getNumNodes(topology, count); },
      .getNodeType = [](McObject* topology, std::uint32_t index,
                        Guid* type) { return Current().getNodeType(topology, index, type); },
      .createNodeInstance =
          [](McObject* topology, std::uint32_t index, const Guid& iid, McObject** control) {
            return Current().createNodeInstance(topology, index, iid, control);
          },
      .ksProperty =
          [](McObject* control, void* property, std::uint32_t propertyLength, void* data,
             std::uint32_t dataLength, std::uint32_t* bytesReturned) {
            return Current().ksProperty(control, property, propertyLength, data, dataLength,
                                        bytesReturned);
          },
      .release = [](McObject* object) { return Current().release(object); },
      .sleep = [](std::uint32_t milliseconds) { Current().sleep(milliseconds); },
  };
  return &table;
}

}  // namespace capture
