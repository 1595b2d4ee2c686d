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
camera="$build/testrig/usbip/reflash-usbip-camera"
bench="$build/testrig/uvc_bench/reflash-uvc-bench"
image="$src/resources/firmware_image.bin"

set +e
bash "$here/guest.sh" "$work" "$here/scenarios/$name.sh" \
  "$reflash" "$camera" "$bench" "$build/platform/linux/reflash-station" \
  "$here/scenarios/common.sh"
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
  station_once)
    pass_hex=506173730d0a5230362e30302e30310d0a
    hexof() { od -An -tx1 -v "$1" 2>/dev/null | tr -d ' \n'; }
    verdicts() {
      jq -r 'select(.record == "end") | "\(.port) \(.verdict)"' "$out/$1.jsonl" 2>/dev/null |
        sort | paste -sd' '
    }
    # The bus-port path of the camera on vhci port N, as the guest's controller listed it.
    busport() { awk -v p="$2" '$1 == p { print $2 }' "$out/ports-$1.txt"; }
    grep -q '^one exit 0$' "$out/exit.txt" || fail "one camera: the station did not exit with 0"
    grep -q '^four exit 0$' "$out/exit.txt" || fail "four cameras: the station did not exit with 0"
    grep -q '^fault exit 1$' "$out/exit.txt" || fail "one fault: the station did not exit with 1"
    [ "$(verdicts one)" = "1-1 pass" ] || fail "one camera: $(verdicts one)"
    [ "$(wc -l <"$out/ports-four.txt")" -eq 4 ] || fail "four: $(cat "$out/ports-four.txt")"
    expected=""
    for p in 0 1 2 3; do expected="$expected $(busport four $p) pass"; done
    expected=$(echo $expected | xargs -n2 | sort | paste -sd' ')
    [ "$(verdicts four)" = "$expected" ] || fail "four: $(verdicts four), expected $expected"
    for p in 0 1 2 3; do
      bp=$(busport four $p)
      [ "$(hexof "$out/four-$bp.log")" = $pass_hex ] || fail "four: $bp's Result.log"
      cmp -s "$out/flash$p.bin" "$image" || fail "four: the flash of the camera on $bp is not the image"
    done
    faulty=$(busport fault 6)
    [ "$(wc -l <"$out/ports-fault.txt")" -eq 4 ] || fail "one fault: $(cat "$out/ports-fault.txt")"
    expected=""
    for p in 4 5 7; do expected="$expected $(busport fault $p) pass"; done
    expected=$(echo $expected $faulty fail | xargs -n2 | sort | paste -sd' ')
    [ "$(verdicts fault)" = "$expected" ] || fail "one fault: $(verdicts fault), expected $expected"
    [ "$(hexof "$out/fault-$faulty.log")" = 4661696c ] || fail "one fault: $faulty's Result.log is not Fail"
    [ "$(jq -r --arg p "$faulty" 'select(.port == $p and .record == "end") | .attempts | join(",")' "$out/fault.jsonl")" = \
      "erase failed,erase failed,erase failed" ] || fail "one fault: $faulty's attempts"
    # The unit's identity from sysfs: the camera's serial number string, and its bcdDevice
    # before the update and after its reset (0601 once it runs the image).
    identity() {  # identity RUN BUSPORT: "serial before after" of its end record, start's serial
      jq -r --arg p "$2" 'select(.port == $p) |
        if .record == "start" then "start \(.serial)" else "\(.serial) \(.bcdDevice) \(.after.bcdDevice)" end' \
        "$out/$1.jsonl" | paste -sd' '
    }
    [ "$(identity one 1-1)" = "start RFQ-P0 RFQ-P0 0500 0601" ] || fail "one: identity $(identity one 1-1)"
    # The camera on port 0 runs the image since the first run: a pass that changes no revision.
    for p in 0 1 2 3; do
      serial=RFQ-P$p before=0500 && [ $p = 3 ] && serial=null
      [ $p = 0 ] && before=0601
      [ "$(identity four "$(busport four $p)")" = "start $serial $serial $before 0601" ] ||
        fail "four: port $p's identity $(identity four "$(busport four $p)")"
    done
    [ "$(jq -r --arg p "$(busport four 0)" 'select(.port == $p and .record == "end") | .notes[]' \
      "$out/four.jsonl")" = "bcdDevice 0601 did not change with the update" ] ||
      fail "four: port 0's unchanged revision is not noted"
    [ "$(identity fault "$faulty")" = "start RFQ-P6 RFQ-P6 0500 0500" ] ||
      fail "one fault: the camera that refused its erase reports $(identity fault "$faulty")"
    one_ms=$(sed -n 's/^one ms //p' "$out/exit.txt")
    four_ms=$(sed -n 's/^four ms //p' "$out/exit.txt")
    echo "guest benchmark: 1 camera ${one_ms} ms, 4 cameras ${four_ms} ms" \
      "($(awk -v a="$four_ms" -v b="$one_ms" 'BEGIN {printf "%.2f", a / b}')x; the guest's" \
      "emulated CPU is the limit, not the bus)"
    ;;
  station_watch)
    grep -q '^station exit 0$' "$out/exit.txt" || fail "the station did not exit with 0 after SIGTERM"
    jq -c 'select(.record == "end")' "$out/station.jsonl" >"$out/ends.jsonl"
    log="$out/ends.jsonl"
    [ "$(wc -l <"$log")" -eq 6 ] || fail "$(wc -l <"$log") end records, expected 6"
    # Killed mid-update and started again: the four workers ran on, no second worker joined them,
    # and each update started has its one end record.
    [ "$(cat "$out/workers-after-kill.txt")" = 4 ] || fail "workers after the kill: $(cat "$out/workers-after-kill.txt")"
    [ "$(cat "$out/workers-after-restart.txt")" = 4 ] ||
      fail "workers after the restart: $(cat "$out/workers-after-restart.txt"), expected the same 4"
    [ "$(jq -r 'select(.record == "start") | .port + .start' "$out/station.jsonl" | sort)" = \
      "$(jq -r '.port + .start' "$log" | sort)" ] || fail "a start record without its one end record"
    [ "$(grep -c 'ended while the station was stopped' "$log")" -eq 4 ] ||
      fail "the restarted station did not take the four updates over"
    [ "$(jq -r .verdict "$log" | sort -u)" = pass ] || fail "not every update passed"
    # Five cameras, each one update per plug: the one attached twice (vhci port 0) has two.
    [ "$(jq -r .port "$log" | sort -u | wc -l)" -eq 5 ] || fail "ports: $(jq -r .port "$log" | paste -sd' ')"
    twice=$(jq -r .port "$log" | sort | uniq -d | paste -sd' ')
    again=$(awk '$1 == 0 { print $2 }' "$out/ports.txt")
    [ "$twice" = "${again:-1-1}" ] || fail "updated twice: '$twice', expected the re-attached ${again:-1-1}"
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
