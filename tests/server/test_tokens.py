"""Named tokens and their roles, what each write records of them, and the pages' sign-in sessions."""
import base64
import datetime
import hashlib
import json
import logging

import pytest
from sqlalchemy import select

from conftest import AUTH, TOKEN
from reports import big_document

from kovra.reporter import cli
from kovra.reporter.server import auth, schema


MUTE = {"path": "t.x", "reason": "r", "owner": "o",
        "until": (datetime.date.today() + datetime.timedelta(days=7)).isoformat()}


def bearer(token):
    return {"Authorization": "Bearer " + token}


def put(client, job, headers, **params):
    return client.put("/api/jobs/" + job, params=dict(state="finished", **params),
                      content=json.dumps(big_document(1, 1)).encode(), headers=headers)


@pytest.fixture
def team(make_client, monkeypatch):
    """(client reading with protection on, {name: token}) with a read token and a write token made."""
    monkeypatch.setattr(auth, "TOKEN_CACHE_SECONDS", 0.0)
    monkeypatch.setattr(auth, "LAST_USED_SECONDS", 0.0)
    client = make_client(read_token_required=True, access_log="json")
    storage = client.app.state.storage
    return client, {"reader": auth.add_token(storage, "reader", "read"), "ci": auth.add_token(storage, "ci", "write")}


def test_the_command_line_makes_lists_and_revokes_tokens_keeping_hashes_alone(db_url, tmp_path, capsys):
    def run(*words):
        code = cli.main(["tokens", "--db", db_url] + list(words))
        out, err = capsys.readouterr()
        return code, out, err

    code, made, _ = run("add", "alice", "--role", "read")
    token = made.strip()
    assert code == 0 and len(base64.urlsafe_b64decode(token + "=")) == 32
    assert run("add", "ci", "--role", "write")[0] == 0
    for words, reason in [(("add", "alice", "--role", "write"), "already"),
                          (("add", "write", "--role", "read"), "server's own token"),
                          (("add", "bad name", "--role", "read"), "a token's name"),
                          (("revoke", "nobody"), "no token named")]:
        code, _, err = run(*words)
        assert code == 2 and reason in err, words
    code, listed, _ = run("list")
    lines = [line.split() for line in listed.splitlines()]
    assert code == 0 and [(line[0], line[1]) for line in lines] == [("NAME", "ROLE"), ("alice", "read"), ("ci", "write")]
    assert lines[1][-1] == "-" and token not in listed
    from kovra.reporter.server.storage import Storage
    storage = Storage(db_url)
    try:
        with storage.engine.connect() as connection:
            rows = connection.execute(select(schema.tokens)).fetchall()
        assert not any(token in str(value) for row in rows for value in row)
        assert {row.name: row.hash for row in rows}["alice"] == hashlib.sha256(token.encode()).hexdigest()
        assert run("revoke", "alice")[0] == 0
        assert [row["name"] for row in auth.list_tokens(storage)] == ["ci"]
    finally:
        storage.close()


def test_each_role_does_what_it_may_and_a_revoked_token_nothing(team):
    client, tokens = team
    assert put(client, "j", AUTH).status_code == 200
    for headers, status_read, status_write in [
            ({}, 401, 401),
            (bearer("guess"), 401, 401),
            (bearer(tokens["reader"]), 200, 403),
            (bearer(tokens["ci"]), 200, 200),
            (AUTH, 200, 200)]:
        assert client.get("/api/jobs/j", headers=headers).status_code == status_read, headers
        assert put(client, "j", headers, replace="true").status_code == status_write, headers
        assert client.post("/api/mutes", json=MUTE,
                           headers=headers).status_code == (201 if status_write == 200 else status_write), headers
    assert "may only read" in put(client, "j", bearer(tokens["reader"])).json()["error"]
    storage = client.app.state.storage
    assert auth.revoke_token(storage, "ci") and auth.revoke_token(storage, "reader")
    assert client.get("/api/jobs/j", headers=bearer(tokens["reader"])).status_code == 401
    assert put(client, "j", bearer(tokens["ci"]), replace="true").status_code == 401


def test_every_write_names_its_token_and_the_access_log_too(team):
    client, tokens = team
    lines = []
    handler = logging.Handler()
    handler.emit = lambda record: lines.append(json.loads(record.getMessage()))
    log = logging.getLogger("kovra.reporter.access")
    level = log.level
    log.addHandler(handler)
    log.setLevel(logging.INFO)
    try:
        ci = bearer(tokens["ci"])
        assert put(client, "j", ci).json()["written_by"] == "ci"
        assert put(client, "k", AUTH).json()["written_by"] == "write"
        assert client.get("/api/jobs/j", headers=bearer(tokens["reader"])).json()["written_by"] == "ci"
        issue = client.post("/api/known-issues", json={"title": "t", "match": "x"}, headers=ci).json()
        mute = client.post("/api/mutes", json=MUTE, headers=AUTH).json()
        assert (issue["written_by"], mute["written_by"]) == ("ci", "write")
        changed = client.put("/api/mutes/%d" % mute["id"], json={"reason": "other"}, headers=ci).json()
        assert changed["written_by"] == "ci"
        assert client.put("/api/owners?name=w", content=b"* alice\n", headers=ci).status_code == 200
        assert client.get("/api/owners?name=w", headers=AUTH).json()["written_by"] == "ci"
        client.get("/api/jobs", headers=bearer("guess"))
        client.get("/healthz")
    finally:
        log.removeHandler(handler)
        log.setLevel(level)
    assert [line["token"] for line in lines] == ["ci", "write", "reader", "ci", "write", "ci", "ci", "write",
                                                 "other", "-"]
    assert not any(token in json.dumps(lines) for token in list(tokens.values()) + [TOKEN])
    auth.add_token(client.app.state.storage, "idle", "read")
    used = {row["name"]: row["last_used"] is not None for row in auth.list_tokens(client.app.state.storage)}
    assert used == {"ci": True, "reader": True, "idle": False}


def sign_in(client, token, next_path="/", **headers):
    return client.post("/signin", data={"token": token, "next": next_path}, headers=headers, follow_redirects=False)


@pytest.mark.parametrize("base,forwarded,trusted,secure", [
    ("http://testserver", None, False, False),
    ("https://testserver", None, False, True),
    ("http://testserver", "https", False, False),
    ("http://testserver", "https", True, True),
])
def test_the_session_cookie_is_httponly_strict_signed_and_expires(make_client, base, forwarded, trusted, secure):
    from starlette.testclient import TestClient
    client = TestClient(make_client(read_token_required=True, trust_proxy=trusted).app, base_url=base)
    headers = {"X-Forwarded-Proto": forwarded} if forwarded else {}
    answer = sign_in(client, TOKEN, "/trends?name=a", **headers)
    assert answer.status_code == 303 and answer.headers["location"] == "/trends?name=a"
    attributes = [part.strip().lower() for part in answer.headers["set-cookie"].split(";")]
    assert attributes[0].startswith(auth.SESSION_COOKIE + "=") and TOKEN not in attributes[0]
    assert {"httponly", "samesite=strict", "path=/", "max-age=%d" % (12 * 3600)} <= set(attributes)
    assert ("secure" in attributes) == secure


def test_a_signed_in_browser_reads_pages_and_rows_but_writes_nothing(team):
    client, tokens = team
    assert put(client, "j", AUTH).status_code == 200
    asked = client.get("/jobs/j?x=1")
    assert asked.status_code == 401 and 'name="next" value="/jobs/j?x=1"' in asked.text
    assert client.get("/api/jobs").status_code == 401
    assert sign_in(client, tokens["reader"], "/jobs/j?x=1").headers["location"] == "/jobs/j?x=1"
    page = client.get("/")
    assert page.status_code == 200 and "Signed in as <strong>reader</strong>" in page.text
    assert "form-action 'self'" in page.headers["content-security-policy"]
    job_page = client.get("/jobs/j")
    assert job_page.status_code == 200 and 'action="/signout"' in job_page.text
    assert '["Sent with token","written_by","write"]' in job_page.text
    # The page's own policy (its meta element) lets the sign-out form post too.
    assert "form-action &#x27;self&#x27;" in job_page.text and "form-action 'none'" not in job_page.text
    assert client.get("/jobs/j/rows?parent=[]").status_code == 200
    assert client.get("/api/jobs/j").status_code == 200
    writer = team[0]
    sign_in(writer, tokens["ci"])
    assert put(writer, "j", {}, replace="true").status_code == 401
    out = client.post("/signout", follow_redirects=False)
    assert out.status_code == 303 and auth.SESSION_COOKIE + '=""' in out.headers["set-cookie"]
    assert "max-age=0" in out.headers["set-cookie"].lower()
    assert client.get("/").status_code == 401


@pytest.mark.parametrize("token,headers,status,words", [
    ("wrong", {}, 401, "not one this server takes"),
    ("", {"Origin": "null", "Sec-Fetch-Site": "same-origin"}, 401, "not one this server takes"),
    (TOKEN, {"Origin": "http://evil.example"}, 400, "form was not this server"),
    (TOKEN, {"Origin": "null", "Sec-Fetch-Site": "cross-site"}, 400, "form was not this server"),
])
def test_a_refused_sign_in_shows_the_page_again_and_sets_nothing(make_client, token, headers, status, words):
    client = make_client(read_token_required=True)
    answer = sign_in(client, token, **headers)
    assert answer.status_code == status and words in answer.text and "set-cookie" not in answer.headers
    assert 'role="alert"' in answer.text


@pytest.mark.parametrize("asked,kept", [
    ("/jobs/a%20b?page=2#x", "/jobs/a%20b?page=2#x"),
    ("//evil.example/x", "/"),
    ("https://evil.example/", "/"),
    ("/\\evil.example", "/"),
    ("javascript:alert(1)", "/"),
    ("/signout", "/"),
    ("/\r\nSet-Cookie:x=1", "/"),
])
def test_after_sign_in_the_browser_goes_back_only_to_this_server(make_client, asked, kept):
    answer = sign_in(make_client(read_token_required=True), TOKEN, asked)
    assert answer.status_code == 303 and answer.headers["location"] == kept


def forged(book, name, role="read", expires=None, key=None, fingerprint=None):
    payload = base64.urlsafe_b64encode(json.dumps({"n": name, "e": expires, "f": fingerprint}).encode()).decode()
    payload = payload.rstrip("=")
    import hmac
    return payload + "." + hmac.new(key or book._key, b"session:" + payload.encode(), hashlib.sha256).hexdigest()


def test_a_session_expired_tampered_forged_or_of_a_revoked_token_is_refused(team):
    import time
    client, tokens = team
    sign_in(client, tokens["reader"])
    good = client.cookies[auth.SESSION_COOKIE]
    assert client.get("/api/jobs").status_code == 200
    book = auth.Book(client.app.state.storage)
    book.refresh(sessions=True)
    payload, mac = good.split(".")
    data = json.loads(base64.urlsafe_b64decode(payload + "=" * (-len(payload) % 4)))
    storage = client.app.state.storage
    refused = {
        "expired": forged(book, "reader", expires=int(time.time()) - 1, fingerprint=data["f"]),
        "another name": forged(book, "ci", expires=data["e"], fingerprint=data["f"]),
        "no fingerprint": forged(book, "reader", expires=data["e"]),
        "another key": forged(book, "reader", expires=data["e"], key=b"k" * 64, fingerprint=data["f"]),
        "changed payload": base64.urlsafe_b64encode(json.dumps(dict(data, e=data["e"] + 10**6)).encode()).decode()
                           .rstrip("=") + "." + mac,
        "changed mac": payload + "." + mac[:-1] + ("0" if mac[-1] != "0" else "1"),
        "no mac": payload,
    }
    for what, value in refused.items():
        client.cookies.clear()
        client.cookies.set(auth.SESSION_COOKIE, value)
        assert client.get("/api/jobs").status_code == 401, what
    # Sessions live SESSION_SECONDS (12 h), and die with their token, even one made again under its name.
    assert book.session(good, now=data["e"] - 1) is not None and book.session(good, now=data["e"]) is None
    client.cookies.clear()
    client.cookies.set(auth.SESSION_COOKIE, good)
    assert client.get("/api/jobs").status_code == 200
    auth.revoke_token(storage, "reader")
    auth.add_token(storage, "reader", "read")
    assert client.get("/api/jobs").status_code == 401


def test_two_processes_share_sessions_and_a_revocation_from_the_command_line(db_url, start_server, capsys):
    import time
    import httpx
    assert cli.main(["tokens", "--db", db_url, "add", "bob", "--role", "read"]) == 0
    token = capsys.readouterr().out.strip()
    one = start_server(db=db_url, extra=["--read-token"])
    two = start_server(db=db_url)
    signed = httpx.post(one.url + "/signin", data={"token": token, "next": "/"}, timeout=10)
    assert signed.status_code == 303
    cookie = {auth.SESSION_COOKIE: signed.cookies[auth.SESSION_COOKIE]}
    for server in (one, two):
        assert httpx.get(server.url + "/api/jobs", cookies=cookie, timeout=10).status_code == 200, server.url
        assert httpx.get(server.url + "/api/jobs", headers=bearer(token), timeout=10).status_code == 200, server.url
    assert cli.main(["tokens", "--db", db_url, "revoke", "bob"]) == 0
    # Within the tokens' cache time (TOKEN_CACHE_SECONDS), every process refuses it.
    time.sleep(auth.TOKEN_CACHE_SECONDS + 0.5)
    for server in (one, two):
        assert httpx.get(server.url + "/api/jobs", cookies=cookie, timeout=10).status_code == 401, server.url
        assert httpx.get(server.url + "/api/jobs", headers=bearer(token), timeout=10).status_code == 401, server.url
