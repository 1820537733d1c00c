"""A headless browser for the HTML page's tests.

These tests run only with KOVRA_BROWSER_TESTS=1 (the "browser" stage of
tools/test, which installs the browser, its driver and Debian's selenium);
elsewhere they are skipped before selenium is imported.
"""
import json
import os
import shutil
import tempfile
import time

import pytest

from support.browser import ARTIFACTS, DOCS, Server

HERE = os.path.dirname(os.path.abspath(__file__))
ENABLED = os.environ.get("KOVRA_BROWSER_TESTS") == "1"

# No network here, and nothing the browser does on its own may look like the page's traffic.
BROWSER_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-default-apps", "--disable-extensions", "--window-size=1400,1000"]

def pytest_collection_modifyitems(config, items):
    if ENABLED:
        return
    skip = pytest.mark.skip(reason="browser tests run only with KOVRA_BROWSER_TESTS=1")
    for item in items:
        if str(item.fspath).startswith(HERE + os.sep):
            item.add_marker(skip)


class Page:
    """One browser, and what it logged since the last page was opened."""

    def __init__(self, driver):
        self.driver = driver
        self.url = None
        self.origin = None

    def open(self, path, ready=True):
        """Opens a file (a path) or a server page (a URL); waits until the page's script has drawn it."""
        if "://" in path:
            self.url = path
            self.origin = "/".join(path.split("/")[:3]) + "/"
        else:
            self.url = "file://" + os.path.abspath(path)
            self.origin = "file://"
        # A new load even when only the fragment differs from the page now shown.
        self.driver.get("about:blank")
        self.drain()
        self.driver.get(self.url)
        deadline = time.time() + 60
        while ready and not self.js("return document.documentElement.getAttribute('data-ready')"):
            assert time.time() < deadline, "the page never finished drawing"
            time.sleep(0.05)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def axe(self):
        """[(rule, impact, number of elements, first element, what is wrong with it)] of axe-core's
        critical and serious findings on the page as it is now."""
        path = os.environ.get("KOVRA_AXE")
        assert path and os.path.exists(path), "no axe-core: tools/test_browser installs it ($KOVRA_AXE)"
        with open(path, encoding="utf-8") as stream:
            self.driver.execute_script(stream.read())
        self.driver.set_script_timeout(60)
        found = self.driver.execute_async_script(
            "var done = arguments[arguments.length - 1];"
            "axe.run(document, {resultTypes: ['violations']}).then(function (r) {"
            "  done(r.violations.map(function (v) { return [v.id, v.impact, v.nodes.length,"
            "    v.nodes.length ? v.nodes[0].target.join(' ') : '',"
            "    v.nodes.length ? v.nodes[0].failureSummary : '']; }));"
            "}, function (e) { done([['axe failed', 'critical', 0, String(e)]]); });")
        return [tuple(v) for v in found if v[1] in ("critical", "serious")]

    def drain(self):
        self.driver.get_log("browser")
        self.driver.get_log("performance")

    def console_errors(self):
        return [entry for entry in self.driver.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]

    def requests(self):
        """URLs of the requests made for pages of the origin under test since it was opened.

        The browser fetches things of its own (chrome:// pages, component
        updates) that no page asked for: only requests whose document is one
        of ours count, wherever they went.
        """
        urls = []
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            params = message["params"]
            if message["method"] == "Network.requestWillBeSent":
                if params.get("documentURL", "").startswith(self.origin):
                    urls.append(params["request"]["url"])
            elif message["method"] == "Network.webSocketCreated":
                urls.append(params["url"])
        return urls

    def assert_quiet(self):
        """No console errors or warnings, and no request that leaves the origin under test."""
        assert self.console_errors() == []
        urls = self.requests()
        # The page's own load is seen, so the log is live; nothing else may leave.
        assert self.url.split("#")[0] in urls
        assert [url for url in urls if not url.startswith(self.origin) and not url.startswith("data:")] == []

    def screenshot(self, name, docs=False):
        """Saves the whole page as an artefact; with `docs`, the first screen also goes to docs/ for the README."""
        import base64
        os.makedirs(ARTIFACTS, exist_ok=True)
        shot = self.driver.execute_cdp_cmd("Page.captureScreenshot",
                                           {"format": "png", "captureBeyondViewport": True})
        path = os.path.join(ARTIFACTS, name)
        with open(path, "wb") as stream:
            stream.write(base64.b64decode(shot["data"]))
        if docs:
            # The first screen of a narrower window: small enough for the README.
            self.driver.set_window_size(1100, 760)
            try:
                os.makedirs(DOCS, exist_ok=True)
                self.driver.save_screenshot(os.path.join(DOCS, name))
            finally:
                self.driver.set_window_size(1400, 1000)
        return path


@pytest.fixture(scope="module")
def page():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    profile = tempfile.mkdtemp(prefix="kovra-browser-")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in BROWSER_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    service = Service(shutil.which("chromedriver") or "/usr/bin/chromedriver")
    driver = webdriver.Chrome(service=service, options=options)
    try:
        yield Page(driver)
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    running = Server(str(tmp_path_factory.mktemp("server")))
    try:
        yield running
    finally:
        running.stop()
