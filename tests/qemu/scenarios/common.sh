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

# Waits up to 60 s until N cameras have their video nodes (a capture and a metadata node each).
wait_for_nodes() {
  i=0
  while [ $i -lt 600 ]; do
    [ "$(ls /sys/class/video4linux 2>/dev/null | wc -l)" -ge $(($1 * 2)) ] && return 0
    sleep 0.1
    i=$((i + 1))
  done
  echo "scenario: fewer than $1 cameras with video nodes"
  return 1
}

# Waits up to $2 s until the station log has N lines.
wait_for_records() {  # wait_for_records N SECONDS [KIND]: N records of KIND (end) in the log
  i=0
  while [ $i -lt $(($2 * 10)) ]; do
    [ "$(grep -c "\"record\": \"${3:-end}\"" /work/st/station.jsonl 2>/dev/null)" -ge "$1" ] &&
      return 0
    sleep 0.1
    i=$((i + 1))
  done
  echo "scenario: fewer than $1 station records"
  return 1
}

# The vhci ports in use and the bus-port path of the device on each: "PORT BUS-PORT" lines.
vhci_ports() {
  cat /sys/devices/platform/vhci_hcd.0/status* 2>/dev/null |
    awk '$1 == "hs" && $7 != "0-0" && $7 != "" { print $2 + 0, $7 }'
}

# Waits up to 30 s until vhci port N is free again, and a little more: the controller ends the
# last connection of a port in its own time.
wait_port_free() {
  i=0
  while [ $i -lt 300 ]; do
    vhci_ports | grep -q "^$1 " || { sleep 2; return 0; }
    sleep 0.1
    i=$((i + 1))
  done
  echo "scenario: vhci port $1 stayed busy"
  return 1
}

# Cameras on the virtual host controller stay awake: left idle, the kernel suspends them, and a
# simulated camera does not come back from that as a real one does.
keep_cameras_awake() {
  echo -1 >/sys/module/usbcore/parameters/autosuspend
}
