#!/bin/bash
# The simulated station end to end: reflash-station with reflash-sim workers.
# usage: sim_station.sh CASE STATION REFLASH_SIM WORKDIR [REFLASH]
set -u
case_name=$1 station=$2 sim=$3 work=$4 reflash=${5:-}
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1

fails=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if ! "$@"; then
    echo "FAIL: $what" >&2
    fails=$((fails + 1))
  fi
}
# The hex bytes of a file, or "missing".
hex() { if [ -f "$1" ]; then od -An -tx1 -v "$1" | tr -d ' \n'; else echo missing; fi; }
pass_hex=506173730d0a5230362e30302e30310d0a  # "Pass" CR LF "R06.00.01" CR LF
fail_hex=4661696c                             # "Fail"
# The records of one port, one compact JSON object a line.
records() { jq -c --arg p "$1" 'select(.port == $p)' out/station.jsonl; }
field() { records "$1" | jq -r "$2" | paste -sd' '; }
eq() { [ "$1" = "$2" ] || { echo "  expected '$2', got '$1'" >&2; return 1; }; }
# Runs the station in the background on `ports`; its pid in $station_pid.
start_station() {
  "$station" "$@" --sim ports --output out --worker "$sim" > screen.txt 2> stderr.txt &
  station_pid=$!
}
# The pid the plain display gave for the worker on a port.
worker_pid() {
  for _ in $(seq 100); do
    local pid
    pid=$(sed -n "s/.* $1 worker pid \([0-9]*\)$/\1/p" screen.txt | tail -1)
    [ -n "$pid" ] && { echo "$pid"; return; }
    sleep 0.05
  done
}

case $case_name in
mixed)
  # Eight cameras at once, passing and failing for different reasons.
  cat > ports <<'PORTS'
P1 0 -
P2 0 - --chip 3
P3 0 - --fail-request 9000
P4 0 - --corrupt-readback 0x1234
P5 0 - --stay-busy
P6 0 - --chip 12
P7 0 - --no-camera
P8 0 - --disconnect-after 9000
PORTS
  "$station" --once --instant --sim ports --output out --worker "$sim" > screen.txt 2> stderr.txt
  check "exit status 1 when any camera failed" eq "$?" 1
  check "one line per camera" eq "$(wc -l < out/station.jsonl)" 8
  for port in P1 P2 P3 P6 P8; do
    check "$port passes" eq "$(field $port .verdict)" pass
    check "$port's Result.log holds the pass text" eq "$(hex out/$port/Result.log)" $pass_hex
  done
  for port in P4 P5 P7; do
    check "$port fails" eq "$(field $port .verdict)" fail
    check "$port's Result.log holds Fail" eq "$(hex out/$port/Result.log)" $fail_hex
  done
  check "P1 took one attempt" eq "$(field P1 '.attempts|join(",")')" pass
  check "P3 passed on its second attempt" eq "$(field P3 '.attempts|join(",")')" "write failed,pass"
  check "P4 failed its check three times" eq "$(field P4 '.attempts|join(",")')" \
    "check failed,check failed,check failed"
  check "P7 found no camera three times" eq "$(field P7 '.attempts|join(",")')" \
    "no camera,no camera,no camera"
  check "P7 sent no request" eq "$(field P7 .requests.sent)" 0
  check "a pass sent requests" test "$(field P1 .requests.sent)" -gt 16385
  check "every worker gave its own verdict" eq "$(jq -r .reason out/station.jsonl | sort -u)" null
  check "the image is named by its SHA-256" \
    eq "$(jq -r .imageSha256 out/station.jsonl | sort -u | grep -cE '^[0-9a-f]{64}$')" 1
  check "times are UTC" eq "$(jq -r '.start,.end' out/station.jsonl |
    grep -cvE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z$')" 0
  check "the display counted them" grep -q "passed 5  failed 3  running 0" screen.txt
  ;;
plugs)
  # A camera plugged in later, and one unplugged and plugged in again: one update per plug.
  cat > ports <<'PORTS'
A1 0 1500
A1 4000 -
B1 600 - --chip 5
PORTS
  # Wide gaps: a slow machine (or a sanitizer build) must not turn the replug into a reset.
  start_station --watch --instant
  sleep 6
  kill -TERM $station_pid
  wait $station_pid
  check "exit status 0 when all passed" eq "$?" 0
  check "A1 was updated once per plug" eq "$(records A1 | wc -l)" 2
  check "B1 was updated once" eq "$(records B1 | wc -l)" 1
  check "all passed" eq "$(jq -r .verdict out/station.jsonl | sort -u)" pass
  ;;
realtime)
  # Workers on the product's real waits (about 11 s): a camera resetting during its update is
  # the same update; a worker killed with SIGKILL is a fail with its reason while the others go
  # on; SIGTERM lets the running update finish and takes no new camera.
  cat > ports <<'PORTS'
R1 0 4000
R1 4400 -
K1 0 -
L1 9500 -
PORTS
  start_station --watch
  kill -KILL "$(worker_pid K1)"
  sleep 6
  kill -TERM $station_pid
  sent=$(date +%s%N)
  wait $station_pid
  status=$?
  took_ms=$((($(date +%s%N) - sent) / 1000000))
  check "exit status 1: K1 failed" eq "$status" 1
  check "R1 was one update, through its reset" eq "$(records R1 | wc -l)" 1
  check "R1 passed" eq "$(field R1 .verdict)" pass
  check "R1's Result.log holds the pass text" eq "$(hex out/R1/Result.log)" $pass_hex
  check "K1 failed" eq "$(field K1 .verdict)" fail
  check "K1's reason names the signal" grep -q "signal 9" <(field K1 .reason)
  check "L1, plugged in after SIGTERM, was not taken" eq "$(records L1 | wc -l)" 0
  check "the station waited for R1 after SIGTERM ($took_ms ms)" test "$took_ms" -gt 2000
  ;;
killed)
  # A station killed with SIGKILL at some moment leaves a log whose every line parses.
  for port in 1 2 3 4 5 6 7 8; do
    for t in 0 150 300 450 600 750 900 1050 1200 1350; do
      echo "S$port $((t + port * 7)) $((t + port * 7 + 120))"
    done
  done > ports
  start_station --watch --instant
  # Killed once a few cameras are logged, however fast this machine runs them.
  for _ in $(seq 400); do
    [ "$(wc -l < out/station.jsonl 2> /dev/null || echo 0)" -gt 4 ] && break
    sleep 0.05
  done
  kill -KILL $station_pid
  wait $station_pid 2> /dev/null
  check "some cameras were logged" test "$(wc -l < out/station.jsonl)" -gt 4
  check "every line parses" jq -e -c 'select(.verdict == "pass" or .verdict == "fail") | .port' \
    out/station.jsonl > parsed.txt
  check "and each one is a record" eq "$(wc -l < parsed.txt)" "$(wc -l < out/station.jsonl)"
  sleep 0.5  # the orphaned workers finish on their own
  ;;
usage)
  "$station" > /dev/null 2>&1
  check "no mode is a usage error" eq "$?" 64
  "$station" --once --frobnicate > /dev/null 2>&1
  check "an unknown option is a usage error" eq "$?" 64
  check "--version names the version" grep -qE '^reflash-station [0-9]+(\.[0-9]+)+$' \
    <("$station" --version)
  check "--help lists the exit statuses" grep -q "64" <("$station" --help)
  : > ports
  "$station" --once --instant --sim ports --output out --worker "$sim" > /dev/null 2>&1
  check "--once without a camera ends with 2" eq "$?" 2
  echo "A1 0 -" > ports
  "$station" --once --sim ports --output out --worker "$work/no-such-worker" > /dev/null 2>&1
  check "a worker that cannot start is a fail" eq "$?" 1
  check "with its reason" grep -q "could not be started" <(field A1 .reason)
  if [ -n "$reflash" ]; then
    # The single-camera program takes only a well-formed port; --port with anything else is a
    # usage error before it touches a camera (other arguments it ignores: tests/linux).
    for args in "--port" "--port usb1" "--port 1-1:1.0"; do
      "$reflash" $args > /dev/null 2>&1
      check "reflash $args is a usage error" eq "$?" 64
    done
  fi
  ;;
selector)
  # The simulated camera on port 2: taken with --port 2, not seen with --port 3.
  mkdir right wrong
  (cd right && "$sim" --instant --camera-port 2 --port 2 > /dev/null)
  (cd wrong && "$sim" --instant --camera-port 2 --port 3 > /dev/null)
  check "the camera on the chosen port passes" eq "$(hex right/Result.log)" $pass_hex
  check "another port's camera is not taken" eq "$(hex wrong/Result.log)" $fail_hex
  ;;
*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
if [ $fails -ne 0 ]; then
  echo "--- screen" >&2
  tail -40 screen.txt >&2 2> /dev/null
  [ -f out/station.jsonl ] && { echo "--- station.jsonl" >&2; cat out/station.jsonl >&2; }
  exit 1
fi
echo "$case_name: ok"
