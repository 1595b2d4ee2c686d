#pragma once
// The presence check: is a device of setup class "Image" with a USB id in the device tree?

inline constexpr int DeviceTreeUnavailable = 0;  // no tree, or no "Image" node seen
inline constexpr int ImageDeviceOtherId = 1;     // "Image" nodes seen, none with the id
inline constexpr int ImageDevicePresent = 2;

// Walks the tree of the installed device-tree seam in pre-order; id is a text like
// "vid_1f3a&pid_5c72" (at most 255 characters).
int CheckDevicePresent(const char* id);
