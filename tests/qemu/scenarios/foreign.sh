# Another maker's camera on the bus first, its vendor unit at unit id 1 (where the fallback node
# ids point), and ours after it: ours is flashed, the other is asked nothing.
. /bin/common.sh
reflash-usbip-camera --foreign --port 1 --devid 65539 --trace /work/foreign-trace.txt \
  2>/work/foreign.log &
foreign_pid=$!
wait_for_nodes 0
sleep 1
before=$(ls /sys/class/video4linux | wc -l)
start_camera --chip 12 --state-out /work/state.txt
wait_for_nodes "$before"
sleep 1
cp /work/foreign-trace.txt /work/foreign-before.txt
run_reflash
stop_camera
kill -TERM "$foreign_pid"
wait "$foreign_pid"
ls /sys/class/video4linux >/work/nodes.txt
emit Result.log flash.bin state.txt screen.txt stderr.txt exit.txt camera.log foreign.log \
  foreign-trace.txt foreign-before.txt nodes.txt
