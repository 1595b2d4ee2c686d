// The update attempt that runs on a worker thread: check, choose, open, protect, erase, write,
// restore, reset, close, wait, read back and compare.

#include <cstring>
#include <memory>
#include <new>

#include "app/check_device_present.h"
#include "app/reflash_dlg.h"
#include "app/result_log.h"
#include "app/run_state.h"
#include "camera/camera.h"

namespace {

constexpr std::uint32_t kAfterOpenMs = 2000;
constexpr std::uint32_t kAfterResetMs = 5000;
constexpr std::size_t kRomIdSize = 8;
constexpr std::size_t kRevisionIndex = 5;

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) {
      return false;
    }
  }
  return true;
}

bool FieldCarriesId(const char* field, std::size_t length) {
  return length >= UsbIdLength && (EqualIgnoringCase(field, UsbIdPrimary, UsbIdLength) ||
                                   EqualIgnoringCase(field, UsbIdSecondary, UsbIdLength));
}

// True when a "#"-separated field of the path begins with either id; empty fields are skipped.
bool PathCarriesId(const char* path) {
  char scratch[DevicePathLength];
  std::strncpy(scratch, path, sizeof scratch - 1);
  scratch[sizeof scratch - 1] = 0;
  const char* field = scratch;
  for (const char* p = scratch;; ++p) {
    if (*p == '#' || *p == 0) {
      const auto length = static_cast<std::size_t>(p - field);
      if (length > 0 && FieldCarriesId(field, length)) {
        return true;
      }
      if (*p == 0) {
        return false;
      }
      field = p + 1;
    }
  }
}

// Offset in the image of the protection byte for the identified chip.
// Where the image keeps its write-protection byte, by chip name and exact revision; every other
// chip keeps it at 0x8034.
struct ProtectionByteAt {
  const char* name;
  std::uint8_t revision;
  std::size_t offset;
};
constexpr ProtectionByteAt ProtectionBytes[] = {
    {.name = "232R", .revision = 1, .offset = 0xC034},
    {.name = "275R", .revision = 1, .offset = 0xC034},
    {.name = "276R", .revision = 1, .offset = 0xC034},
    {.name = "231R", .revision = 2, .offset = 0x000F},
};

std::size_t ProtectionByteOffset(const std::uint8_t* romId) {
  const char* name = reinterpret_cast<const char*>(romId);
  for (const ProtectionByteAt& at : ProtectionBytes) {
    if (EqualIgnoringCase(name, at.name, 4) && romId[kRevisionIndex] == at.revision) {
      return at.offset;
    }
  }
  return 0x8034;
}

}  // namespace

std::uint32_t CReflashDlg::UpdateWorker(void* dialog) {
  auto* self = static_cast<CReflashDlg*>(dialog);
  if (self->CheckHardware()) {
    self->RunUpdate();
  }
  Windowing()->sendMessage(MainWindowHandle, WM_UPDATE_NEXT, 0, 0);
  return 1;
}

bool CReflashDlg::CheckHardware() {
  progressBar.SetPos(0);
  ShowStatus(StatusBlue, "Check Hardware ...");
  if (CheckDevicePresent(UsbIdPrimary) == ImageDevicePresent ||
      CheckDevicePresent(UsbIdSecondary) == ImageDevicePresent) {
    progressBar.SetPos(20);
    return true;
  }
  UpdatePassed = 0;
  WriteResultLog(ResultFailText);
  return false;
}

void CReflashDlg::ChooseDevice() {
  for (int i = 0; i < DevicePathCount; ++i) {
    DevicePathsW[i][0] = 0;
    DevicePathsA[i][0] = 0;
  }
  int count = 0;
  CamEnumerate(&DevicePathsW[0][0], DevicePathCount, DevicePathLength, &count);
  ChosenDevice = -1;
  for (int i = 0; i < count && i < DevicePathCount && DevicePathsW[i][0] != 0; ++i) {
    // A terminated copy keeps the conversion inside the entry whatever the layer left in it.
    char16_t wide[DevicePathLength];
    std::memcpy(wide, DevicePathsW[i], sizeof wide);
    wide[DevicePathLength - 1] = 0;
    // A conversion cut short at a whole character must not leave the last choice's bytes
    // behind it, where they could still spell an id.
    std::memset(DevicePathsA[i], 0, DevicePathLength);
    Windowing()->wideCharToMultiByte(wide, DevicePathsA[i], DevicePathLength);
    DevicePathsA[i][DevicePathLength - 1] = 0;
    if (ChosenDevice == -1 && PathCarriesId(DevicePathsA[i])) {
      ChosenDevice = i;
    }
  }
}

void CReflashDlg::RunUpdate() {
  std::uint16_t protectGpioReg = 0xFFFF;
  ChooseDevice();
  if (ChosenDevice == -1 || CamOpen(DevicePathsW[ChosenDevice], DevicePathLength) <= 0) {
    return;
  }
  Windowing()->sleep(kAfterOpenMs);

  std::uint8_t romId[kRomIdSize] = {};
  if (!CamReadRomId(romId)) {
    std::memset(romId, 0, sizeof romId);  // a failed read is no identification
  }
  std::uint8_t protectByte = FirmwareImage[ProtectionByteOffset(romId)];
  CamSetFlashProtect(0, protectGpioReg, protectByte);

  ShowStatus(StatusBlue, "Erase Flash ...");
  if (CamEraseFlash()) {
    progressBar.SetPos(40);
    ShowStatus(StatusBlue, "Update Firmware ...");
    UpdatePassed =
        CamTransfer(TransferFlashWrite, 0, FirmwareImage.get(), FirmwareImageSize) ? 1 : 0;
    progressBar.SetPos(60);
    if (UpdatePassed == 0) {
      progressBar.SetPos(100);
      ShowStatus(StatusRed, "Write firmware Failed!!!");
      WriteResultLog(ResultFailText);
    }
  } else {
    progressBar.SetPos(100);
    ShowStatus(StatusRed, "Erase failed!!!");
    WriteResultLog(ResultFailText);
    UpdatePassed = 0;
  }
  // Restored after a failed erase or write too: the camera must not stay unprotected. A camera
  // that refused part of the restore may ship writable, so that attempt cannot pass.
  if (!CamSetFlashProtect(1, protectGpioReg, protectByte) && UpdatePassed != 0) {
    UpdatePassed = 0;
    progressBar.SetPos(100);
    ShowStatus(StatusRed, "Write firmware Failed!!!");
    WriteResultLog(ResultFailText);
  }
  if (UpdatePassed != 0) {
    ShowStatus(StatusBlue, "Reset Device...");
    CamResetDevice();
  }
  CamClose();
  if (UpdatePassed != 1) {
    return;
  }
  Windowing()->sleep(kAfterResetMs);
  progressBar.SetPos(80);
  ShowStatus(StatusBlue, "Check Firmware...");
  UpdatePassed = VerifyFirmware();
  // The protection the restore left must be what the image it wrote asks for, whatever a
  // transport let through unseen (a short answer filled with zeros reads as "no protection").
  if (UpdatePassed == 1 && !CamProtectionMatchesImage(FirmwareImage.get(), FirmwareImageSize)) {
    UpdatePassed = 0;
  }
  progressBar.SetPos(100);
  if (UpdatePassed == 0) {
    ShowStatus(StatusRed, "Check Firmware Failed!!!");
  }
}

int CReflashDlg::VerifyFirmware() {
  std::unique_ptr<std::uint8_t[]> readBack(new (std::nothrow) std::uint8_t[FirmwareImageSize]);
  if (!readBack) {
    return 0;
  }
  ChooseDevice();
  if (ChosenDevice == -1 || CamOpen(DevicePathsW[ChosenDevice], DevicePathLength) <= 0) {
    CamClose();
    return 0;  // an unreachable camera is never a pass
  }
  // A failed read would leave nothing of the camera's in the buffer to compare.
  const bool read = CamTransfer(TransferFlashRead, 0, readBack.get(), FirmwareImageSize);
  int result = read ? 1 : 0;
  for (std::size_t i = 0; read && i < FirmwareImageSize; ++i) {
    if (FirmwareImage[i] != readBack[i]) {
      result = 0;
      break;
    }
  }
  CamClose();
  return result;
}
