#pragma once
// The verdict file Result.log in the current directory.

// Written in binary with explicit CR LF, so the file is the same 17 bytes on every platform.
inline constexpr const char* ResultPassText = "Pass\r\nR06.00.01\r\n";
inline constexpr const char* ResultFailText = "Fail";
inline constexpr const char* ResultLogName = "Result.log";

// Replaces Result.log with text; false when the file could not be created or fully written.
bool WriteResultLog(const char* text);
