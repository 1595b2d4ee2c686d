#pragma once
// The signals a station sends to stop a program, which `reflash` outlives to reach its verdict.

namespace linuxplat {

// Ignores SIGTERM as well as Ctrl-C, hang-up and a closed output pipe: a camera stopped between
// its erase and the restore of its protection would be left blank and unprotected.
void IgnoreStopSignals();

}  // namespace linuxplat
