# reflash-station --once with the real driver: one camera, then four (timed, for the 4-against-1
# figure; every flash must equal the image; one has no serial number), then four others on the
# next four ports, one of which refuses every erase. (Fresh ports: a vhci port just given up takes a while to be free.)
. /bin/common.sh
keep_cameras_awake
run_once() {  # run_once NAME: one station run into /work/NAME/, its status and time in exit.txt
  t0=$(now_ms)
  reflash-station --once --output "/work/$1" >"/work/screen-$1.txt" 2>>/work/stderr.txt
  echo "$1 exit $?" >>/work/exit.txt
  echo "$1 ms $(($(now_ms) - t0))" >>/work/exit.txt
  cp "/work/$1/station.jsonl" "/work/$1.jsonl"
  for d in /work/$1/*/; do
    [ -f "$d/Result.log" ] && cp "$d/Result.log" "/work/$1-$(basename "$d").log"
  done
}
start_camera_on 0 --chip 12
wait_for_nodes 1
run_once one
for p in 1 2; do start_camera_on $p --chip 12; done
start_camera_on 3 --chip 12 --no-serial
wait_for_nodes 4
vhci_ports >/work/ports-four.txt
run_once four
for p in 0 1 2 3; do stop_camera_on $p; done
for p in 4 5 7; do start_camera_on $p --chip 12; done
start_camera_on 6 --chip 12 --fail-register-write 0x1080:0
wait_for_nodes 4
vhci_ports >/work/ports-fault.txt
run_once fault
for p in 4 5 6 7; do kill -TERM "$(eval echo \$camera_pid_$p)" 2>/dev/null; done
wait
dmesg >/work/dmesg.txt
emit ports-four.txt ports-fault.txt camera6.log dmesg.txt camera2.log
emit exit.txt stderr.txt one.jsonl four.jsonl fault.jsonl flash0.bin flash1.bin flash2.bin \
  flash3.bin screen-four.txt one-1-1.log
cd /work && for f in four-*.log fault-*.log; do emit "$f"; done
