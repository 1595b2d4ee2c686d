#!/usr/bin/env bash
# Photographs the update dialog during an update under Wine and Xvfb into docs/dialog.png.
# Usage: bash tests/win32/take_dialog_screenshot.sh [BUILD_DIR]   (default: build, after
# `cmake --build --preset default` has made the Windows build in BUILD_DIR/win32).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
export REFLASH_WINE_STATE=$build/tests/win32/wine-screenshot
export REFLASH_WIN32_BUILD=$build/win32
export REFLASH_IMAGE=${REFLASH_IMAGE:-$root/resources/firmware_image.bin}
export REFLASH_WINESERVER=${REFLASH_WINESERVER:-$(command -v wineserver)}
script=$root/tests/win32/wine_test.sh
trap 'bash "$script" stop' EXIT
bash "$script" start
bash "$script" dialog_screenshot "$root/docs/dialog.png"
echo "wrote $root/docs/dialog.png"
# Two more moments, from reflash-sim.exe with one request held for 4 s so that the moment stays:
# the read-back that ends a pass, and a failed write (its red message is otherwise replaced by
# the next attempt's first status within milliseconds). Request 8000 falls in the write.
bash "$script" sim_photo "$root/docs/dialog-check.png" "Check Firmware..." --hang-request 15000:4000
bash "$script" sim_photo "$root/docs/dialog-write-failed.png" "Write firmware Failed!!!" \
  --fail-request 8000 --hang-request 8001:4000
echo "wrote $root/docs/dialog-check.png and $root/docs/dialog-write-failed.png"
