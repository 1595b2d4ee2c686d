# The product's transport against a plain query loop, on the same emulated camera.
. /bin/common.sh
start_camera --chip 12
reflash-uvc-bench >/work/bench.txt 2>&1
echo "bench exit $?" >>/work/bench.txt
stop_camera
emit bench.txt camera.log
