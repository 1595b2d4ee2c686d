# A station account outside the group that owns the camera's nodes.
. /bin/common.sh
echo "root:x:0:" >/etc/group
echo "plugdev:x:46:" >>/etc/group
echo "station:x:1000:" >>/etc/group
echo "root:x:0:0::/:/bin/sh" >/etc/passwd
echo "station:x:1000:1000::/work:/bin/sh" >>/etc/passwd
start_camera --chip 12
chgrp 46 /dev/video*
chmod 0660 /dev/video*
chmod 0777 /work
t0=$(now_ms)
su -s /bin/sh station -c "cd /work && reflash" >/work/screen.txt 2>/work/stderr.txt
echo "reflash exit $?" >/work/exit.txt
echo "reflash ran $(($(now_ms) - t0)) ms" >>/work/exit.txt
stop_camera
emit Result.log screen.txt stderr.txt exit.txt camera.log
