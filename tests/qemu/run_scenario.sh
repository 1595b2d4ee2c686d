#!/usr/bin/env bash
# One scenario of the Linux `reflash` against the kernel's uvcvideo driver in a QEMU guest, with
# the simulated camera attached through vhci-hcd; checks what comes back.
#
#   run_scenario.sh NAME BUILD_DIR SOURCE_DIR
set -euo pipefail
name="$1"
build="$(cd "$2" && pwd)"
src="$(cd "$3" && pwd)"
here="$src/tests/qemu"
work="$build/tests/qemu/work/$name"
mkdir -p "$work"

reflash="$build/platform/linux/reflash"
camera="$build/platform/usbip/reflash-usbip-camera"
bench="$build/platform/linux/reflash-uvc-bench"
image="$src/resources/firmware_image.bin"

set +e
bash "$here/guest.sh" "$work" "$here/scenarios/$name.sh" \
  "$reflash" "$camera" "$bench" "$here/scenarios/common.sh"
status=$?
set -e
out="$work/out"
for f in exit.txt bench.txt stderr.txt; do
  [ -f "$out/$f" ] && sed "s/^/guest $f: /" "$out/$f"
done
if [ "$status" -ne 0 ]; then
  echo "FAIL: the guest scenario ended with status $status"
  exit 1
fi

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# expect_log TEXT: Result.log holds exactly TEXT (printf format).
expect_log() {
  local want
  want="$(printf "$1" | od -An -c)"
  if [ ! -f "$out/Result.log" ]; then
    fail "no Result.log came back"
  elif [ "$(od -An -c <"$out/Result.log")" != "$want" ]; then
    fail "Result.log is $(od -An -c <"$out/Result.log" | tr -s ' '), expected $(printf "$1" | od -An -c | tr -s ' ')"
  fi
}
expect_screen() {
  grep -qF -- "$1" "$out/screen.txt" 2>/dev/null || fail "the screen never showed \"$1\""
}
expect_exit_zero() {
  grep -q '^reflash exit 0$' "$out/exit.txt" 2>/dev/null || fail "reflash did not exit with 0"
}

case "$name" in
  pass)
    expect_exit_zero
    expect_log 'Pass\r\nR06.00.01\r\n'
    if [ ! -f "$out/flash.bin" ]; then
      fail "no flash dump came back"
    elif ! cmp "$out/flash.bin" "$image"; then
      fail "the camera's flash differs from the firmware image"
    fi
    ;;
  erase_fail)
    expect_exit_zero
    expect_log 'Fail'
    expect_screen 'Erase failed!!!'
    ;;
  pulled)
    expect_exit_zero
    expect_log 'Fail'
    expect_screen 'Write firmware Failed!!!'
    ;;
  no_permission)
    expect_exit_zero
    expect_log 'Fail'
    want='reflash: cannot open /dev/video0: permission denied; add this user to the group "plugdev"'
    [ "$(cat "$out/stderr.txt" 2>/dev/null)" = "$want" ] ||
      fail "standard error is not the one line \"$want\""
    ;;
  bench)
    for key in product plain ratio; do
      grep -Eq "^$key [0-9.]+" "$out/bench.txt" 2>/dev/null || fail "the benchmark printed no \"$key\" figure"
    done
    ;;
  *)
    fail "unknown scenario $name"
    ;;
esac
if [ "$failures" -ne 0 ]; then
  echo "guest console: $work/console.txt; files: $out"
  [ -f "$out/camera.log" ] && tail -20 "$out/camera.log"
  exit 1
fi
echo "PASS: $name"
