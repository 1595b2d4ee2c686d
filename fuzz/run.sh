#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for a bounded time on a copy of its seed
# corpus; exits non-zero when any target finds a crash. Usage: fuzz/run.sh [seconds per target]
set -euo pipefail
seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/deps
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for seeds in fuzz/corpus/*/; do
  target="$(basename "$seeds")"
  work="build-fuzz/fuzz/work/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$seeds"* "$work/corpus/"
  echo "== $target: ${seconds} s"
  if ! "build-fuzz/fuzz/$target" "$work/corpus" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -timeout=25 -print_final_stats=1 -artifact_prefix="$work/artifacts/" >"$work/log" 2>&1; then
    echo "$target: CRASH, see $work/log and $work/artifacts/"
    status=1
  fi
  grep -E '^#[0-9]+.*(DONE|INITED)|stat::number_of_executed_units|stat::average_exec_per_sec' \
    "$work/log" | tail -3 || true
done
exit "$status"
