#pragma once
// The camera layer's process-wide state: operation table, slots, binding and transfer chunk.

#include <cstdint>

#include "camera/camera.h"
#include "seams/media_capture.h"

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

// What the last restore of the protection did, for the check against the image.
struct RestoreRecord {
  bool done = false;
  std::int32_t chipIndex = 0;
  bool statusLeftAlone = false;  // the information byte keeps the status register out of it
  std::uint16_t configBase = 0;
  bool statusWritten = false;
  std::int32_t statusRead = -1;  // the status read back after the write; -1 when none was read
};

extern CameraOps cameraOps;
extern CameraSlotRecord CameraSlot[cameraSlotCount];
extern CameraBinding cameraBinding;
extern std::uint32_t transferChunk;
extern RestoreRecord lastRestore;

// A camera the platform reports removed (a request ends with a device-removal error) is gone
// until a request is answered again, and the layer's waits return at once meanwhile. A camera
// that only refuses requests is not gone: its firmware may be busy and answer again.
extern bool cameraRemoved;
// Polling sleep since the last answered request.
extern std::uint32_t unansweredPollMs;
// A camera that refuses everything, yet is not reported removed, keeps every wait's own bound
// except the flash's busy wait: 10,000 status reads, each after two byte waits of a second, would
// take hours. That wait stops once the camera has answered nothing through this much polling, far
// longer than any busy firmware keeps its host waiting; one answered request starts it over.
inline constexpr std::uint32_t silentFlashWaitLimitMs = 120'000;
// GETs answered with fewer bytes than the operation reads, per selector (index 1-5): the transport
// treats them as failed although the platform reported success.
extern std::uint32_t shortAnswersRejected[6];
// Called with every request's result code.
void CamNoteRequest(HResult result);
// Called when a request went through by way of another operation table (tests' tables).
void CamNoteAnswer();
// Called with every polling sleep of the layer's waits.
void CamNotePollSleep(std::uint32_t milliseconds);
// True while the platform's word is that the camera has left the bus.
bool CamCameraGone();
// True once the camera has answered nothing for `silentFlashWaitLimitMs` of polling.
bool CamCameraSilentTooLong();

// The slot record for a slot number, or null for a number outside 0..23.
CameraSlotRecord* CamSlotRecord(int slot);
// The slot record when the slot number is valid and the slot is open, else null.
CameraSlotRecord* CamOpenSlot(int slot);
CameraBinding* opGetState();
