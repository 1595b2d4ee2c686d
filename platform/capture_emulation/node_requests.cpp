#include "platform/capture_emulation/capture_emulation.h"

#include <cstring>

#include "seams/platform_ids.h"
#include "platform/capture_emulation/emulated_object.h"

// A bound filter: its topology nodes, and the property requests its controls pass to the source.

namespace capture {

namespace {

std::uint32_t ReadLittle32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// The node header (property set, selector, flags, node id, reserved word) as the source sees it.
SourceQuery DecodeHeader(const std::uint8_t* header) {
  SourceQuery query;
  std::memcpy(&query.set, header, sizeof query.set);
  query.selector = ReadLittle32(header + 16);
  const std::uint32_t flags = ReadLittle32(header + 20);
  query.node = ReadLittle32(header + 24);
  const std::uint32_t reserved = ReadLittle32(header + 28);
  std::uint32_t expected = KsPropertyTypeSet;
  query.request = SourceRequest::set;
  if ((flags & KsPropertyTypeGet) != 0) {
    query.request = SourceRequest::get;
    expected = KsPropertyTypeGet;
  } else if ((flags & KsPropertyTypeSetSupport) != 0) {
    query.request = SourceRequest::setSupport;
    expected = KsPropertyTypeSetSupport;
  }
  query.exactHeader = flags == (expected | KsPropertyTypeTopology) && reserved == 0;
  return query;
}

}  // namespace

HResult ResultOf(int sourceResult) {
  switch (sourceResult) {
    case CsNoSuchFile:
      return McNotFound;
    case CsIoError:
      return McFail;
    case CsRemoved:
      return McDeviceNotConnected;
    case CsInvalid:
      return McInvalidArg;
    case CsStalled:
      return McGenFailure;
    case CsWrongLength:
      return McBufferTooSmall;
    case CsUnknownSet:
      return McSetNotFound;
    default:
      break;
  }
  if (sourceResult >= 0) {
    return sourceResult;
  }
  const auto error = static_cast<std::uint32_t>(-static_cast<std::int64_t>(sourceResult));
  return static_cast<HResult>(0xA0000000u | (error & 0xFFFFu));
}

Object* Emulation::newFilter(std::shared_ptr<const SourceCamera> camera, std::uint64_t binding) {
  Object* filter = newObject(ObjectKind::filter);
  filter->camera = std::move(camera);
  filter->binding = binding;
  filter->open = true;
  filter->control = newObject(ObjectKind::filterControl);
  filter->topology = newObject(ObjectKind::topology);
  for (Object* part : {filter->control, filter->topology}) {
    part->filter = filter;
    part->camera = filter->camera;
  }
  for (std::size_t i = 0; i < filter->camera->nodeTypes.size(); ++i) {
    Object* node = newObject(ObjectKind::nodeControl);
    node->filter = filter;
    node->camera = filter->camera;
    node->nodeIndex = static_cast<int>(i);
    filter->nodeControls.push_back(node);
  }
  return filter;
}

HResult Emulation::getNumNodes(McObject* topology, std::uint32_t* count) {
  if (count == nullptr) {
    return McPointer;
  }
  Object* info = live(topology, ObjectKind::topology);
  if (info == nullptr) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  *count = static_cast<std::uint32_t>(info->camera->nodeTypes.size());
  return McOk;
}

HResult Emulation::getNodeType(McObject* topology, std::uint32_t index, Guid* type) {
  if (type == nullptr) {
    return McPointer;
  }
  Object* info = live(topology, ObjectKind::topology);
  if (info == nullptr) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  const auto& nodes = info->camera->nodeTypes;
  if (index >= nodes.size()) {
    return McInvalidArg;
  }
  *type = nodes[index];
  return McOk;
}

HResult Emulation::createNodeInstance(McObject* topology, std::uint32_t index, const Guid& iid,
                                      McObject** control) {
  if (control == nullptr) {
    return McPointer;
  }
  *control = nullptr;
  Object* info = live(topology, ObjectKind::topology);
  if (info == nullptr) {
    return McInvalidArg;
  }
  std::lock_guard lock(mutex_);
  Object* filter = info->filter;
  if (index >= filter->nodeControls.size()) {
    return McInvalidArg;
  }
  if (!(iid == IID_IKsControl_)) {
    return McNoInterface;
  }
  Object* node = filter->nodeControls[index];
  addRef(node);
  *control = Handle(node);
  return McOk;
}

HResult Emulation::ksProperty(McObject* controlHandle, void* property, std::uint32_t propertyLength,
                              void* data, std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  Object* control = AsObject(controlHandle);
  if (control == nullptr ||
      (control->kind != ObjectKind::filterControl && control->kind != ObjectKind::nodeControl)) {
    return McInvalidArg;
  }
  if (property == nullptr || propertyLength != KspNodeSize) {
    return McInvalidArg;  // not a node header: the request never reaches a unit
  }
  SourceQuery query = DecodeHeader(static_cast<const std::uint8_t*>(property));
  {
    std::lock_guard lock(mutex_);
    if (!control->filter->open) {
      return McInvalidArg;  // every reference on the camera was released before
    }
    query.binding = control->filter->binding;
    query.nodeInstance = control->nodeIndex;
  }
  query.data = static_cast<std::uint8_t*>(data);
  query.length = dataLength;
  query.bytesReturned = bytesReturned;
  return ResultOf(source().query(query));
}

}  // namespace capture
