# A line script's kill (SIGTERM) while the image is being written: the run goes on to its verdict.
. /bin/common.sh
start_camera --chip 12 --state-out /work/state.txt
t0=$(now_ms)
reflash >/work/screen.txt 2>/work/stderr.txt &
reflash_pid=$!
i=0
while [ $i -lt 600 ] && ! grep -q 'Update Firmware' /work/screen.txt; do
  sleep 0.1
  i=$((i + 1))
done
sleep 1
kill -TERM "$reflash_pid" && echo "SIGTERM sent at $(($(now_ms) - t0)) ms" >/work/signal.txt
sleep 1
kill -TERM "$reflash_pid" && echo "SIGTERM sent at $(($(now_ms) - t0)) ms" >>/work/signal.txt
wait "$reflash_pid"
echo "reflash exit $?" >/work/exit.txt
echo "reflash ran $(($(now_ms) - t0)) ms" >>/work/exit.txt
stop_camera
emit Result.log flash.bin state.txt screen.txt stderr.txt exit.txt signal.txt camera.log
