#pragma once
// The windowing seam over the Win32 user interface: dialogs, controls, GDI, timers and threads.

#include "seams/windowing.h"

// The table of real Win32 calls; install it with InstallWindowing.
const WindowingOps* Win32WindowingOps();
