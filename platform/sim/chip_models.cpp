#include "platform/sim/chip_models.h"

namespace sim {

// Numbered in the order the models are listed; a camera is configured by this number.
const ChipModel ChipModels[ChipModelCount] = {
    {{'2', '2', '0', 'R', '0'}, 1, 0x9FF8, 0x03C5, false, false, false, true},   // 0
    {{'2', '2', '5', 'R', '0'}, 3, 0x9FF8, 0x031D, false, false, false, true},   // 1
    {{'2', '5', '0', 'R', '0'}, 1, 0x9FF8, 0x0530, false, false, false, true},   // 2
    {{'2', '5', '0', 'R', '0'}, 2, 0x9FF8, 0x05F0, false, false, false, true},   // 3
    {{'2', '3', '0', 'R', '0'}, 1, 0xD2B2, 0x0530, false, false, false, true},   // 4
    {{'2', '3', '0', 'R', '0'}, 2, 0xDFF8, 0x05E0, false, false, false, false},  // 5
    {{'2', '3', '0', 'R', '0'}, 3, 0xDFF8, 0x05F0, false, false, false, false},  // 6
    {{'2', '3', '1', 'R', '0'}, 1, 0xDFF8, 0x05F0, false, false, false, false},  // 7
    {{'2', '1', '6', 'R', '0'}, 1, 0xDFF8, 0x05F0, false, true, false, false},   // 8
    {{'2', '1', '5', 'R', '0'}, 1, 0xBFF8, 0x05F0, false, false, false, true},   // 9
    {{'2', '3', '6', 'R', '0'}, 1, 0xBFF8, 0x0690, false, false, false, true},   // 10
    {{'2', '3', '6', 'R', '0'}, 2, 0xBFF8, 0x05F0, false, false, false, false},  // 11
    {{'2', '5', '6', 'R', '0'}, 1, 0xBFF8, 0x05F0, false, true, false, false},   // 12
    {{'2', '3', '1', 'R', '0'}, 2, 0xBFF8, 0x05F0, false, true, false, false},   // 13
    {{'2', '6', '6', 'R', '0'}, 1, 0xBFF8, 0x05F0, false, true, false, false},   // 14
    {{'2', '7', '6', 'R', '0'}, 1, 0xBFF8, 0x05F0, false, true, true, false},    // 15
    {{'2', '7', '5', 'R', '0'}, 1, 0xBFF8, 0x05F0, false, true, false, false},   // 16
    {{'2', '3', '2', 'R', '0'}, 1, 0xC7F8, 0x05F0, false, true, false, false},   // 17
    {{'2', '3', '2', 'R', '0'}, 2, 0xC7F8, 0x05F0, true, true, false, false},    // 18
};

const ChipModel& ChipModelAt(int index) {
  return ChipModels[(index >= 0 && index < ChipModelCount) ? index : 0];
}

}  // namespace sim
