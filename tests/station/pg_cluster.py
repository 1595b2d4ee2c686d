"""A throwaway PostgreSQL cluster for the station's database tests: initdb in a fresh folder, TLS
with a CA of its own, password (SCRAM) logins over TCP on 127.0.0.1, the superuser on the unix
socket. The server never runs as root: under root (CI) it runs as nobody.

    with Cluster() as pg:
        pg.create_role("owner", "pw", createdb=True)
        pg.create_database("reflash", owner="owner")
        url = pg.url("owner", "reflash")
"""
import glob, os, shutil, signal, socket, subprocess, tempfile, time

SUPERUSER = "postgres"
NULL = "\\N"  # how psql() gives a NULL
_FIELD, _ROW = "\x1f", "\x1e"


def bindir():
    """The newest installed server's programs, or None."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    return os.path.dirname(found[-1]) if found else None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def make_ca(folder, name):
    """A self-signed CA in folder: (certificate path, key path)."""
    cert, key = os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + name,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    return cert, key


def _server_certificate(folder, ca_cert, ca_key):
    key, csr, cert = (os.path.join(folder, "server." + e) for e in ("key", "csr", "crt"))
    ext = os.path.join(folder, "server.ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                "subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    _openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", key, "-out", csr, "-subj", "/CN=localhost", cwd=folder)
    _openssl("x509", "-req", "-in", csr, "-CA", ca_cert, "-CAkey", ca_key, "-CAcreateserial",
             "-out", cert, "-days", "2", "-extfile", ext, cwd=folder)
    os.chmod(key, 0o600)
    return cert, key


def _quote_ident(name):
    return '"' + name.replace('"', '""') + '"'


def _quote_literal(text):
    return "'" + text.replace("'", "''") + "'"


class Cluster:
    """A fresh cluster under base (always /tmp under root: nobody must reach it, and the socket's
    path must stay short). Started by __enter__; stopped and removed by __exit__ whatever
    happened."""

    def __init__(self, base=None):
        self.bin = bindir()
        if self.bin is None:
            raise FileNotFoundError("no PostgreSQL server under /usr/lib/postgresql")
        self.root = os.geteuid() == 0
        self.folder = tempfile.mkdtemp(prefix="reflash-pg-",
                                       dir="/tmp" if self.root or base is None else base)
        self.data = os.path.join(self.folder, "data")
        self.socket_dir = os.path.join(self.folder, "sock")
        self.log = os.path.join(self.folder, "server.log")
        self.port = free_port()
        self.ca_file, ca_key = make_ca(self.folder, "reflash-test-ca")
        cert, key = _server_certificate(self.folder, self.ca_file, ca_key)
        os.remove(ca_key)  # nothing else is ever signed by it
        os.mkdir(self.socket_dir)
        if self.root:
            for path in (self.folder, self.socket_dir, cert, key):
                shutil.chown(path, "nobody", "nogroup")
            os.chmod(self.folder, 0o711)  # the CA certificate is read by root and nobody alike
        self._as_server([os.path.join(self.bin, "initdb"), "-D", self.data, "-U", SUPERUSER,
                         "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"])
        with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:
            conf.write("\n".join([
                "listen_addresses = '127.0.0.1'",
                "port = %d" % self.port,
                "unix_socket_directories = '%s'" % self.socket_dir,
                "ssl = on",
                "ssl_cert_file = '%s'" % cert,
                "ssl_key_file = '%s'" % key,
                "password_encryption = 'scram-sha-256'",
                # The server's own durability is not under test; speed is welcome.
                "fsync = off", "synchronous_commit = off", "full_page_writes = off",
                "shared_buffers = 16MB", "max_connections = 40",
                "log_connections = on", "log_disconnections = on",
                "log_line_prefix = '%m [%p] %u@%d '", ""]))
        with open(os.path.join(self.data, "pg_hba.conf"), "w") as hba:
            hba.write("local all %s trust\n" % SUPERUSER +
                      "host all all 127.0.0.1/32 scram-sha-256\n")

    def _as_server(self, argv, check=True):
        """Runs a server program as the server's user."""
        if self.root:
            argv = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *argv]
        env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
        env.update(HOME=self.folder, LC_ALL="C")
        return subprocess.run(argv, cwd=self.folder, env=env, check=check,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        try:
            self.resume()  # a frozen server cannot stop
            self.stop()
        finally:
            if self.running():
                self._as_server([os.path.join(self.bin, "pg_ctl"), "stop", "-D", self.data,
                                 "-m", "immediate", "-w"], check=False)
            shutil.rmtree(self.folder, ignore_errors=True)
        return False

    def running(self):
        return os.path.exists(os.path.join(self.data, "postmaster.pid"))

    def start(self):
        done = self._as_server([os.path.join(self.bin, "pg_ctl"), "start", "-D", self.data, "-l",
                                self.log, "-w", "-t", "60"], check=False)
        if done.returncode != 0:
            raise RuntimeError("pg_ctl start failed: %s\n%s" % (done.stdout, self.log_tail()))

    def stop(self):
        if self.running():
            self._as_server([os.path.join(self.bin, "pg_ctl"), "stop", "-D", self.data, "-m",
                             "fast", "-w", "-t", "60"], check=False)

    def _server_pids(self):
        try:
            with open(os.path.join(self.data, "postmaster.pid")) as f:
                postmaster = int(f.readline())
        except (OSError, ValueError):
            return []
        children = subprocess.run(["pgrep", "-P", str(postmaster)], stdout=subprocess.PIPE,
                                  text=True).stdout.split()
        return [postmaster] + [int(c) for c in children]

    def freeze(self):
        """Stops every server process in its tracks (SIGSTOP): a server that accepts connections
        and never answers."""
        for pid in self._server_pids():
            os.kill(pid, signal.SIGSTOP)

    def resume(self):
        for pid in self._server_pids():
            try:
                os.kill(pid, signal.SIGCONT)
            except ProcessLookupError:
                pass

    def log_tail(self, lines=30):
        try:
            with open(self.log, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def psql(self, sql, db="postgres"):
        """Runs sql as the superuser over the unix socket: the rows of its last statement, each a
        tuple of texts (NULL as pg_cluster.NULL)."""
        env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
        env["PGTZ"] = "UTC"  # times read back as the records write them
        done = subprocess.run(
            [os.path.join(self.bin, "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
             "-h", self.socket_dir, "-p", str(self.port), "-U", SUPERUSER, "-d", db,
             "-F", _FIELD, "-R", _ROW, "-P", "null=" + NULL, "-P", "footer=off", "-c", sql],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            raise RuntimeError("psql failed on %r: %s" % (sql, done.stderr.strip()))
        out = done.stdout[:-1] if done.stdout.endswith("\n") else done.stdout
        return [tuple(row.split(_FIELD)) for row in out.split(_ROW) if row != ""]

    def create_role(self, name, password, createdb=False):
        self.psql("CREATE ROLE %s LOGIN PASSWORD %s%s" % (
            _quote_ident(name), _quote_literal(password), " CREATEDB" if createdb else ""))

    def create_database(self, name, owner=None):
        self.psql("CREATE DATABASE %s%s" % (
            _quote_ident(name), " OWNER " + _quote_ident(owner) if owner else ""))

    def url(self, role, db, **params):
        """The libpq URI of role on db over TCP; never with a password."""
        query = "&".join("%s=%s" % kv for kv in params.items())
        return "postgresql://%s@127.0.0.1:%d/%s%s" % (role, self.port, db,
                                                       "?" + query if query else "")

    def write_pgpass(self, path, logins):
        """A password file (mode 0600) for logins, a list of (role, password), on this server."""
        esc = lambda text: text.replace("\\", "\\\\").replace(":", "\\:")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w") as f:
            for role, password in logins:
                f.write("127.0.0.1:%d:*:%s:%s\n" % (self.port, esc(role), esc(password)))
        os.chmod(path, 0o600)
        return path
