#pragma once
// Globally unique identifiers in the platform's in-memory layout, and the ones the camera layer
// uses.

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

// {62BE5D10-60EB-11D0-BD3B-00A0C911CE86}
inline constexpr Guid CLSID_SystemDeviceEnum_{
    0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
// {29840822-5B84-11D0-BD3B-00A0C911CE86}
inline constexpr Guid IID_ICreateDevEnum_{
    0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
// {860BB310-5D01-11D0-BD3B-00A0C911CE86}
inline constexpr Guid CLSID_VideoInputDeviceCategory_{
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
// {55272A00-42CB-11CE-8135-00AA004BB851}
inline constexpr Guid IID_IPropertyBag_{
    0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
// {56A86895-0AD4-11CE-B03A-0020AF0BA770}
inline constexpr Guid IID_IBaseFilter_{
    0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// {720D4AC0-7533-11D0-A5D6-28DB04C10000}
inline constexpr Guid IID_IKsTopologyInfo_{
    0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
// {941C7AC0-C559-11D0-8A2B-00A0C9255AC1}
inline constexpr Guid KSNODETYPE_DEV_SPECIFIC_{
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
// {28F54685-06FD-11D2-B27A-00A0C9223196}
inline constexpr Guid IID_IKsControl_{
    0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// The extension unit's own property set: {28F03370-6311-4A2E-BA2C-6890EB334016}
inline constexpr Guid XuPropertySet{
    0x28F03370, 0x6311, 0x4A2E, {0xBA, 0x2C, 0x68, 0x90, 0xEB, 0x33, 0x40, 0x16}};
