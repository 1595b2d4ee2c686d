#pragma once
// A globally unique identifier in the platform's in-memory layout.

#include <cstdint>
#include <cstring>

struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};

inline bool operator==(const Guid& a, const Guid& b) {
  return std::memcmp(&a, &b, sizeof(Guid)) == 0;
}

static_assert(sizeof(Guid) == 16, "Guid must match the platform's 16-byte layout");
