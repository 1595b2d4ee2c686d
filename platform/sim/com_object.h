#pragma once
// The record behind every object the simulated media-capture framework hands out, shared by the
// files that model those objects.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/sim/capture_framework.h"

// One reference-counted platform object. A filter's interfaces (control, topology, node
// controls) are objects of their own that point back at the filter.
struct McObject {
  sim::ObjectKind kind;
  std::uint32_t refs = 0;
  sim::Device* device = nullptr;
  McObject* filter = nullptr;  // for a filter's interfaces
  // Class enumerator.
  std::vector<sim::Device*> devices;
  std::size_t position = 0;
  // Filter.
  std::uint32_t generation = 0;
  McObject* control = nullptr;
  McObject* topology = nullptr;
  std::vector<McObject*> nodeControls;
};

namespace sim {

// A filter's control and topology interfaces are parts of the filter itself.
inline bool IsFilterPart(const McObject* object) {
  return object->kind == ObjectKind::filter || object->kind == ObjectKind::filterControl ||
         object->kind == ObjectKind::topology;
}

inline McObject* FilterOf(McObject* object) {
  if (object == nullptr) {
    return nullptr;
  }
  return object->kind == ObjectKind::filter ? object : object->filter;
}

}  // namespace sim
