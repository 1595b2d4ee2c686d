#include "platform/sim/chip_models.h"

namespace sim {

// Numbered in the order the models are listed; a camera is configured by this number.
// The flags a model does not name are false.
// clang-format off
const ChipModel ChipModels[ChipModelCount] = {
    {.name = {'2', '2', '0', 'R', '0'}, .revision = 1, .romIdAddress = 0x9FF8, .flashTypeRegister = 0x03C5, .hasEraseRequest = true},  // 0
    {.name = {'2', '2', '5', 'R', '0'}, .revision = 3, .romIdAddress = 0x9FF8, .flashTypeRegister = 0x031D, .hasEraseRequest = true},  // 1
    {.name = {'2', '5', '0', 'R', '0'}, .revision = 1, .romIdAddress = 0x9FF8, .flashTypeRegister = 0x0530, .hasEraseRequest = true},  // 2
    {.name = {'2', '5', '0', 'R', '0'}, .revision = 2, .romIdAddress = 0x9FF8, .flashTypeRegister = 0x05F0, .hasEraseRequest = true},  // 3
    {.name = {'2', '3', '0', 'R', '0'}, .revision = 1, .romIdAddress = 0xD2B2, .flashTypeRegister = 0x0530, .hasEraseRequest = true},  // 4
    {.name = {'2', '3', '0', 'R', '0'}, .revision = 2, .romIdAddress = 0xDFF8, .flashTypeRegister = 0x05E0},  // 5
    {.name = {'2', '3', '0', 'R', '0'}, .revision = 3, .romIdAddress = 0xDFF8, .flashTypeRegister = 0x05F0},  // 6
    {.name = {'2', '3', '1', 'R', '0'}, .revision = 1, .romIdAddress = 0xDFF8, .flashTypeRegister = 0x05F0},  // 7
    {.name = {'2', '1', '6', 'R', '0'}, .revision = 1, .romIdAddress = 0xDFF8, .flashTypeRegister = 0x05F0, .writesNeedCommandRegs = true},  // 8
    {.name = {'2', '1', '5', 'R', '0'}, .revision = 1, .romIdAddress = 0xBFF8, .flashTypeRegister = 0x05F0, .hasEraseRequest = true},  // 9
    {.name = {'2', '3', '6', 'R', '0'}, .revision = 1, .romIdAddress = 0xBFF8, .flashTypeRegister = 0x0690, .hasEraseRequest = true},  // 10
    {.name = {'2', '3', '6', 'R', '0'}, .revision = 2, .romIdAddress = 0xBFF8, .flashTypeRegister = 0x05F0},  // 11
    {.name = {'2', '5', '6', 'R', '0'}, .revision = 1, .romIdAddress = 0xBFF8, .flashTypeRegister = 0x05F0, .writesNeedCommandRegs = true},  // 12
    {.name = {'2', '3', '1', 'R', '0'}, .revision = 2, .romIdAddress = 0xBFF8, .flashTypeRegister = 0x05F0, .writesNeedCommandRegs = true},  // 13
    {.name = {'2', '6', '6', 'R', '0'}, .revision = 1, .romIdAddress = 0xBFF8, .flashTypeRegister = 0x05F0, .writesNeedCommandRegs = true},  // 14
    {.name = {'2', '7', '6', 'R', '0'}, .revision = 1, .romIdAddress = 0xBFF8, .flashTypeRegister = 0x05F0, .writesNeedCommandRegs = true, .hasVariantRegister = true},  // 15
    {.name = {'2', '7', '5', 'R', '0'}, .revision = 1, .romIdAddress = 0xBFF8, .flashTypeRegister = 0x05F0, .writesNeedCommandRegs = true},  // 16
    {.name = {'2', '3', '2', 'R', '0'}, .revision = 1, .romIdAddress = 0xC7F8, .flashTypeRegister = 0x05F0, .writesNeedCommandRegs = true},  // 17
    {.name = {'2', '3', '2', 'R', '0'}, .revision = 2, .romIdAddress = 0xC7F8, .flashTypeRegister = 0x05F0, .hasInfoRecord = true, .writesNeedCommandRegs = true},  // 18
};
// clang-format on

const ChipModel& ChipModelAt(int index) {
  return ChipModels[(index >= 0 && index < ChipModelCount) ? index : 0];
}

}  // namespace sim
