#!/usr/bin/env python3
"""Two pvcheckd instances on one PostgreSQL behind nginx on loopback (run by with_postgres.sh):
a change reaches both within a second, the query log names each instance, the database
stopped and started under traffic fails no query and loses no log record, an instance
started without the database waits or exits as told, and a database of another schema
version is refused."""
import argparse
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
    ports = [listening_port(a), listening_port(b)]
    assert all(ports), f"instances did not start: {ports}"

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
    time.sleep(3)
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
    instances = psql("SELECT string_agg(DISTINCT instance, ',' ORDER BY instance) FROM query_log")
    check(instances == "east,west", f"query-log instances: {instances}")

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
