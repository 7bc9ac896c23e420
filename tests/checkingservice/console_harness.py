"""Runs the real pvcheckd and pvconsole on loopback ports over one database that pvcheckctl
sets up; shared by the console's API and browser tests. Everything started is stopped again,
also when a test fails."""
import http.client
import json
import os
import re
import signal
import sqlite3
import subprocess
import tempfile
import time
import urllib.parse

PROGRAMS = {}
ADMIN_NAME = "boss"
ADMIN_PASSWORD = "correct horse"


def ctl(db, *args, stdin=None, check=True):
    proc = subprocess.run([PROGRAMS["pvcheckctl"], "--db", db, *args], input=stdin,
                          capture_output=True, text=True, timeout=60)
    if check and proc.returncode != 0:
        raise AssertionError(f"pvcheckctl {args} failed: {proc.stderr}")
    return proc


def sql(db, statement):
    """Runs SQL on the database past the programs, to make rows they would write."""
    if db.startswith("postgresql:"):
        subprocess.run(["psql", db, "-qc", statement], check=True, capture_output=True,
                       timeout=60)
        return
    conn = sqlite3.connect(db)
    try:
        with conn:
            conn.execute(statement)
    finally:
        conn.close()


class Process:
    """One program that prints "listening on http://HOST:PORT/..." once it serves."""

    def __init__(self, args):
        self.log = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.proc.stdout.readline()
        match = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", line)
        if not match:
            self.stop()
            raise AssertionError(f"{args[0]} did not start: {line!r} {self.errors()}")
        self.port = int(match.group(1))

    def stop(self):
        """Stops the program; its exit status (0 unless it failed, or a sanitizer spoke)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        return self.proc.returncode

    def errors(self):
        self.log.seek(0)
        return self.log.read()


class Setup:
    """A database with an administrator and an account, pvcheckd and pvconsole on it."""

    databases = 0

    def __init__(self, console_args=(), admin_cost="minimum"):
        self.dir = tempfile.TemporaryDirectory()
        self.db = os.path.join(self.dir.name, "rules.db")
        if os.environ.get("PV_TEST_PG"):  # under with_postgres.sh: a new database there
            Setup.databases += 1
            name = f"pvconsole_{os.getpid()}_{Setup.databases}"
            server = f"user=postgres&host={os.environ['PV_TEST_PG']}"
            subprocess.run(["psql", f"postgresql:///postgres?{server}", "-qc",
                            f"CREATE DATABASE {name}"], check=True, timeout=60)
            self.db = f"postgresql:///{name}?{server}"
        self.processes = []
        try:
            ctl(self.db, "init")
            ctl(self.db, "admin", "add", ADMIN_NAME, "--cost", admin_cost,
                stdin=ADMIN_PASSWORD + "\n")
            ctl(self.db, "account", "add", "pupil", "--password", "demo", "--cost", "minimum")
            self.service = self.start(PROGRAMS["pvcheckd"], "--db", self.db, "--port", "0",
                                      "--poll-ms", "100")
            self.console = self.start(PROGRAMS["pvconsole"], "--db", self.db, "--port", "0",
                                      *console_args)
        except BaseException:
            self.close()
            raise

    def start(self, *args):
        process = Process(list(args))
        self.processes.append(process)
        return process

    def close(self):
        failed = []
        for process in reversed(self.processes):
            if process.stop() != 0:
                failed.append(f"{process.proc.args[0]} exited with {process.proc.returncode}: "
                              f"{process.errors()[-2000:]}")
        self.processes = []
        self.dir.cleanup()
        if failed:
            raise AssertionError("\n".join(failed))

    @property
    def base(self):
        return f"http://127.0.0.1:{self.console.port}"

    def ask(self, account, password, url):
        """The filter's own query to pvcheckd."""
        conn = http.client.HTTPConnection("127.0.0.1", self.service.port, timeout=10)
        try:
            conn.putrequest("GET", f"/cgi-bin/checker?log={account}&pwd={password}&url={url}",
                            skip_accept_encoding=True)
            conn.endheaders()
            return conn.getresponse().read().decode("latin-1")
        finally:
            conn.close()


class Client:
    """An API client with its own session cookie and CSRF token."""

    def __init__(self, port):
        self.port = port
        self.cookie = ""
        self.csrf = ""

    def request(self, method, path, body=None, headers=None, raw=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            all_headers = dict(headers or {})
            if self.cookie:
                all_headers["Cookie"] = self.cookie
            data = raw
            if body is not None:
                data = json.dumps(body).encode()
                all_headers["Content-Type"] = "application/json"
            conn.request(method, path, body=data, headers=all_headers)
            res = conn.getresponse()
            content = res.read()
            set_cookie = res.getheader("Set-Cookie")
            if set_cookie:
                self.cookie = set_cookie.split(";")[0]
            try:
                parsed = json.loads(content) if content else None
            except ValueError:
                parsed = content
            return res.status, dict((k.lower(), v) for k, v in res.getheaders()), parsed
        finally:
            conn.close()

    def login(self, name=ADMIN_NAME, password=ADMIN_PASSWORD):
        status, headers, body = self.request("POST", "/api/login",
                                             {"name": name, "password": password})
        if status == 200:
            self.csrf = body["csrf"]
        return status, headers, body

    def get(self, path, **params):
        query = urllib.parse.urlencode(params)
        return self.request("GET", path + ("?" + query if query else ""))

    def post(self, path, body=None, csrf=True, **kw):
        headers = {"X-CSRF-Token": self.csrf} if csrf else {}
        return self.request("POST", path, body, headers=headers, **kw)


def wait_for(predicate, what, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")
