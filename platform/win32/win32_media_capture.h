#pragma once
// The media-capture seam over COM, the system device enumerator and kernel-streaming interfaces.

#include "seams/media_capture.h"

// The table of real platform calls; install it with CamInstallMediaCapture.
const MediaCaptureOps* Win32MediaCaptureOps();
