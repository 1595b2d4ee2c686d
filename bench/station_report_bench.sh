#!/usr/bin/env bash
# The report's speed on a year of a busy line: generates UPDATES updates (a start and an end
# record each, in the station's own record shape) spread over 365 days and 16 ports, in one
# rotated log per day, then times `reflash-station report` on the folder. Prints the records,
# the bytes and the wall time. Not a test: the figure depends on the machine.
# usage: bench/station_report_bench.sh [BUILD_DIR] [UPDATES]   (default: build 500000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
updates=${2:-500000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash bench/year_of_records.sh "$updates" "$work"
records=$(cat "$work"/*.jsonl | wc -l)
bytes=$(cat "$work"/*.jsonl | wc -c)
cat "$work"/*.jsonl > /dev/null  # read once, so that the disk is not what is timed
start=$(date +%s%N)
"$build/platform/linux/reflash-station" report "$work" > "$work/report.txt"
end=$(date +%s%N)
echo "$records records ($updates updates) in $(ls "$work"/station-*.jsonl | wc -l) files, $((bytes / 1000000)) MB"
echo "reflash-station report: $(((end - start) / 1000000)) ms"
head -4 "$work/report.txt"
