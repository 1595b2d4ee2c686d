#pragma once
// The facts of the one product this tool updates: the cameras it takes, the image it carries and
// the verdict it leaves. Every layer may read them; they depend on nothing.

#include <cstddef>

// The two accepted USB ids, always tried in this order.
inline constexpr const char* UsbIdPrimary = "vid_1f3a&pid_5c72";
inline constexpr const char* UsbIdSecondary = "vid_0c45&pid_6320";
inline constexpr std::size_t UsbIdLength = 17;

inline constexpr std::size_t FirmwareImageSize = 65536;
inline constexpr int MaxAttempts = 3;

inline constexpr const char* DialogCaption =
    "Update QX207B-T41C-KM05-PL-R06.00.01 Firmware V.7.0.0.7";

// The verdict file Result.log in the current directory. Written in binary with explicit CR LF,
// so the file is the same 17 bytes on every platform.
inline constexpr const char* ResultPassText = "Pass\r\nR06.00.01\r\n";
inline constexpr const char* ResultFailText = "Fail";
inline constexpr const char* ResultLogName = "Result.log";
