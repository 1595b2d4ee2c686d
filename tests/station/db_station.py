#!/usr/bin/python3
"""The simulated station shipping its log into a real PostgreSQL (pg_cluster.py), end to end.
usage: db_station.py CASE STATION REFLASH_SIM WORKDIR
  shipped   a --once station ships every record, as a role that may only read and add, its
            password from a password file and never shown
  outage    the database stopped and started under a running station, then under a killed one
  rejected  an end record the database holds otherwise is set aside, the rest ships
  stations  two stations on one database: a serial passed on the other is a duplicate; the
            report and the history from the database equal those from the files
  tls       verify-full against the cluster's CA ships over TLS; a wrong CA ships nothing"""
import glob, json, os, re, secrets, shutil, signal, subprocess, sys, time, urllib.request
from datetime import datetime, timezone

sys.dont_write_bytecode = True  # nothing written beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pg_cluster

case = sys.argv[1]
station, sim, work = (os.path.abspath(a) for a in sys.argv[2:5])
if pg_cluster.bindir() is None or shutil.which("openssl") is None:
    print("SKIP: Debian's postgresql or openssl is missing (scripts/deps)")
    sys.exit(77)
# A sanitizer's build is slower at everything: the time bounds stretch with it.
SLACK = 3 if os.environ.get("REFLASH_SANITIZED") else 1

failures = []
def check(what, ok):
    print(("ok: " if ok else "FAIL: ") + what, flush=True)
    failures.extend([] if ok else [what])

shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
os.chdir(work)

OWNER, STATION = "reflash_owner", "line_station"
PASSWORDS = {OWNER: "own-" + secrets.token_hex(12), STATION: "sta-" + secrets.token_hex(12)}
ENV = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
ENV["PGPASSFILE"] = os.path.join(work, "pgpass")

def wait_until(condition, timeout, step=0.1):
    """condition's first true value within timeout seconds, else its last one."""
    deadline = time.time() + timeout * SLACK
    while True:
        value = condition()
        if value or time.time() > deadline:
            return value
        time.sleep(step)

def utc(stamp):
    moment = datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%fZ")
    return moment.replace(tzinfo=timezone.utc).timestamp()

# ---- the station and what it shows ----

running = []
def start_station(out, ports, sid, *extra, mode="--watch", worker=None, env=None):
    """A simulated station on output folder out, ports the --sim lines; its page on a port of its
    own. Returns the Popen, with .http (the page's port) and .t0 (when it was started)."""
    with open(out + ".ports", "w") as f:
        f.write("".join(line + "\n" for line in ports))
    http = pg_cluster.free_port()
    argv = [station, mode, "--instant", "--sim", out + ".ports", "--worker", worker or sim,
            "--output", out, "--station-id", sid, "--http", "127.0.0.1:%d" % http, *extra]
    proc = subprocess.Popen(argv, stdout=open(out + ".screen.txt", "a"), stderr=subprocess.STDOUT,
                            env=env or ENV)
    proc.http, proc.t0 = http, time.time()
    running.append(proc)
    wait_until(lambda: get(proc, "/api/ports") is not None or proc.poll() is not None, 10)
    return proc

def stop_station(proc, sig=signal.SIGTERM, timeout=30):
    """Signals the station (sig None: lets it end by itself); its exit status and how long it
    took to end (None: it did not)."""
    sent = time.time()
    if sig is not None:
        proc.send_signal(sig)
    try:
        return proc.wait(timeout=timeout * SLACK), time.time() - sent
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return None, time.time() - sent

def get(proc, path):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (proc.http, path), timeout=5) as a:
            return a.read().decode()
    except OSError:
        return None

def metrics(proc):
    """The page's unlabelled metrics, by name."""
    found = {}
    for line in (get(proc, "/metrics") or "").splitlines():
        m = re.match(r"^(reflash_station_\w+) ([-+0-9.eE]+)$", line)
        if m:
            found[m.group(1)] = float(m.group(2))
    return found

def state_text(proc):
    """The station's state document: /api/state, which /api/ports also serves."""
    return get(proc, "/api/state") or get(proc, "/api/ports") or ""

def shipper(proc):
    """The shipper's part of the state document, or {}."""
    try:
        return json.loads(state_text(proc) or "{}").get("shipper") or {}
    except ValueError:
        return {}

def metric(proc, name):
    return metrics(proc).get("reflash_station_shipper_" + name)

def caught_up(proc):
    """True once the station is connected and says nothing is left to ship."""
    m = metrics(proc)
    return m.get("reflash_station_shipper_lag_records") == 0 and \
        m.get("reflash_station_shipper_up") == 1

def log(out):
    """Every record of the station log in out (rotated files too): (line text, parsed)."""
    found = []
    for path in sorted(glob.glob(os.path.join(out, "station-*.jsonl"))) + \
            glob.glob(os.path.join(out, "station.jsonl")):
        with open(path) as f:
            lines = f.read().split("\n")[:-1]  # a line being written is not one yet
        found += [(line, json.loads(line)) for line in lines if line.strip()]
    return found

def ends(out, port=None):
    return [r for _, r in log(out) if r["record"] == "end" and port in (None, r["port"])]

def slow_worker(seconds):
    """A worker that waits before it starts: an update that lasts."""
    path = os.path.join(work, "worker-after-%gs" % seconds)
    with open(path, "w") as f:
        f.write('#!/bin/sh\nsleep %g\nexec "%s" "$@"\n' % (seconds, sim))
    os.chmod(path, 0o755)
    return path

def run(*argv):
    done = subprocess.run([station, *argv], env=ENV, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=60 * SLACK)
    return done.returncode, done.stdout, done.stderr

# ---- the database ----

STAMP = "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'"
def db_rows(pg, table, sid):
    """{(port, start): [(record, verdict), ...]} of one station's rows in reflash_start or
    reflash_end, the start as the records write it; and the rows whose columns disagree with
    their own record."""
    verdict = "verdict" if table == "reflash_end" else "NULL"
    rows = pg.psql("SELECT port, to_char(start_time::timestamp, %s), record::text, %s FROM %s "
                   "WHERE station = '%s'" % (STAMP, verdict, table, sid), db="reflash")
    found, odd = {}, []
    for port, start, record, verd in rows:
        record = json.loads(record)
        found.setdefault((port, start), []).append((record, verd))
        if record.get("port") != port or record.get("start") != start or \
                verd not in (pg_cluster.NULL, record.get("verdict")):
            odd.append((port, start, verd, record.get("verdict")))
    return found, odd

def unshipped(pg, out, sid, instead={}):
    """What keeps the database from holding exactly the log of out, each record once: an empty
    list when it does. instead: {(port, start): record} held in the database in place of the
    log's end record."""
    problems = []
    for kind in ("start", "end"):
        held, odd = db_rows(pg, "reflash_" + kind, sid)
        want = {(r["port"], r["start"]): r for _, r in log(out) if r["record"] == kind}
        if kind == "end":
            want.update(instead)
        problems += ["%s %s: columns disagree with the record" % (kind, o) for o in odd]
        problems += ["%s %s held %d times" % (kind, k, len(v))
                     for k, v in held.items() if len(v) > 1]
        problems += ["%s %s missing" % (kind, k) for k in want if k not in held]
        problems += ["%s %s not in the log" % (kind, k) for k in held if k not in want]
        problems += ["%s %s holds another record" % (kind, k) for k, v in held.items()
                     if k in want and v[0][0] != want[k]]
    return problems

def ready_database(pg):
    """The database, its owner and the station's role with their passwords in the password file,
    the schema made by the owner with the station granted its part. Returns the station's URL."""
    pg.create_role(OWNER, PASSWORDS[OWNER])
    pg.create_role(STATION, PASSWORDS[STATION])
    pg.create_database("reflash", owner=OWNER)
    pg.write_pgpass(ENV["PGPASSFILE"], PASSWORDS.items())
    status, out, err = run("db", "migrate", "--db", pg.url(OWNER, "reflash"), "--grant", STATION)
    check("db migrate as the owner exits 0 (%d: %s)" % (status, (out + err).strip()), status == 0)
    return pg.url(STATION, "reflash"), out


def shipped(pg):
    url, migrated = ready_database(pg)
    version = re.search(r"schema at version (\d+)", migrated)
    held = pg.psql("SELECT max(version), count(*) FROM reflash_schema", db="reflash")[0]
    check("migrate says the version the database holds (%s, %s)" % (migrated.strip(), held),
          version is not None and version.group(1) == held[0])
    status, again, _ = run("db", "migrate", "--db", pg.url(OWNER, "reflash"), "--grant", STATION)
    check("a second migrate changes nothing (%s)" % again.strip(), status == 0 and again == migrated
          and pg.psql("SELECT max(version), count(*) FROM reflash_schema", db="reflash")[0] == held)
    grants = pg.psql(
        "SELECT c.relname, p FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace, "
        "unnest(ARRAY['SELECT','INSERT','UPDATE','DELETE','TRUNCATE','REFERENCES','TRIGGER']) p "
        "WHERE c.relname LIKE 'reflash%%' AND c.relkind IN ('r', 'p', 'v') "
        "AND has_table_privilege('%s', c.oid, p)" % STATION, db="reflash")
    privileges = {p for _, p in grants}
    tables = {t for t, p in grants if p == "INSERT"}
    check("the station's role may only read and add (%s)" % sorted(grants),
          privileges == {"SELECT", "INSERT"} and
          {"reflash_start", "reflash_end", "reflash_rejected"} <= tables)
    check("and create nothing, own nothing", pg.psql(
        "SELECT count(*) FROM pg_class WHERE relowner = '%s'::regrole" % STATION, db="reflash") ==
        [("0",)] and pg.psql(
        "SELECT bool_or(has_schema_privilege('%s', n.oid, 'CREATE')) FROM pg_namespace n WHERE "
        "n.oid IN (SELECT relnamespace FROM pg_class WHERE relname = 'reflash_end')" % STATION,
        db="reflash") == [("f",)])

    # Each worker waits a little first, so that the station can be read while it runs.
    proc = start_station("out", ["S1 0 - serial=SH-1",
                                 "S2 0 - serial=SH-2 --corrupt-readback 0x1234",
                                 "S3 0 - serial=SH-3 --chip 3"], "line-s", "--db", url,
                         mode="--once", worker=slow_worker(3))
    up = wait_until(lambda: shipper(proc).get("up") is True and metric(proc, "up") == 1, 3)
    with open("/proc/%d/cmdline" % proc.pid, "rb") as f:
        seen = {"/proc/pid/cmdline": f.read().decode(errors="replace")}
    for path in ("/metrics", "/", "/api/summary"):
        seen[path] = get(proc, path) or ""
    seen["state"] = state_text(proc)
    check("while it runs the shipper is up on the page and in the metrics", up)
    status, _ = stop_station(proc, None, 60)
    check("exit status 1: S2 failed (%s)" % status, status == 1)
    problems = unshipped(pg, "out", "line-s")
    check("the database holds the log's 6 records, each once, with their verdicts (%s)" % problems,
          len(log("out")) == 6 and problems == [])
    for folder, _, files in os.walk("out"):
        for name in files:
            seen[os.path.join(folder, name)] = open(os.path.join(folder, name), "rb").read().decode(
                errors="replace")
    check("the station saw its own log and the page (%d places read)" % len(seen),
          "line-s" in seen["out/station.jsonl"] and "shipper" in seen["state"])
    leaked = [where for where, text in seen.items()
              if any(pw in text for pw in PASSWORDS.values())]
    check("no password anywhere: cmdline, page, API, metrics, files (%s)" % leaked, leaked == [])

    pw = PASSWORDS[STATION]
    for bad in ("postgresql://%s:%s@127.0.0.1:%d/reflash" % (STATION, pw, pg.port),
                "postgresql://%s@127.0.0.1:%d/reflash?password=%s" % (STATION, pg.port, pw),
                "host=127.0.0.1 port=%d dbname=reflash user=%s password=%s" %
                (pg.port, STATION, pw)):
        for argv in (["--once", "--instant", "--sim", "out.ports", "--worker", sim, "--output",
                      "out-pw", "--db", bad], ["report", "--db", bad]):
            status, out, err = run(*argv)
            check("a password in --db is refused, exit 64, and not repeated: %s %s (%d)" %
                  (argv[0], bad.replace(pw, "PW"), status), status == 64 and pw not in out + err)
    check("no station ran on it", not ends("out-pw") if os.path.isdir("out-pw") else True)


def outage(pg):
    url, _ = ready_database(pg)
    plugs = {"O1": 0.5, "O2": 1.5, "O3": 5, "O4": 6, "O5": 7, "O6": 20, "O7": 21}
    proc = start_station("out", ["%s %d - serial=OU-%s" % (p, at * 1000, p)
                                 for p, at in plugs.items()], "line-o", "--db", url)
    def ended(*ports):
        return all(ends("out", p) for p in ports)
    def latency(port, proc=proc, at=None):  # from its plug to its end record
        return utc(ends("out", port)[0]["end"]) - (proc.t0 + (at or plugs[port]))

    shipped_all = lambda: caught_up(proc) and unshipped(pg, "out", "line-o") == []
    wait_until(lambda: ended("O1", "O2") and shipped_all(), 4)
    check("with the database up O1 and O2 shipped before O3 comes (%.1f s)" %
          (time.time() - proc.t0), ended("O1", "O2") and shipped_all() and not ends("out", "O3"))
    before = int(pg.psql("SELECT (SELECT count(*) FROM reflash_start) + "
                         "(SELECT count(*) FROM reflash_end)", db="reflash")[0][0])
    pg.stop()
    wait_until(lambda: ended("O3", "O4", "O5"), 10)
    fast = max(latency(p) for p in ("O1", "O2"))
    slow = max((latency(p) for p in ("O3", "O4", "O5") if ends("out", p)), default=99)
    check("with the database down the updates still end on time (%.2f s, up: %.2f s)" %
          (slow, fast), ended("O3", "O4", "O5") and slow < (2 * fast + 1) * SLACK)
    lag = wait_until(lambda: metric(proc, "up") == 0 and metric(proc, "lag_records") ==
                     len(log("out")) - before, 5)
    first = metric(proc, "errors_total") or 0
    rising = wait_until(lambda: (metric(proc, "errors_total") or 0) > first, 10)
    state = shipper(proc)
    check("down: up 0, lag %s = the %d records since the stop, errors rising (%s, then %s)" % (
          metric(proc, "lag_records"), len(log("out")) - before, first,
          metric(proc, "errors_total")), lag and first > 0 and rising)
    check("the page says so too (%s)" % state, state.get("up") is False and
          state.get("lag") == len(log("out")) - before and state.get("error"))

    pg.start()
    wait_until(lambda: caught_up(proc), 18)
    problems = unshipped(pg, "out", "line-o")
    check("the database back: lag 0, every record once (%s)" % problems,
          caught_up(proc) and problems == [])
    check("nothing was rejected", metric(proc, "rejected_total") == 0)

    check("caught up before O6 comes (%.1f s)" % (time.time() - proc.t0), not ends("out", "O6"))
    before = len(log("out"))
    pg.stop()
    wait_until(lambda: ended("O6", "O7") and
               metric(proc, "lag_records") == len(log("out")) - before,
               plugs["O7"] - (time.time() - proc.t0) + 5)
    check("behind again: O6 and O7 ended, lag %s = their 4 records" % metric(proc, "lag_records"),
          ended("O6", "O7") and metric(proc, "lag_records") == len(log("out")) - before == 4)
    stop_station(proc, signal.SIGKILL)
    pg.start()
    proc = start_station("out", ["O8 6000 - serial=OU-O8"], "line-o", "--db", url)
    wait_until(lambda: caught_up(proc) and unshipped(pg, "out", "line-o") == [], 15)
    problems = unshipped(pg, "out", "line-o")
    check("after SIGKILL a new station catches up, every record once (%s)" % problems,
          caught_up(proc) and problems == [])
    check("nothing was rejected, nothing set aside (%s)" % metric(proc, "rejected_total"),
          metric(proc, "rejected_total") == 0 and
          pg.psql("SELECT count(*) FROM reflash_rejected", db="reflash") == [("0",)])

    # A server that takes connections and never answers, as behind a pulled cable: the flashing
    # goes on, and a stop still ends the station.
    early = ended("O8")
    pg.freeze()
    wait_until(lambda: ended("O8"), 15)
    hung = latency("O8", proc, 6) if ended("O8") else 99
    check("with the database hung O8 still ends on time (%.2f s)" % hung,
          not early and hung < (2 * fast + 1) * SLACK)
    wait_until(lambda: metric(proc, "lag_records") == 2, 5)
    check("and the lag counts its 2 records (%s)" % metric(proc, "lag_records"),
          metric(proc, "lag_records") == 2)
    status, took = stop_station(proc, timeout=15)
    check("SIGTERM with the database hung: the station ends within a few seconds (%s after "
          "%.1f s)" % (status, took), status is not None and took < 8 * SLACK)


def rejected(pg):
    url, _ = ready_database(pg)
    ports = ["R1 0 - serial=RJ-1", "R2 0 - serial=RJ-2", "R3 0 - serial=RJ-3"]
    status, _ = stop_station(start_station("out", ports, "line-r", mode="--once"), None, 60)
    check("a log made without the database (exit %s)" % status,
          status == 0 and len(ends("out")) == 3)
    line, record = next((l, r) for l, r in log("out") if r["record"] == "end" and r["port"] == "R2")
    forged = dict(record, verdict="fail", attempts=["check failed"], notes=["entered elsewhere"])
    literal = lambda v: "NULL" if v is None else "'" + str(v).replace("'", "''") + "'"
    pg.psql("INSERT INTO reflash_end (station, port, start_time, end_time, serial, verdict, cause, "
            "image_sha256, bcd_before, bcd_after, host, record) VALUES (%s)" % ", ".join(
                literal(v) for v in ("line-r", "R2", record["start"], record["end"],
                                     record["serial"], "fail", "check failed",
                                     record["imageSha256"], record["bcdDevice"],
                                     record["after"]["bcdDevice"], record["host"],
                                     json.dumps(forged))), db="reflash")

    proc = start_station("out", [], "line-r", "--db", url)
    wait_until(lambda: caught_up(proc) and metric(proc, "rejected_total") == 1, 15)
    state = shipper(proc)
    check("lag 0, rejected 1 in the metrics and on the page (%s, %s: %s)" % (
          metric(proc, "lag_records"), metric(proc, "rejected_total"), state),
          caught_up(proc) and metric(proc, "rejected_total") == 1 and state.get("rejected") == 1
          and state.get("lag") == 0)
    stop_station(proc)
    held = pg.psql("SELECT station, convert_from(line, 'UTF8'), error FROM reflash_rejected",
                   db="reflash")
    check("reflash_rejected holds R2's line as the log has it, with its error (%s)" %
          [(row[0], row[1] == line, row[2]) for row in held],
          len(held) == 1 and held[0][0] == "line-r" and held[0][1].rstrip("\n") == line
          and held[0][2] not in ("", pg_cluster.NULL))
    problems = unshipped(pg, "out", "line-r", {("R2", record["start"]): forged})
    check("every other record shipped once; the row found there is as it was (%s)" % problems,
          problems == [] and pg.psql("SELECT verdict FROM reflash_end WHERE port = 'R2'",
                                     db="reflash") == [("fail",)])
    proc = start_station("out", [], "line-r", "--db", url)
    wait_until(lambda: caught_up(proc), 15)
    check("started again, it does not reject the line again (%s)" % metric(proc, "rejected_total"),
          caught_up(proc) and metric(proc, "rejected_total") == 0 and
          pg.psql("SELECT count(*) FROM reflash_rejected", db="reflash") == [("1",)])
    stop_station(proc)


def stations(pg):
    url, _ = ready_database(pg)
    # The same port names on both: the station is part of every key. SHARED passes on A, then
    # comes to B; FAILED fails on A, then comes to B, and is no duplicate there. B's updates last
    # a second, time enough for the database's answer.
    a = start_station("out-a", ["P1 0 - serial=SHARED",
                                "P2 0 - serial=FAILED --corrupt-readback 0x1234",
                                "P3 0 - serial=ONLY-A"], "line-a", "--db", url)
    b = start_station("out-b", ["P1 0 - serial=ONLY-B", "P2 3000 - serial=SHARED",
                                "P3 3000 - serial=FAILED"], "line-b", "--db", url,
                      worker=slow_worker(1))
    wait_until(lambda: len(ends("out-a")) == 3 and len(ends("out-b")) == 3 and caught_up(a)
               and caught_up(b), 15)
    tiles = {p["port"]: p for p in json.loads(get(b, "/api/ports") or '{"ports": []}')["ports"]}
    stop_station(a)
    stop_station(b)
    first = (ends("out-a", "P1") or [{}])[0]
    later = (ends("out-b", "P2") or [{}])[0]
    named = later.get("duplicateOf") or {}
    check("B's SHARED names A's pass: %s" % named,
          {k: named.get(k) for k in ("station", "port", "start", "end")} ==
          {"station": "line-a", "port": "P1", "start": first.get("start"), "end": first.get("end")}
          and first.get("verdict") == "pass")
    check("no other record is a duplicate", [(r["station"], r["port"]) for r in
                                             ends("out-a") + ends("out-b") if "duplicateOf" in r]
          == [("line-b", "P2")])
    check("B's tile says duplicate, naming A (%s)" % tiles.get("P2", {}).get("duplicate"),
          "line-a" in (tiles.get("P2", {}).get("duplicate") or "") and
          not tiles.get("P3", {}).get("duplicate"))
    for out, sid in (("out-a", "line-a"), ("out-b", "line-b")):
        problems = unshipped(pg, out, sid)
        check("%s shipped its log, each record once (%s)" % (sid, problems), problems == [])

    def figures(*argv):
        status, out, err = run("report", "--json", *argv)
        try:
            answer = json.loads(out)
            answer.pop("files", None)
            return status, answer
        except ValueError:
            return status, out + err
    since = later.get("start", "")
    for db_args, files, updates in (
            (["--db", url], ["out-a", "out-b"], len(ends("out-a") + ends("out-b"))),
            (["--db", url, "--station", "line-a"], ["out-a"], len(ends("out-a"))),
            (["--db", url, "--since", since], ["--since", since, "out-a", "out-b"], None)):
        from_db, from_files = figures(*db_args), figures(*files)
        counted = from_db[1].get("total", {}).get("updates") if isinstance(from_db[1], dict) else 0
        ok = from_db == from_files and from_db[0] == 0 and (counted == updates if updates else counted > 0)
        check("report %s equals the files' (%s updates)%s" % (
              " ".join(db_args[2:]) or "(all)", counted,
              "" if ok else ":\n%s\nfrom the files:\n%s" % (from_db, from_files)), ok)
    for serial in ("SHARED", "FAILED"):
        from_db = run("history", serial, "--db", url)
        from_files = run("history", serial, "out-a", "out-b")
        updates = [r for r in ends("out-a") + ends("out-b") if r["serial"] == serial]
        lines = from_db[1].splitlines()
        ok = from_db == from_files and from_db[0] == 0 and len(updates) == 2 and \
            len(lines) == 1 + len(updates) and \
            all(sum(u["start"] in l and u["station"] in l for l in lines) == 1 for u in updates)
        check("history %s from the database equals the files', a heading and a line an update%s"
              % (serial, "" if ok else ":\n%s\nfrom the files:\n%s" % (from_db, from_files)), ok)


def tls(pg):
    url, _ = ready_database(pg)
    sure = url + "?sslmode=verify-full&sslrootcert=" + pg.ca_file
    # The password from the environment this time; the workers write down theirs.
    env = dict(ENV, PGPASSWORD=PASSWORDS[STATION])
    del env["PGPASSFILE"]
    worker = os.path.join(work, "worker-env")
    with open(worker, "w") as f:
        f.write('#!/bin/sh\nenv > worker.env\nexec "%s" "$@"\n' % sim)
    os.chmod(worker, 0o755)
    proc = start_station("out", ["T1 0 - serial=TL-1", "T2 1500 - serial=TL-2"], "line-t",
                         "--db", sure, worker=worker, env=env)
    wait_until(lambda: ends("out", "T1") and caught_up(proc), 5)
    sessions = pg.psql("SELECT s.ssl FROM pg_stat_activity a JOIN pg_stat_ssl s USING (pid) "
                       "WHERE a.usename = '%s'" % STATION)
    check("while it runs the station's sessions are TLS (%s)" % sessions,
          sessions != [] and all(s == ("t",) for s in sessions))
    wait_until(lambda: ends("out", "T2") and caught_up(proc), 5)
    stop_station(proc)
    problems = unshipped(pg, "out", "line-t")
    check("it shipped every record (%s)" % problems, problems == [])
    seen = [open(path).read() for path in glob.glob("out/*/worker.env")]
    check("no worker inherited PGPASSWORD (%d workers)" % len(seen),
          len(seen) == 2 and not any("PGPASSWORD" in text for text in seen))

    wrong, _ = pg_cluster.make_ca(work, "another-ca")
    proc = start_station("out-w", ["W1 0 - serial=TW-1", "W2 1000 - serial=TW-2"], "line-w",
                         "--db", url + "?sslmode=verify-full&sslrootcert=" + wrong)
    wait_until(lambda: len(ends("out-w")) == 2 and (metric(proc, "errors_total") or 0) > 0, 5)
    first = metric(proc, "errors_total") or 0
    rising = wait_until(lambda: (metric(proc, "errors_total") or 0) > first, 10)
    state = shipper(proc)
    check("with another CA: up 0, lag %s = the log's %d records, errors %s rising, said on the "
          "page (%s)" % (metric(proc, "lag_records"), len(log("out-w")), first, state.get("error")),
          len(ends("out-w")) == 2 and metric(proc, "up") == 0 and first > 0 and rising and
          metric(proc, "lag_records") == len(log("out-w")) and state.get("error"))
    status, took = stop_station(proc)
    check("it still ends within a few seconds (%.1f s)" % took, status is not None and
          took < 8 * SLACK)
    check("and nothing of it is in the database", pg.psql(
        "SELECT (SELECT count(*) FROM reflash_start WHERE station = 'line-w') + "
        "(SELECT count(*) FROM reflash_end WHERE station = 'line-w')", db="reflash") == [("0",)])


try:
    with pg_cluster.Cluster() as pg:
        try:
            {"shipped": shipped, "outage": outage, "rejected": rejected, "stations": stations,
             "tls": tls}[case](pg)
        finally:
            if failures:
                print("--- the server's log, last lines ---\n" + pg.log_tail())
finally:
    for proc in running:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    for screen in sorted(glob.glob("*.screen.txt")):
        if failures:
            print("--- %s, last lines ---\n%s" % (screen, "".join(open(screen).readlines()[-15:])))

print("%d failed" % len(failures) if failures else "all passed")
sys.exit(1 if failures else 0)
