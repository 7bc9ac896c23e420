#!/usr/bin/env python3
"""A tiny checking service on the loopback interface, for tests and the demo.

It answers the filter's queries

    <checking address>?log=<name>&pwd=<password>&url=<address>

with scripted bodies ("001" forbids, "004<new address>" relocates, anything else allows), logs
every raw request line it receives, and never lets a client cache an answer (Cache-Control:
no-store), because a cached verdict would hide what the filter really sent.

Usage:
    checking_service.py [--port 0] [--port-file F] [--log F] [--rules F.json]
                        [--default BODY] [--forbid URL]... [--relocate PATH=ADDRESS]...
                        [--lifetime SECONDS]

Port 0 picks a free port; the chosen port is printed on stdout as "port <n>" and, with
--port-file, written to that file (atomically, so a reader never sees half a number).
The service exits by itself after --lifetime seconds (default 300), and cleanly on SIGTERM/SIGINT.

Rules (JSON file, re-read whenever it changes, so a test can change the answers while the
service runs):

    {
      "default": {"body": "000", "status": 200},
      "rules": [
        {"url": "http://bad.example/", "body": "001"},
        {"path": "/old/checker", "body": "004http://127.0.0.1:{port}/new/checker"},
        {"log": "kid", "url_prefix": "http://games.", "body": "001"},
        {"path": "/broken", "status": 500, "body": "<html>Internal error</html>",
         "content_type": "text/html"},
        {"url": "http://slow.example/", "delay": 2.0, "body": "000", "times": 1}
      ]
    }

A rule matches when every key it names matches the query: "path" (the request path before the
first "?"), "log", "pwd", "url" (exact), "url_prefix", "query" (the whole text after the first "?").
The first matching rule answers; "times" limits how often a rule may answer. "{port}" in a body
stands for the service's own port. Bodies are sent as Latin-1, so "\\u0000" puts a NUL byte in a
reply. The command-line shortcuts add rules after those of the file.

Query parsing follows the filter's own (unescaped) format: log is the text between "log=" and the
first "&pwd=", pwd the text up to the next "&url=", url everything after it, "&" included.
"""

import argparse
import json
import os
import signal
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def parse_query(target):
    """Splits a request target into (path, query, log, pwd, url); missing parts are None."""
    path, sep, query = target.partition("?")
    if not sep:
        return path, None, None, None, None
    log = pwd = url = None
    if query.startswith("log="):
        log, sep, rest = query[4:].partition("&pwd=")
        if sep:
            pwd, sep, rest = rest.partition("&url=")
            if sep:
                url = rest
    return path, query, log, pwd, url


class Rules:
    """The scripted answers: file rules (reloaded on change) followed by command-line rules."""

    def __init__(self, path, extra, default):
        self.path = path
        self.extra = extra
        self.default = default
        self.file_rules = []
        self.file_default = None
        self.mtime = None
        self.counts = {}
        self.lock = threading.Lock()

    def _reload(self):
        if not self.path:
            return
        try:
            st = os.stat(self.path)
        except OSError:
            return
        stamp = (st.st_mtime_ns, st.st_size)
        if stamp == self.mtime:
            return
        try:
            with open(self.path, encoding="utf-8") as f:
                data = json.load(f)
        except (OSError, ValueError) as e:
            print(f"checking_service: rules not loaded: {e}", file=sys.stderr)
            return
        self.mtime = stamp
        self.file_rules = list(data.get("rules", []))
        self.file_default = data.get("default")
        self.counts = {}

    def answer(self, path, query, log, pwd, url):
        with self.lock:
            self._reload()
            for index, rule in enumerate(self.file_rules + self.extra):
                if not self._matches(rule, path, query, log, pwd, url):
                    continue
                times = rule.get("times")
                used = self.counts.get(index, 0)
                if times is not None and used >= times:
                    continue
                self.counts[index] = used + 1
                return rule
            return self.file_default or self.default

    @staticmethod
    def _matches(rule, path, query, log, pwd, url):
        checks = {"path": path, "query": query, "log": log, "pwd": pwd, "url": url}
        for key, value in checks.items():
            if key in rule and rule[key] != value:
                return False
        if "url_prefix" in rule and not (url or "").startswith(rule["url_prefix"]):
            return False
        return True


class Handler(BaseHTTPRequestHandler):
    server_version = "CheckingService/1"
    protocol_version = "HTTP/1.0"

    def _log_request_line(self):
        line = self.raw_requestline.rstrip(b"\r\n").decode("latin-1")
        log = self.server.request_log
        if log:
            with self.server.log_lock:
                with open(log, "a", encoding="latin-1", newline="\n") as f:
                    f.write(line + "\n")
        if self.server.echo:
            print(f"request {line}", flush=True)

    def parse_request(self):
        # Logged before parsing, so even a line the parser rejects is on record.
        self._log_request_line()
        # The filter escapes nothing, so a blank in a value reaches us as a blank in the target;
        # accept it instead of answering 400, and keep the target exactly as sent.
        line = self.raw_requestline.rstrip(b"\r\n").decode("latin-1")
        words = line.split(" ")
        if len(words) > 3 and words[-1].startswith("HTTP/"):
            target = " ".join(words[1:-1])
            self.raw_requestline = f"{words[0]} /blank {words[-1]}\r\n".encode("latin-1")
            if not super().parse_request():
                return False
            self.path = target
            return True
        return super().parse_request()

    def _answer(self, send_body):
        path, query, log, pwd, url = parse_query(self.path)
        rule = self.server.rules.answer(path, query, log, pwd, url)
        delay = float(rule.get("delay", 0))
        if delay > 0:
            time.sleep(min(delay, 60.0))
        body = str(rule.get("body", "")).replace("{port}", str(self.server.server_port))
        data = body.encode("latin-1", errors="replace")
        status = int(rule.get("status", 200))
        self.send_response(status)
        self.send_header("Content-Type", rule.get("content_type", "text/plain"))
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store, no-cache, max-age=0")
        self.send_header("Pragma", "no-cache")
        self.send_header("Expires", "0")
        self.send_header("Connection", "close")
        self.end_headers()
        if send_body:
            self.wfile.write(data)

    def do_GET(self):
        self._answer(True)

    def do_HEAD(self):
        self._answer(False)

    def log_message(self, format, *args):
        pass


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bind", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--log", help="file the raw request lines are appended to")
    ap.add_argument("--rules", help="JSON rules file (re-read when it changes)")
    ap.add_argument("--default", default="000", help="body for queries no rule matches")
    ap.add_argument("--forbid", action="append", default=[], metavar="URL",
                    help="answer 001 for this navigation address")
    ap.add_argument("--relocate", action="append", default=[], metavar="PATH=ADDRESS",
                    help="answer 004ADDRESS to queries on this path")
    ap.add_argument("--lifetime", type=float, default=300.0,
                    help="seconds after which the service exits by itself")
    ap.add_argument("--quiet", action="store_true", help="do not echo request lines on stdout")
    args = ap.parse_args(argv)

    extra = [{"url": u, "body": "001"} for u in args.forbid]
    for spec in args.relocate:
        path, sep, address = spec.partition("=")
        if not sep:
            ap.error(f"--relocate needs PATH=ADDRESS, got {spec!r}")
        extra.append({"path": path, "body": "004" + address})

    server = ThreadingHTTPServer((args.bind, args.port), Handler)
    server.daemon_threads = True
    server.rules = Rules(args.rules, extra, {"body": args.default, "status": 200})
    server.request_log = args.log
    server.log_lock = threading.Lock()
    server.echo = not args.quiet
    port = server.server_port

    if args.log:
        open(args.log, "a").close()
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(f"{port}\n")
        os.replace(tmp, args.port_file)
    print(f"port {port}", flush=True)

    def stop(*_):
        # shutdown() waits for serve_forever, so it must run off the serving thread.
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    timer = threading.Timer(args.lifetime, stop)
    timer.daemon = True
    timer.start()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        timer.cancel()
        server.server_close()
        if args.port_file:
            try:
                os.remove(args.port_file)
            except OSError:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
