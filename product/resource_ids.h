#pragma once
// The ids of the dialog template and the program's resources, and the status label's texts and
// colours: shared by the front end and the hosts that draw its dialog.

#include <cstdint>

inline constexpr int IddReflashDialog = 102;
inline constexpr int IdrMainFrame = 128;
inline constexpr int IdrFirmwareImage = 131;
inline constexpr const char* FirmwareResourceType = "BYTE";
inline constexpr int IdcProgressBar = 1000;
inline constexpr int IdcStatusLabel = 1001;
inline constexpr const char* StatusLabelInitialText = "Test";

// 0x00BBGGRR, as the windowing seam's ColorRef.
inline constexpr std::uint32_t StatusBlue = 0x00FF0000;
inline constexpr std::uint32_t StatusRed = 0x000000FF;
