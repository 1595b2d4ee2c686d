// The embedded image carries the protection data the update sequence and camera layer rely on.

#include <gtest/gtest.h>

#include <algorithm>

#include "resources/embedded_image.h"

namespace {

TEST(FirmwareImageTest, ProtectionByteDrivesPinThreeHighWhileUnprotected) {
  for (const std::size_t offset : {0x000Fu, 0x8034u, 0xC034u}) {
    const unsigned char byte = EmbeddedFirmwareImage[offset];
    EXPECT_EQ(byte, 0xB2) << offset;
    EXPECT_EQ((byte >> 4) & 0x07, 3) << "GPIO pin at " << offset;
    EXPECT_EQ(byte & 0x0F, 2) << "mode at " << offset;
  }
}

TEST(FirmwareImageTest, EveryConfigurationBlockRequestsStatusRegisterProtection) {
  for (const std::size_t base : {0x5800u, 0x8000u, 0xC000u}) {
    EXPECT_GE(EmbeddedFirmwareImage[base + 0x03], 0x35) << base;
    EXPECT_NE(EmbeddedFirmwareImage[base + 0x34] & 0x80, 0) << base;
  }
}

TEST(FirmwareImageTest, NoByteLooksErased) {
  const auto* end = EmbeddedFirmwareImage + EmbeddedFirmwareImageSize;
  EXPECT_EQ(std::find(EmbeddedFirmwareImage, end, 0xFF), end);
}

}  // namespace
