#include "camera/camera_state.h"

#include <algorithm>
#include <cstring>

#include "camera/camera.h"
#include "camera/chip_table.h"
#include "seams/media_capture.h"

CameraOps cameraOps{};
CameraSlotRecord CameraSlot[cameraSlotCount]{};
CameraBinding cameraBinding{};
std::uint32_t transferChunk = 0;
RestoreRecord lastRestore{};
bool cameraRemoved = false;
std::uint32_t unansweredPollMs = 0;
std::uint32_t shortAnswersRejected[6] = {};

namespace {
const MediaCaptureOps* installedMediaCapture = nullptr;
}  // namespace

void CamInstallMediaCapture(const MediaCaptureOps* ops) {
  installedMediaCapture = ops;
}

const MediaCaptureOps* CamMediaCapture() {
  return installedMediaCapture;
}

CameraSlotRecord* CamSlotRecord(int slot) {
  if (slot < 0 || slot >= cameraSlotCount) {
    return nullptr;
  }
  return &CameraSlot[slot];
}

CameraSlotRecord* CamOpenSlot(int slot) {
  CameraSlotRecord* record = CamSlotRecord(slot);
  return (record != nullptr && record->isOpen) ? record : nullptr;
}

void CamNoteRequest(HResult result) {
  // Any answer, an unusual success code too, shows the camera is there.
  if (result >= 0) {
    CamNoteAnswer();
  } else if (McIsDeviceRemoved(result)) {
    cameraRemoved = true;
  }
}

void CamNoteAnswer() {
  cameraRemoved = false;
  unansweredPollMs = 0;
}

void CamNotePollSleep(std::uint32_t milliseconds) {
  unansweredPollMs = std::min(unansweredPollMs + milliseconds, silentFlashWaitLimitMs);
}

bool CamCameraGone() {
  return cameraRemoved;
}

bool CamCameraSilentTooLong() {
  return unansweredPollMs >= silentFlashWaitLimitMs;
}

CameraBinding* opGetState() {
  return &cameraBinding;
}

void CamResetState() {
  cameraOps = CameraOps{};
  std::memset(CameraSlot, 0, sizeof(CameraSlot));
  cameraBinding = CameraBinding{};
  transferChunk = 0;
  lastRestore = RestoreRecord{};
  cameraRemoved = false;
  unansweredPollMs = 0;
  std::memset(shortAnswersRejected, 0, sizeof(shortAnswersRejected));
}

bool CamClose(int slot) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr) {
    return false;
  }
  record->isOpen = false;
  return cameraOps.opClose(slot);
}

bool CamClose() {
  return CamClose(0);
}

bool CamTransfer(int slot, std::uint8_t mode, std::uint32_t address, std::uint8_t* buffer,
                 std::uint32_t length) {
  if (CamOpenSlot(slot) == nullptr || buffer == nullptr) {
    return false;
  }
  return cameraOps.opTransfer(slot, mode, address, buffer, length, transferChunk);
}

bool CamTransfer(std::uint8_t mode, std::uint32_t address, std::uint8_t* buffer,
                 std::uint32_t length) {
  return CamTransfer(0, mode, address, buffer, length);
}

// A register access that went through is an answer, whichever operation table carried it.
bool CamWriteAsic(int slot, std::uint16_t reg, std::uint8_t value) {
  if (CamOpenSlot(slot) == nullptr) {
    return false;
  }
  const bool written = cameraOps.opAsicWrite(slot, reg, value);
  if (written) {
    CamNoteAnswer();
  }
  return written;
}

bool CamReadAsic(int slot, std::uint16_t reg, std::uint8_t* value) {
  if (CamOpenSlot(slot) == nullptr || value == nullptr) {
    return false;
  }
  const bool read = cameraOps.opAsicRead(slot, reg, value);
  if (read) {
    CamNoteAnswer();
  }
  return read;
}

bool CamReadInfoByte(int slot, std::uint8_t* out) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr || out == nullptr || ChipRowOf(record->chipIndex).hasInfoBlock == 0) {
    return false;
  }
  return cameraOps.opInfoByte(slot, out);
}

bool CamReadInfoWord(int slot, std::uint16_t* out) {
  CameraSlotRecord* record = CamOpenSlot(slot);
  if (record == nullptr || out == nullptr || ChipRowOf(record->chipIndex).hasInfoBlock == 0) {
    return false;
  }
  return cameraOps.opInfoWord(slot, out);
}
