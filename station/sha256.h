#pragma once
// SHA-256 of a block of memory, for naming the firmware image in the station log.

#include <cstddef>
#include <cstdint>
#include <string>

namespace station {

// The digest as 64 lower-case hexadecimal digits; empty if the system could not compute it.
std::string Sha256Hex(const std::uint8_t* data, std::size_t size);

}  // namespace station
