#include "platform/linux/uvc_descriptors.h"

#include <algorithm>

namespace linuxplat {

namespace {

constexpr std::uint8_t DescriptorInterface = 0x04;
constexpr std::uint8_t DescriptorCsInterface = 0x24;
constexpr std::uint8_t ClassVideo = 0x0E;
constexpr std::uint8_t SubclassVideoControl = 0x01;

// Fixed part of an extension unit up to bNrInPins; the source ids, bControlSize and bmControls
// follow.
constexpr std::size_t XuFixedLength = 22;

// Reads one unit descriptor; false when it is too short for what it claims to hold.
bool ReadUnit(const std::uint8_t* d, std::size_t length, UvcUnit& unit) {
  if (length < 4) {
    return false;
  }
  unit.subtype = d[2];
  unit.unitId = d[3];
  if (unit.subtype != UvcExtensionUnit) {
    return true;
  }
  if (length < XuFixedLength + 1) {
    return false;
  }
  std::copy(d + 4, d + 20, unit.guid.begin());
  unit.numControls = d[20];
  const std::size_t pins = d[21];
  const std::size_t sizeAt = XuFixedLength + pins;
  if (sizeAt >= length) {
    return false;
  }
  unit.controlSize = d[sizeAt];
  if (unit.controlSize > length - sizeAt - 1) {
    return false;
  }
  unit.controls.assign(d + sizeAt + 1, d + sizeAt + 1 + unit.controlSize);
  return true;
}

bool IsUnit(std::uint8_t subtype) {
  return subtype == UvcSelectorUnit || subtype == UvcProcessingUnit ||
         subtype == UvcExtensionUnit || subtype == UvcEncodingUnit;
}

}  // namespace

std::vector<UvcUnit> ParseUvcUnits(const std::uint8_t* data, std::size_t size,
                                   std::uint8_t interfaceNumber) {
  std::vector<UvcUnit> units;
  if (data == nullptr) {
    return units;
  }
  bool inInterface = false;
  std::size_t at = 0;
  while (size - at >= 2) {
    const std::uint8_t* d = data + at;
    const std::size_t length = d[0];
    // A zero length would never move on; a length past the end is a cut descriptor.
    if (length < 2 || length > size - at) {
      break;
    }
    if (d[1] == DescriptorInterface) {
      inInterface = length >= 7 && d[2] == interfaceNumber && d[5] == ClassVideo &&
                    d[6] == SubclassVideoControl;
    } else if (inInterface && d[1] == DescriptorCsInterface && length >= 3 && IsUnit(d[2])) {
      UvcUnit unit;
      if (!ReadUnit(d, length, unit)) {
        break;
      }
      units.push_back(std::move(unit));
    }
    at += length;
  }
  return units;
}

}  // namespace linuxplat
