# Shared by the scenarios (busybox sh, run from /work in the guest).

# Milliseconds since the guest booted.
now_ms() {
  awk '{printf "%d\n", $1 * 1000}' /proc/uptime
}

# start_camera OPTIONS...: the simulated camera on vhci-hcd, its flash dumped to flash.bin.
start_camera() {
  reflash-usbip-camera --flash-out /work/flash.bin "$@" 2>/work/camera.log &
  camera_pid=$!
  wait_for_capture_node || { echo "scenario: the camera did not appear"; cat /work/camera.log; }
}

# Waits up to 20 s for a capture node of uvcvideo.
wait_for_capture_node() {
  i=0
  while [ $i -lt 200 ]; do
    for n in /sys/class/video4linux/video*; do
      [ -e "$n" ] && return 0
    done
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# wait_for_nodes N: waits up to 20 s until more than N video nodes exist.
wait_for_nodes() {
  i=0
  while [ $i -lt 200 ]; do
    [ "$(ls /sys/class/video4linux 2>/dev/null | wc -l)" -gt "$1" ] && return 0
    sleep 0.1
    i=$((i + 1))
  done
  echo "scenario: fewer than $(($1 + 1)) video nodes appeared"
  return 1
}

stop_camera() {
  kill -TERM "$camera_pid" 2>/dev/null
  wait "$camera_pid"
}

# run_reflash: the product as a station runs it, timed; its screen and standard error kept.
run_reflash() {
  t0=$(now_ms)
  reflash >/work/screen.txt 2>/work/stderr.txt
  echo "reflash exit $?" >/work/exit.txt
  t1=$(now_ms)
  echo "reflash ran $((t1 - t0)) ms" >>/work/exit.txt
}
