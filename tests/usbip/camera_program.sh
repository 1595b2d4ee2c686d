#!/usr/bin/env bash
# reflash-usbip-camera against a stand-in controller folder (plain files, no kernel): what it
# writes to attach, and the flash it leaves when stopped with SIGTERM.
set -euo pipefail
program="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/vhci"
: >"$work/vhci/attach"
: >"$work/vhci/detach"
head -c 65536 /dev/urandom >"$work/in.bin"

"$program" --vhci "$work/vhci" --port 5 --flash-in "$work/in.bin" --flash-out "$work/out.bin" \
  --state-out "$work/state.txt" 2>"$work/stderr.txt" &
pid=$!
for _ in $(seq 50); do
  grep -q attached "$work/stderr.txt" && break
  sleep 0.1
done
sleep 0.2
kill -TERM "$pid"
status=0
wait "$pid" || status=$?

fail=0
[ "$status" -eq 0 ] || { echo "FAIL: exit status $status after SIGTERM"; fail=1; }
grep -Eq '^5 [0-9]+ 65538 3$' "$work/vhci/attach" ||
  { echo "FAIL: attach holds '$(cat "$work/vhci/attach")'"; fail=1; }
cmp -s "$work/in.bin" "$work/out.bin" || { echo "FAIL: the flash written at the end differs"; fail=1; }
printf '%s\n' "$(sed -n 1p "$work/state.txt" 2>/dev/null)" | grep -Eqx 'statusRegister [0-9]+' &&
  sed -n 2p "$work/state.txt" | grep -Eqx 'writeProtectPin (high|low)' ||
  { echo "FAIL: the protection written at the end is '$(cat "$work/state.txt" 2>/dev/null)'"; fail=1; }
grep -qx 'reflash-usbip-camera: attached' "$work/stderr.txt" ||
  { echo "FAIL: no attached line"; fail=1; }

# A flash file of the wrong size is refused before anything is attached.
head -c 100 /dev/zero >"$work/short.bin"
: >"$work/vhci/attach"
if "$program" --vhci "$work/vhci" --flash-in "$work/short.bin" 2>/dev/null; then
  echo "FAIL: a 100-byte flash file was accepted"
  fail=1
fi
[ ! -s "$work/vhci/attach" ] || { echo "FAIL: attached with a bad flash file"; fail=1; }
exit "$fail"
