#!/usr/bin/env bash
# Makes the release packages from the build tree into a scratch folder, checks that each carries
# exactly its files, and runs the installed reflash-sim from a scratch root.
# Usage: check_packages.sh BUILD_DIR WORK_DIR VERSION
set -euo pipefail
build=$1
work=$2
version=$3
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }

deb=$work/out/reflash_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb"
dpkg-deb --contents "$deb" | awk '{print $6}' | sort >"$work/deb.txt"
cat >"$work/deb.expected" <<LIST
./etc/
./etc/default/
./etc/default/reflash-station
./usr/
./usr/bin/
./usr/bin/reflash
./usr/bin/reflash-sim
./usr/bin/reflash-station
./usr/lib/
./usr/lib/systemd/
./usr/lib/systemd/system/
./usr/lib/systemd/system/reflash-station.service
./usr/lib/udev/
./usr/lib/udev/rules.d/
./usr/lib/udev/rules.d/60-reflash.rules
./usr/share/
./usr/share/doc/
./usr/share/doc/reflash/
./usr/share/doc/reflash/changelog.gz
./usr/share/doc/reflash/copyright
./usr/share/doc/reflash/station.md
./usr/share/man/
./usr/share/man/man1/
./usr/share/man/man1/reflash-sim.1.gz
./usr/share/man/man1/reflash-station.1.gz
./usr/share/man/man1/reflash.1.gz
./usr/share/reflash/
./usr/share/reflash/prometheus/
./usr/share/reflash/prometheus/reflash-station-alerts.yml
./usr/share/reflash/prometheus/reflash-station-scrape.yml
LIST
sort -o "$work/deb.expected" "$work/deb.expected"
diff -u "$work/deb.expected" "$work/deb.txt" || fail "the .deb's files differ"
[ "$(dpkg-deb -f "$deb" Package)" = reflash ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"

zip=$work/out/reflash-${version}-win64.zip
if [ -f "$build/win32/platform/win32/reflash.exe" ]; then
  [ -f "$zip" ] || fail "no $zip"
  cmake -E tar tf "$zip" | sort >"$work/zip.txt"
  printf '%s\n' cpp-httplib-license.txt reflash-sim.exe reflash-station.exe reflash.exe station.txt |
    diff -u - "$work/zip.txt" ||
    fail "the zip's files differ"
fi

if command -v lintian >/dev/null; then
  # Errors fail the check; warnings are listed for the release notes.
  lintian --no-tag-display-limit "$deb" | tee "$work/lintian.txt" || true
  if grep -q '^E:' "$work/lintian.txt"; then fail "lintian reports errors"; fi
fi

# Installed into a scratch root, the simulator passes an update on its own.
dpkg-deb -x "$deb" "$work/root"
mkdir -p "$work/run"
(cd "$work/run" && "$work/root/usr/bin/reflash-sim" --instant >/dev/null)
printf 'Pass\r\nR06.00.01\r\n' | cmp - "$work/run/Result.log" || fail "installed reflash-sim did not pass"
# The installed station finds reflash-sim beside it for a simulated camera.
echo "9-9 0 -" >"$work/run/ports"
(cd "$work/run" && "$work/root/usr/bin/reflash-station" --once --sim ports --instant --output st \
  >/dev/null) || fail "installed reflash-station did not pass"
printf 'Pass\r\nR06.00.01\r\n' | cmp - "$work/run/st/9-9/Result.log" || fail "no pass on port 9-9"
grep -q '"verdict": "pass"' "$work/run/st/station.jsonl" || fail "no station log line"
# Installed, not enabled: nothing links the unit into a target.
unit=$work/root/usr/lib/systemd/system/reflash-station.service
grep -q '^ExecStart=/usr/bin/reflash-station --watch .*\$REFLASH_STATION_OPTIONS$' "$unit" ||
  fail "the unit's command"
# The unit's stop waits longer than the station's watchdog (39 min 54 s): no worker killed mid-write.
grep -qx 'TimeoutStopSec=45min' "$unit" || fail "the unit's stop time-out"
dpkg-deb -e "$deb" "$work/control" && grep -qx /etc/default/reflash-station "$work/control/conffiles" ||
  fail "the unit's options are not a conffile"
echo "PASS: packages"
