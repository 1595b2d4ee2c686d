# reflash-station --watch with the real driver: four cameras as they are attached (each one's
# reset is not a new camera), the station killed with SIGKILL in the middle of their updates and
# started again (it takes the four updates over), a fifth attached later, one detached and
# attached again; SIGTERM at the end.
. /bin/common.sh
keep_cameras_awake
reflash-station --watch --output /work/st >/work/screen.txt 2>/work/stderr.txt &
station=$!
sleep 1
for p in 0 1 2 3; do start_camera_on $p --chip 12; done
wait_for_records 4 120 start
sleep 3
kill -KILL $station
wait $station 2>/dev/null
workers() { for f in /proc/[0-9]*/cmdline; do tr '\0' ' ' <"$f"; echo; done | grep -c '^/[^ ]*reflash --port'; }
workers >/work/workers-after-kill.txt
reflash-station --watch --output /work/st >/work/screen2.txt 2>>/work/stderr.txt &
station=$!
sleep 2
workers >/work/workers-after-restart.txt
wait_for_records 4 240
sleep 2
start_camera_on 4 --chip 12
wait_for_records 5 240
vhci_ports >/work/ports.txt
stop_camera_on 0
wait_port_free 0
start_camera_on 0 --chip 12
wait_for_records 6 240
sleep 2
kill -TERM $station
wait $station
echo "station exit $?" >/work/exit.txt
cp /work/st/station.jsonl /work/station.jsonl
for p in 1 2 3 4; do kill -TERM "$(eval echo \$camera_pid_$p)" 2>/dev/null; done
kill -TERM "$camera_pid_0" 2>/dev/null
wait
emit exit.txt stderr.txt station.jsonl screen.txt screen2.txt ports.txt workers-after-kill.txt \
  workers-after-restart.txt
