#pragma once
// Serial-flash control through the chip's SPI register port: busy waits and status writes.
// The public operations (erase, protection, reset, info reads) are declared in camera/camera.h.

#include <cstdint>

// Polls the SPI port's done flag, at most 1000 times with 1 ms sleeps; true when it read 1. Callers
// go on either way.
bool SpiWaitDone(int slot);
// Polls the flash status register until it is not busy, at most 10,000 times with 1 ms sleeps.
// Leaves the last status byte in `lastStatus` and returns whether that byte was read without a
// failed request.
bool FlashWaitReady(int slot, std::uint8_t* lastStatus = nullptr);
// Writes the flash status register (with 0x50 first for a flash of type 3); true when the status
// read after the write shows exactly `value`. `statusRead` gets that status, or -1 when it could
// not be read.
bool FlashWriteStatus(int slot, std::uint32_t flashType, std::uint8_t value,
                      std::int32_t* statusRead = nullptr);

inline constexpr int SpiDonePolls = 1000;
inline constexpr int FlashReadyPolls = 10000;
inline constexpr std::uint8_t FlashStatusUnprotected = 0x00;
inline constexpr std::uint8_t FlashStatusProtected = 0x8C;
