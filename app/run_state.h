#pragma once
// The front end's process-wide run state, resource ids and fixed texts.

#include <cstddef>
#include <cstdint>

#include "app/windowing.h"

inline constexpr std::size_t FirmwareImageSize = 65536;
inline constexpr std::uint32_t WM_UPDATE_NEXT = WmUser + 1001;  // 2025
inline constexpr int MaxAttempts = 3;

// Resource and control ids of the dialog template and the program's resources.
inline constexpr int IddReflashDialog = 102;
inline constexpr int IdrMainFrame = 128;
inline constexpr int IdrFirmwareImage = 131;
inline constexpr const char* FirmwareResourceType = "BYTE";
inline constexpr int IdcProgressBar = 1000;
inline constexpr int IdcStatusLabel = 1001;
inline constexpr const char* DialogCaption =
    "Update QX207B-T41C-KM05-PL-R06.00.01 Firmware V.7.0.0.7";
inline constexpr const char* StatusLabelInitialText = "Test";

inline constexpr ColorRef StatusBlue = 0x00FF0000;
inline constexpr ColorRef StatusRed = 0x000000FF;

// The two accepted USB ids, always tried in this order.
inline constexpr const char* UsbIdPrimary = "vid_1f3a&pid_5c72";
inline constexpr const char* UsbIdSecondary = "vid_0c45&pid_6320";
inline constexpr std::size_t UsbIdLength = 17;

extern std::uint8_t* FirmwareImage;
// False until the image resource has been copied in whole; no attempt runs without it.
extern bool FirmwareImageLoaded;
extern int UpdatePassed;
extern int AttemptCount;
extern HWnd MainWindowHandle;
extern int ChosenDevice;

// Returns the run state to its load-time values and frees the image; for tests.
void ResetFrontEndState();
