#pragma once
// The camera layer's process-wide state: operation table, slots, binding and transfer chunk.

#include <cstdint>

#include "camera/camera.h"

struct McObject;

inline constexpr int cameraSlotCount = 24;

struct CameraBinding {
  std::uint32_t xuNodeId;
  McObject* boundFilter;  // one reference while not null
};

struct CameraOps {
  bool (*opAsicWrite)(int slot, std::uint16_t reg, std::uint8_t value);
  bool (*opAsicRead)(int slot, std::uint16_t reg, std::uint8_t* value);
  bool (*opBusWrite)(std::uint8_t first, std::uint8_t control, const std::uint8_t* data);
  bool (*opBusRead)(std::uint8_t first, std::uint8_t control, std::uint8_t* data);
  TransferFn opTransfer;
  bool (*opFlashErase)(int slot);
  bool (*opFlashCommand)(int slot, std::uint8_t code, std::uint16_t value);
  bool (*opInfoByte)(int slot, std::uint8_t* value);
  bool (*opInfoWord)(int slot, std::uint16_t* value);
  bool (*opClose)(int slot);
  CameraBinding* (*opGetState)();
};

struct CameraSlotRecord {
  bool isOpen;
  std::int32_t chipIndex;
  std::uint8_t romId[8];
  std::uint8_t savedWriteEnableCmd;
  std::uint8_t savedProgramCmd;
};

extern CameraOps cameraOps;
extern CameraSlotRecord CameraSlot[cameraSlotCount];
extern CameraBinding cameraBinding;
extern std::uint32_t transferChunk;

// A live camera may refuse a single request, but never a long run of them; this many failed
// requests in a row on the open camera mean it has dropped off the bus. Thirty-two is well above
// the one or two failures in a row a stalled request gives, and far below the 1000 polls of one
// byte wait, so a pulled camera costs about 32 ms of polling instead of hours.
inline constexpr std::uint32_t cameraGoneAfterFailures = 32;
// Failed requests since the last one that succeeded, and since the process started.
extern std::uint32_t failedRequestRun;
extern std::uint32_t failedRequestTotal;
// Called with every request's outcome (a control interface that cannot be had counts as failed).
void CamNoteRequest(bool succeeded);
// True while the latest run of failed requests is long enough to mean the camera is gone.
bool CamCameraGone();

// The slot record for a slot number, or null for a number outside 0..23.
CameraSlotRecord* CamSlotRecord(int slot);
// The slot record when the slot number is valid and the slot is open, else null.
CameraSlotRecord* CamOpenSlot(int slot);
CameraBinding* opGetState();
