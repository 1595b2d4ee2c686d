#pragma once
// The record behind every object the emulated framework hands out, shared by the files that
// model those objects.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/capture_emulation/capture_emulation.h"

namespace capture {

// One reference-counted object. A filter's interfaces (control, topology, node controls) are
// objects of their own that point back at the filter, and the camera stays open while any of
// them is held.
struct Object {
  ObjectKind kind = ObjectKind::deviceEnumerator;
  std::uint32_t refs = 0;
  std::shared_ptr<const SourceCamera> camera;  // moniker, property bag, filter and its parts
  // Class enumerator.
  std::vector<std::shared_ptr<const SourceCamera>> cameras;
  std::size_t position = 0;
  // A filter's parts.
  Object* filter = nullptr;
  int nodeIndex = -1;  // a node control's topology index
  // Filter.
  std::uint64_t binding = 0;
  bool open = false;
  std::int64_t heldInGroup = 0;  // references on the filter and all its parts
  Object* control = nullptr;
  Object* topology = nullptr;
  std::vector<Object*> nodeControls;
};

inline bool IsFilterPart(const Object* object) {
  return object->kind == ObjectKind::filter || object->kind == ObjectKind::filterControl ||
         object->kind == ObjectKind::topology;
}

inline Object* FilterOf(Object* object) {
  return object->kind == ObjectKind::filter ? object : object->filter;
}

inline Object* AsObject(McObject* handle) {
  return reinterpret_cast<Object*>(handle);
}

inline McObject* Handle(Object* object) {
  return reinterpret_cast<McObject*>(object);
}

}  // namespace capture
