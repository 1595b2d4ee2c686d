#!/usr/bin/python3
"""The page's bounds as a careless or hostile client on the same machine meets them: a log of many
records read whole by three clients at once (the station's peak memory), a second station on the
same address, a thousand ranges, 200 clients that send their request a byte at a time (the page
still answers), and a stop while they hang on (the station ends at once).
usage: web_bounds.py STATION REFLASH_SIM WORKDIR [RECORDS]"""
import http.client, os, shutil, signal, socket, subprocess, sys, threading, time

station, sim, work = (os.path.abspath(a) for a in sys.argv[1:4])
records = int(sys.argv[4]) if len(sys.argv) > 4 else 200000
failures = []
def check(what, ok):
    print(("ok: " if ok else "FAIL: ") + what)
    failures.extend([] if ok else [what])

shutil.rmtree(work, ignore_errors=True)
os.makedirs(work + "/out")
os.chdir(work)
# A year of `records` end records, about 450 bytes each, rotated into a file per day as the
# station leaves them.
record = ('{"record": "end", "port": "P%d", "serial": "S-%07d", "start": "%s", "end": "%s", '
          '"verdict": "pass", "attempts": ["pass"], "reason": null, "notes": [], "pad": "' +
          "x" * 250 + '"}\n')
days = {}
for i in range(records):
    day = "2025-%02d-%02d" % (1 + i * 12 // records, 1 + i * 336 // records % 28)
    stamp = day + "T10:00:00.000Z"
    days.setdefault(day, []).append(record % (i % 8, i, stamp, stamp))
for day, lines in days.items():
    with open("out/station-%s.jsonl" % day, "w") as log:
        log.writelines(lines)
open("ports", "w").close()
with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
address = "127.0.0.1:%d" % port

def start(*extra):
    return subprocess.Popen([station, "--watch", "--sim", "ports", "--worker", sim, "--output",
                             extra[0] if extra else "out", "--http", address],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

def request(path, headers={}, timeout=10):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    connection.request("GET", path, headers=headers)
    answer = connection.getresponse()
    return answer.status, answer.getheader("Link"), answer.read()

def peak_kib(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0

proc = start()
def cleanup():
    if proc.poll() is None:
        proc.kill()
import atexit
atexit.register(cleanup)
for _ in range(100):
    try:
        request("/api/ports", timeout=1)
        break
    except OSError:
        time.sleep(0.1)
time.sleep(2)  # the station reads its log as it starts, while the page already answers
rest_kib = peak_kib(proc.pid)

# Three clients read every record from 1970 on, page after page, at once.
counts = [0, 0, 0]
def read_all(n):
    path = "/api/records?since=1970-01-01T00:00:00.000Z&limit=5000"
    while path:
        status, link, body = request(path, timeout=30)
        counts[n] += body.count(b'"record": "end"')
        path = link[1:link.index(">")] if link else None
readers = [threading.Thread(target=read_all, args=(n,)) for n in range(3)]
began = time.time()
for reader in readers:
    reader.start()
for reader in readers:
    reader.join()
took = time.time() - began
peak = peak_kib(proc.pid)
check("three clients read all %d records each (%s) in %.1f s" % (records, counts, took),
      counts == [records] * 3)
if not os.environ.get("REFLASH_SANITIZED"):
    check("the station's peak memory grew by %d KiB (from %d KiB at rest), under 64 MiB" %
          (peak - rest_kib, rest_kib), peak - rest_kib < 64 * 1024)
status, link, body = request("/api/records?since=1970-01-01T00:00:00.000Z")
check("a page holds 1000 records by default and names the next", body.count(b'"record"') == 1000
      and link.startswith("</api/records?cursor="))
check("a limit over 5000 is refused", request("/api/records?limit=5001")[0] == 400)

status, _, body = request("/", {"Range": "bytes=" + ",".join("0-%d" % i for i in range(1000))})
_, _, page = request("/")
check("a thousand ranges get the page once (%d bytes)" % len(body), status == 200 and body == page)

# The live streams: five at most; a closed one gives its place back.
def stream():
    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
    return sock, sock.recv(64).split(b" ")[1]
streams = [stream() for _ in range(6)]
check("a sixth live stream is refused", [code for _, code in streams] == [b"200"] * 5 + [b"503"])
streams[0][0].close()
time.sleep(1.5)  # the server finds the closed one at its next write
again = stream()
check("a closed stream's place is free again (%s)" % again[1], again[1] == b"200")
for sock, _ in streams[1:] + [again]:
    sock.close()

second = start("out2")
try:
    second.wait(timeout=10)
except subprocess.TimeoutExpired:
    second.kill()
check("a second station on the same address exits 64", second.returncode == 64)

# 200 clients that send their request's header a byte every half second.
slow = []
def dribble(sock):
    try:
        for byte in b"GET /api/ports HTTP/1.1\r\nHost: x\r\n" * 4:
            sock.send(bytes([byte]))
            time.sleep(0.5)
    except OSError:
        pass
for _ in range(200):
    sock = socket.create_connection(("127.0.0.1", port))
    slow.append(sock)
    threading.Thread(target=dribble, args=(sock,), daemon=True).start()
time.sleep(1)
answered = []
for _ in range(5):
    began = time.time()
    try:
        answered.append(request("/api/ports", timeout=10)[0] == 200 and time.time() - began)
    except OSError:
        answered.append(False)
check("with 200 slow clients the page still answers (%s s)" %
      [round(a, 2) if a else a for a in answered], all(a is not False and a < 5 for a in answered))

check("the station ran until it was stopped", proc.poll() is None)
sent = time.time()
proc.send_signal(signal.SIGTERM)
try:
    proc.wait(timeout=10)
except subprocess.TimeoutExpired:
    proc.kill()
stopped = time.time() - sent
check("SIGTERM ends the station at once whatever the clients do (%.2f s, exit status %s)" %
      (stopped, proc.returncode), stopped < 1.5 and proc.returncode == 0)
for sock in slow:
    sock.close()
if failures:
    print("--- station\n" + proc.stdout.read()[-2000:])
sys.exit(1 if failures else 0)
