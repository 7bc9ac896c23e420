#!/usr/bin/env python3
"""Two pvcheckd instances on one PostgreSQL behind nginx on loopback (run by with_postgres.sh):
a change reaches both within a second, the query log names each instance, the database
stopped and started under traffic fails no query and loses no log record (and one past the
buffer's bound drops exactly what it counts), each instance's health answer and row tell of
the outage, a commit whose reply is lost is not logged twice, an instance started without the
database waits or exits as told, and a database of another schema version is refused."""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

parser = argparse.ArgumentParser()
parser.add_argument("--server", required=True)
parser.add_argument("--admin", required=True)
args = parser.parse_args()

PG = os.environ["PV_TEST_PG"]
CTL = os.environ["PV_TEST_PG_CTL"]
DB = f"postgresql:///pvcluster?user=postgres&host={PG}"
ADMIN_DB = f"postgresql:///postgres?user=postgres&host={PG}"
failures = []
processes = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message, flush=True)


def psql(sql, db=DB):
    return subprocess.run(["psql", db, "-tAc", sql], check=True, capture_output=True,
                          text=True, timeout=30).stdout.strip()


def ctl(*words):
    return subprocess.run([args.admin, "--db", DB, *words], capture_output=True, text=True,
                          timeout=60)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_instance(name, *extra):
    log = open(os.path.join(tmp, name + ".log"), "w")
    proc = subprocess.Popen([args.server, "--db", DB, "--port", "0", "--instance", name,
                             "--threads", "1", *extra],
                            stdout=subprocess.PIPE, stderr=log, text=True)
    log.close()
    processes.append(proc)
    return proc


def cpu_seconds(proc):
    fields = open(f"/proc/{proc.pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def listening_port(proc, timeout=60):
    result = {}

    def read():
        line = proc.stdout.readline()
        if "listening on" in line:
            result["port"] = int(line.rsplit(":", 1)[1].split("/", 1)[0])

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(timeout)
    return result.get("port")


def ask(port, url, name="kid", password="pw"):
    target = f"http://127.0.0.1:{port}/cgi-bin/checker?log={name}&pwd={password}&url={url}"
    with urllib.request.urlopen(target, timeout=5) as reply:
        return reply.read().decode()


def health_of(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=5) as reply:
        return reply.status, json.loads(reply.read())


def wait_until(predicate, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.2)
    return predicate()


class CommitCutter:
    """A TCP proxy in front of the server's Unix socket. Armed, it passes on the COMMIT of the
    next transaction that wrote query-log rows, waits until the server has answered that it
    committed, and then cuts the connection instead of passing the answer on: the writer
    cannot know whether its batch was kept."""

    def __init__(self, socket_path):
        self.socket_path = socket_path
        self.armed = threading.Event()
        self.cut = threading.Event()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.socket(socket.AF_UNIX)
            try:
                server.connect(self.socket_path)
            except OSError:
                client.close()
                server.close()
                continue
            state = {"cutting": False}
            threading.Thread(target=self.up, args=(client, server, state), daemon=True).start()
            threading.Thread(target=self.down, args=(server, client, state), daemon=True).start()

    def up(self, client, server, state):
        """Client to server, message by message (the startup message has no type byte)."""
        buffer, started, wrote_log = b"", False, False
        try:
            while data := client.recv(65536):
                buffer += data
                out = b""
                while True:
                    head = 0 if not started else 1
                    if len(buffer) < head + 4:
                        break
                    size = head + int.from_bytes(buffer[head:head + 4], "big")
                    if len(buffer) < size:
                        break
                    message, buffer = buffer[:size], buffer[size:]
                    started = True
                    if message[:1] == b"P":  # Parse: statement name, then the query text
                        query = message[5:].split(b"\0", 2)[1]
                        if query.startswith(b"INSERT INTO query_log"):
                            wrote_log = True
                        elif query == b"COMMIT" and wrote_log and self.armed.is_set():
                            self.armed.clear()
                            state["cutting"] = True
                        elif query in (b"COMMIT", b"ROLLBACK"):
                            wrote_log = False
                    out += message
                server.sendall(out)
        except OSError:
            pass

    def down(self, server, client, state):
        answer = b""
        try:
            while data := server.recv(65536):
                if not state["cutting"]:
                    client.sendall(data)
                    continue
                answer += data
                if b"C\0\0\0\x0bCOMMIT\0" in answer:  # CommandComplete: it is committed
                    self.cut.set()
                    break
        except OSError:
            pass
        for end in (client, server):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            end.close()

    def close(self):
        self.listener.close()


tmp = tempfile.mkdtemp(prefix="pvcluster-")
nginx = None
try:
    # The shared database starts as a copy of a SQLite deployment.
    psql("CREATE DATABASE pvcluster", ADMIN_DB)
    lite = os.path.join(tmp, "rules.db")
    subprocess.run([args.admin, "--db", lite, "init"], check=True)
    subprocess.run([args.admin, "--db", lite, "account", "add", "kid", "--password-stdin",
                    "--cost", "minimum"], input="pw\n", check=True, capture_output=True, text=True)
    copied = subprocess.run([args.admin, "--db", lite, "copy-to", DB], capture_output=True,
                            text=True)
    check(copied.returncode == 0 and "accounts\t2 rows copied and checked" in copied.stdout,
          f"copy-to: {copied.stdout} {copied.stderr}")

    a, b = start_instance("east"), start_instance("west")
    # Beside them, one with the smallest log buffer, asked directly.
    small = start_instance("small", "--log-queue-kb", "64")
    ports = [listening_port(a), listening_port(b)]
    small_port = listening_port(small)
    assert all(ports) and small_port, f"instances did not start: {ports} {small_port}"
    status, health = health_of(ports[0])
    check(status == 200 and health["instance"] == "east" and health["database"] == "reachable"
          and health["generation"] > 0 and health["rules"] >= 0, f"health: {status} {health}")

    balancer = free_port()
    with open(os.path.join(tmp, "nginx.conf"), "w") as conf:
        conf.write(f"""
daemon off;
worker_processes 1;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log;
events {{ worker_connections 256; }}
http {{
  access_log off;
  client_body_temp_path {tmp}/body; proxy_temp_path {tmp}/proxy;
  fastcgi_temp_path {tmp}/fastcgi; uwsgi_temp_path {tmp}/uwsgi; scgi_temp_path {tmp}/scgi;
  upstream checkers {{ server 127.0.0.1:{ports[0]}; server 127.0.0.1:{ports[1]}; keepalive 8; }}
  server {{
    listen 127.0.0.1:{balancer};
    location / {{ proxy_pass http://checkers; proxy_http_version 1.1;
                  proxy_set_header Connection ""; proxy_next_upstream error timeout; }}
  }}
}}
""")
    nginx = subprocess.Popen(["nginx", "-c", os.path.join(tmp, "nginx.conf"), "-p", tmp],
                             stderr=subprocess.DEVNULL)
    deadline = time.time() + 10
    while time.time() < deadline:
        try:
            ask(balancer, "http://x.example/")
            break
        except OSError:
            time.sleep(0.1)
    check(ask(balancer, "http://late.example/") == "000", "answer before the change")

    # A change made with pvcheckctl reaches both instances within a second.
    assert ctl("rule", "add", "--global", "forbid", "host", "late.example").returncode == 0
    changed = time.time()
    pending = set(ports)
    while pending and time.time() - changed < 3:
        pending = {p for p in pending if ask(p, "http://late.example/") != "001"}
        time.sleep(0.02)
    took = time.time() - changed
    print(f"change reached both instances in {took * 1000:.0f} ms", flush=True)
    check(not pending and took < 1.0, f"change took {took:.2f} s, pending {pending}")

    # A session holding the log lock (as one whose host vanished inside its transaction does
    # until the server ends it) holds up neither the instances' index nor, after it, their log.
    HELD = "http://held.example/"
    holder = subprocess.Popen(["psql", DB, "-qc", "BEGIN; SELECT pg_advisory_xact_lock("
                               f"{0x70760002}); SELECT pg_sleep(4); COMMIT"],
                              stdout=subprocess.DEVNULL)
    time.sleep(0.5)
    held_sent = [0]

    def ask_held(port):
        held_sent[0] += 1
        return ask(port, HELD)
    for port in ports:
        ask_held(port)  # a record each instance then waits for the lock with
    time.sleep(1.2)
    assert ctl("rule", "add", "--global", "forbid", "host", "held.example").returncode == 0
    changed = time.time()
    pending = set(ports)
    while pending and time.time() - changed < 3:
        pending = {p for p in pending if ask_held(p) != "001"}
        time.sleep(0.02)
    took = time.time() - changed
    print(f"with the log lock held, the change reached both in {took * 1000:.0f} ms", flush=True)
    check(not pending and took < 1.0, f"change under a held lock took {took:.2f} s")
    holder.wait(30)
    held_rows = lambda: int(psql(f"SELECT COUNT(*) FROM query_log WHERE address = '{HELD}'"))
    check(wait_until(lambda: held_rows() >= held_sent[0], 10) and held_rows() == held_sent[0],
          f"records written once the lock was free: {held_rows()} of {held_sent[0]}")

    # The database stopped and started again under traffic: no query fails, no record lost.
    sent = [0]
    errors = []
    stop_traffic = threading.Event()

    def traffic():
        while not stop_traffic.is_set():
            try:
                reply = ask(balancer, TRAFFIC)
                if reply != "001":
                    errors.append(reply)
            except OSError as e:
                errors.append(str(e))
            sent[0] += 1
            time.sleep(0.005)

    TRAFFIC = "http://late.example/traffic"
    counted = f"SELECT COUNT(*) FROM query_log WHERE address = '{TRAFFIC}'"
    sender = threading.Thread(target=traffic)
    sender.start()
    time.sleep(1)
    subprocess.run([CTL, "stop"], check=True, capture_output=True, timeout=60)
    stopped = time.time()
    idle_cpu = cpu_seconds(small)
    time.sleep(1.5)
    # Waiting for the database is waiting: an instance asked nothing meanwhile stays idle.
    idle_cpu = cpu_seconds(small) - idle_cpu
    check(idle_cpu < 0.3, f"without the database an idle instance used {idle_cpu:.2f} s of 1.5 s")
    # Each instance says so in its health answer, which a balancer still sees as healthy.
    for port in ports:
        status, health = health_of(port)
        check(status == 200 and health["database"] == "down"
              and 0 < health["database_down_since_ms"] <= time.time() * 1000
              and health["log_records_buffered"] > 0, f"health while down: {status} {health}")
    # Past the buffer's bound the oldest records are dropped and counted; none below it.
    BOUND = "http://late.example/bound/"
    bound_sent = 300
    for i in range(bound_sent):
        ask(small_port, f"{BOUND}{i:04d}/" + "x" * 900)
    time.sleep(max(0.0, 3 - (time.time() - stopped)))
    subprocess.run([CTL, "start"], check=True, capture_output=True, timeout=60)
    time.sleep(1)
    stop_traffic.set()
    sender.join()
    check(not errors, f"{len(errors)} queries failed while the database was down: {errors[:3]}")
    expected = sent[0]
    deadline = time.time() + 30
    logged = 0
    while time.time() < deadline:
        logged = int(psql(counted))
        if logged >= expected:
            break
        time.sleep(0.5)
    print(f"{sent[0]} queries across the restart, {logged} logged", flush=True)
    check(logged == expected, f"query log holds {logged}, expected {expected}")

    def bound_figures():
        health = health_of(small_port)[1]
        kept = int(psql(f"SELECT COUNT(*) FROM query_log WHERE address LIKE '{BOUND}%'"))
        return health, kept
    wait_until(lambda: (lambda h, k: h["database"] == "reachable" and h["log_records_buffered"]
                        == 0 and k + h["log_records_dropped"] >= bound_sent)(*bound_figures()), 30)
    health, kept = bound_figures()
    dropped = health["log_records_dropped"]
    print(f"{bound_sent} records past a 64 KiB buffer: {kept} written, {dropped} dropped",
          flush=True)
    check(0 < kept and 0 < dropped and kept + dropped == bound_sent,
          f"bound: {kept} written + {dropped} dropped != {bound_sent}")
    check("records dropped" in open(os.path.join(tmp, "small.log")).read(),
          "the dropped records are logged")
    instances = psql("SELECT string_agg(DISTINCT instance, ',' ORDER BY instance) FROM query_log")
    check(instances == "east,small,west", f"query-log instances: {instances}")
    # The rows written once the database was back tell the console about the outage.
    outage = "SELECT outage_since_ms > 0, outage_ms, outage_buffered, outage_dropped " \
             "FROM service_health WHERE instance = '{}'"
    wait_until(lambda: psql(outage.format("small")).startswith("t|"), 15)
    rows = {name: psql(outage.format(name)).split("|") for name in ("east", "small")}
    print(f"health rows after the outage (since, ms, buffered, dropped): {rows}", flush=True)
    check(rows["east"][0] == "t" and int(rows["east"][1]) >= 1500 and int(rows["east"][2]) > 0
          and rows["east"][3] == "0", f"east's outage: {rows['east']}")
    check(rows["small"][0] == "t" and int(rows["small"][3]) == dropped
          and int(rows["small"][2]) == kept, f"small's outage: {rows['small']}")

    # A commit whose reply is lost: the batch is sent again and recognised, not written twice.
    cutter = CommitCutter(os.path.join(PG, ".s.PGSQL.5432"))
    cut_db = f"postgresql://postgres@127.0.0.1:{cutter.port}/pvcluster?sslmode=disable" \
             "&gssencmode=disable"
    log = open(os.path.join(tmp, "cut.log"), "w")
    cut = subprocess.Popen([args.server, "--db", cut_db, "--port", "0", "--instance", "cut",
                            "--threads", "1"], stdout=subprocess.PIPE, stderr=log, text=True)
    log.close()
    processes.append(cut)
    cut_port = listening_port(cut)
    CUT = "http://late.example/cut"
    cutter.armed.set()
    cut_sent = 40
    for _ in range(cut_sent):
        check(ask(cut_port, CUT) == "001", "answer through the cutting proxy")
    check(cutter.cut.wait(10), "the proxy cut a connection after its commit")
    recognised = wait_until(
        lambda: "not written again" in open(os.path.join(tmp, "cut.log")).read(), 15)
    cut_rows = int(psql(f"SELECT COUNT(*) FROM query_log WHERE address = '{CUT}'"))
    cut_top = psql(f"SELECT SUM(count) FROM top_hourly WHERE what = 0 AND key = '{CUT}'")
    print(f"lost commit reply: {cut_sent} queries, {cut_rows} logged, top count {cut_top}",
          flush=True)
    check(recognised, "the batch sent again was recognised")
    check(cut_rows == cut_sent and cut_top == str(cut_sent),
          f"after a lost commit reply: {cut_rows} rows, top {cut_top}, expected {cut_sent}")
    cut.terminate()
    cut.wait(10)
    cutter.close()

    # Started while the database is down: exits at once with the reason, or waits for it.
    subprocess.run([CTL, "stop"], check=True, capture_output=True, timeout=60)
    gone = subprocess.run([args.server, "--db", DB, "--port", "0"], capture_output=True,
                          text=True, timeout=30)
    check(gone.returncode != 0 and "cannot connect" in gone.stderr,
          f"start without the database: {gone.returncode} {gone.stderr!r}")
    waiting = start_instance("late", "--wait-for-db-s", "60")
    time.sleep(1.5)
    check(waiting.poll() is None, "a waiting instance exited")
    subprocess.run([CTL, "start"], check=True, capture_output=True, timeout=60)
    late_port = listening_port(waiting)
    check(late_port and ask(late_port, "http://late.example/") == "001",
          "the waiting instance answers from the database once it is up")

    # Another schema version is refused.
    psql("UPDATE meta SET value = '99' WHERE key = 'schema'")
    newer = subprocess.run([args.server, "--db", DB, "--port", "0"], capture_output=True,
                           text=True, timeout=30)
    check(newer.returncode != 0 and "newer" in newer.stderr, f"schema 99: {newer.stderr!r}")
finally:
    for proc in processes + ([nginx] if nginx else []):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
    if failures:
        for name in ("east", "west", "late"):
            path = os.path.join(tmp, name + ".log")
            if os.path.exists(path):
                print(f"--- {name}:", open(path).read()[-3000:])
    shutil.rmtree(tmp, ignore_errors=True)

if failures:
    print(f"{len(failures)} failures")
    sys.exit(1)
print("ok")
