. /bin/common.sh
start_camera --chip 12
run_reflash
stop_camera
dmesg | grep -i -E 'uvc|usb|vhci' | tail -30 >/work/dmesg.txt
emit Result.log flash.bin screen.txt stderr.txt exit.txt camera.log dmesg.txt
