#!/usr/bin/env bash
# The factory database's figures, on a PostgreSQL cluster of its own (made in a temporary folder,
# run as an unprivileged user when started as root, fsync on as a server's default):
#  1. a year of a busy line (bench/year_of_records.sh) shipped by a station into an empty database;
#  2. a day of records caught up after an outage: the station starts with the database away and
#     a day in its log; timed from the database's return to the last record shipped;
#  3. `reflash-station report` over the year, from the files and from the database (same text).
# Not a test: the figures depend on the machine.
# usage: bench/station_db_bench.sh [BUILD_DIR] [UPDATES]   (default: build 500000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
updates=${2:-500000}
station=$build/platform/linux/reflash-station
work=$(mktemp -d)
source scripts/throwaway_pg.sh
cleanup() {
  pg_throwaway_remove
  pkill -f -- "--output $work/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
pg_throwaway_start
pg_throwaway_psql -c "CREATE DATABASE line"
url="$PG_SUPERUSER_URL/line"
"$station" db migrate --db "$url" >/dev/null

now_ms() { echo $(($(date +%s%N) / 1000000)); }
metric() { curl -s "http://127.0.0.1:$1/metrics" | awk -v name="$2" '$1 == name { print $2 }'; }
# Runs a station on the folder $1 with its page on port $2 until the database has every record.
ship_until_done() {
  : >"$work/none"
  "$station" --watch --sim "$work/none" --worker "$build/platform/sim_program/reflash-sim" \
    --output "$1" --http "127.0.0.1:$2" --db "$url" >"$1.screen" 2>&1 &
  until [ "$(metric "$2" reflash_station_shipper_up)" = 1 ] &&
    [ "$(metric "$2" reflash_station_shipper_lag_records)" = 0 ]; do sleep 0.1; done
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

mkdir "$work/year"
bash bench/year_of_records.sh "$updates" "$work/year"
records=$(cat "$work"/year/*.jsonl | wc -l)
start=$(now_ms)
ship_until_done "$work/year" "$(free_port)"
ship_ms=$(($(now_ms) - start))
echo "shipped a year: $records records in $ship_ms ms ($((records * 1000 / ship_ms)) records/s)"

# A day of the same line, in a log of its own (another station id), while the database is away.
mkdir "$work/day"
last=$(ls "$work"/year/station-*.jsonl | tail -1)
sed 's/"station": "line-3"/"station": "line-4"/' "$last" >"$work/day/station.jsonl"
day_records=$(wc -l <"$work/day/station.jsonl")
pg_throwaway_ctl stop -m fast
web=$(free_port)
: >"$work/none"
"$station" --watch --sim "$work/none" --worker "$build/platform/sim_program/reflash-sim" \
  --output "$work/day" --http "127.0.0.1:$web" --db "$url" >"$work/day.screen" 2>&1 &
until [ "$(metric "$web" reflash_station_shipper_errors_total)" -ge 1 ] 2>/dev/null; do sleep 0.1; done
pg_throwaway_restart
start=$(now_ms)
until [ "$(metric "$web" reflash_station_shipper_lag_records)" = 0 ]; do sleep 0.05; done
echo "caught up a day after an outage: $day_records records $(($(now_ms) - start)) ms after the database returned (retries every 2 s)"

cat "$work"/year/*.jsonl >/dev/null
start=$(now_ms)
"$station" report "$work/year" "$work/day" >"$work/files.txt"
files_ms=$(($(now_ms) - start))
start=$(now_ms)
"$station" report --db "$url" >"$work/db.txt"
db_ms=$(($(now_ms) - start))
same=$(cmp -s <(tail -n +2 "$work/files.txt") <(tail -n +2 "$work/db.txt") && echo "the same figures" || echo "DIFFERENT figures")
echo "report over $((records + day_records)) records: files $files_ms ms, database $db_ms ms ($same)"
