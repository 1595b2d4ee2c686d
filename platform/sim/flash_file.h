#pragma once
// Loading and saving the whole contents of a simulated flash as a 65,536-byte file.

#include <string>

#include "platform/sim/serial_flash.h"

namespace sim {

// The file must hold exactly FlashSize bytes; otherwise the flash is left as it was. On failure
// `error` (when given) says why in one line.
bool LoadFlash(SerialFlash& flash, const std::string& path, std::string* error = nullptr);
// Writes the whole contents; the file is complete when this returns true.
bool SaveFlash(const SerialFlash& flash, const std::string& path, std::string* error = nullptr);

}  // namespace sim
