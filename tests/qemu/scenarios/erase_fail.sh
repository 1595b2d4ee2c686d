# Every erase ends in a refused request: three failed attempts, then the verdict.
. /bin/common.sh
start_camera --chip 12 --fail-register-write 0x1080:0
run_reflash
stop_camera
emit Result.log screen.txt stderr.txt exit.txt camera.log
