"""Signing in to a server whose reports need a token, in a real browser: the sign-in page, a wrong
token, the page first asked for opened with its rows, and signing out."""
import os

import pytest

from support.browser import Server, wait_for
from support.server_jobs import report, send

TREE_ROWS = "return document.querySelectorAll('#tree li[role=treeitem]').length"


@pytest.fixture(scope="module")
def closed_server(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("closed"))
    running = Server(folder, read_token_required=True)
    try:
        send(running.client, "nightly-7", report("nightly-7", {"net.ping": "passed", "net.dns": "failed"}),
             token=running.TOKEN)
        from kovra.reporter.server import auth
        from kovra.reporter.server.storage import Storage
        storage = Storage("sqlite:///" + os.path.join(folder, "reporter.sqlite3"))
        try:
            running.reader = auth.add_token(storage, "alice", "read")
        finally:
            storage.close()
        yield running
    finally:
        running.stop()



def submit_token(page, token):
    from selenium.webdriver.common.by import By
    field = page.driver.find_element(By.ID, "token")
    field.clear()
    field.send_keys(token)
    page.js("window.kovraLeft = true")
    page.driver.find_element(By.CSS_SELECTOR, "form.signin button[type=submit]").click()
    # The next document has no such mark.
    assert wait_for(page, "return window.kovraLeft === undefined", True)


def heading(page):
    return page.js("var h = document.querySelector('main h1'); return h ? h.textContent : null;")


def test_sign_in_read_a_page_and_sign_out(page, closed_server):
    from selenium.webdriver.common.by import By
    asked = closed_server.url + "/jobs/nightly-7"
    page.open(asked, ready=False)
    assert heading(page) == "Sign in"
    assert page.js("return document.querySelector('input[name=next]').value") == "/jobs/nightly-7"
    assert page.axe() == []
    page.screenshot("server-signin.png", docs=True)

    submit_token(page, "not-a-token")
    assert heading(page) == "Sign in"
    assert "not one this server takes" in page.js("return document.querySelector('[role=alert]').textContent")
    assert page.driver.get_cookies() == []
    assert page.axe() == []
    page.screenshot("server-signin-refused.png")

    submit_token(page, closed_server.reader)
    assert wait_for(page, "return !!document.documentElement.getAttribute('data-ready')", True)
    assert page.driver.current_url.split("#")[0] == asked
    # The tree's rows come from the server by script, with the session's cookie.
    assert wait_for(page, TREE_ROWS + " > 0", True)
    assert page.js("return document.getElementById('signed-in').textContent") == "Signed in as alice"
    cookie, = page.driver.get_cookies()
    assert cookie["httpOnly"] and cookie["sameSite"] == "Strict" and closed_server.reader not in cookie["value"]
    assert page.js("return document.cookie") == ""
    assert page.axe() == []
    page.screenshot("server-signed-in.png")

    page.js("window.kovraLeft = true")
    page.driver.find_element(By.CSS_SELECTOR, "form.session button[type=submit]").click()
    assert wait_for(page, "return window.kovraLeft === undefined", True)
    assert heading(page) == "Sign in" and page.driver.get_cookies() == []
    page.open(closed_server.url + "/", ready=False)
    assert heading(page) == "Sign in"
