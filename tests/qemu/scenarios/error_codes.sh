# The camera refuses every erase, once saying it is busy and once that a value is out of range:
# the driver reads the cause from the request error code control and the tool names it.
. /bin/common.sh
for kind in busy out-of-range; do
  start_camera --chip 12 --fail-register-write 0x1080:0 --fail-as "$kind"
  run_reflash
  stop_camera
  for f in Result.log screen.txt stderr.txt exit.txt camera.log; do
    mv "/work/$f" "/work/$kind-$f"
  done
  # The next camera finds the node numbers free again.
  i=0
  while [ $i -lt 50 ] && [ -e /sys/class/video4linux/video0 ]; do
    sleep 0.1
    i=$((i + 1))
  done
done
emit busy-Result.log busy-screen.txt busy-stderr.txt busy-exit.txt busy-camera.log \
  out-of-range-Result.log out-of-range-screen.txt out-of-range-stderr.txt out-of-range-exit.txt \
  out-of-range-camera.log
