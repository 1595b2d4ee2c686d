#!/usr/bin/python3
"""A real Prometheus scrapes a simulated station with the shipped job name and alert rules: what it
stores (the verdicts, the first-pass yield) is what the station's log says, the target is up and
every alert rule is loaded and evaluates without error.
usage: scrape.py STATION REFLASH_SIM WORKDIR SCRAPE_YML ALERTS_YML"""
import collections, json, os, re, shutil, signal, socket, subprocess, sys, time
import urllib.parse, urllib.request

PROMETHEUS = "/usr/bin/prometheus"
if not os.path.exists(PROMETHEUS):
    print("skipped: no " + PROMETHEUS)
    sys.exit(77)
station, sim, work, scrape_yml, alerts_yml = (os.path.abspath(a) for a in sys.argv[1:6])
failures = []
def check(what, ok):
    print(("ok: " if ok else "FAIL: ") + what)
    failures.extend([] if ok else [what])

shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
os.chdir(work)
# Five ports; A3's camera fails and comes again on A5 to pass (the same serial: not a first
# update), A4's camera fails, A2's has no serial number (always a first update). No plug hangs on
# how long an update takes, which a sanitizer's build stretches.
plugs = ["A1 0 - serial=RF-1", "A2 0 - serial=none",
         "A3 0 - serial=RF-3 --corrupt-readback 0x1234", "A5 3000 - serial=RF-3",
         "A4 0 - serial=RF-4 --corrupt-readback 0x2345"]
with open("ports", "w") as f:
    f.write("\n".join(plugs) + "\n")
def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
station_address = "127.0.0.1:%d" % free_port()
prometheus_url = "http://127.0.0.1:%d" % free_port()
job = re.search(r"job_name:\s*(\S+)", open(scrape_yml).read()).group(1)
alert_names = set(re.findall(r"^\s*- alert:\s*(\w+)", open(alerts_yml).read(), re.M))
# JSON is YAML: Prometheus reads this as its configuration.
with open("prometheus.yml", "w") as f:
    json.dump({"global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
               "rule_files": [alerts_yml],
               "scrape_configs": [{"job_name": job,
                                   "static_configs": [{"targets": [station_address]}]}]}, f)

processes = []
def start(args, log):
    processes.append(subprocess.Popen(args, stdout=open(log, "w"), stderr=subprocess.STDOUT,
                                      start_new_session=True))

def stop_all():
    for proc in processes:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
    for proc in processes:
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()

def query(expr):
    url = prometheus_url + "/api/v1/query?" + urllib.parse.urlencode({"query": expr})
    with urllib.request.urlopen(url, timeout=5) as answer:
        return json.load(answer)["data"]["result"]

def until(what, done, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            if done():
                return True
        except (OSError, ValueError):
            pass  # not listening yet, or a line being written
        time.sleep(0.2)
    check(what, False)
    return False

def end_records():
    try:
        lines = open("out/station.jsonl").read().splitlines()
    except FileNotFoundError:
        return []
    records = [json.loads(line) for line in lines if line.strip()]
    return [r for r in records if r["record"] == "end"]

def run():
    start([station, "--watch", "--instant", "--sim", "ports", "--worker", sim, "--output", "out",
           "--station-id", "line-7", "--http", station_address], "station.txt")
    start([PROMETHEUS, "--config.file=prometheus.yml", "--storage.tsdb.path=" + work + "/tsdb",
           "--web.listen-address=" + prometheus_url[len("http://"):]], "prometheus.txt")
    if not until("every plug updated", lambda: len(end_records()) == len(plugs), 60):
        return
    done = time.time()
    if not until("Prometheus scraped the station after its last update", lambda: any(
            float(s["value"][1]) > done for s in query('timestamp(up{job="%s"})' % job)), 30):
        return
    # In the log's order: an update is first when no end record of its camera that day came
    # before it.
    ends = end_records()
    verdicts = collections.Counter(r["verdict"] for r in ends)
    # First updates: a serial's first on its UTC day; a camera without one is always first.
    seen = set()
    first = collections.Counter()
    for r in ends:
        key = (r["start"][:10], r["serial"])
        if r["serial"] is None or key not in seen:
            first[r["verdict"]] += 1
        seen.add(key)
    check("the log has passes, fails and a repeated camera (%s, first %s)" % (dict(verdicts),
          dict(first)), verdicts["pass"] and verdicts["fail"] and sum(first.values()) < len(ends))

    def by_verdict(expr):
        return {s["metric"]["verdict"]: int(float(s["value"][1])) for s in query(expr)}
    stored = by_verdict('sum by (verdict) (reflash_station_cameras_total{job="%s"})' % job)
    check("updates by verdict %s as in the log" % stored, stored == dict(verdicts))
    stored = by_verdict('sum by (verdict) (reflash_station_first_updates_total{job="%s"})' % job)
    check("first updates by verdict %s as in the log" % stored, stored == dict(first))
    yield_ = query('sum(reflash_station_first_updates_total{job="%s",verdict="pass"}) / '
                   'sum(reflash_station_first_updates_total{job="%s"})' % (job, job))
    expected = first["pass"] / sum(first.values())
    check("first-pass yield %s is the log's %.4f" % (yield_ and yield_[0]["value"][1], expected),
          len(yield_) == 1 and abs(float(yield_[0]["value"][1]) - expected) < 1e-9)
    up = query('up{job="%s"}' % job)
    check("the station's target is up", [s["value"][1] for s in up] == ["1"])

    def rules():
        with urllib.request.urlopen(prometheus_url + "/api/v1/rules", timeout=5) as answer:
            groups = json.load(answer)["data"]["groups"]
        return {r["name"]: r for g in groups for r in g["rules"] if r["type"] == "alerting"}
    # Evaluated against the station's real series, a rule's matching errors would show here.
    if until("every alert rule evaluated", lambda: rules().keys() == alert_names and all(
            r["health"] != "unknown" for r in rules().values()), 15):
        health = {name: r["health"] for name, r in rules().items()}
        check("the alert rules %s loaded and healthy" % sorted(health),
              len(alert_names) == 5 and set(health.values()) == {"ok"})

try:
    run()
finally:
    stop_all()
if failures:
    for log in ("station.txt", "prometheus.txt"):
        print("--- %s (last lines)\n%s" % (log, "".join(open(log).readlines()[-15:])))
    sys.exit("FAIL: " + "; ".join(failures))
print("PASS: prometheus scrape")
