#!/usr/bin/python3
"""The console in a real headless Chromium driven over WebDriver, against the real pvconsole
and pvcheckd: one administrator's session from login to logout, a screenshot of each page.
Debian's python3-selenium loads in /usr/bin/python3."""
import argparse
import os
import sys
import tempfile
import time
import unittest
import urllib.parse

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

import console_harness as h

SHOTS = None
WAIT = 20


class ConsoleBrowserTest(unittest.TestCase):
    """The steps run in name order and share one browser, as one person's visit would."""

    @classmethod
    def setUpClass(cls):
        cls.setup = h.Setup()
        cls.profile = tempfile.TemporaryDirectory()
        try:
            options = webdriver.ChromeOptions()
            options.binary_location = "/usr/bin/chromium"
            for flag in ("--headless", "--no-sandbox", "--disable-gpu",
                         "--disable-background-networking", "--disable-component-update",
                         "--disable-sync", "--no-first-run", "--window-size=1280,1000",
                         f"--user-data-dir={cls.profile.name}"):
                options.add_argument(flag)
            cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"),
                                          options=options)
            cls.driver.set_page_load_timeout(WAIT)
            cls.driver.set_script_timeout(WAIT)
        except BaseException:
            cls.setup.close()
            cls.profile.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.driver.quit()
        finally:
            cls.setup.close()
            cls.profile.cleanup()

    # -- helpers --
    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def until(self, condition, what):
        return WebDriverWait(self.driver, WAIT).until(lambda d: condition(), message=what)

    def at_login(self):
        return urllib.parse.urlparse(self.driver.current_url).path == "/login"

    def text_of(self, css):
        return self.find(css).text

    def shot(self, name):
        os.makedirs(SHOTS, exist_ok=True)
        self.assertTrue(self.driver.save_screenshot(os.path.join(SHOTS, name + ".png")))

    def open_page(self, name):
        self.driver.get(self.setup.base + "/#" + name)
        self.until(lambda: self.driver.execute_script(
            "return document.body.dataset.page") == name, f"the {name} page")

    def fill(self, form, **values):
        for field, value in values.items():
            element = self.find(f"#{form} [name={field}]")
            if element.tag_name == "select":
                select = Select(element)
                if any(o.get_attribute("value") == value and o.get_attribute("outerHTML")
                       .find("value=") > 0 for o in select.options):
                    select.select_by_value(value)
                else:
                    select.select_by_visible_text(value)
            else:
                element.clear()
                element.send_keys(value)

    def submit(self, form):
        self.find(f"#{form} button:not([type=button])").click()

    def field_error(self, form, field):
        return self.text_of(f'#{form} .err[data-for="{field}"]')

    # -- the visit --
    def test_1_login_refuses_a_wrong_password_then_lets_in(self):
        self.driver.get(self.setup.base + "/#accounts")
        self.until(self.at_login, "the login page")
        self.fill("login-form", name=h.ADMIN_NAME, password="wrong")
        self.submit("login-form")
        self.until(lambda: self.text_of("#login-error") == "wrong name or password",
                   "the refusal")
        self.shot("login")
        self.fill("login-form", password=h.ADMIN_PASSWORD)
        self.submit("login-form")
        self.until(lambda: self.driver.execute_script("return document.body.dataset.page")
                   == "dashboard", "the dashboard")
        self.assertEqual(self.text_of("#who"), h.ADMIN_NAME)

    def test_2_account_and_rule_change_the_services_answer(self):
        self.open_page("accounts")
        self.fill("account-add", name="bad name", password="pw")
        self.submit("account-add")
        self.until(lambda: "cannot travel" in self.field_error("account-add", "name"),
                   "the message next to the name")
        self.fill("account-add", name="kid", password="pw")
        self.submit("account-add")
        self.until(lambda: "kid" in self.text_of("#accounts-table"), "the new account")
        self.assertEqual(self.field_error("account-add", "name"), "")
        self.shot("accounts")

        self.assertEqual(self.setup.ask("kid", "pw", "http://www.games.example/"), "000")
        self.open_page("rules")
        self.fill("rule-add", target="account:kid", action="forbid", kind="exact",
                  pattern="games.example")
        self.submit("rule-add")
        self.until(lambda: self.field_error("rule-add", "pattern") != "", "the pattern message")
        self.fill("rule-add", kind="domain", pattern="games.example")
        self.submit("rule-add")
        self.until(lambda: "games.example" in self.text_of("#rules-table"), "the new rule")
        self.assertIn("own rule", self.text_of("#rules-table"))
        started = time.monotonic()
        h.wait_for(lambda: self.setup.ask("kid", "pw", "http://www.games.example/") == "001",
                   "pvcheckd's new answer", timeout=5)
        self.assertLess(time.monotonic() - started, 3)
        self.shot("rules")

    def test_3_import_shows_progress_and_unreadable_lines(self):
        self.open_page("lists")
        self.fill("list-create", name="big")
        self.submit("list-create")
        self.until(lambda: self.find("#list-detail").is_displayed()
                   and self.text_of("#list-name") == "big", "the new list opened")
        path = os.path.join(self.setup.dir.name, "big.txt")
        with open(path, "w") as f:
            f.write("# a million entries and one unreadable line\n")
            for i in range(1000000):
                f.write(f"site{i}.example\n")
            f.write("exact:no-scheme\n")
        self.find("#import-file").send_keys(path)
        self.submit("list-import")
        seen = set()

        def finished():
            seen.add(self.driver.execute_script(
                "return document.getElementById('import-progress').value"))
            return self.text_of("#import-status").startswith("imported")
        WebDriverWait(self.driver, 180, poll_frequency=0.05).until(lambda d: finished(),
                                                                   "the import")
        self.assertEqual(self.driver.execute_script(
            "return document.getElementById('import-progress').value"), 100)
        self.assertTrue(any(0 < v < 100 for v in seen), seen)
        self.assertIn("1000000 new entries", self.text_of("#import-status"))
        self.assertIn("line 1000002", self.text_of("#import-problems"))
        self.until(lambda: "1000000" in self.text_of("#lists-table"), "the list's new size")
        self.shot("lists")

    def test_4_check_tool_answers_as_the_service(self):
        self.open_page("check")
        self.fill("check-form", account="kid", address="http://www.games.example/x")
        self.submit("check-form")
        self.until(lambda: self.find("#check-result").is_displayed(), "the verdict")
        self.assertEqual(self.text_of("#check-verdict"), "forbidden")
        self.assertIn("account domain", self.text_of("#check-reason"))
        self.assertEqual(self.text_of("#check-rule"),
                         'rule: account "kid" forbid domain games.example')
        self.shot("check")

    def test_5_query_log_filters(self):
        for i in range(3):
            self.setup.ask("kid", "pw", f"http://www.games.example/{i}")
            self.setup.ask("kid", "pw", f"http://fine.example/{i}")
        h.wait_for(lambda: "fine.example/2" in h.ctl(self.setup.db, "log", "show").stdout,
                   "the log records")
        self.open_page("log")
        self.fill("log-filter", account="kid", verdict="001")
        self.submit("log-filter")
        self.until(lambda: "games.example/2" in self.text_of("#log-table")
                   and "fine.example" not in self.text_of("#log-table"), "the filtered log")
        rows = self.driver.find_elements(By.CSS_SELECTOR, "#log-table tr")[1:]
        self.assertGreaterEqual(len(rows), 4)
        self.assertTrue(all(r.text.endswith("001 account domain") for r in rows))
        self.shot("log")

    def test_6_dashboard_draws_its_plots(self):
        self.open_page("dashboard")
        for chart in ("chart-hourly", "chart-daily"):
            self.until(lambda: self.driver.execute_script(
                f"return !!Chart.getChart(document.getElementById('{chart}'))"), chart)
        bars = self.driver.execute_script(
            "return Chart.getChart(document.getElementById('chart-hourly'))"
            ".data.datasets[0].data.reduce((a, b) => a + b, 0)")
        self.assertGreaterEqual(bars, 6)
        self.assertIn("games.example", self.text_of("#top-hosts"))
        self.shot("dashboard")

    def test_7_audit_trail_and_a_change_without_csrf_token(self):
        self.open_page("audit")
        self.until(lambda: "rule.add" in self.text_of("#audit-table"), "the trail")
        self.assertIn("list.import", self.text_of("#audit-table"))
        self.shot("audit")
        status = self.driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            fetch('/api/accounts/add', {method: 'POST', headers: {'Content-Type': 'application/json'},
                  body: JSON.stringify({name: 'sneaky', policy: 'allow'})}).then(r => done(r.status));""")
        self.assertEqual(status, 403)

    def test_8_logout_loses_access(self):
        self.open_page("dashboard")
        self.find("#logout").click()
        self.until(self.at_login, "the login page")
        self.driver.get(self.setup.base + "/#accounts")
        self.until(self.at_login, "the login page again")
        status = self.driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            fetch('/api/accounts').then(r => done(r.status));""")
        self.assertEqual(status, 401)


def main():
    global SHOTS
    parser = argparse.ArgumentParser()
    for name in ("pvcheckd", "pvcheckctl", "pvconsole"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--screenshots", required=True)
    args, rest = parser.parse_known_args()
    h.PROGRAMS.update({k: v for k, v in vars(args).items() if k != "screenshots"})
    SHOTS = args.screenshots
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2, failfast=True)


if __name__ == "__main__":
    main()
