// Opening a camera: bind it, install the transport, identify the chip, settle the chunk size.

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "camera/chip_table.h"
#include "camera/xu_transport.h"

namespace {

constexpr std::uint16_t OldChipChunkReg = 0x03C5;

void InstallTransport() {
  cameraOps.opAsicWrite = opAsicWrite;
  cameraOps.opAsicRead = opAsicRead;
  cameraOps.opBusWrite = opBusWrite;
  cameraOps.opBusRead = opBusRead;
  cameraOps.opTransfer = opTransfer;
  cameraOps.opFlashErase = opFlashErase;
  cameraOps.opFlashCommand = opFlashCommand;
  cameraOps.opInfoByte = opInfoByte;
  cameraOps.opInfoWord = opInfoWord;
  cameraOps.opClose = CamReleaseDevice;
  cameraOps.opGetState = opGetState;
  transferChunk = 8;
}

}  // namespace

int CamOpen(const char16_t* path, int pathLength) {
  if (path == nullptr || !CamBindDevice(path, pathLength)) {
    return 0;
  }
  InstallTransport();
  CameraSlotRecord& slot = CameraSlot[0];
  slot.isOpen = true;
  CamReadRomId(0, slot.romId);
  if (!ChipRowOf(slot.chipIndex).chunkProbe) {
    return 2;
  }
  std::uint8_t value = 0;
  if (!cameraOps.opAsicRead(0, OldChipChunkReg, &value)) {
    // Not left half open: the caller does not close after a failed open.
    CamClose(0);
    return 0;
  }
  if (value == 3) {
    transferChunk = 1;
  }
  return 2;
}
