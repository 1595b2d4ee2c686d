#!/usr/bin/env bash
# The guest harness without a guest: a kernel whose modules are compressed is unpacked into the
# initramfs in dependency order, and a missing tool or kernel is one line that names it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail=0

# apt as on a machine without a network: it names the kernel package but cannot fetch it.
mkdir -p "$tmp/stubs"
cat >"$tmp/stubs/apt-cache" <<'STUB'
#!/bin/sh
[ -n "${NO_LISTS:-}" ] && exit 0
printf 'linux-image-amd64\n  Depends: linux-image-0.0-test-amd64\n'
STUB
printf '#!/bin/sh\necho "E: Temporary failure resolving deb.example" >&2\nexit 100\n' >"$tmp/stubs/apt-get"
chmod +x "$tmp/stubs/apt-cache" "$tmp/stubs/apt-get"

# A cached kernel: modules are ELF files whose .modinfo names their dependencies.
kroot="$tmp/cache/linux-image-0.0-test-amd64/root"
mods="$kroot/lib/modules/0.0-test/kernel/drivers"
mkdir -p "$kroot/boot" "$mods" "$tmp/plain"
: >"$kroot/boot/vmlinuz-0.0-test"
touch "$tmp/cache/linux-image-0.0-test-amd64/ready"
module() {  # NAME DEPENDS COMPRESSION
  printf 'license=GPL\0depends=%s\0name=%s\0' "$2" "$1" >"$tmp/modinfo"
  objcopy -I binary -O elf64-x86-64 --rename-section .data=.modinfo "$tmp/modinfo" \
    "$tmp/plain/$1.ko"
  case "$3" in
    xz) xz -c "$tmp/plain/$1.ko" >"$mods/$1.ko.xz" ;;
    zst) zstd -qc "$tmp/plain/$1.ko" >"$mods/$1.ko.zst" ;;
    none) cp "$tmp/plain/$1.ko" "$mods/$1.ko" ;;
  esac
}
module vhci-hcd usbip-core xz
module usbip-core "" zst
module uvcvideo videodev,mc zst
module videodev mc xz
module mc "" none
echo 'true' >"$tmp/scenario.sh"

# A PATH with the programs the harness may run, but for the ones named.
tools="awk base64 basename busybox cat chmod cp cpio cut date dirname dpkg-deb env find grep gzip
  head id ld.so ldd ln ls mkdir mktemp mv objcopy qemu-system-x86_64 readlink rm sed sort stat tail
  timeout touch tr uname wc xz zstd"
path_without() {
  local dir="$tmp/path-$*" t
  mkdir -p "$dir"
  for t in $tools; do
    case " $* " in *" $t "*) continue ;; esac
    if command -v "$t" >/dev/null; then ln -s "$(command -v "$t")" "$dir/$t"; fi
  done
  echo "$tmp/stubs:$dir"
}
run_guest() {  # CACHE PATH
  REFLASH_QEMU_CACHE="$1" REFLASH_QEMU_PREPARE_ONLY=1 PATH="$2" \
    /bin/bash "$here/guest.sh" "$tmp/work" "$tmp/scenario.sh" >"$tmp/out" 2>"$tmp/err"
}
expect_refusal() {  # WHAT LINE
  if [ "$(wc -l <"$tmp/err")" -ne 1 ] || [ "$(cat "$tmp/err")" != "$2" ]; then
    echo "FAIL: $1: standard error is not the one line \"$2\":"
    cat "$tmp/err"
    fail=1
  fi
}

full="$(path_without)"
if run_guest "$tmp/cache" "$full"; then
  order="$(tr '\n' ' ' <"$tmp/work/root/modules/order")"
  [ "$order" = "usbip-core.ko vhci-hcd.ko mc.ko videodev.ko uvcvideo.ko " ] ||
    { echo "FAIL: module order is '$order'"; fail=1; }
  for m in usbip-core vhci-hcd mc videodev uvcvideo; do
    cmp -s "$tmp/plain/$m.ko" "$tmp/work/root/modules/$m.ko" ||
      { echo "FAIL: $m.ko in the initramfs is not the unpacked module"; fail=1; }
  done
else
  echo "FAIL: the harness refused a kernel with compressed modules:"
  cat "$tmp/err"
  fail=1
fi

run_guest "$tmp/cache" "$(path_without zstd)" && { echo "FAIL: ran without zstd"; fail=1; }
expect_refusal "no zstd" \
  "guest.sh: the kernel's modules are compressed (.zst) and zstd is missing (run scripts/deps)"

run_guest "$tmp/cache" "$(path_without objcopy cpio)" && { echo "FAIL: ran without objcopy"; fail=1; }
expect_refusal "no objcopy, no cpio" "guest.sh: missing cpio objcopy (run scripts/deps)"

mkdir -p "$tmp/empty"
run_guest "$tmp/empty" "$full" && { echo "FAIL: ran without a kernel"; fail=1; }
expect_refusal "no network, no cache" \
  "guest.sh: no kernel: 'apt-get download linux-image-0.0-test-amd64' failed (no network?) and $tmp/empty holds none; download it once with a network, or set REFLASH_QEMU_CACHE to a cache that has one"

NO_LISTS=1 run_guest "$tmp/empty" "$full" && { echo "FAIL: ran without package lists"; fail=1; }
expect_refusal "no package lists, no cache" \
  "guest.sh: no kernel: apt-cache cannot name the package of linux-image-amd64 (no package lists: run apt-get update with a network) and $tmp/empty holds none"

# Offline without package lists: the kernel cached before still serves.
NO_LISTS=1 run_guest "$tmp/cache" "$full" || { echo "FAIL: the cached kernel was not used"; fail=1; }
[ "$fail" -eq 0 ] && echo "PASS: guest harness"
exit "$fail"
