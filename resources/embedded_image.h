#pragma once
// The firmware image embedded at build time: the bytes behind data resource "BYTE" 131.

#include <cstddef>

inline constexpr std::size_t EmbeddedFirmwareImageSize = 65536;
extern const unsigned char EmbeddedFirmwareImage[EmbeddedFirmwareImageSize];
