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
for f in exit.txt bench.txt stderr.txt signal.txt busy-stderr.txt out-of-range-stderr.txt; do
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
# expect_log TEXT [PREFIX]: PREFIXResult.log holds exactly TEXT (printf format).
expect_log() {
  local want file="$out/${2:-}Result.log"
  want="$(printf "$1" | od -An -c)"
  if [ ! -f "$file" ]; then
    fail "no ${2:-}Result.log came back"
  elif [ "$(od -An -c <"$file")" != "$want" ]; then
    fail "${2:-}Result.log is $(od -An -c <"$file" | tr -s ' '), expected $(printf "$1" | od -An -c | tr -s ' ')"
  fi
}
expect_screen() {
  grep -qF -- "$1" "$out/${2:-}screen.txt" 2>/dev/null || fail "the screen never showed \"$1\""
}
expect_exit_zero() {
  grep -q '^reflash exit 0$' "$out/${1:-}exit.txt" 2>/dev/null || fail "reflash did not exit with 0"
}
# expect_stderr LINE [PREFIX]: standard error is exactly that one line (empty LINE: nothing).
expect_stderr() {
  local said
  said="$(cat "$out/${2:-}stderr.txt" 2>/dev/null || echo "(no file)")"
  [ "$said" = "$1" ] || fail "standard error is \"$said\", expected \"$1\""
}
expect_flash_is_image() {
  if [ ! -f "$out/flash.bin" ]; then
    fail "no flash dump came back"
  elif ! cmp "$out/flash.bin" "$image"; then
    fail "the camera's flash differs from the firmware image"
  fi
}
# The protection a finished update leaves: status register 0x8C (status-register protect and
# block protect) and the write-protect input held low.
expect_protected() {
  [ "$(cat "$out/state.txt" 2>/dev/null)" = "$(printf 'statusRegister 140\nwriteProtectPin low')" ] ||
    fail "the flash is left unprotected: $(tr '\n' ' ' <"$out/state.txt" 2>/dev/null)"
}

case "$name" in
  pass)
    expect_exit_zero
    expect_log 'Pass\r\nR06.00.01\r\n'
    expect_flash_is_image
    expect_stderr ""
    ;;
  foreign)
    expect_exit_zero
    expect_log 'Pass\r\nR06.00.01\r\n'
    expect_flash_is_image
    expect_protected
    expect_stderr ""
    [ -f "$out/foreign-trace.txt" ] || fail "the other camera's trace did not come back"
    [ -s "$out/foreign-trace.txt" ] &&
      fail "the other camera's unit was asked: $(head -3 "$out/foreign-trace.txt" | tr '\n' ';')"
    ;;
  sigterm)
    expect_exit_zero
    [ "$(grep -c 'SIGTERM sent' "$out/signal.txt" 2>/dev/null)" = 2 ] ||
      fail "reflash was gone before the two SIGTERMs were sent"
    if cmp -s "$out/Result.log" <(printf 'Pass\r\nR06.00.01\r\n'); then
      expect_flash_is_image
    else
      expect_log 'Fail'
    fi
    expect_protected
    ;;
  error_codes)
    for kind in busy out-of-range; do
      expect_exit_zero "$kind-"
      expect_log 'Fail' "$kind-"
      expect_screen 'Erase failed!!!' "$kind-"
    done
    # The refused register write, then the flash request the chip refuses after it.
    refused='reflash: /dev/video0: the camera refused a request on control 3 of unit 2 in its present state (EILSEQ); re-plug it and run again; a second failure sends it to repair'
    expect_stderr "reflash: /dev/video0: the camera was not ready for control 1 of unit 2 (EBUSY); run again; a camera that stays busy goes to repair
$refused" busy-
    expect_stderr "reflash: /dev/video0: the camera found a value out of range on control 1 of unit 2 (ERANGE); a camera of another model or firmware: send it to repair
$refused" out-of-range-
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
    expect_stderr 'reflash: cannot open /dev/video0: permission denied (mode 0660, owner root:plugdev); add this user to the group "plugdev" and log in again'
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
