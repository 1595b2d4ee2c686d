#!/usr/bin/env bash
# Boots a QEMU guest (Debian's kernel, a busybox initramfs) that runs one scenario script and
# hands its files back over the serial console.
#
#   guest.sh WORK SCENARIO [FILE...]
#
# FILE: executables and data copied to /bin in the guest (an executable's shared libraries come
# along). SCENARIO: a busybox sh script run as root from /work in the guest; it calls
# `emit NAME` to send /work/NAME back. Afterwards WORK holds console.log and out/NAME for every
# emitted file; the exit status is the scenario's.
#
# The kernel package is downloaded once into $REFLASH_QEMU_CACHE (default ~/.cache/reflash-qemu).
set -euo pipefail

work="$1"
scenario="$2"
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
cache="${REFLASH_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/reflash-qemu}"
timeout_s="${REFLASH_QEMU_TIMEOUT:-300}"

# Every tool the harness runs, checked before anything is done; xz, zstd and gzip for compressed
# modules are checked once the kernel shows which it needs.
missing=()
for tool in qemu-system-x86_64 busybox cpio gzip base64 timeout apt-get apt-cache dpkg-deb ldd \
  objcopy find awk sed tr; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "guest.sh: missing ${missing[*]} (run scripts/deps)" >&2
  exit 2
fi
busybox_bin="$(command -v busybox)"
if ! { LC_ALL=C ldd "$busybox_bin" 2>&1 || true; } | grep -Eq 'not a dynamic|statically linked'; then
  echo "guest.sh: $busybox_bin is not statically linked (install busybox-static)" >&2
  exit 2
fi

# --- the kernel: the image package that linux-image-amd64 depends on, unpacked once ---------
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
# The newest kernel unpacked in the cache before, for a machine that cannot download one now.
cached_kernel() {
  local ready
  ready="$(ls -d "$cache"/*/ready 2>/dev/null | sort -V | tail -1)"
  [ -n "$ready" ] && echo "${ready%/ready}"
}
kernel_pkg="$(kernel_package)"
if [ -z "$kernel_pkg" ] && [ "$(id -u)" -eq 0 ]; then
  apt-get update -q >/dev/null 2>&1 || true
  kernel_pkg="$(kernel_package)"
fi
kdir=""
if [ -n "$kernel_pkg" ] && [ -f "$cache/$kernel_pkg/ready" ]; then
  kdir="$cache/$kernel_pkg"
elif [ -n "$kernel_pkg" ]; then
  rm -rf "${cache:?}/$kernel_pkg"
  mkdir -p "$cache/$kernel_pkg/dl"
  if (cd "$cache/$kernel_pkg/dl" && apt-get download "$kernel_pkg" >/dev/null 2>&1) &&
    dpkg-deb -x "$cache/$kernel_pkg"/dl/*.deb "$cache/$kernel_pkg/root"; then
    rm -rf "$cache/$kernel_pkg/dl"
    touch "$cache/$kernel_pkg/ready"
    kdir="$cache/$kernel_pkg"
  else
    rm -rf "${cache:?}/$kernel_pkg"
  fi
fi
if [ -z "$kdir" ]; then
  kdir="$(cached_kernel || true)"
fi
if [ -z "$kdir" ]; then
  if [ -n "$kernel_pkg" ]; then
    echo "guest.sh: no kernel: 'apt-get download $kernel_pkg' failed (no network?) and $cache holds none; download it once with a network, or set REFLASH_QEMU_CACHE to a cache that has one" >&2
  else
    echo "guest.sh: no kernel: apt-cache cannot name the package of linux-image-amd64 (no package lists: run apt-get update with a network) and $cache holds none" >&2
  fi
  exit 2
fi
vmlinuz="$(ls "$kdir"/root/boot/vmlinuz-* 2>/dev/null | head -1)"
moddir="$(ls -d "$kdir"/root/lib/modules/* 2>/dev/null | head -1)"
if [ -z "$vmlinuz" ] || [ -z "$moddir" ]; then
  echo "guest.sh: $kdir holds no kernel image or no modules; remove it and run again" >&2
  exit 2
fi

# --- the initramfs --------------------------------------------------------------------------
rm -rf "$work/root" "$work/out"
mkdir -p "$work/root"/{bin,sbin,etc,proc,sys,dev,tmp,work,modules} "$work/out"
root="$work/root"
cp "$busybox_bin" "$root/bin/busybox"
for applet in $("$busybox_bin" --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done

# Modules the guest needs, each after the modules it depends on (read from its .modinfo). Newer
# kernels ship them compressed: each is unpacked before it is read or copied.
declare -A path_of=()
while IFS= read -r ko; do
  name="${ko##*/}"
  name="${name%.ko*}"
  path_of[${name//-/_}]="$ko"
done < <(find "$moddir/kernel" \( -name '*.ko' -o -name '*.ko.xz' -o -name '*.ko.zst' -o -name '*.ko.gz' \))
unpacked="$work/modules"
rm -rf "$unpacked"
mkdir -p "$unpacked"
unpack_module() {
  local ko="$1" out="$2" tool
  case "$ko" in
    *.ko) cp "$ko" "$out"; return ;;
    *.ko.xz) tool=xz ;;
    *.ko.zst) tool=zstd ;;
    *.ko.gz) tool=gzip ;;
  esac
  command -v "$tool" >/dev/null ||
    { echo "guest.sh: the kernel's modules are compressed (${ko##*.ko}) and $tool is missing (run scripts/deps)" >&2; exit 2; }
  "$tool" -dc "$ko" >"$out" ||
    { echo "guest.sh: cannot unpack $ko with $tool" >&2; exit 2; }
}
declare -A seen=()
order=()
add_module() {
  local name="${1//-/_}" ko dep plain
  [ -n "${seen[$name]:-}" ] && return
  seen[$name]=1
  ko="${path_of[$name]:-}"
  [ -n "$ko" ] || { echo "guest.sh: module $1 not in $moddir" >&2; exit 2; }
  plain="$unpacked/$(basename "${ko%.ko*}").ko"
  unpack_module "$ko" "$plain"
  # Into a file: objcopy replaces its output file, and /dev/stdout would be replaced with it.
  objcopy -O binary --only-section=.modinfo "$plain" "$plain.modinfo"
  for dep in $(tr '\0' '\n' <"$plain.modinfo" | sed -n 's/^depends=//p' | tr ',' ' '); do
    add_module "$dep"
  done
  order+=("$plain")
}
add_module vhci-hcd
add_module uvcvideo
: >"$root/modules/order"
for ko in "${order[@]}"; do
  cp "$ko" "$root/modules/"
  basename "$ko" >>"$root/modules/order"
done

copy_with_libs() {
  local f="$1" lib
  cp "$f" "$root/bin/"
  # Shared libraries at the paths the program asks for, the dynamic loader included.
  for lib in $(ldd "$f" 2>/dev/null | grep -o '/[^ ]*' || true); do
    [ -e "$root$lib" ] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
for f in "$@"; do
  copy_with_libs "$f"
done
cp "$scenario" "$root/scenario.sh"
cp "$here/init" "$root/init"
cp "$here/emit" "$root/bin/emit"
chmod +x "$root/bin/emit"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"
# The harness's own test stops here, with the initramfs built.
if [ -n "${REFLASH_QEMU_PREPARE_ONLY:-}" ]; then
  exit 0
fi

# --- the run --------------------------------------------------------------------------------
start=$(date +%s.%N)
set +e
timeout --foreground "$timeout_s" qemu-system-x86_64 -accel tcg -m 512 -nographic -no-reboot \
  -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1" </dev/null >"$work/console.log" 2>&1
qemu_status=$?
set -e
end=$(date +%s.%N)
tr -d '\r' <"$work/console.log" >"$work/console.txt"
echo "guest: $(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.1f", b - a}') s in qemu"

# Files between "==file NAME==" and "==end NAME==", base64 (the first marker may follow the
# firmware's terminal codes on its line).
awk -v out="$work/out" '
  match($0, /==file [^=]+==$/) {
    name = substr($0, RSTART + 7, RLENGTH - 9); file = out "/" name ".b64"; printf "" > file; next
  }
  /^==end [^=]+==$/ { close(file); file = ""; next }
  file != "" { print >> file }
' "$work/console.txt"
for b in "$work"/out/*.b64; do
  [ -e "$b" ] || continue
  base64 -d "$b" >"${b%.b64}"
  rm "$b"
done

status_line="$(grep -a '^==exit [0-9]*==$' "$work/console.txt" | tail -1 || true)"
if [ -z "$status_line" ]; then
  echo "guest.sh: the guest did not finish its scenario (qemu status $qemu_status); console:" >&2
  tail -40 "$work/console.txt" >&2
  exit 3
fi
status="${status_line//[^0-9]/}"
exit "$status"
