#pragma once
// The front end's process-wide run state; the product's facts and resource ids with it.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "product/product.h"
#include "product/resource_ids.h"
#include "seams/windowing.h"

inline constexpr std::uint32_t WM_UPDATE_NEXT = WmUser + 1001;  // 2025

extern std::unique_ptr<std::uint8_t[]> FirmwareImage;
// False until the image resource has been copied in whole; no attempt runs without it.
extern bool FirmwareImageLoaded;
extern int UpdatePassed;
extern int AttemptCount;
extern HWnd MainWindowHandle;
extern int ChosenDevice;

// Returns the run state to its load-time values and frees the image; for tests.
void ResetFrontEndState();
