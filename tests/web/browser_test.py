#!/usr/bin/python3
"""The portal in a real browser: headless Chromium driven by Selenium against `qst-cli serve`.

A data root with two meters (A in a group, B at the root) is made from simulator dumps, an
operator and a consumer of A are added, and the server is started on a free loopback port.
The operator logs in, sees both meters, opens A, its chart is drawn with a break where hours
are missing and abnormal hours shaded, downloads the statement and the test opens it; the
consumer sees A only and reaches B neither by its address nor through the API; both log out.

    browser_test.py --cli build/src/cli/qst-cli --sim build/tools/qst-sim/qst-sim
                    [--screenshots DIR]   also saves portal-meters.png and portal-chart.png

Exit 0 passed, 1 failed, 77 skipped (no chromium or chromedriver on this machine).
"""

import argparse
import datetime
import http.cookiejar
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
import zipfile

SKIP = 77
METER_A = 50001
METER_B = 50002
STATEMENT_HEADING = "Ведомость учета отпуска тепловой энергии"
WAIT = 30


def find_browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver") or ("/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
    return chromium, driver


def run(args, stdin=None):
    done = subprocess.run(args, input=stdin, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise AssertionError("%s failed (%d): %s%s" % (" ".join(args), done.returncode, done.stdout, done.stderr))
    return done.stdout


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def largest_file(folder):
    files = [os.path.join(folder, f) for f in os.listdir(folder)]
    return max(files, key=os.path.getsize)


def damage_hours(data_root):
    """A four-hour hole and six hours with abnormal-situation bits in meter A's hourly archive,
    as a calculator that was switched off and one that saw a fault leave them."""
    path = largest_file(os.path.join(data_root, "DATA", "HA%d" % METER_A))
    with open(path, "rb") as f:
        lines = f.read().split(b"\r\n")
    body = [line for line in lines if line]
    if len(body) < 120:
        raise AssertionError("too few hourly records in %s: %d" % (path, len(body)))
    for i in range(60, 66):
        fields = body[i].split(b"\t")
        fields[23] = b"2"  # НС1
        body[i] = b"\t".join(fields)
    removed = [body[i].split(b"\t")[0] for i in range(100, 104)]
    del body[100:104]
    with open(path, "wb") as f:
        f.write(b"\r\n".join(body) + b"\r\n")
    return removed


def make_data_root(root, cli, sim):
    dumps = os.path.join(root, "dumps")
    data = os.path.join(root, "data")
    os.makedirs(dumps)
    a = os.path.join(dumps, "a.arch")
    b = os.path.join(dumps, "b.arch")
    run([sim, "dump", "--version", "2", "--serial", str(METER_A), "--days", "12", "--journal", "20", a])
    run([sim, "dump", "--version", "2", "--serial", str(METER_B), "--days", "3", "--journal", "5", "--seed", "2", b])
    base = [cli, "--data-dir", data]
    group = run(base + ["group", "add", "Котельная 1"]).strip().splitlines()[-1]
    run(base + ["meter", "add", "--name", "Котельная №1", "--serial", str(METER_A), "--address", "1", "--port", "1",
                "--devtype", "2", "--group", group])
    run(base + ["meter", "add", "--name", "Школа №5", "--serial", str(METER_B), "--address", "2", "--port", "1",
                "--devtype", "2"])
    run(base + ["import", "--yes", a, b])
    damage_hours(data)
    run(base + ["user", "add", "oper", "--role", "operator"], stdin="oper-secret-1\n")
    run(base + ["user", "add", "anna", "--role", "consumer", "--meters", str(METER_A)], stdin="anna-secret-1\n")
    return data


class Server:
    def __init__(self, cli, data, port, log):
        self.address = "http://127.0.0.1:%d" % port
        self.log = open(log, "w")
        self.process = subprocess.Popen([cli, "--data-dir", data, "serve", "--listen", "127.0.0.1:%d" % port],
                                        stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + WAIT
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("the server ended with %d" % self.process.returncode)
            try:
                with urllib.request.urlopen(self.address + "/login", timeout=2) as answer:
                    if answer.status == 200:
                        return
            except (urllib.error.URLError, ConnectionError, OSError):
                time.sleep(0.2)
        raise AssertionError("the server did not answer within %d s" % WAIT)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def start_browser(driver_path, downloads):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--lang=ru-RU",
                "--window-size=1280,860", "--force-device-scale-factor=1", "--accept-lang=ru-RU"):
        options.add_argument(arg)
    options.add_experimental_option("prefs", {
        "download.default_directory": downloads,
        "download.prompt_for_download": False,
        "intl.accept_languages": "ru-RU,ru",
        "credentials_enable_service": False,
        "profile.password_manager_enabled": False,
    })
    # A UTF-8 locale lets Chrome keep the Cyrillic file names of downloads ("download" otherwise).
    env = dict(os.environ, LANGUAGE="ru_RU", LANG="C.UTF-8", LC_ALL="C.UTF-8")
    browser = webdriver.Chrome(service=Service(driver_path, env=env), options=options)
    browser.set_page_load_timeout(WAIT)
    browser.set_script_timeout(WAIT)
    browser.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
    return browser


class Portal:
    def __init__(self, browser, address):
        from selenium.webdriver.support.ui import WebDriverWait

        self.browser = browser
        self.address = address
        self.wait = WebDriverWait(browser, WAIT)

    def find(self, css):
        from selenium.webdriver.common.by import By

        return self.browser.find_element(By.CSS_SELECTOR, css)

    def until(self, what, test):
        try:
            return self.wait.until(lambda _: test())
        except Exception as e:
            raise AssertionError("waited in vain for %s (at %s): %s" % (what, self.browser.current_url, e))

    def path(self):
        # Without the tab a meter page writes after "#".
        return re.sub(r"^https?://[^/]+", "", self.browser.current_url).split("#")[0]

    def log_in(self, user, password, expect_path="/meters"):
        self.browser.get(self.address + "/meters")
        self.until("the login page", lambda: self.path().startswith("/login"))
        self.find("#user").send_keys(user)
        self.find("#password").send_keys(password)
        self.find("#login-button").click()
        self.until("the page after login", lambda: self.path().startswith(expect_path))

    def meter_rows(self):
        self.until("the meters table", lambda: self.browser.execute_script(
            "return document.querySelectorAll('#groups tbody tr').length > 0"))
        return self.browser.execute_script(
            "return Array.from(document.querySelectorAll('#groups tbody tr'), r => r.cells[1].textContent)")

    def log_out(self):
        self.find("#logout").click()
        self.until("the login page after Выход", lambda: self.path().startswith("/login"))
        self.browser.get(self.address + "/meters")
        self.until("the login page for a logged-out visitor", lambda: self.path().startswith("/login"))

    def fetch_status(self, path):
        return self.browser.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch(arguments[0], {credentials: 'same-origin'}).then(r => r.text().then(t => done([r.status, t])))"
            ".catch(e => done([0, String(e)]));", path)


def check_chart(portal):
    portal.browser.get(portal.address + "/meter/%d" % METER_A)
    portal.until("the meter's name", lambda: portal.find("#meter-title").text == "Котельная №1")
    assert portal.find("#read-now").is_displayed(), "an operator has no \"Прочитать сейчас\""
    portal.find('#tabs button[data-tab="chart"]').click()
    # The hole and the shaded hours lie within the last twelve days the dump holds.
    portal.browser.execute_script(
        "document.getElementById('chart-from').value = arguments[0];"
        "document.getElementById('chart-to').value = arguments[1];",
        (datetime.date.today() - datetime.timedelta(days=12)).isoformat(), datetime.date.today().isoformat())
    portal.find("#chart-form button[type=submit]").click()
    state = portal.until("a drawn chart", lambda: portal.browser.execute_script("""
        const chart = Chart.getChart(document.getElementById('chart'));
        if (!chart || !chart.data.datasets.length || !chart.data.datasets[0].data.length) return null;
        const points = chart.data.datasets[0].data;
        if (points.length < 200) return null;
        const canvas = chart.canvas;
        const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
        let inked = 0;
        for (let i = 3; i < pixels.length; i += 4) if (pixels[i] !== 0) inked++;
        return {
            labels: chart.data.datasets.map(d => d.label),
            points: points.length,
            holes: points.filter(p => p.y === null).length,
            spans: chart.options.plugins.qstNsShading.spans.length,
            inked: inked,
            share: inked / (canvas.width * canvas.height),
            blank: canvas.toDataURL() === document.createElement('canvas').toDataURL(),
        };"""))
    assert not state["blank"] and state["inked"] > 1000, "the chart's canvas is blank: %r" % state
    assert state["holes"] >= 1, "the missing hours do not break the line: %r" % state
    assert state["spans"] >= 1, "the abnormal hours are not shaded: %r" % state
    assert any(label.startswith("Т1") for label in state["labels"]), state
    return state


def check_statement(portal, downloads):
    portal.find('#tabs button[data-tab="documents"]').click()
    portal.browser.execute_script("""
        const kind = document.getElementById('doc-kind');
        kind.value = 'statement';
        kind.dispatchEvent(new Event('change'));
        document.getElementById('doc-system').value = '1';
        document.getElementById('doc-from').value = arguments[0];
        document.getElementById('doc-to').value = arguments[1];""",
        (datetime.date.today() - datetime.timedelta(days=10)).isoformat(),
        (datetime.date.today() - datetime.timedelta(days=1)).isoformat())
    portal.find("#doc-start").click()

    def finished():
        names = [n for n in os.listdir(downloads) if n.endswith(".docx")]
        if names and not any(n.endswith(".crdownload") for n in os.listdir(downloads)):
            return os.path.join(downloads, names[0])
        message = portal.find("#message").text
        if message:
            raise AssertionError("the statement was refused: " + message)
        return None

    path = portal.until("the downloaded statement", finished)
    with zipfile.ZipFile(path) as document:
        xml = document.read("word/document.xml").decode("utf-8")
    text = re.sub(r"<[^>]+>", "", xml)
    assert STATEMENT_HEADING in text, "the statement's heading is not in %s" % path
    return path


def check_consumer(portal):
    assert portal.meter_rows() == [str(METER_A)], "the consumer's meters: %r" % portal.meter_rows()
    # Meter B by its address: the same 404 page as a serial nobody has.
    status, body = portal.fetch_status("/meter/%d" % METER_B)
    unknown_status, unknown_body = portal.fetch_status("/meter/65000")
    assert status == 404 and unknown_status == 404, (status, unknown_status)
    assert body == unknown_body.replace("65000", str(METER_B)), "the 404 pages differ"
    portal.browser.get(portal.address + "/meter/%d" % METER_B)
    page = portal.browser.page_source
    assert "Школа" not in page, "meter B's name shows on the consumer's page"
    assert not portal.browser.find_elements("css selector", "#tabs"), "meter B's page opened for the consumer"
    # ... and through the API.
    for path in ("/api/v1/meters/%d" % METER_B, "/api/v1/meters/%d/records?kind=daily&from=%s&to=%s" % (
            METER_B, datetime.date.today() - datetime.timedelta(days=5), datetime.date.today()),
            "/api/v1/meters/%d/document?kind=statement&system=1&from=%s&to=%s" % (
            METER_B, datetime.date.today() - datetime.timedelta(days=5), datetime.date.today())):
        status, body = portal.fetch_status(path)
        assert status == 404, "%s answered %d to the consumer" % (path, status)
        assert str(METER_B) not in body and "Школа" not in body, body
    status, body = portal.fetch_status("/api/v1/meters")
    assert status == 200 and str(METER_B) not in body, body
    status, _ = portal.fetch_status("/api/v1/meters/%d" % METER_A)
    assert status == 200
    portal.browser.get(portal.address + "/meters")
    portal.meter_rows()


def check_wrong_password(portal):
    portal.browser.get(portal.address + "/login")
    portal.find("#user").send_keys("oper")
    portal.find("#password").send_keys("wrong")
    portal.find("#login-button").click()
    portal.until("the refusal", lambda: portal.find("#login-message").text == "Неверное имя или пароль")
    assert portal.path().startswith("/login")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--screenshots")
    args = parser.parse_args()

    chromium, driver_path = find_browser()
    if not chromium or not driver_path:
        print("SKIP: chromium or chromedriver is not installed")
        return SKIP
    os.environ.setdefault("TZ", "Europe/Moscow")

    root = tempfile.mkdtemp(prefix="qst-browser-")
    server = browser = None
    try:
        data = make_data_root(root, os.path.abspath(args.cli), os.path.abspath(args.sim))
        downloads = os.path.join(root, "downloads")
        os.makedirs(downloads)
        server = Server(os.path.abspath(args.cli), data, free_port(), os.path.join(root, "server.log"))
        browser = start_browser(driver_path, downloads)
        portal = Portal(browser, server.address)

        check_wrong_password(portal)
        portal.log_in("oper", "oper-secret-1")
        rows = portal.meter_rows()
        assert sorted(rows) == [str(METER_A), str(METER_B)], "the operator's meters: %r" % rows
        if args.screenshots:
            os.makedirs(args.screenshots, exist_ok=True)
            browser.save_screenshot(os.path.join(args.screenshots, "portal-meters.png"))
        chart = check_chart(portal)
        if args.screenshots:
            browser.save_screenshot(os.path.join(args.screenshots, "portal-chart.png"))
        statement = check_statement(portal, downloads)
        portal.log_out()

        # A consumer of A who follows a link to one of A's pages lands there after login.
        browser.get(server.address + "/meter/%d" % METER_A)
        portal.until("the login page with next", lambda: portal.path().startswith("/login?next="))
        portal.find("#user").send_keys("anna")
        portal.find("#password").send_keys("anna-secret-1")
        portal.find("#login-button").click()
        portal.until("meter A after login", lambda: portal.path() == "/meter/%d" % METER_A)
        portal.until("meter A's name", lambda: portal.find("#meter-title").text == "Котельная №1")
        assert not portal.find("#read-now").is_displayed(), "a consumer is offered \"Прочитать сейчас\""
        browser.get(server.address + "/meters")
        check_consumer(portal)
        portal.log_out()
        print("ok: chart %d points, %d hole(s), %d shaded span(s); statement %s" % (
            chart["points"], chart["holes"], chart["spans"], os.path.basename(statement)))
        return 0
    except Exception as e:  # a browser or process error fails the test the same way, with the server's log
        print("FAIL:", type(e).__name__, e)
        if server:
            with open(os.path.join(root, "server.log")) as log:
                print("--- server log ---\n" + log.read()[-4000:])
        return 1
    finally:
        if browser:
            browser.quit()
        if server:
            server.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
