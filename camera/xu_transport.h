#pragma once
// The extension-unit transport: request headers and records of the five vendor controls, and the
// block transfer that splits flash and memory transfers into requests of at most 8 data bytes.

#include <cstdint>

// Builds the 32-byte request header for a selector, KSPROPERTY flags and node id.
void XuBuildHeader(std::uint8_t* header, std::uint32_t selector, std::uint32_t flags,
                   std::uint32_t nodeId);

bool opAsicWrite(int slot, std::uint16_t reg, std::uint8_t value);
bool opAsicRead(int slot, std::uint16_t reg, std::uint8_t* value);
bool opBusWrite(std::uint8_t first, std::uint8_t control, const std::uint8_t* data);
bool opBusRead(std::uint8_t first, std::uint8_t control, std::uint8_t* data);
bool opFlashErase(int slot);
bool opFlashCommand(int slot, std::uint8_t code, std::uint16_t value);
bool opInfoByte(int slot, std::uint8_t* value);
bool opInfoWord(int slot, std::uint16_t* value);
bool opTransfer(int slot, std::uint8_t mode, std::uint32_t address, std::uint8_t* buffer,
                std::uint32_t length, std::uint32_t chunk);

// The single requests a block transfer is made of.
bool xuFlashWrite(std::uint16_t address, std::uint8_t length, const std::uint8_t* data);
bool xuFlashReadStart(std::uint16_t address, std::uint8_t length);
// Delivers answer bytes 3-10; the answer must hold the first `used` of them.
bool xuFlashReadNext(std::uint8_t* out8, std::uint32_t used = 8);
bool xuMemoryRead(std::uint16_t address, std::uint8_t* out, std::uint32_t room);

// How many caller bytes a bus control byte stands for: 1 or 2 leading bytes plus the low nibble.
std::uint32_t BusByteCount(std::uint8_t control);
