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
