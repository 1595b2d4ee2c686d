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

# start_camera_on PORT OPTIONS...: a simulated camera on vhci port PORT (bus-port 1-(PORT+1)),
# its flash dumped to flashPORT.bin when it is stopped; its pid in camera_pid_PORT.
start_camera_on() {
  p=$1
  shift
  reflash-usbip-camera --port "$p" --devid $(((1 << 16) | (p + 2))) \
    --flash-out "/work/flash$p.bin" "$@" 2>"/work/camera$p.log" &
  eval "camera_pid_$p=$!"
}

stop_camera_on() {
  eval "pid=\$camera_pid_$1"
  kill -TERM "$pid" 2>/dev/null
  wait "$pid"
}

# Waits up to 60 s until N capture nodes are there.
wait_for_nodes() {
  i=0
  while [ $i -lt 600 ]; do
    [ "$(ls /sys/class/video4linux 2>/dev/null | wc -l)" -ge "$1" ] && return 0
    sleep 0.1
    i=$((i + 1))
  done
  echo "scenario: fewer than $1 capture nodes"
  return 1
}

# Waits up to $2 s until the station log has N lines.
wait_for_records() {
  i=0
  while [ $i -lt $(($2 * 10)) ]; do
    [ "$(cat /work/st/station.jsonl 2>/dev/null | wc -l)" -ge "$1" ] && return 0
    sleep 0.1
    i=$((i + 1))
  done
  echo "scenario: fewer than $1 station records"
  return 1
}
