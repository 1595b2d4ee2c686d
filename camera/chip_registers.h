#pragma once
// Chip registers and serial-flash command codes shared by the camera layer and the simulated chip.

#include <cstdint>

inline constexpr std::uint16_t RegSpiEnable = 0x1080;
inline constexpr std::uint16_t RegSpiStart = 0x1081;
inline constexpr std::uint16_t RegSpiDataOut = 0x1082;
inline constexpr std::uint16_t RegSpiDataIn = 0x1083;
inline constexpr std::uint16_t RegSpiDone = 0x1084;
inline constexpr std::uint16_t RegFlashSelect = 0x1091;
inline constexpr std::uint16_t RegGpioOut = 0x1006;
inline constexpr std::uint16_t RegGpioOutEnable = 0x1007;
inline constexpr std::uint16_t RegReset = 0x1073;
inline constexpr std::uint16_t RegFlashWriteEnableCmd = 0x05F3;
inline constexpr std::uint16_t RegFlashProgramCmd = 0x05F5;
inline constexpr std::uint16_t RegFlashUnlock0 = 0x05F8;  // four registers, 0x05F8..0x05FB
inline constexpr std::uint16_t RegVariant276 = 0x1185;

// The chip refuses its own flash writes unless 0x05F8..0x05FB hold this code.
inline constexpr std::uint8_t FlashWriteUnlockCode[4] = {0x5A, 0xC3, 0x96, 0x3E};
// What the unlock registers hold when the host is done programming.
inline constexpr std::uint8_t FlashWriteLockedValue = 0x34;

// Serial-flash commands sent through the SPI register port.
inline constexpr std::uint8_t FlashCmdWriteEnable = 0x06;
inline constexpr std::uint8_t FlashCmdReadStatus = 0x05;
inline constexpr std::uint8_t FlashCmdEnableWriteStatus = 0x50;
inline constexpr std::uint8_t FlashCmdWriteStatus = 0x01;
inline constexpr std::uint8_t FlashCmdChipErase = 0xC7;
inline constexpr std::uint8_t FlashCmdChipEraseAlt = 0x60;
inline constexpr std::uint8_t FlashCmdProgram = 0x02;
inline constexpr std::uint8_t FlashCmdProgramType3 = 0xAF;

// Extension-unit selectors and their fixed record lengths.
inline constexpr std::uint32_t XuSelectorRegister = 1;
inline constexpr std::uint32_t XuSelectorBus = 2;
inline constexpr std::uint32_t XuSelectorFlash = 3;
inline constexpr std::uint32_t XuSelectorMemory = 4;
inline constexpr std::uint32_t XuSelectorInfo = 5;
inline constexpr std::uint32_t XuRecordLength[6] = {0, 4, 8, 12, 12, 12};
inline constexpr std::uint32_t KspNodeLength = 32;
