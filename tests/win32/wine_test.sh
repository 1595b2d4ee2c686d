#!/usr/bin/env bash
# The Windows build's tests under Wine. `start` and `stop` bracket a run (one Xvfb, one persistent
# wineserver, a fresh prefix with the test camera registered); every other verb is one check.
# CTest passes the locations through REFLASH_* variables (tests/win32/CMakeLists.txt).
set -euo pipefail

state=${REFLASH_WINE_STATE:?}
build=${REFLASH_WIN32_BUILD:?}
wine=${REFLASH_WINE:-wine}
wineserver=${REFLASH_WINESERVER:-wineserver}
image=${REFLASH_IMAGE:?}

product=$build/platform/win32/reflash.exe
sim_exe=$build/platform/win32/reflash-sim.exe
station_exe=$build/platform/win32/reflash-station.exe
camera_dll=$build/tests/win32/reflash_test_camera.dll
tree_dll=$build/tests/win32/cfgmgr32.dll
# The test camera's COM class; any fixed id of our own.
camera_clsid='{5B1F3C2A-7D4E-4F61-9A2B-3C4D5E6F7081}'
video_input_category='{860BB310-5D01-11D0-BD3B-00A0C911CE86}'
camera_path='\\?\usb#vid_1f3a&pid_5c72&mi_00#7&2a3b4c5d&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\global'
caption='Update QX207B-T41C-KM05-PL-R06.00.01 Firmware V.7.0.0.7'
pass_text=$'Pass\r\nR06.00.01\r\n'
# Wine's default selection colour, which a progress bar fills with.
progress_fill='#3096FA'

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

use_session() {
  [ -f "$state/session.env" ] || fail "no Wine session: the wine_session_start test did not run"
  # shellcheck disable=SC1091
  source "$state/session.env"
  export WINEPREFIX DISPLAY WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

start_session() {
  stop_session 2>/dev/null || true
  rm -rf "$state"
  mkdir -p "$state"
  local display=""
  for n in $(seq 90 140); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      display=$n
      break
    fi
  done
  [ -n "$display" ] || fail "no free X display number"
  "${REFLASH_XVFB:-Xvfb}" ":$display" -screen 0 1024x768x24 -nolisten tcp </dev/null \
    >"$state/xvfb.log" 2>&1 &
  echo $! >"$state/xvfb.pid"
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
  done
  [ -e "/tmp/.X11-unix/X$display" ] || fail "Xvfb did not start: $(cat "$state/xvfb.log")"
  {
    echo "WINEPREFIX='$state/prefix'"
    echo "DISPLAY=':$display'"
  } >"$state/session.env"
  use_session
  mkdir -p "$WINEPREFIX"
  # Nothing started for the session may hold the test's output open, or CTest waits for it.
  "$wineserver" -p </dev/null >"$state/wineserver.log" 2>&1
  "$wine" wineboot -i </dev/null >"$state/wineboot.log" 2>&1 || fail "wineboot failed: $(cat "$state/wineboot.log")"
  register_camera
}

# The test camera as a video-input device: its COM class and an instance of the category.
register_camera() {
  [ -f "$camera_dll" ] || fail "missing $camera_dll"
  local dll
  dll=$("$wine" winepath -w "$camera_dll" 2>/dev/null | tr -d '\r')
  local reg="$state/camera.reg"
  {
    echo 'REGEDIT4'
    echo
    echo "[HKEY_CLASSES_ROOT\\CLSID\\$camera_clsid]"
    echo '@="reflash test camera"'
    echo
    echo "[HKEY_CLASSES_ROOT\\CLSID\\$camera_clsid\\InprocServer32]"
    echo "@=\"${dll//\\/\\\\}\""
    echo '"ThreadingModel"="Both"'
    echo
    echo "[HKEY_CLASSES_ROOT\\CLSID\\$video_input_category\\Instance\\$camera_clsid]"
    echo '"FriendlyName"="Reflash test camera"'
    echo "\"CLSID\"=\"$camera_clsid\""
    echo "\"DevicePath\"=\"${camera_path//\\/\\\\}\""
  } >"$reg"
  "$wine" regedit /S "$(winepath_w "$reg")" >"$state/regedit.log" 2>&1 ||
    fail "registering the test camera failed: $(cat "$state/regedit.log")"
}

winepath_w() {
  "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'
}

stop_session() {
  if [ -f "$state/session.env" ]; then
    use_session
    "$wineserver" -k 2>/dev/null || true
  fi
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid"
  fi
}

# A fresh working directory for one run of a program.
workdir() {
  local dir="$state/$1"
  rm -rf "$dir"
  mkdir -p "$dir"
  echo "$dir"
}

# Runs an .exe in the current directory; sets `status`.
run_exe() {
  set +e
  "$wine" "$@" >run.log 2>&1
  status=$?
  set -e
}

expect_file_bytes() {
  local file=$1 expected=$2 what=$3
  [ -f "$file" ] || fail "$what: $file missing"
  printf '%s' "$expected" >expected.bin
  cmp -s "$file" expected.bin || fail "$what: $file holds [$(od -An -c "$file")]"
}

expect_status() {
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1 ($(tail -5 run.log))"
}

# The stand-in cfgmgr32 logs one line per CM_Locate_DevNodeA, with whether the dialog was showing.
expect_attempts() {
  local log=$1 lines=$2
  [ -f "$log" ] || fail "the stand-in device tree was never asked ($log missing)"
  local count
  count=$(grep -c '^locate' "$log" || true)
  [ "$count" -eq "$lines" ] || fail "$count device-tree walks, expected $lines: $(cat "$log")"
  if grep -q '^locate dialog=hidden' "$log"; then
    fail "the dialog was not showing during an attempt: $(cat "$log")"
  fi
}

check_no_camera() {
  # Wine's own Configuration Manager: no device tree at all. An argument the tool does not know
  # is ignored: the run still ends with its verdict.
  cd "$(workdir no_camera_empty)"
  cp "$product" .
  local begin=$SECONDS
  run_exe reflash.exe --bogus
  expect_status 0
  expect_file_bytes Result.log "Fail" "no camera (empty directory)"
  [ $((SECONDS - begin)) -ge 3 ] || fail "the run ended before the 3 s start-up timer"

  # A device tree without the camera: three attempts, two ids each, with the dialog showing.
  cd "$(workdir no_camera_tree)"
  cp "$product" "$tree_dll" .
  REFLASH_FIXTURE_TREE=none REFLASH_FIXTURE_LOG=tree.log WINEDLLOVERRIDES="cfgmgr32=n;mscoree,mshtml=" \
    run_exe reflash.exe
  expect_status 0
  expect_file_bytes Result.log "Fail" "no camera (device tree without it)"
  expect_attempts tree.log 6
}

# One run of the unchanged product against the registered test camera (any further arguments
# go on its command line).
run_product() {
  local name=$1 camera=$2
  shift 2
  cd "$(workdir "$name")"
  cp "$product" "$tree_dll" .
  REFLASH_FIXTURE_TREE=camera REFLASH_FIXTURE_LOG=tree.log REFLASH_FIXTURE_CAMERA=$camera \
    REFLASH_FIXTURE_FLASH_OUT=flash.bin REFLASH_FIXTURE_TRACE=trace.txt WINEDLLOVERRIDES="cfgmgr32=n;mscoree,mshtml=" \
    run_exe reflash.exe "$@"
  expect_status 0
}

check_full_update() {
  run_product full_update normal
  expect_file_bytes Result.log "$pass_text" "full update"
  [ -f flash.bin ] || fail "the test camera wrote no flash contents"
  cmp -s flash.bin "$image" || fail "the simulated flash differs from the image: $(cmp flash.bin "$image")"
  expect_attempts tree.log 1
}

check_erase_failure() {
  run_product erase_failure erase-fail
  expect_file_bytes Result.log "Fail" "erase failure"
  expect_attempts tree.log 3
  # Each attempt asked for the erase, the camera refused it, and nothing was written after it.
  local erases
  erases=$(grep -cE '^SET 3 [0-9]+ 00 00 C8 .* FAIL$' trace.txt || true)
  [ "$erases" -eq 3 ] || fail "$erases refused erase requests, expected 3"
  if grep -qE '^SET 3 [0-9]+ .. .. 0[1-8] ' trace.txt; then
    fail "flash data was sent after a failed erase"
  fi
  [ -f flash.bin ] || fail "the test camera wrote no flash contents"
  ! cmp -s flash.bin "$image" || fail "the flash holds the image although every erase failed"
}

check_no_xu_node() {
  run_product no_xu_node no-xu-node
  expect_file_bytes Result.log "$pass_text" "camera without an extension-unit node in its topology"
  cmp -s flash.bin "$image" || fail "the simulated flash differs from the image"
  expect_attempts tree.log 1
  # No node was offered for the probe; the layer fell back to node ids 1 and then 2.
  if grep -q '^SUPPORT' trace.txt; then
    fail "a set-support probe was sent although the topology has no vendor-specific node"
  fi
  grep -qE '^SET 3 2 ' trace.txt || fail "no flash write reached node 2"
}

check_sim_instant() {
  cd "$(workdir sim_instant)"
  cp "$sim_exe" .
  run_exe reflash-sim.exe --instant --flash-out flash.bin --ui-trace ui.txt
  expect_status 0
  expect_file_bytes Result.log "$pass_text" "reflash-sim --instant"
  cmp -s flash.bin "$image" || fail "reflash-sim's flash differs from the image"
  # What the Win32 dialog showed, in order: one attempt that passes.
  printf '%s\n' 'status 0x00FF0000 Detect Device!!!' 'progress 0' \
    'status 0x00FF0000 Check Hardware ...' 'progress 20' 'status 0x00FF0000 Erase Flash ...' \
    'progress 40' 'status 0x00FF0000 Update Firmware ...' 'progress 60' \
    'status 0x00FF0000 Reset Device...' 'progress 80' 'status 0x00FF0000 Check Firmware...' \
    'progress 100' >expected-ui.txt
  cmp -s ui.txt expected-ui.txt || fail "the dialog showed: $(cat ui.txt)"
}

# reflash.exe --port against the stand-in device tree, whose camera is on Port_#0002.Hub_#0001:
# that port finds it and passes; another port sees no camera in three attempts.
check_port_selector() {
  REFLASH_FIXTURE_PORT='Port_#0002.Hub_#0001' run_product port_chosen normal \
    --port 'Port_#0002.Hub_#0001'
  expect_file_bytes Result.log "$pass_text" "the camera on the chosen port"
  cmp -s flash.bin "$image" || fail "the chosen port's flash differs from the image"
  expect_attempts tree.log 1
  REFLASH_FIXTURE_PORT='Port_#0002.Hub_#0001' run_product port_other normal \
    --port 'Port_#0003.Hub_#0001'
  expect_file_bytes Result.log "Fail" "another port than the camera's"
  expect_attempts tree.log 6
  if [ -f flash.bin ] && cmp -s flash.bin "$image"; then
    fail "the camera on another port was written"
  fi
}

# reflash-station.exe with reflash-sim.exe workers beside it: three simulated cameras at once,
# one reading a byte back wrong; the third is plugged in after the start, which --once leaves.
# Each record names its camera: A1 with a serial number, A2 without one; after the update both
# run the image (A2 only reads back wrong) and report its revision.
check_station() {
  cd "$(workdir station)"
  cp "$station_exe" "$sim_exe" .
  printf '%s\n' 'A1 0 - serial=U-0001 bcd=0412' 'A2 0 - serial=none --corrupt-readback 0x10' \
    'A3 0 - --chip 3' 'A4 400 -' >ports
  run_exe reflash-station.exe --once --sim ports --instant --output out --station-id L1 \
    --operator ann
  expect_status 1
  [ "$(jq -rc 'select(.port != "A3") | [.record, .port, .serial, .bcdDevice, .station,
    .operator, .after.bcdDevice] | join(" ")' out/station.jsonl | sort | paste -sd,)" = \
    "end A1 U-0001 0412 L1 ann 0601,end A2  0500 L1 ann 0601,start A1 U-0001 0412 L1 ann ,start A2  0500 L1 ann " ] ||
    fail "the cameras' identities: $(cat out/station.jsonl)"
  expect_file_bytes out/A1/Result.log "$pass_text" "station port A1"
  expect_file_bytes out/A2/Result.log "Fail" "station port A2"
  expect_file_bytes out/A3/Result.log "$pass_text" "station port A3"
  [ ! -e out/A4 ] || fail "--once took a camera plugged in after its start"
  # A start record and an end record per camera.
  [ "$(jq -r 'select(.record == "start") | .port' out/station.jsonl | sort | paste -sd,)" = \
    "A1,A2,A3" ] || fail "start records: $(cat out/station.jsonl)"
  [ "$(jq -r 'select(.record == "end") | .port' out/station.jsonl | sort | paste -sd,)" = \
    "A1,A2,A3" ] || fail "end records: $(cat out/station.jsonl)"
  [ "$(jq -r 'select(.record == "end" and .port == "A2") | .attempts | join(",")' \
    out/station.jsonl)" = "check failed,check failed,check failed" ] ||
    fail "A2's attempts: $(cat out/station.jsonl)"
  [ "$(jq -r 'select(.record == "end") | .verdict' out/station.jsonl | sort | paste -sd,)" = \
    "fail,pass,pass" ] || fail "verdicts: $(cat out/station.jsonl)"
  # The simulated camera on port 2 is not the camera a worker for port 3 takes.
  cd "$(workdir selector)"
  cp "$sim_exe" .
  run_exe reflash-sim.exe --instant --camera-port 2 --port 3
  expect_file_bytes Result.log "Fail" "reflash-sim.exe --port 3 with the camera on port 2"
  run_exe reflash-sim.exe --instant --camera-port 2 --port 2
  expect_file_bytes Result.log "$pass_text" "reflash-sim.exe --port 2 with the camera on port 2"
  # The real ports: the stand-in device tree has the test camera on Port_#0002.Hub_#0001, and
  # the station runs reflash.exe beside it on that port.
  cd "$(workdir station_real)"
  cp "$station_exe" "$product" "$tree_dll" .
  local port='Port_#0002.Hub_#0001'
  REFLASH_FIXTURE_TREE=camera REFLASH_FIXTURE_PORT=$port REFLASH_FIXTURE_CAMERA=normal \
    REFLASH_FIXTURE_FLASH_OUT="$(winepath_w "$PWD/flash.bin")" REFLASH_FIXTURE_SERIAL=W0042 \
    WINEDLLOVERRIDES="cfgmgr32=n;mscoree,mshtml=" run_exe reflash-station.exe --once --output out
  expect_status 0
  expect_file_bytes "out/$port/Result.log" "$pass_text" "reflash.exe under the station"
  cmp -s flash.bin "$image" || fail "the station's camera flash differs from the image"
  [ "$(jq -r .imageSha256 out/station.jsonl | sort -u)" = "$(sha256sum <"$image" | cut -c1-64)" ] ||
    fail "the image's SHA-256 in the log: $(jq -r .imageSha256 out/station.jsonl | sort -u)"
  [ "$(jq -r 'select(.record == "end") | "\(.port) \(.verdict) \(.attempts | join(","))"' \
    out/station.jsonl)" = "$port pass pass" ] || fail "station.jsonl: $(cat out/station.jsonl)"
  jq -e 'select(.record == "end") | .devicePath | test("vid_1f3a&pid_5c72")' out/station.jsonl \
    >/dev/null ||
    fail "no device path in station.jsonl"
  # The serial part of the USB device's instance id, and the revision of its hardware id.
  [ "$(jq -r '"\(.serial) \(.usbId) \(.bcdDevice) \(.after.serial // "-")"' out/station.jsonl |
    paste -sd,)" = "W0042 1f3a:5c72 0100 -,W0042 1f3a:5c72 0100 W0042" ] ||
    fail "the camera's identity: $(cat out/station.jsonl)"
  # No camera in the tree: --once ends with 2.
  cd "$(workdir station_none)"
  cp "$station_exe" "$product" "$tree_dll" .
  REFLASH_FIXTURE_TREE=none WINEDLLOVERRIDES="cfgmgr32=n;mscoree,mshtml=" \
    run_exe reflash-station.exe --once --output out
  expect_status 2
}

# Two stations in one folder, and a station ended mid-update (TerminateProcess, as the task
# manager does) and started again: the second station is refused naming the first, the worker
# runs on with its port locked, and the restarted station waits for it and writes the one end
# record from the account the worker left.
check_station_lock() {
  cd "$(workdir station_lock)"
  cp "$station_exe" "$sim_exe" .
  echo 'A1 0 -' >ports
  local http
  http=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$wine" reflash-station.exe --watch --sim ports --output out --http "$http" >first.log 2>&1 &
  local first=$!
  for _ in $(seq 600); do
    grep -q '"record": "start"' out/station.jsonl 2>/dev/null && break
    sleep 0.1
  done
  grep -q '"record": "start"' out/station.jsonl 2>/dev/null ||
    fail "the first station started no update: $(cat first.log)"
  # Its page: the port's tile, its start record as the file holds it, read-only.
  curl -sf "http://127.0.0.1:$http/api/ports" | jq -e '.ports[0].port == "A1" and .running == 1' \
    >/dev/null || fail "the page's ports: $(curl -s "http://127.0.0.1:$http/api/ports")"
  [ "$(curl -sf "http://127.0.0.1:$http/api/records" | jq -r '.[0].record')" = start ] ||
    fail "the page's records: $(curl -s "http://127.0.0.1:$http/api/records")"
  [ "$(curl -s -o /dev/null -w '%{http_code}' -X POST "http://127.0.0.1:$http/api/ports")" = 405 ] ||
    fail "the page took a POST"
  run_exe reflash-station.exe --once --sim ports --output out
  expect_status 64
  local holder
  holder=$(tr -dc '0-9' <out/station.lock)
  # A failed check must not leave the watching station behind.
  # shellcheck disable=SC2064
  trap "'$wine' taskkill /F /PID '$holder' >/dev/null 2>&1 || true" EXIT
  grep -q "another station (pid $holder) runs in" run.log ||
    fail "the second station said: $(cat run.log)"
  "$wine" taskkill /F /PID "$holder" >kill.log 2>&1 || fail "taskkill: $(cat kill.log)"
  wait "$first" || true
  trap - EXIT
  ! grep -q '^end ' out/A1/worker.log 2>/dev/null ||
    fail "the worker ended before its station did: nothing was shown"
  run_exe reflash-station.exe --once --sim ports --output out
  expect_status 0
  [ "$(jq -r 'select(.port == "A1") | .record' out/station.jsonl | paste -sd,)" = "start,end" ] ||
    fail "A1's records: $(cat out/station.jsonl)"
  [ "$(jq -r 'select(.record == "end") | "\(.verdict) \(.attempts | join(","))"' \
    out/station.jsonl)" = "pass pass" ] || fail "A1's end: $(cat out/station.jsonl)"
  grep -q '^end 0' out/A1/worker.log || fail "the restarted station did not wait for the worker"
  expect_file_bytes out/A1/Result.log "$pass_text" "the worker of the ended station"
}

# What the photographed dialog must show during the reset wait: the status text in blue at the
# label's character height (18, larger than the dialog's own 9-point font), centred over the
# progress bar, and the bar as one smooth run of the selection colour filled to 60 %.
check_dialog_picture() {
  local picture=$1
  local text fill
  text=$(convert "$picture" -fill black +opaque '#0000FF' -fill white -opaque '#0000FF' -trim \
    -format '%w %h %X %Y' info:)
  fill=$(convert "$picture" -fill black +opaque "$progress_fill" -fill white -opaque "$progress_fill" \
    -trim -format '%w %h %X %Y' info:)
  read -r text_w text_h text_x _ <<<"${text//+/}"
  read -r fill_w fill_h fill_x fill_y <<<"${fill//+/}"
  [ "$text_h" -ge 11 ] && [ "$text_h" -le 18 ] ||
    fail "status text is $text_h pixels high, not the label's 18-unit font"
  [ "$fill_w" -ge 20 ] || fail "no progress fill in the screenshot"
  # The bar's middle row: fill, then white up to the bar's right frame.
  local row=$((fill_y + fill_h / 2))
  local right
  right=$(convert "$picture" -crop "640x1+0+$row" +repage txt:- |
    awk -v start=$((fill_x + fill_w)) 'NR > 1 && !found { split($1, xy, ","); x = xy[1] + 0;
      if (x >= start && $3 != "#FFFFFF") { print x; found = 1 } }')
  local left=$((fill_x - 1))
  local inner=$((right - left - 1))
  local expected=$((inner * 60 / 100))
  [ $((fill_w - expected)) -le 1 ] && [ $((expected - fill_w)) -le 1 ] ||
    fail "progress fill $fill_w of $inner pixels, expected 60 % ($expected)"
  local gaps
  gaps=$(convert "$picture" -crop "${fill_w}x1+${fill_x}+$row" +repage txt:- |
    awk -v c="$progress_fill" 'NR > 1 && $3 != c' | wc -l)
  [ "$gaps" -eq 0 ] || fail "the progress fill is broken into blocks ($gaps gaps)"
  local text_centre=$((2 * text_x + text_w)) bar_centre=$((left + right))
  [ $((text_centre - bar_centre)) -le 6 ] && [ $((bar_centre - text_centre)) -le 6 ] ||
    fail "status text is not centred (text at $text_x+$text_w, bar $left..$right)"
}

# The product's dialog during an update of the test camera, in a virtual desktop so that the
# title bar shows. Writes dialog.png in the check's directory, and to $1 when given.
check_dialog_screenshot() {
  local out=${1:-}
  cd "$(workdir dialog_screenshot)"
  cp "$product" "$tree_dll" .
  REFLASH_FIXTURE_TREE=camera REFLASH_FIXTURE_CAMERA=normal REFLASH_FIXTURE_FLASH_OUT=flash.bin \
    WINEDLLOVERRIDES="cfgmgr32=n;mscoree,mshtml=" \
    "$wine" explorer /desktop=reflash,640x170 reflash.exe >run.log 2>&1 &
  local pid=$!
  # The camera closes after its reset with the image in its flash; the dialog then shows
  # "Reset Device..." at 60 % for the 5 s the camera takes to come back.
  for _ in $(seq 300); do
    cmp -s flash.bin "$image" && break
    sleep 0.1
  done
  cmp -s flash.bin "$image" || fail "the update never reached the reset"
  sleep 1.5
  import -display "$DISPLAY" -window root -crop 640x170+0+0 +repage dialog.png
  for _ in $(seq 300); do
    [ -f Result.log ] && break
    sleep 0.1
  done
  # The virtual desktop lingers after the program; the session's end stops it in any case.
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  expect_file_bytes Result.log "$pass_text" "update under the virtual desktop"
  check_dialog_picture dialog.png
  if [ -n "$out" ]; then
    cp dialog.png "$out"
  fi
}

# A photograph of reflash-sim.exe's dialog for the station guide: runs it with SIM_ARGS under the
# virtual desktop and takes the picture once the dialog has shown STATUS for a moment. A held
# request (--hang-request) keeps a moment on screen that otherwise passes too fast to see.
sim_photo() {
  local out=${1:?usage: wine_test.sh sim_photo OUT.png STATUS SIM_ARGS...} status=${2:?}
  shift 2
  cd "$(workdir "sim_photo_$(basename "$out" .png)")"
  rm -f ui.txt Result.log
  cp "$sim_exe" .
  "$wine" explorer /desktop=reflash,640x170 reflash-sim.exe --ui-trace ui.txt "$@" >run.log 2>&1 &
  local pid=$!
  for _ in $(seq 600); do
    [ "$(grep '^status' ui.txt 2>/dev/null | tail -1 | cut -d' ' -f3-)" = "$status" ] && break
    sleep 0.05
  done
  [ "$(grep '^status' ui.txt 2>/dev/null | tail -1 | cut -d' ' -f3-)" = "$status" ] ||
    fail "the dialog never showed \"$status\""
  sleep 0.7
  import -display "$DISPLAY" -window root -crop 640x170+0+0 +repage "$out"
  for _ in $(seq 600); do
    [ -f Result.log ] && break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

verb=${1:?usage: wine_test.sh start|stop|CHECK}
case $verb in
  start) start_session ;;
  stop) stop_session ;;
  sim_photo)
    use_session
    sim_photo "${@:2}"
    ;;
  picture)
    check_dialog_picture "${2:?usage: wine_test.sh picture FILE.png}"
    echo "PASS: $2"
    ;;
  no_camera | full_update | erase_failure | no_xu_node | sim_instant | dialog_screenshot | station | \
    station_lock | port_selector)
    use_session
    "check_$verb" "${@:2}"
    echo "PASS: $verb"
    ;;
  *) fail "unknown verb $verb" ;;
esac
