#pragma once
// The camera access layer's functions: open, identify, protect, erase, transfer, reset, close.

#include <cstdint>

// A block-transfer function: slot, mode (6 flash write, 7 flash read, 9 internal-memory read),
// address, buffer, length, bytes per request.
using TransferFn = bool (*)(int slot, std::uint8_t mode, std::uint32_t address,
                            std::uint8_t* buffer, std::uint32_t length, std::uint32_t chunk);

inline constexpr std::uint8_t TransferFlashWrite = 6;
inline constexpr std::uint8_t TransferFlashRead = 7;
inline constexpr std::uint8_t TransferMemoryRead = 9;

// Slots and dispatchers.
bool CamClose(int slot);
bool CamClose();
bool CamTransfer(int slot, std::uint8_t mode, std::uint32_t address, std::uint8_t* buffer,
                 std::uint32_t length);
bool CamTransfer(std::uint8_t mode, std::uint32_t address, std::uint8_t* buffer,
                 std::uint32_t length);
bool CamWriteAsic(int slot, std::uint16_t reg, std::uint8_t value);
bool CamReadAsic(int slot, std::uint16_t reg, std::uint8_t* value);

// Chip identification.
bool CamMatchRomId(int slot, TransferFn transfer, std::uint8_t* out);
bool CamReadRomId(int slot, std::uint8_t* out);
bool CamReadRomId(std::uint8_t* out);
std::uint32_t CamGetFlashType(int slot);

// Serial-flash control.
bool CamEraseFlash(int slot);
bool CamEraseFlash();
// Restoring (enable nonzero) reports false when the status did not read back as written, a
// configuration byte could not be read, or a write that decides the protection was refused twice.
bool CamSetFlashProtect(int slot, std::uint8_t enable, std::uint16_t& protectGpioReg,
                        std::uint8_t& protectByte);
bool CamSetFlashProtect(std::uint8_t enable, std::uint16_t& protectGpioReg,
                        std::uint8_t& protectByte);
// Whether the protection the last restore left is what `image` (the flash as written) asks for
// on the chip's row: the status register written and read back as 0x8C when its configuration
// block asks for it (or the row always protects), not written otherwise. Judged from the image the
// tool wrote, so a transport that hides a short answer cannot make an unprotected camera pass.
bool CamProtectionMatchesImage(const std::uint8_t* image, std::uint32_t length);
int CamResetDevice(int slot);
int CamResetDevice();
bool CamReadInfoByte(int slot, std::uint8_t* out);
bool CamReadInfoWord(int slot, std::uint16_t* out);

// Enumeration, binding and open. Paths are arrays of 16-bit characters, `pathLength` per entry.
bool CamEnumerate(char16_t* paths, int count, int pathLength, int* found);
bool CamBindDevice(const char16_t* path, int pathLength);
bool CamFindXuNode(std::uint32_t* nodeId);
bool CamReleaseDevice(int slot);
int CamOpen(const char16_t* path, int pathLength);

// Returns the whole layer (slots, operation table, binding) to its load-time state; for tests.
void CamResetState();
