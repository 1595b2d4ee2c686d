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

// A live camera may refuse requests for a while (its firmware busy with its own work) and answer
// again; a pulled camera never does. The camera counts as gone only after the layer's waits have
// polled for this long without a single answered request: the whole budget of one byte wait, so
// no wait is cut short for a camera that comes back within it, while a pulled camera costs about
// a second of polling instead of hours.
inline constexpr std::uint32_t cameraGoneAfterPollMs = 1000;
// Polling sleep since the last request that succeeded.
extern std::uint32_t unansweredPollMs;
// GETs answered with fewer bytes than the operation reads, per selector (index 1-5): the transport
// treats them as failed although the platform reported success.
extern std::uint32_t shortAnswersRejected[6];
// Called with every request's outcome (a control interface that cannot be had counts as failed).
void CamNoteRequest(bool succeeded);
// Called with every polling sleep of the layer's waits.
void CamNotePollSleep(std::uint32_t milliseconds);
// True while the camera has answered nothing for long enough to mean it is gone.
bool CamCameraGone();

// The slot record for a slot number, or null for a number outside 0..23.
CameraSlotRecord* CamSlotRecord(int slot);
// The slot record when the slot number is valid and the slot is open, else null.
CameraSlotRecord* CamOpenSlot(int slot);
CameraBinding* opGetState();
