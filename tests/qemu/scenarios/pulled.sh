# The operator pulls the camera mid-write and it stays away.
. /bin/common.sh
start_camera --chip 12 --pull-after 8000
run_reflash
stop_camera
emit Result.log screen.txt stderr.txt exit.txt camera.log
