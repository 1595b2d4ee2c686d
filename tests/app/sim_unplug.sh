#!/usr/bin/env bash
# reflash-sim with the product's waits, its camera pulled (SIGUSR1) and plugged in again (SIGUSR2)
# as the station signals it: pulled while it is written, the update must not pass; pulled and
# plugged in again while it restarts after its reset, it is found again and passes.
set -u
exe=$(realpath "$1")
work=$2
rm -rf "$work" && mkdir -p "$work" || exit 1

# Starts a run in folder $work/$1, with its timeline and report; its process id goes to $pid.
start() {
  mkdir -p "$work/$1"
  (cd "$work/$1" && exec "$exe" --timeline timeline.txt --report report.json >out.txt 2>&1) &
  pid=$!
}

# Waits up to 30 s for the timeline of run $1 to hold the text $2.
wait_for() {
  for _ in $(seq 300); do
    grep -qF -- "$2" "$work/$1/timeline.txt" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "$1: the timeline never showed $2"; kill -KILL "$pid" 2>/dev/null; exit 1
}

# Fails unless run $1 ended with status 0 and Result.log holding exactly $2.
check_verdict() {
  wait "$pid"
  local status=$?
  if [ "$status" -ne 0 ]; then
    echo "$1: reflash-sim ended with status $status"; cat "$work/$1/out.txt"; exit 1
  fi
  if ! printf "$2" | cmp -s - "$work/$1/Result.log"; then
    echo "$1: Result.log is not '$2':"; od -c "$work/$1/Result.log"; exit 1
  fi
}

# Fails unless the report of run $1 shows the attempts' outcomes $2 (one line each, in order).
check_outcomes() {
  local got
  got=$(sed -n 's/.*"outcome": "\([^"]*\)".*/\1/p' "$work/$1/report.json" | paste -sd,)
  if [ "$got" != "$2" ]; then
    echo "$1: attempts '$got', expected '$2'"; cat "$work/$1/report.json"; exit 1
  fi
}

# Pulled while the image is written: the write fails, and the later attempts find no camera.
start pulled
wait_for pulled 'status blue "Update Firmware ..."'
sleep 0.3
kill -USR1 "$pid"
check_verdict pulled 'Fail'
check_outcomes pulled 'write failed,no camera,no camera'

# Pulled 2 s into the 5 s wait after the reset and plugged in 0.4 s later: back in time for the
# read-back, with the flash as it was written.
start replugged
wait_for replugged 'status blue "Reset Device..."'
sleep 2
kill -USR1 "$pid"
sleep 0.4
kill -USR2 "$pid"
check_verdict replugged 'Pass\r\nR06.00.01\r\n'
check_outcomes replugged 'pass'
order=$(grep -oE 'camera (pulled|plugged in|back)$' "$work/replugged/timeline.txt" | paste -sd,)
if [ "$order" != "camera pulled,camera plugged in,camera back" ]; then
  echo "replugged: the camera went '$order'"; exit 1
fi
grep -E 'camera (pulled|plugged in|gone|back)$|Reset Device|Check Firmware' \
  "$work/replugged/timeline.txt"
echo "a pulled camera failed, a replugged one passed"
