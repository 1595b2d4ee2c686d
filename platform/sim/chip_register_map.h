#pragma once
// The simulated chip's register map, the serial-flash command codes it and its flash answer to,
// and the extension-unit controls with their record lengths, as the camera is described.

#include <cstdint>

namespace sim {

// The SPI port through which the host drives the flash byte by byte.
inline constexpr std::uint16_t RegSpiEnable = 0x1080;    // 1: the host owns the port
inline constexpr std::uint16_t RegSpiStart = 0x1081;     // 1: shift out, 2: shift in
inline constexpr std::uint16_t RegSpiDataOut = 0x1082;   // byte to send
inline constexpr std::uint16_t RegSpiDataIn = 0x1083;    // byte received
inline constexpr std::uint16_t RegSpiDone = 0x1084;      // 1 once the byte has gone
inline constexpr std::uint16_t RegFlashSelect = 0x1091;  // 0 selects the flash
// GPIO: output levels and output enables, one bit per pin 0-7.
inline constexpr std::uint16_t RegGpioOut = 0x1006;
inline constexpr std::uint16_t RegGpioOutEnable = 0x1007;
inline constexpr std::uint16_t RegReset = 0x1073;  // writing 0 restarts the chip
// The codes the chip's own flash controller sends, and the four unlock registers.
inline constexpr std::uint16_t RegChipWriteEnableCode = 0x05F3;
inline constexpr std::uint16_t RegChipProgramCode = 0x05F5;
inline constexpr std::uint16_t RegChipUnlockFirst = 0x05F8;  // 0x05F8..0x05FB
inline constexpr int ChipUnlockLength = 4;
// Model "276R0" only: bits 4-6 read back as written on one variant.
inline constexpr std::uint16_t RegVariant = 0x1185;
inline constexpr std::uint8_t VariantBits = 0x70;

// The chip programs the flash for itself only while the unlock registers hold this code; the
// code belongs to the chip, so the host has to write exactly these bytes.
inline constexpr std::uint8_t ChipUnlockCode[ChipUnlockLength] = {0x5A, 0xC3, 0x96, 0x3E};
// What the unlock registers hold at power-on and after the host is done.
inline constexpr std::uint8_t ChipLockedValue = 0x34;

// Serial-flash commands.
inline constexpr std::uint8_t SpiWriteEnable = 0x06;
inline constexpr std::uint8_t SpiWriteDisable = 0x04;
inline constexpr std::uint8_t SpiReadStatus = 0x05;
inline constexpr std::uint8_t SpiEnableWriteStatus = 0x50;
inline constexpr std::uint8_t SpiWriteStatus = 0x01;
inline constexpr std::uint8_t SpiRead = 0x03;
inline constexpr std::uint8_t SpiChipErase = 0xC7;
inline constexpr std::uint8_t SpiChipEraseSecond = 0x60;
inline constexpr std::uint8_t SpiProgram = 0x02;
inline constexpr std::uint8_t SpiProgramType3 = 0xAF;

// Extension-unit controls (selectors) and the one record length each takes.
inline constexpr std::uint32_t ControlRegister = 1;
inline constexpr std::uint32_t ControlBus = 2;
inline constexpr std::uint32_t ControlFlash = 3;
inline constexpr std::uint32_t ControlMemory = 4;
inline constexpr std::uint32_t ControlInfo = 5;
inline constexpr std::uint32_t ControlCount = 5;
inline constexpr std::uint32_t RecordLengthOf[ControlCount + 1] = {0, 4, 8, 12, 12, 12};
inline constexpr std::uint32_t LongestRecord = 12;

}  // namespace sim
