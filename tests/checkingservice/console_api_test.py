#!/usr/bin/env python3
"""The console's JSON API over HTTP against the real pvconsole, pvcheckd and pvcheckctl:
sessions and CSRF everywhere, login limits, validation, changes reaching the service, the
audit trail, imports, the query log and the dashboard's counters."""
import argparse
import statistics
import sys
import time
import unittest

import console_harness as h

GETS = ["/api/session", "/api/dashboard", "/api/accounts", "/api/rules", "/api/lists",
        "/api/lists/entries?name=x", "/api/lists/import/status?job=x", "/api/check?address=x",
        "/api/log", "/api/log.csv", "/api/audit"]
POSTS = ["/api/logout", "/api/accounts/add", "/api/accounts/remove", "/api/accounts/password",
         "/api/accounts/policy", "/api/accounts/move", "/api/accounts/stay", "/api/rules/add",
         "/api/rules/remove", "/api/lists/create", "/api/lists/remove", "/api/lists/rename",
         "/api/lists/entries/add", "/api/lists/entries/delete", "/api/lists/attach",
         "/api/lists/detach", "/api/lists/import?name=x", "/api/lists/import/cancel"]


class ConsoleApiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.setup = h.Setup(["--name-failures", "50", "--client-failures", "500"])
        cls.client = h.Client(cls.setup.console.port)
        status, headers, _ = cls.client.login()
        assert status == 200, status

    @classmethod
    def tearDownClass(cls):
        cls.setup.close()

    def audit_count(self):
        return len(self.client.get("/api/audit", limit=1000)[2]["rows"])

    def test_sessions_guard_everything_but_the_login_page(self):
        anonymous = h.Client(self.setup.console.port)
        for path in GETS:
            self.assertEqual(anonymous.get(path)[0], 401, path)
        for path in POSTS:
            self.assertEqual(anonymous.post(path, {})[0], 401, path)
        status, headers, _ = anonymous.get("/")
        self.assertEqual((status, headers["location"]), (303, "/login"))
        self.assertEqual(anonymous.get("/login")[0], 200)
        self.assertEqual(anonymous.get("/static/chart.min.js")[0], 200)
        # A page whose name was rebound to this address reaches nothing, not even the login.
        for host in ("evil.example", "evil.example:%d" % self.setup.console.port, ""):
            self.assertEqual(anonymous.request("GET", "/login", headers={"Host": host})[0], 421, host)
        for method in ("PUT", "DELETE", "TRACE", "OPTIONS"):
            status, headers, _ = anonymous.request(method, "/api/accounts")
            self.assertEqual((status, headers.get("allow")), (405, "GET, HEAD, POST"), method)
        for host in ("localhost:1", "[::1]:2", "127.0.0.2"):
            self.assertEqual(anonymous.request("GET", "/login", headers={"Host": host})[0], 200, host)
        anonymous.cookie = "pvconsole=" + "0" * 64  # a made-up token
        self.assertEqual(anonymous.get("/api/session")[0], 401)

        other = h.Client(self.setup.console.port)
        status, _, _ = other.request("POST", "/api/login", raw=b'{"name": "boss", "password": '
                                     b'"correct horse"}', headers={"Content-Type": "text/plain"})
        self.assertEqual((status, other.cookie), (415, ""))  # what a cross-site form can send
        big = b'{"name": "' + b"x" * 100000 + b'", "password": "x"}'
        self.assertEqual(other.request("POST", "/api/login", raw=big,
                                       headers={"Content-Type": "application/json"})[0], 413)
        status, headers, body = other.login()
        cookie = headers["set-cookie"]
        for attribute in ("HttpOnly", "SameSite=Strict", "Path=/"):
            self.assertIn(attribute, cookie)
        self.assertNotIn("Secure", cookie)  # plain HTTP on loopback here
        self.assertEqual(other.get("/api/session")[2]["name"], h.ADMIN_NAME)
        self.assertEqual(other.post("/api/logout")[0], 200)
        other.cookie = cookie.split(";")[0]  # the old cookie is dead on the server too
        self.assertEqual(other.get("/api/session")[0], 401)

    def test_administrators_from_the_command_line(self):
        db = self.setup.db
        refused = h.ctl(db, "admin", "add", "eve", "--password", "long enough", check=False)
        self.assertEqual(refused.returncode, 2)  # never a password on the command line
        self.assertEqual(h.ctl(db, "admin", "add", "eve", stdin="short\n", check=False).returncode, 2)
        h.ctl(db, "admin", "add", "eve", "--cost", "minimum", stdin="long enough\n")
        self.assertIn("eve", h.ctl(db, "admin", "list").stdout)
        self.assertNotIn("pupil", h.ctl(db, "admin", "list").stdout)  # accounts are not admins
        eve = h.Client(self.setup.console.port)
        self.assertEqual(eve.login("eve", "long enough")[0], 200)
        self.assertEqual(eve.login("pupil", "demo")[0], 401)
        h.ctl(db, "admin", "remove", "eve")
        self.assertEqual(eve.get("/api/session")[0], 401)  # removal ends the sessions
        trail = self.client.get("/api/audit", actor="command line", q="eve")[2]["rows"]
        self.assertEqual([r["action"] for r in trail], ["admin.remove", "admin.add"])

    def test_changes_need_the_csrf_token(self):
        before = self.audit_count()
        for headers in ({}, {"X-CSRF-Token": "wrong"}, {"X-CSRF-Token": ""}):
            status, _, body = self.client.request(
                "POST", "/api/accounts/add", {"name": "csrf", "policy": "allow"}, headers=headers)
            self.assertEqual(status, 403)
            self.assertIn("CSRF", body["error"])
        names = [a["name"] for a in self.client.get("/api/accounts")[2]]
        self.assertNotIn("csrf", names)
        self.assertEqual(self.audit_count(), before)

    def test_every_bad_input_is_named_and_changes_nothing(self):
        self.client.post("/api/lists/create", {"name": "vl"})
        before = self.audit_count()
        cases = [
            ("/api/accounts/add", {"name": "", "policy": "allow"}, "name"),
            ("/api/accounts/add", {"name": "a&b", "policy": "allow"}, "name"),
            ("/api/accounts/add", {"name": "a b", "policy": "allow"}, "name"),
            ("/api/accounts/add", {"name": "*", "policy": "allow"}, "name"),
            ("/api/accounts/add", {"name": "pupil", "policy": "allow"}, "name"),
            ("/api/accounts/add", {"name": "ok", "password": "p#w", "policy": "allow"}, "password"),
            ("/api/accounts/add", {"name": "ok", "policy": "maybe"}, "policy"),
            ("/api/accounts/add", {"name": 5, "policy": "allow"}, "name"),
            ("/api/accounts/password", {"name": "pupil", "password": ""}, "password"),
            ("/api/accounts/password", {"name": "nobody", "password": "x"}, "name"),
            ("/api/accounts/move", {"name": "pupil", "address": "ftp://x.example/"}, "address"),
            ("/api/accounts/move", {"name": "pupil", "address": "/relative"}, "address"),
            ("/api/accounts/move", {"name": "pupil", "address": "http://x.example/" + "a" * 300},
             "address"),
            ("/api/accounts/remove", {"name": "*"}, "name"),
            ("/api/rules/add", {"scope": "global", "action": "forbid", "kind": "exact",
                                "pattern": "no-scheme.example"}, "pattern"),
            ("/api/rules/add", {"scope": "global", "action": "forbid", "kind": "domain",
                                "pattern": "  "}, "pattern"),
            ("/api/rules/add", {"scope": "global", "action": "forbid", "kind": "regex",
                                "pattern": "x"}, "kind"),
            ("/api/rules/add", {"scope": "account", "account": "nobody", "action": "forbid",
                                "kind": "host", "pattern": "x.example"}, "account"),
            ("/api/rules/add", {"scope": "everyone", "action": "forbid", "kind": "host",
                                "pattern": "x.example"}, "scope"),
            ("/api/rules/remove", {"scope": "global", "kind": "host", "pattern": "absent.example"},
             "pattern"),
            ("/api/lists/create", {"name": ""}, "name"),
            ("/api/lists/create", {"name": "vl"}, "name"),
            ("/api/lists/create", {"name": "a\nb"}, "name"),
            ("/api/lists/rename", {"name": "vl", "new_name": ""}, "new_name"),
            ("/api/lists/rename", {"name": "absent", "new_name": "x"}, "name"),
            ("/api/lists/attach", {"name": "vl", "scope": "global", "action": "block"}, "action"),
            ("/api/lists/detach", {"name": "vl", "scope": "global"}, "scope"),
            ("/api/lists/entries/add", {"name": "vl", "kind": "prefix", "pattern": ""}, "pattern"),
        ]
        for path, body, field in cases:
            with self.subTest(path=path, body=body):
                status, _, answer = self.client.post(path, body)
                self.assertEqual(status, 400)
                self.assertIn(field, answer.get("fields", {}), answer)
                self.assertTrue(answer["fields"][field])
        status, _, answer = self.client.post("/api/accounts/add", raw=b"not json")
        self.assertEqual(status, 400)
        for params, field in ((dict(verdict="002"), "verdict"), (dict(to=5, **{"from": 10}), "to"),
                              (dict(limit="ten"), "limit")):
            self.assertIn(field, self.client.get("/api/log", **params)[2]["fields"])
        self.assertIn("address", self.client.get("/api/check", account="pupil")[2]["fields"])
        for path in ("/api/log", "/api/audit"):  # a page of none is empty, not a crash
            self.assertEqual(self.client.get(path, limit=0)[2]["next_before"], 0)
        self.assertEqual(self.audit_count(), before)

    def test_changes_reach_the_service_and_the_audit_trail(self):
        s, c = self.setup, self.client
        self.assertEqual(s.ask("kid2", "pw2", "http://games.example/"), "000")
        self.assertEqual(c.post("/api/accounts/add",
                                {"name": "kid2", "password": "pw2", "policy": "allow"})[0], 200)
        self.assertEqual(c.post("/api/rules/add", {"scope": "account", "account": "kid2",
                                                   "action": "forbid", "kind": "domain",
                                                   "pattern": "*.Games.example"})[0], 200)
        h.wait_for(lambda: s.ask("kid2", "pw2", "http://www.games.example/") == "001",
                   "the rule to reach pvcheckd")
        self.assertEqual(s.ask("kid2", "wrong", "http://www.games.example/"), "000")
        check = c.get("/api/check", account="kid2", address="http://www.games.example/x")[2]
        self.assertEqual((check["reply"], check["reason"]), ("001", "account domain"))
        rules = c.get("/api/rules", scope="account", account="kid2")[2]
        self.assertEqual(rules["total"], 1)
        self.assertEqual(rules["rules"][0]["key"], "games.example")
        self.assertIn("own rule", rules["rules"][0]["precedence"])

        c.post("/api/accounts/move", {"name": "kid2", "address": "http://other.example/c"})
        h.wait_for(lambda: s.ask("kid2", "pw2", "http://a.example/") == "004http://other.example/c",
                   "the move")
        c.post("/api/accounts/stay", {"name": "kid2"})
        c.post("/api/accounts/password", {"name": "kid2", "password": "new"})
        h.wait_for(lambda: s.ask("kid2", "new", "http://www.games.example/") == "001",
                   "the new password")
        h.ctl(s.db, "rule", "add", "--global", "forbid", "host", "cli.example")

        trail = c.get("/api/audit", actor=h.ADMIN_NAME, q="kid2")[2]["rows"]
        actions = [r["action"] for r in trail]
        self.assertEqual(actions[:5], ["account.password", "account.stay", "account.move",
                                       "rule.add", "account.add"])
        move = trail[2]
        self.assertEqual(move["before"], "policy allow, password")
        self.assertEqual(move["after"], "policy allow, password, moved to http://other.example/c")
        self.assertNotIn("new", trail[0]["after"])  # never the password
        cli = c.get("/api/audit", actor="command line", q="cli.example")[2]["rows"]
        self.assertEqual(len(cli), 1)
        self.assertEqual(cli[0]["after"], "forbid host cli.example")

    def test_check_names_the_deciding_rule_by_precedence(self):
        c = self.client
        c.post("/api/accounts/add", {"name": "prec", "password": "pw", "policy": "allow"})
        for scope, account, action, kind, pattern in [
                ("global", "", "forbid", "domain", "casino.example"),
                ("account", "prec", "allow", "prefix", "casino.example/help/"),
                ("account", "prec", "forbid", "prefix", "casino.example/"),
                ("global", "", "allow", "host", "www.school.example")]:
            self.assertEqual(c.post("/api/rules/add", {"scope": scope, "account": account,
                                                       "action": action, "kind": kind,
                                                       "pattern": pattern})[0], 200)
        c.post("/api/lists/create", {"name": "blocked list"})
        for pattern in ("school.example", "b.school.example"):
            c.post("/api/lists/entries/add", {"name": "blocked list", "kind": "domain",
                                              "pattern": pattern})
        c.post("/api/lists/attach", {"name": "blocked list", "scope": "global", "account": "",
                                     "action": "forbid"})

        def rule(account, address):
            r = c.get("/api/check", account=account, address=address)[2]
            return r["reply"], r["rule"] and (r["rule"]["scope"], r["rule"]["account"] or
                                              r["rule"]["list"], r["rule"]["action"],
                                              r["rule"]["kind"], r["rule"]["pattern"])
        self.assertEqual(rule("prec", "http://CASINO.example:80/help/x?y"), ("000", (
            "account", "prec", "allow", "prefix", "casino.example/help/")))
        self.assertEqual(rule("prec", "https://casino.example/play"), ("001", (
            "account", "prec", "forbid", "prefix", "casino.example/")))
        self.assertEqual(rule("nobody", "http://x.casino.example/help/"), ("001", (
            "global", None, "forbid", "domain", "casino.example")))
        self.assertEqual(rule("prec", "http://www.school.example/"), ("000", (
            "global", None, "allow", "host", "www.school.example")))
        self.assertEqual(rule("prec", "http://a.b.school.example/"), ("001", (
            "list", "blocked list", "forbid", "domain", "b.school.example")))
        self.assertEqual(rule("prec", "http://elsewhere.example/"), ("000", None))

        # The rules page's search: substrings without regard to ASCII case, in the store's
        # order, by scope, paged.
        c.post("/api/rules/add", {"scope": "account", "account": "prec", "action": "forbid",
                                  "kind": "exact", "pattern": "http://casino.example/Help?x"})
        def search(**params):
            page = c.get("/api/rules", **params)[2]
            return page["total"], [(r["account"], r["kind"], r["key"]) for r in page["rules"]]
        self.assertEqual(search(q="HELP"), (2, [
            ("prec", "exact", "http://casino.example/Help?x"),
            ("prec", "prefix", "casino.example/help/")]))
        self.assertEqual(search(q="casino", scope="global"), (1, [("", "domain", "casino.example")]))
        self.assertEqual(search(q="casino", offset=1, limit=2), (4, [
            ("prec", "exact", "http://casino.example/Help?x"),
            ("prec", "prefix", "casino.example/")]))
        self.assertEqual(search(q="%"), (0, []))
        self.assertEqual(c.get("/api/rules", q="x", scope="account", account="nobody")[0], 400)

    def test_import_reports_bad_lines_refuses_binaries_and_cancels_whole(self):
        c = self.client
        c.post("/api/lists/create", {"name": "imp"})
        text = "# comment\nbad.example\nhost:www.x.example\nexact:not-absolute\nfine.example\n"
        status, _, body = c.post("/api/lists/import?name=imp&kind=domain", raw=text.encode())
        self.assertEqual(status, 200)
        job = body["job"]
        h.wait_for(lambda: c.get("/api/lists/import/status", job=job)[2]["state"] == "done",
                   "the import")
        done = c.get("/api/lists/import/status", job=job)[2]
        self.assertEqual(done["added"], 3)
        self.assertEqual([p["line"] for p in done["problems"]], [4])
        entries = c.get("/api/lists/entries", name="imp", q="example")[2]
        self.assertEqual(entries["total"], 3)

        for data in (b"\x00\x01binary", b"caf\xe9.example\n", b""):
            status, _, body = c.post("/api/lists/import?name=imp", raw=data)
            self.assertEqual(status, 400)
            self.assertIn("file", body["fields"])

        big = "".join(f"d{i}.example\n" for i in range(400000)).encode()
        status, _, body = c.post("/api/lists/import?name=imp", raw=big)
        self.assertEqual(status, 200)
        c.post("/api/lists/import/cancel", {"job": body["job"]})
        h.wait_for(lambda: c.get("/api/lists/import/status", job=body["job"])[2]["state"]
                   not in ("parsing", "writing"), "the cancelled import", timeout=60)
        self.assertEqual(c.get("/api/lists/import/status", job=body["job"])[2]["state"],
                         "cancelled")
        self.assertEqual(c.get("/api/lists/entries", name="imp")[2]["total"], 3)

    def test_query_log_filters_and_csv_and_dashboard_counters(self):
        s, c = self.setup, self.client
        h.ctl(s.db, "rule", "add", "--global", "forbid", "host", "logbad.example")
        time.sleep(0.3)
        for i in range(3):
            s.ask("pupil", "demo", f"http://logbad.example/{i}")
        h.wait_for(lambda: len(c.get("/api/log", q="logbad.example")[2]["rows"]) == 3,
                   "the log records")
        rows = c.get("/api/log", account="pupil", verdict="001", q="logbad", limit=2)[2]
        self.assertEqual(len(rows["rows"]), 2)
        self.assertTrue(all(r["verdict"] == "001" and r["reason"] == "global host"
                            for r in rows["rows"]))
        older = c.get("/api/log", account="pupil", verdict="001", q="logbad",
                      before=rows["next_before"])[2]["rows"]
        self.assertEqual([r["address"] for r in older], ["http://logbad.example/0"])
        future = int(time.time() * 1000) + 3600_000
        self.assertEqual(c.get("/api/log", **{"from": future})[2]["rows"], [])

        status, headers, csv = c.get("/api/log.csv", q="example/")
        self.assertEqual(status, 200)
        self.assertIn("text/csv", headers["content-type"])
        lines = csv.decode().splitlines()
        self.assertEqual(lines[0], "time,account,verified,address,verdict,reason")
        self.assertIn('"pupil",yes,"http://logbad.example/2",001,"global host"', csv.decode())

        h.wait_for(lambda: sum(r["queries"] for r in c.get("/api/dashboard")[2]["hourly"]) >= 4,
                   "the hourly counters")
        d = c.get("/api/dashboard")[2]
        self.assertEqual(len(d["hourly"]), 24)
        self.assertEqual(len(d["daily"]), 30)
        self.assertGreaterEqual(d["hourly"][-1]["forbidden"], 3)
        def logbad():
            hosts = c.get("/api/dashboard")[2]["top"]["forbidden_hosts"]
            return sum(t["count"] for t in hosts if t["key"] == "logbad.example")
        self.assertEqual(logbad(), 3)
        s.ask("pupil", "demo", "http://logbad.example/again")  # counted on top of the last count
        h.wait_for(lambda: logbad() == 4, "the tops to follow the log")
        h.wait_for(lambda: c.get("/api/dashboard")[2]["health"]["instances"], "a health report",
                   timeout=15)
        instance = c.get("/api/dashboard")[2]["health"]["instances"][0]
        self.assertTrue(instance["reporting"])
        self.assertEqual((instance["state"], instance["last_outage"]), ("answering", None))
        self.assertGreater(instance["generation"], 0)
        self.assertEqual(instance["slow_check_budget"], 10)  # pvcheckd's default --verify-rate
        # Rows as an instance leaves them: one whose database went away a minute ago (its row
        # stops), and one that stopped after an outage it recorded once the database was back.
        now = int(time.time() * 1000)
        h.sql(s.db, "INSERT INTO service_health(instance, time_ms, started_ms, generation, "
              "loaded_ms, rules, qps, dropped, slow_per_second, slow_budget, slow_refused, "
              "outage_since_ms, outage_ms, outage_buffered, outage_dropped, stopped_ms) VALUES"
              f"('lost', {now - 60000}, 1, 1, 1, 1, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0),"
              f"('ended', {now - 1000}, 1, 1, 1, 1, 0, 2, 0, 10, 0, {now - 90000}, 30500, 12, 2,"
              f" {now - 1000})")
        def rows():
            return {i["instance"]: i for i in c.get("/api/dashboard")[2]["health"]["instances"]}
        h.wait_for(lambda: "ended" in rows(), "the dashboard to read the rows again")
        health = rows()
        self.assertEqual((health["lost"]["state"], health["lost"]["reporting"]),
                         ("not reporting", False))
        self.assertEqual(health["ended"]["state"], "stopped")
        self.assertEqual(health["ended"]["last_outage"],
                         {"since": now - 90000, "seconds": 30, "buffered": 12, "dropped": 2})


class ConsoleLoginLimitTest(unittest.TestCase):
    """A console of its own with small limits and an administrator of real hashing cost."""

    @classmethod
    def setUpClass(cls):
        cls.setup = h.Setup(["--name-failures", "3", "--client-failures", "12"],
                            admin_cost="interactive")

    @classmethod
    def tearDownClass(cls):
        cls.setup.close()

    def test_unknown_names_and_wrong_passwords_look_alike_then_limits_apply(self):
        c = h.Client(self.setup.console.port)
        unknown, wrong = [], []
        for i in range(4):
            for name, times in ((f"ghost{i}", unknown), (h.ADMIN_NAME if i < 2 else f"x{i}", wrong)):
                started = time.monotonic()
                status, _, body = c.login(name, "not it")
                times.append(time.monotonic() - started)
                self.assertEqual((status, body), (401, {"error": "wrong name or password"}))
        # The same slow hash is spent either way; a skipped hash would be ten times faster.
        self.assertGreater(statistics.median(unknown), 0.4 * statistics.median(wrong[:2]))

        c.login(h.ADMIN_NAME, "not it")  # the third failure for this name
        status, headers, body = c.login()  # now even the right password waits
        self.assertEqual(status, 429)
        self.assertIn("too many failed logins", body["error"])
        self.assertGreater(int(headers["retry-after"]), 0)
        for i in range(3):  # past 12 failures from this address, every name waits
            c.login(f"other{i}", "x")
        self.assertEqual(c.login("fresh", "x")[0], 429)


def main():
    parser = argparse.ArgumentParser()
    for name in ("pvcheckd", "pvcheckctl", "pvconsole"):
        parser.add_argument("--" + name, required=True)
    args, rest = parser.parse_known_args()
    h.PROGRAMS.update(vars(args))
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
