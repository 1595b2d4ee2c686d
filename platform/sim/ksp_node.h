#pragma once
// The 32-byte node header every property request carries, as the simulated framework reads it.

#include <cstdint>
#include <cstring>

#include "seams/guid.h"

namespace sim {

inline constexpr std::uint32_t KspNodeSize = 32;

// Flags words of the three requests the extension unit serves (each with the topology bit).
inline constexpr std::uint32_t KspFlagGet = 0x00000001;
inline constexpr std::uint32_t KspFlagSet = 0x00000002;
inline constexpr std::uint32_t KspFlagSetSupport = 0x00000100;
inline constexpr std::uint32_t KspFlagTopology = 0x10000000;

struct KspNode {
  Guid set;
  std::uint32_t id;  // the control's selector
  std::uint32_t flags;
  std::uint32_t nodeId;
  std::uint32_t reserved;
};

inline std::uint32_t ReadLittle32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// `bytes` holds at least KspNodeSize bytes, little-endian.
inline KspNode ParseKspNode(const std::uint8_t* bytes) {
  KspNode node{};
  std::memcpy(&node.set, bytes, sizeof node.set);
  node.id = ReadLittle32(bytes + 16);
  node.flags = ReadLittle32(bytes + 20);
  node.nodeId = ReadLittle32(bytes + 24);
  node.reserved = ReadLittle32(bytes + 28);
  return node;
}

}  // namespace sim
