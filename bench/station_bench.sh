#!/usr/bin/env bash
# The station's throughput: 8 simulated cameras against 1, with the product's real waits, the two
# stations started side by side in one run so that the machine's load weighs on both. Prints
# both wall times and their ratio; the station is worth its name when 8 take at most 1.15 times
# as long as 1. Not a test: the figure depends on the machine.
# usage: bench/station_bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "S1 0 -" >"$work/one"
for i in 1 2 3 4 5 6 7 8; do echo "S$i 0 -"; done >"$work/eight"

run() {  # run NAME: one station on the ports in $work/NAME; its wall time in ms in $work/NAME.ms
  local start end
  start=$(date +%s%N)
  "$build/platform/linux/reflash-station" --once --sim "$work/$1" --output "$work/$1.out" \
    --worker "$build/platform/sim_program/reflash-sim" >/dev/null || true
  end=$(date +%s%N)
  echo $(((end - start) / 1000000)) >"$work/$1.ms"
}
run one &
run eight &
wait
one=$(cat "$work/one.ms")
eight=$(cat "$work/eight.ms")
passed=$(grep -c '"verdict": "pass"' "$work/eight.out/station.jsonl" || true)
echo "1 camera:  ${one} ms"
echo "8 cameras: ${eight} ms (${passed} of 8 passed)"
awk -v a="$eight" -v b="$one" 'BEGIN { r = a / b; printf "ratio:     %.3f (%s 1.15)\n", r, r <= 1.15 ? "within" : "over" }'
