# reflash-station --once with the real driver: one camera, then four (timed, for the 4-against-1
# figure; every flash must equal the image), then four again with one whose every erase is
# refused.
. /bin/common.sh
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
for p in 1 2 3; do start_camera_on $p --chip 12; done
wait_for_nodes 4
run_once four
for p in 0 1 2 3; do stop_camera_on $p; done
sleep 1
for p in 0 1 3; do start_camera_on $p --chip 12; done
start_camera_on 2 --chip 12 --fail-register-write 0x1080:0
wait_for_nodes 4
run_once fault
for p in 0 1 2 3; do kill -TERM "$(eval echo \$camera_pid_$p)" 2>/dev/null; done
wait
emit exit.txt stderr.txt one.jsonl four.jsonl fault.jsonl flash0.bin flash1.bin flash2.bin \
  flash3.bin screen-four.txt camera2.log \
  one-1-1.log four-1-1.log four-1-2.log four-1-3.log four-1-4.log \
  fault-1-1.log fault-1-2.log fault-1-3.log fault-1-4.log
