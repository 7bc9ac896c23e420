#!/usr/bin/env python3
"""Benchmark of the administration console (not a test): page and API response times with
1,000,000 rules and 1,000,000 query-log records, and the query path's throughput under wrk
with the console idle and then in use, in one run. Loopback only; stops what it starts.

usage: console_bench.py BUILD_DIR   (bench preset: pvcheckd, pvcheckctl, pvconsole)
Knobs: PV_BENCH_RULES (1000000), PV_BENCH_LOG (1000000), PV_BENCH_SECONDS (10),
PV_BENCH_CONSOLE_RATE (console requests per second while "in use", 10; 0: as fast as it
answers), PV_BENCH_ROUNDS (3 rounds of idle and in use, alternating which runs first), PV_BENCH_ANCHOR (another pvcheckd, e.g. built from before the console existed, whose
throughput is measured on the same data beside this one's).
"""
import http.client
import json
import os
import random
import re
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RULES = int(os.environ.get("PV_BENCH_RULES", "1000000"))
LOG = int(os.environ.get("PV_BENCH_LOG", "1000000"))
SECONDS = int(os.environ.get("PV_BENCH_SECONDS", "10"))
RATE = float(os.environ.get("PV_BENCH_CONSOLE_RATE", "10"))
ANCHOR = os.environ.get("PV_BENCH_ANCHOR", "")
ROUNDS = int(os.environ.get("PV_BENCH_ROUNDS", "3"))
PASSWORD = "bench-admin-password"


def start(args):
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline()
    match = re.search(r"listening on (http://127\.0\.0\.1:(\d+))", line)
    if not match:
        proc.kill()
        raise SystemExit(f"{args[0]} did not start: {line!r}")
    return proc, int(match.group(2))


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def fill(db, ctl):
    """Rules through the store's own schema; the log and counters as pvcheckd writes them."""
    subprocess.run([ctl, "--db", db, "init"], check=True)
    subprocess.run([ctl, "--db", db, "account", "add", "bench", "--password", "bench"],
                   check=True, capture_output=True)
    subprocess.run([ctl, "--db", db, "log", "keep", str(LOG * 2)], check=True)
    subprocess.run([ctl, "--db", db, "admin", "add", "bench"], input=PASSWORD + "\n",
                   text=True, check=True, capture_output=True)
    rng = random.Random(7)
    con = sqlite3.connect(db)
    con.execute("BEGIN")
    con.executemany("INSERT INTO rules(scope, kind, key, action) VALUES(0, 'domain', ?, 'forbid')",
                    ((f"site{i}.{rng.choice(['com', 'net', 'org'])}",) for i in range(RULES)))
    now = int(time.time() * 1000)
    start_ms = now - 24 * 3600 * 1000
    accounts = [f"pupil{i}" for i in range(50)]
    rows = []
    for i in range(LOG):
        forbidden = rng.random() < 0.3
        n = rng.randrange(RULES if forbidden else 5000)
        rows.append((start_ms + i * (24 * 3600 * 1000) // LOG, rng.choice(accounts), 1,
                     f"http://www.site{n}.com/page/{rng.randrange(1000)}",
                     "001" if forbidden else "000",
                     "global domain" if forbidden else "default"))
    con.executemany("INSERT INTO query_log(time_ms, account, verified, address, verdict, reason) "
                    "VALUES(?, ?, ?, ?, ?, ?)", rows)
    hour = 3600 * 1000
    # The hourly tops as pvcheckd counts them: at most 1000 keys per hour and kind, the rest
    # of the hour's count under kind + 4.
    tops = {}
    for time_ms, account, _, address, verdict, reason in rows:
        keys = [(2, account), (3, reason)]
        if verdict == "001":
            keys += [(0, address), (1, address.split("/")[2])]
        for what, key in keys:
            hour_tops = tops.setdefault((what, time_ms - time_ms % hour), {})
            if key not in hour_tops and len(hour_tops) >= 1000:
                what, key, hour_tops = what + 4, "", tops.setdefault((what + 4, time_ms - time_ms % hour), {})
            hour_tops[key] = hour_tops.get(key, 0) + 1
    con.executemany("INSERT INTO top_hourly(what, start_ms, key, count) VALUES(?, ?, ?, ?)",
                    ((what, start, key, n) for (what, start), counts in tops.items()
                     for key, n in counts.items()))
    con.executemany("INSERT INTO counters_hourly VALUES(?, ?, ?)",
                    ((now - now % hour - h * hour, 40000 + h, 12000 + h) for h in range(30 * 24)))
    con.execute("UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE key = 'generation'")
    con.commit()
    con.close()


class Console:
    def __init__(self, port):
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        status, headers, body = self.call("POST", "/api/login", {"name": "bench", "password": PASSWORD})
        assert status == 200, body
        self.cookie = headers["set-cookie"].split(";")[0]
        self.csrf = json.loads(body)["csrf"]

    def call(self, method, path, body=None):
        headers = {"Content-Type": "application/json"}
        if getattr(self, "cookie", None):
            headers["Cookie"] = self.cookie
            headers["X-CSRF-Token"] = self.csrf
        self.conn.request(method, path, json.dumps(body) if body is not None else None, headers)
        res = self.conn.getresponse()
        data = res.read()
        return res.status, {k.lower(): v for k, v in res.getheaders()}, data

    def timed(self, path, method="GET", body=None):
        started = time.perf_counter()
        status, _, data = self.call(method, path, body)
        took = (time.perf_counter() - started) * 1000
        assert status == 200, (path, status, data[:200])
        return took, len(data)


def measure(console):
    now = int(time.time() * 1000)
    pages = [
        ("log page, newest 50", "/api/log?limit=50"),
        ("log page, account + verdict", "/api/log?account=pupil7&verdict=001&limit=50"),
        ("log page, address text", "/api/log?q=site12345&limit=50"),
        ("log page, 1 h range 12 h ago", f"/api/log?from={now - 13 * 3600000}&to={now - 12 * 3600000}&limit=50"),
        ("log page, far back (before=)", "/api/log?before=1000&limit=50"),
        ("rules page 1 (of 1,000,000)", "/api/rules?limit=50"),
        ("rules page at offset 500,000", "/api/rules?limit=50&offset=500000"),
        ("rules search", "/api/rules?q=site4242&limit=50"),
        ("accounts", "/api/accounts"),
        ("lists", "/api/lists"),
        ("audit page", "/api/audit?limit=50"),
        ("check tool (index cached)", "/api/check?account=bench&address=http://www.site77.com/x"),
        ("login page (static)", "/login"),
        ("app script (static)", "/static/app.js"),
    ]
    first = console.timed("/api/dashboard")[0]
    results = []
    # The first check (or rule search) after a change reads every rule into the check tool's
    # index and the rule texts.
    built = console.timed(pages[-7][1])[0]
    for name, path in pages:
        times = [console.timed(path)[0] for _ in range(7)]
        results.append((name, statistics.median(times), max(times)))
    # The dashboard keeps its answer for 2 s; each sample here is a fresh computation.
    cold = []
    for _ in range(5):
        time.sleep(2.1)
        cold.append(console.timed("/api/dashboard")[0])
    results.insert(0, ("dashboard, first (counts the whole window)", first, first))
    results.insert(1, ("dashboard, computed again 2 s later", statistics.median(cold), max(cold)))
    warm = [console.timed("/api/dashboard")[0] for _ in range(7)]
    results.insert(2, ("dashboard, within its 2 s reuse", statistics.median(warm), max(warm)))
    results.append(("rules search, first after a change (reads the rules)", built, built))
    took, size = console.timed("/api/log.csv?verdict=001")
    results.append((f"CSV export, 100,000 rows ({size / 1e6:.1f} MB)", took, took))
    return results


def wrk(base, urls, seconds):
    out = subprocess.run(["wrk", "-t1", "-c32", f"-d{seconds}s", "--timeout", "2s", "--latency",
                          "-s", os.path.join(HERE, "varied.lua"), base, "--", urls],
                         capture_output=True, text=True, check=True).stdout
    return dict(kv.split("=") for kv in re.search(r"^PVBENCH (.*)$", out, re.M).group(1).split())


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "../../build/bench")
    bin_dir = os.path.join(build, "checkingservice")
    tools = {n: os.path.join(bin_dir, n) for n in ("pvcheckd", "pvcheckctl", "pvconsole")}
    for path in tools.values():
        if not os.access(path, os.X_OK):
            raise SystemExit(f"missing {path} (build the bench preset first)")
    with tempfile.TemporaryDirectory(prefix="pvconsole-bench.") as work:
        db = os.path.join(work, "rules.db")
        print(f"== data: {RULES:,} rules, {LOG:,} query-log records, 30 days of counters")
        t = time.time()
        fill(db, tools["pvcheckctl"])
        print(f"   written in {time.time() - t:.1f} s")
        urls = os.path.join(work, "urls.txt")
        with open(urls, "w") as f:
            rng = random.Random(3)
            for _ in range(100000):
                f.write(f"http://www.site{rng.randrange(RULES * 2)}.com/x\n")
        service, service_port = start([tools["pvcheckd"], "--db", db, "--port", "0",
                                       "--threads", "1", "--quiet"])
        console_proc, console_port = start([tools["pvconsole"], "--db", db, "--port", "0"])
        try:
            base = f"http://127.0.0.1:{service_port}"
            wrk(base, urls, 2)  # warm-up: the account's password check, the index
            console = Console(console_port)
            print("== console response times (median and worst of the samples, ms)")
            for name, median, worst in measure(console):
                print(f"   {name:44s} {median:8.1f} {worst:8.1f}")

            print(f"== query path under wrk, {SECONDS} s each, 1 service thread, 32 connections,"
                  f" {ROUNDS} rounds alternating which side runs first")

            def with_console_load():
                stop_load = threading.Event()
                served = [0]

                def load():
                    c = Console(console_port)
                    paths = ["/api/dashboard", "/api/log?limit=50", "/api/log?verdict=001&limit=50",
                             "/api/rules?limit=50", "/api/audit?limit=50"]
                    i = 0
                    started = time.monotonic()
                    while not stop_load.is_set():
                        c.timed(paths[i % len(paths)])
                        i += 1
                        served[0] += 1
                        if RATE > 0:
                            stop_load.wait(max(0.0, started + i / RATE - time.monotonic()))
                loader = threading.Thread(target=load)
                loader.start()
                try:
                    r = wrk(base, urls, SECONDS)
                finally:
                    stop_load.set()
                    loader.join()
                r["console_rate"] = served[0] / SECONDS
                return r

            idle, busy = [], []
            for round_ in range(ROUNDS):
                sides = [("idle", lambda: wrk(base, urls, SECONDS)), ("in use", with_console_load)]
                if round_ % 2:
                    sides.reverse()
                for label, run in sides:
                    r = run()
                    (idle if label == "idle" else busy).append(r)
                    extra = f" ({r['console_rate']:.0f} console requests/s)" if "console_rate" in r else ""
                    print(f"   round {round_ + 1} console {label:7s} {float(r['qps']):9,.0f} queries/s"
                          f"  p50 {r['p50_ms']} ms  p99 {r['p99_ms']} ms  errors {r['errors']}{extra}")
            q_idle = [float(r["qps"]) for r in idle]
            q_busy = [float(r["qps"]) for r in busy]
            ratios = [b / i for i, b in zip(q_idle, q_busy)]
            print(f"   console idle   median {statistics.median(q_idle):9,.0f} queries/s"
                  f" [{min(q_idle):,.0f}-{max(q_idle):,.0f}]")
            print(f"   console in use median {statistics.median(q_busy):9,.0f} queries/s"
                  f" [{min(q_busy):,.0f}-{max(q_busy):,.0f}]")
            print(f"   ratio in use / idle per round: median {statistics.median(ratios):.2f}"
                  f" [{min(ratios):.2f}-{max(ratios):.2f}]")
        finally:
            stop(console_proc)
            stop(service)
        if ANCHOR:
            # The same data, the same load, the service as it was: what the counters and
            # health reports cost the query path.
            anchor, port = start([ANCHOR, "--db", db, "--port", "0", "--threads", "1", "--quiet"])
            try:
                wrk(f"http://127.0.0.1:{port}", urls, 2)
                r = wrk(f"http://127.0.0.1:{port}", urls, SECONDS)
            finally:
                stop(anchor)
            print(f"   {'anchor pvcheckd, no console':34s} {float(r['qps']):9,.0f} queries/s  "
                  f"p50 {r['p50_ms']} ms  p99 {r['p99_ms']} ms  errors {r['errors']}")
            service, port = start([tools["pvcheckd"], "--db", db, "--port", "0", "--threads", "1",
                                   "--quiet"])
            try:
                wrk(f"http://127.0.0.1:{port}", urls, 2)
                r = wrk(f"http://127.0.0.1:{port}", urls, SECONDS)
            finally:
                stop(service)
            print(f"   {'this pvcheckd, no console':34s} {float(r['qps']):9,.0f} queries/s  "
                  f"p50 {r['p50_ms']} ms  p99 {r['p99_ms']} ms  errors {r['errors']}")


if __name__ == "__main__":
    main()
