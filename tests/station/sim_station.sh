#!/bin/bash
# The simulated station end to end: reflash-station with reflash-sim workers.
# usage: sim_station.sh CASE STATION REFLASH_SIM WORKDIR [REFLASH]
set -u
case_name=$1 station=$2 sim=$3 work=$4 reflash=${5:-}
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1

fails=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if ! "$@"; then
    echo "FAIL: $what" >&2
    fails=$((fails + 1))
  fi
}
# The hex bytes of a file, or "missing".
hex() { if [ -f "$1" ]; then od -An -tx1 -v "$1" | tr -d ' \n'; else echo missing; fi; }
pass_hex=506173730d0a5230362e30302e30310d0a  # "Pass" CR LF "R06.00.01" CR LF
fail_hex=4661696c                             # "Fail"
# The records of one port, one compact JSON object a line.
records() { jq -c --arg p "$1" 'select(.port == $p and .record == "end")' out/station.jsonl; }
ends() { jq -c 'select(.record == "end")' "${1:-out/station.jsonl}"; }
field() { records "$1" | jq -r "$2" | paste -sd' '; }
eq() { [ "$1" = "$2" ] || { echo "  expected '$2', got '$1'" >&2; return 1; }; }
# Runs the station in the background on `ports`; its pid in $station_pid.
start_station() {
  "$station" "$@" --sim ports --output out --worker "$sim" > screen.txt 2> stderr.txt &
  station_pid=$!
}
# The pid the plain display gave for the worker on a port.
worker_pid() {
  for _ in $(seq 100); do
    local pid
    pid=$(sed -n "s/.* $1 worker pid \([0-9]*\)$/\1/p" screen.txt | tail -1)
    [ -n "$pid" ] && { echo "$pid"; return; }
    sleep 0.05
  done
}

case $case_name in
mixed)
  # Eight cameras at once, passing and failing for different reasons.
  cat > ports <<'PORTS'
P1 0 -
P2 0 - --chip 3
P3 0 - --fail-request 9000
P4 0 - --corrupt-readback 0x1234
P5 0 - --stay-busy
P6 0 - --chip 12
P7 0 - --no-camera
P8 0 - --disconnect-after 9000
PORTS
  "$station" --once --instant --sim ports --output out --worker "$sim" > screen.txt 2> stderr.txt
  check "exit status 1 when any camera failed" eq "$?" 1
  check "one start and one end record per camera" eq "$(wc -l < out/station.jsonl)" 16
  for port in P1 P2 P3 P6 P8; do
    check "$port passes" eq "$(field $port .verdict)" pass
    check "$port's Result.log holds the pass text" eq "$(hex out/$port/Result.log)" $pass_hex
  done
  for port in P4 P5 P7; do
    check "$port fails" eq "$(field $port .verdict)" fail
    check "$port's Result.log holds Fail" eq "$(hex out/$port/Result.log)" $fail_hex
  done
  check "P1 took one attempt" eq "$(field P1 '.attempts|join(",")')" pass
  check "P3 passed on its second attempt" eq "$(field P3 '.attempts|join(",")')" "write failed,pass"
  check "P3's worker stated each attempt's outcome" \
    eq "$(grep '^attempt ' out/P3/worker.log | tr '\n' ,)" 'attempt 1 "write failed",attempt 2 "pass",'
  check "P4 failed its check three times" eq "$(field P4 '.attempts|join(",")')" \
    "check failed,check failed,check failed"
  check "P7 found no camera three times" eq "$(field P7 '.attempts|join(",")')" \
    "no camera,no camera,no camera"
  check "P7 sent no request" eq "$(field P7 .requests.sent)" 0
  check "a pass sent requests" test "$(field P1 .requests.sent)" -gt 16385
  check "every worker gave its own verdict" eq "$(ends | jq -r .reason | sort -u)" null
  check "the image is named by its SHA-256" \
    eq "$(jq -r .imageSha256 out/station.jsonl | sort -u | grep -cE '^[0-9a-f]{64}$')" 1
  check "times are UTC" eq "$(ends | jq -r '.start,.end' |
    grep -cvE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z$')" 0
  check "the display counted them" grep -q "passed 5  failed 3  faults 0  running 0" screen.txt
  ;;
realtime)
  # Workers on the product's real waits (about 11 s, the camera reset at about 6.3 s): a camera
  # off its port for a moment while it resets is the same update; a worker killed with SIGKILL
  # is a fail with its reason while the others go on; SIGTERM lets the running update finish and
  # takes no new camera.
  cat > ports <<'PORTS'
R1 0 7000
R1 7400 -
K1 0 -
L1 9500 -
U1 0 5600
PORTS
  start_station --watch
  kill -KILL "$(worker_pid K1)"
  sleep 6
  kill -TERM $station_pid
  sent=$(date +%s%N)
  wait $station_pid
  status=$?
  took_ms=$((($(date +%s%N) - sent) / 1000000))
  check "exit status 1: K1 and U1 failed" eq "$status" 1
  check "R1 was one update, through its reset" eq "$(records R1 | wc -l)" 1
  check "R1 passed" eq "$(field R1 .verdict)" pass
  check "R1's Result.log holds the pass text" eq "$(hex out/R1/Result.log)" $pass_hex
  check "K1 failed" eq "$(field K1 .verdict)" fail
  check "K1's reason names the signal" grep -q "signal 9" <(field K1 .reason)
  check "L1, plugged in after SIGTERM, was not taken" eq "$(records L1 | wc -l)" 0
  check "U1, unplugged while it was written, failed" eq "$(field U1 .verdict)" fail
  check "the station waited for R1 after SIGTERM ($took_ms ms)" test "$took_ms" -gt 2000
  ;;
identity)
  # Each camera's identity from the simulated device tree, on the product's real waits: its own
  # serial, none at all, a camera swapped while its port was away; then the report on that log.
  # (A serial that passed earlier today, or is on two ports at once: station_loop_test.)
  cat > ports <<'PORTS'
I1 0 -     serial=U-1
I2 0 -     serial=none bcd=0601
S1 0 4000  serial=U-10
S1 4400 -  serial=U-11
PORTS
  start_station --watch --operator Ana --station-id line-3
  for _ in $(seq 400); do
    [ "$(ends | wc -l)" -ge 3 ] && break
    sleep 0.1
  done
  kill -TERM $station_pid
  wait $station_pid
  start_of() { jq -c --arg p "$1" 'select(.port == $p and .record == "start")' out/station.jsonl; }
  check "I1 passed" eq "$(field I1 .verdict)" pass
  check "serials in both records" eq "$(start_of I1 | jq -r .serial) $(field I1 .serial)" "U-1 U-1"
  check "a device path of its own" grep -q '0&I1#' <(field I1 .devicePath)
  check "bcdDevice before and after" eq "$(field I1 '.bcdDevice + " " + .after.bcdDevice')" \
    "0500 0601"
  check "operator and station" eq "$(field I1 '.operator + " " + .station')" "Ana line-3"
  check "no serial is null, never made up" eq "$(start_of I2 | jq .serial) $(field I2 .serial)" \
    "null null"
  check "an unchanged revision is a note, not a failure" \
    eq "$(field I2 '.verdict + ": " + .notes[0]')" "pass: bcdDevice 0601 did not change with the update"
  check "the swap shows as two identities on one port" \
    eq "$(start_of S1 | jq -r .serial) $(field S1 .after.serial)" "U-10 U-11"
  check "the swap is noted" grep -q "another camera" <(field S1 '.notes[]')
  "$station" report out > report.txt
  check "the report runs" eq "$?" 0
  check "the report counts the cameras: U-1, U-10, one without a serial" \
    grep -q "^cameras  *3$" report.txt
  "$station" report --json out > report.json
  check "the JSON report parses" eq "$(jq -r .total.updates report.json)" 3
  ;;
restart)
  # The station killed with SIGKILL at many moments, during the updates and after them, and
  # started again each time: every update started has exactly one end record, there are never
  # two workers on one port, and each camera ends with a pass.
  printf 'K%s 0 -\n' 1 2 3 4 > ports
  (while :; do  # samples the workers: two on one port is a failure
    # A process whose parent is a worker is that worker's own (a sanitizer's leak checker).
    # Only this station's workers count (their folders are under ours): another test may run
    # workers on ports of the same names at the same time.
    ps -eo pid=,ppid=,args= | while read -r pid ppid args; do
      [[ $(readlink "/proc/$pid/cwd" 2> /dev/null) == "$PWD"/out/* ]] && echo "$pid $ppid $args"
    done | awk '{ if (match($0, /--port K[0-9]/)) { port[$1] = substr($0,
      RSTART, RLENGTH); parent[$1] = $2 } } END { for (p in port) if (!(parent[p] in port))
      print port[p] }' | sort | uniq -d >> twice.txt
    sleep 0.05
  done) &
  sampler=$!
  for at in 0.2 0.5 0.9 1.4 2 2.6 3.1 2.5 1.5 4; do
    start_station --watch
    sleep "$at"
    kill -KILL $station_pid
    wait $station_pid 2> /dev/null
  done
  start_station --watch  # the last one may run to the end of every update
  for _ in $(seq 600); do
    [ -z "$(jq -r 'select(.record == "start") | .port' out/station.jsonl 2> /dev/null |
      sort | uniq -c | awk '$1 < 2')" ] && [ "$(ends | wc -l)" -ge 8 ] && break
    sleep 0.1
  done
  kill -TERM $station_pid
  wait $station_pid
  kill $sampler
  check "never two workers on one port" eq "$(sort -u twice.txt)" ""
  check "every start has one end" eq "$(jq -r 'select(.record=="start")|.port+.start' \
    out/station.jsonl | sort)" "$(ends | jq -r '.port+.start' | sort)"
  check "no end without its start" eq "$(ends | jq -r '.port+.start' | sort | uniq -d)" ""
  for port in K1 K2 K3 K4; do
    check "$port's last verdict is a pass" eq "$(field $port .verdict | awk '{print $NF}')" pass
  done
  check "every line parses" eq "$(jq -c . out/station.jsonl | wc -l)" "$(wc -l < out/station.jsonl)"
  ;;
diskfull)
  # A log on a full disk (a file-size limit): no half record, no new camera, running updates
  # end, its own exit status; a station started afterwards ends the updates the log missed.
  printf 'D%s 0 -\n' 1 2 3 4 5 6 > ports
  # The limit is the station's and its workers'; its screen goes through a pipe, not a file.
  (ulimit -f 3 && exec "$station" --once --instant --sim ports --output out --worker "$sim") \
    2> stderr.txt | cat > screen.txt
  check "exit status 5: the log could not be written" eq "${PIPESTATUS[0]}" 5
  check "the reason is said" grep -q "station log could not be written" screen.txt
  check "no half line" eq "$(tail -c1 out/station.jsonl | od -An -c | tr -d ' ')" '\n'
  check "every line parses" eq "$(jq -c . out/station.jsonl | wc -l)" "$(wc -l < out/station.jsonl)"
  check "some ends are missing" test "$(ends | wc -l)" -lt 6
  check "the running updates ended" eq "$(ls out/D*/Result.log | wc -l)" 6
  "$station" --once --instant --sim /dev/null --output out --worker "$sim" > screen2.txt 2>&1
  check "the restarted station ended the rest" eq "$(ends | wc -l)" 6
  check "from the workers' accounts: all pass" eq "$(ends | jq -r .verdict | sort -u)" pass
  ;;
accounts)
  # Real processes that close their output and run on, or never end: none holds the station,
  # the hung one's process group is ended, and each holds its port's lock and nothing of the
  # station's. (What an account must hold to pass is proven in process: station_loop_test.)
  cat > fake-worker <<'FAKE'
#!/bin/bash
mode=${!#}
ls -l /proc/$$/fd/ > fds.txt
case $mode in
pass)
  printf '%s\n' 'reflash-worker 1' "port \"$2\"" 'status blue "Check Hardware ..."' 'progress 20' \
    'progress 100' 'attempt 1 "pass"' 'requests 21000 0' 'result "Pass\r\nR06.00.01\r\n"' 'end 0'
  printf 'Pass\r\nR06.00.01\r\n' > Result.log ;;
closed) exec 1>&-; sleep 3 ;;
hung) sleep 100 & echo $! > child.pid; wait ;;
esac
FAKE
  chmod +x fake-worker
  printf '%s 0 - %s\n' C closed D pass H hung > ports
  sim=$work/fake-worker
  mkdir -p out/C && printf 'Pass\r\nR06.00.01\r\n' > out/C/Result.log  # the previous camera's
  started=$(date +%s)
  start_station --once --watchdog 2
  wait $station_pid
  check "exit status 1: workers failed" eq "$?" 1
  check "the station did not wait for the closed output ($(($(date +%s) - started)) s)" \
    test $(($(date +%s) - started)) -lt 8
  check "only the whole account passes" eq "$(ends | jq -r '.port+"="+.verdict' | sort |
    paste -sd' ')" "C=fail D=pass H=fail"
  check "the station's verdict is in C's Result.log" eq "$(hex out/C/Result.log)" $fail_hex
  check "the hung worker was ended" grep -q "worker hung" <(field H .reason)
  gone() { local state; state=$(awk '{print $3}' "/proc/$1/stat" 2> /dev/null); [ "${state:-Z}" = Z ]; }
  check "and what it started with it" gone "$(cat out/H/child.pid)"
  check "a worker holds its port's lock" grep -q "H/port.lock" out/H/fds.txt
  check "and nothing of the station's" eq "$(grep -c 'station\.' out/*/fds.txt | cut -d: -f2 | sort -u)" 0
  check "D's record landed while C still ran" test \
    "$(date -d "$(field D .end)" +%s%N)" -lt "$(($(date -d "$(field C .end)" +%s%N) - 1500000000))"
  ;;
lineup)
  # Station faults are not camera failures, the fixture's ports, a late camera under --once,
  # and one station per folder.
  cat > slow-worker <<'SLOW'
#!/bin/bash
sleep 1.5; exec "$REAL_SIM" "$@"
SLOW
  chmod +x slow-worker
  export REAL_SIM=$sim
  printf '%s\n' 'P1 0 -' 'P2 0 -' 'X9 0 -' 'P4 400 -' > ports
  mkdir out && : > out/P2  # a file where the port's folder goes
  "$station" --once --instant --sim ports --output out --worker "$work/slow-worker" \
    --ports P4,P2,P1 > screen.txt 2> stderr.txt
  check "exit status 4: a station fault, not a failed camera" eq "$?" 4
  check "P1 passed" eq "$(field P1 .verdict)" pass
  check "no camera record for the fault, the other port or the late camera" \
    eq "$(ends | jq -r .port | sort -u)" P1
  check "the fault is named" grep -q "P2 station fault" screen.txt
  check "the other port is left alone" grep -q "X9 not a station port" screen.txt
  rm out/P2
  "$station" --once --instant --sim ports --output out --worker "$work/slow-worker" \
    --ports P1,P2,P4 > screen.txt 2> stderr.txt
  check "exit status 3: a camera seen and not flashed" eq "$?" 3
  check "which one" grep -q "not flashed (P4)" screen.txt
  echo "P1 0 -" > ports
  start_station --watch --instant
  sleep 0.5
  "$station" --watch --instant --sim ports --output out --worker "$sim" > /dev/null 2> second.txt
  check "a second station in the folder is refused" eq "$?" 64
  check "naming the first" grep -q "pid $station_pid" second.txt
  kill -TERM $station_pid
  wait $station_pid
  ;;
paused)
  # A terminal paused with Ctrl-S: the station goes on, its records land, it ends.
  printf 'T%s 0 -\n' 1 2 3 4 5 6 7 8 > ports
  python3 - "$station" "$sim" <<'PY'
import os, pty, subprocess, sys, fcntl, termios, struct
master, slave = pty.openpty()
fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 12, 60, 0, 0))
os.write(master, b"\x13")  # Ctrl-S: the terminal stops taking output
station = subprocess.Popen([sys.argv[1], "--once", "--instant", "--sim", "ports", "--output",
                            "out", "--worker", sys.argv[2]], stdout=slave, stderr=slave)
try:
    sys.exit(0 if station.wait(timeout=60) == 0 else 1)
except subprocess.TimeoutExpired:
    station.kill()
    sys.exit(2)
PY
  check "the station ended by itself with every camera passed" eq "$?" 0
  check "with every record" eq "$(ends | jq -r .verdict | paste -sd' ')" \
    "pass pass pass pass pass pass pass pass"
  ;;
screen)
  # 20 ports on an 80x16 terminal (tmux): the live block never scrolls it, the failed port comes
  # first, and the last line is the exit status, drawn over by nothing.
  { printf 'T%02d 0 -\n' $(seq 1 16) $(seq 18 20); echo 'T17 0 - --corrupt-readback 0x1234'; } > ports
  tmux -L "reflash-$$" new-session -d -x 80 -y 16 \
    "'$station' --once --instant --sim ports --output out --worker '$sim'; echo \"status \$?\" > done; sleep 60"
  for _ in $(seq 1000); do [ -f done ] && break; sleep 0.1; done
  sleep 0.5
  tmux -L "reflash-$$" capture-pane -p -S - > pane.txt  # the scrollback too
  history=$(tmux -L "reflash-$$" display -p '#{history_size}')
  tmux -L "reflash-$$" kill-server
  check "the station ended with status 1" eq "$(cat done)" "status 1"
  check "the terminal did not scroll ($history lines of scrollback)" test "$history" -le 1
  check "the failed port comes first" eq "$(head -1 pane.txt | cut -c1-37)" \
    "T17  [####################] 100% FAIL"
  check "the last line is the exit status" \
    eq "$(grep -v '^$' pane.txt | tail -1 | cut -c1-37)" "reflash-station: exit status 1: 1 cam"
  ;;
usage)
  "$station" > /dev/null 2>&1
  check "no mode is a usage error" eq "$?" 64
  "$station" --once --frobnicate > /dev/null 2>&1
  check "an unknown option is a usage error" eq "$?" 64
  check "--version names the version" grep -qE '^reflash-station [0-9]+(\.[0-9]+)+$' \
    <("$station" --version)
  check "--help lists the exit statuses" grep -q "64" <("$station" --help)
  : > ports
  "$station" --once --instant --sim ports --output out --worker "$sim" > /dev/null 2>&1
  check "--once without a camera ends with 2" eq "$?" 2
  echo "A1 0 -" > ports
  "$station" --once --sim ports --output out --worker "$work/no-such-worker" > /dev/null 2> err.txt
  check "a worker that cannot be run stops the station at its start" eq "$?" 64
  check "with its reason" grep -q "cannot be run" err.txt
  if [ -n "$reflash" ]; then
    # The single-camera program takes only a well-formed port; --port with anything else is a
    # usage error before it touches a camera (other arguments it ignores: tests/linux).
    for args in "--port" "--port usb1" "--port 1-1:1.0"; do
      "$reflash" $args > /dev/null 2>&1
      check "reflash $args is a usage error" eq "$?" 64
    done
  fi
  ;;
selector)
  # The simulated camera on port 2: taken with --port 2, not seen with --port 3.
  mkdir right wrong
  (cd right && "$sim" --instant --camera-port 2 --port 2 > /dev/null)
  (cd wrong && "$sim" --instant --camera-port 2 --port 3 > /dev/null)
  check "the camera on the chosen port passes" eq "$(hex right/Result.log)" $pass_hex
  check "another port's camera is not taken" eq "$(hex wrong/Result.log)" $fail_hex
  ;;
*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
if [ $fails -ne 0 ]; then
  echo "--- screen" >&2
  tail -40 screen.txt >&2 2> /dev/null
  [ -f out/station.jsonl ] && { echo "--- station.jsonl" >&2; cat out/station.jsonl >&2; }
  exit 1
fi
echo "$case_name: ok"
