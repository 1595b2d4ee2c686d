#!/usr/bin/env bash
# reflash-sim with the product's waits, interrupted and hung up on while it erases and writes:
# it must run on to its verdict, since a stopped update leaves the camera without firmware.
set -u
exe=$1
work=$2
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
"$exe" --flash-out flash.bin >out.txt 2>&1 &
pid=$!
# At 1.5 s it waits to start, at 4 s it has opened the camera, at 5.2 s it erases and writes,
# at 7.5 s it waits for the camera to come back after its reset.
for at in 1.5 2.5 1.2 2.3; do
  sleep "$at"
  kill -INT "$pid" 2>/dev/null
  kill -HUP "$pid" 2>/dev/null
done
wait "$pid"
status=$?
if [ "$status" -ne 0 ]; then
  echo "reflash-sim ended with status $status"; cat out.txt; exit 1
fi
if ! printf 'Pass\r\nR06.00.01\r\n' | cmp -s - Result.log; then
  echo "Result.log is not the pass text:"; od -c Result.log; exit 1
fi
echo "passed through SIGINT and SIGHUP"
