"""What a hostile campaign found, each mended: headers on every answer, odd query values, a database
away from the pages, numbers JSON cannot hold, searches, gzip members and case, on each database."""
import gzip
import html
import json
import math
import os

import pytest
import sqlalchemy

from conftest import AUTH
from reports import big_document

from kovra.reporter.server.app import CSP


def put(client, job, body, **params):
    body = body if isinstance(body, bytes) else json.dumps(body).encode()
    return client.put("/api/jobs/" + job, params=dict(state="finished", **params), content=body, headers=AUTH)


def strict(text):
    """JSON as a browser reads it: no NaN or Infinity words."""
    def refuse(word):
        raise ValueError("not JSON: %s" % word)
    return json.loads(text, parse_constant=refuse)


def test_every_answer_forbids_framing_and_a_500_carries_the_headers(make_client):
    from starlette.testclient import TestClient
    client = make_client()
    assert put(client, "j", big_document(1, 1)).status_code == 200
    answers = [client.get(url) for url in ("/", "/jobs/j", "/trends?name=big", "/api/jobs", "/nothing")]
    app = client.app
    app.state.storage.list_jobs = lambda **_: 1 / 0
    broken = TestClient(app, raise_server_exceptions=False).get("/api/jobs")
    assert broken.status_code == 500 and broken.json() == {"error": "internal error: ZeroDivisionError"}
    for answer in answers + [broken]:
        policy = answer.headers["content-security-policy"]
        assert "frame-ancestors 'none'" in policy and policy.count("frame-ancestors") == 1, answer.request.url
        assert answer.headers["x-frame-options"] == "DENY"
        assert answer.headers["x-content-type-options"] == "nosniff"
    assert broken.headers["content-security-policy"] == CSP


ODD_QUERIES = [
    ("/api/jobs?page=99999999999999999999", "page must be a whole number of at most 18 digits"),
    ("/?page=%C2%B2", "page must be a whole number"),
    ("/api/jobs?per_page=%C2%B2", "per_page must be a whole number"),
    ("/trends?name=big&n=%C2%B2", "n must be a whole number"),
    ("/api/jobs/j/logs/a.log?start=123456789012345678901", "start must be a whole number"),
    ("/api/jobs?since=0001-01-01T00:00:00%2B01:00", "since must be a date or time in ISO 8601 within years"),
    ("/?until=9999-12-31T23:59:59-01:00", "until must be a date or time"),
    ("/api/jobs/j/section?path=" + "[" * 3000, "path: nested deeper than 400 levels"),
    ("/jobs/j/rows?open=" + "[" * 3000 + "]" * 3000, "open: nested deeper than 400 levels"),
    ("/history?name=big&node=%5B%22%5Cud800%22%5D", "node: an id holds a lone surrogate"),
    ("/history?name=big&node=a.%ED%A0%80", "the query is not UTF-8 text"),
    ("/api/jobs?q=" + "x" * 50001, "the query value q is longer than 10000 characters (max_query_value)"),
    ("/?q=" + "x" * 50001, "longer than 10000 characters"),
    ("/api/jobs?name=a%00b", "the query value name holds a NUL character"),
    ("/api/jobs?q=a%00b", "q holds a NUL"),
    ("/api/jobs?result=a%00b", "result holds a NUL"),
    ("/jobs/j/rows?parent=%5B%22a%00%22%5D", "parent holds a NUL"),
    ("/jobs/j/rows?q=a%00", "q holds a NUL"),
    ("/api/jobs/j/logs/a%00b", "a log name holds no NUL character"),
]


@pytest.mark.parametrize("url, words", ODD_QUERIES)
def test_odd_query_values_answer_400_with_the_reason(client, url, words):
    assert put(client, "j", big_document(1, 1)).status_code == 200
    answer = client.get(url)
    assert answer.status_code == 400, answer.text[:300]
    if url.startswith("/api/") or "/rows?" in url:
        assert words in answer.json()["error"]
    else:
        # A page, with the reason in its text.
        assert answer.headers["content-type"].startswith("text/html")
        assert html.escape(words, quote=False) in answer.text


def test_the_pages_answer_503_like_the_api_while_the_database_is_away(client, monkeypatch):
    assert put(client, "j", big_document(1, 1)).status_code == 200
    engine = client.app.state.storage.engine

    def away(*_args, **_kwargs):
        raise sqlalchemy.exc.OperationalError("SELECT 1", {}, Exception("connection refused"))

    monkeypatch.setattr(engine, "connect", away)
    for url in ("/api/jobs", "/trends?name=big", "/history?name=big&node=t0.s0", "/jobs/j/rows?parent="):
        answer = client.get(url)
        assert answer.status_code == 503, (url, answer.status_code)
        assert "the database is unavailable: connection refused" in answer.text


@pytest.mark.parametrize("ascii_only", [True, False], ids=["fast-road", "generic-road"])
def test_nan_and_infinities_are_served_as_json(client, ascii_only):
    document = big_document(1, 2)
    section = document["report"]["tasks"][0]["sections"][1]
    section.update(runtime=float("nan"), extra={"low": -math.inf, "high": math.inf, "word": "NaN é"})
    body = json.dumps(document, ensure_ascii=ascii_only).encode()
    assert put(client, "j", body).status_code == 200
    served = strict(client.get("/api/jobs/j/section", params=[("id", "t0"), ("id", "s1")]).text)
    assert served["runtime"] == "NaN" and served["extra"] == {"low": "-Infinity", "high": "Infinity",
                                                               "word": "NaN é"}
    report = strict(client.get("/api/jobs/j/report").text)
    assert report["report"]["tasks"][0]["sections"][1]["runtime"] == "NaN"
    rows = client.get("/jobs/j/rows", params={"parent": '["t0"]'})
    assert rows.status_code == 200 and len(strict(rows.text)["rows"]) == 2
    # Rows without such numbers are stored as they came.
    assert client.get("/api/jobs/j/section", params=[("id", "t0"), ("id", "s0")]).json() == \
        document["report"]["tasks"][0]["sections"][0]


@pytest.mark.parametrize("query, found", [("a<b", True), ("<B & C>", True), ("&", True), ("c>d", True),
                                          ("u003c", False), ("a<c", False)])
def test_the_job_search_finds_markup_as_typed(client, query, found):
    document = big_document(1, 2)
    document["report"]["tasks"][0]["sections"][1]["name"] = "a<b & c>d"
    assert put(client, "j", document).status_code == 200
    answer = client.get("/jobs/j/rows", params={"q": query}).json()
    assert (answer["hits"] == ['["t0","s1"]']) == found and answer["total"] == (1 if found else 0)


@pytest.mark.parametrize("query, jobs", [("MIXED", ["Key-1"]), ("mixedcase", ["Key-1"]), ("key-", ["Key-1"]),
                                         ("KEY-1", ["Key-1"]), ("ÉTÉ", ["k2"]), ("été", ["k2"]), ("zz", [])])
def test_the_job_list_search_ignores_case_on_both_databases(client, query, jobs):
    assert put(client, "Key-1", big_document(1, 1), name="MixedCase").status_code == 200
    assert put(client, "k2", big_document(1, 1), name="Été").status_code == 200
    listed = client.get("/api/jobs", params={"q": query}).json()["jobs"]
    assert sorted(row["id"] for row in listed) == jobs


@pytest.mark.parametrize("tail", [gzip.compress(b'{"more": 1}'), b"junk", b"\x00"])
def test_data_after_the_first_gzip_member_is_refused(client, tail):
    body = gzip.compress(json.dumps(big_document(1, 1)).encode()) + tail
    answer = put(client, "j", body)
    assert answer.status_code == 400
    assert answer.json()["error"] == "%d bytes follow the gzip data's end" % len(tail)
    assert client.get("/api/jobs").json()["total"] == 0


def twice_run_document():
    """A test case run twice (same id, other results) beside a task and a section of one id."""
    document = big_document(2, 2)
    task = document["report"]["tasks"][0]
    first, second = dict(task["sections"][0], result="failed"), dict(task["sections"][0], result="passed")
    task["sections"] = [first, task["sections"][1], second]
    document["report"]["sections"] = [{"id": "t1", "name": "a section named like a task", "result": "passed"}]
    return document


def test_siblings_with_one_id_are_all_stored_and_read_back(client):
    document = twice_run_document()
    answer = put(client, "j", document)
    assert answer.status_code == 200 and answer.json()["nodes"] == 1 + 2 + 3 + 2 + 1
    assert client.get("/api/jobs/j/report").json() == document
    cases = [([("id", "t0"), ("id", "s0")], "failed"),
             ([("path", '["t0",{"id":"s0","position":2}]')], "passed"),
             ([("path", '[{"id":"t1","position":2}]')], "passed")]
    for query, result in cases:
        node = client.get("/api/jobs/j/section", params=query).json()
        assert node["result"] == result, query
    rows = client.get("/jobs/j/rows", params={"parent": '["t0"]'}).json()["rows"]
    assert len(rows) == 3
    below_runset = client.get("/jobs/j/rows", params={"parent": ""}).json()["rows"]
    assert len(below_runset) == 3


def test_the_job_page_opens_either_sibling_with_one_id(client):
    def case(step):
        return {"id": "case", "result": "passed", "sections": [{"id": step, "result": "passed"}]}
    document = {"version": "3.2", "report": {"id": "r", "tasks": [{"id": "t0", "sections": [case("a"), case("b")]}]}}
    assert put(client, "j", document).status_code == 200
    for steps, leaf in ((["t0", "case", "a"], "a"), (["t0", {"id": "case", "position": 1}, "b"], "b")):
        rows = client.get("/jobs/j/rows", params={"open": json.dumps(steps)}).json()["rows"]
        assert [row[4] for row in rows] == ["t0", "case", "case", leaf], steps
    for wrong in ([{"id": "case", "position": "1"}], [{"id": 1, "position": 1}], [{"id": "case"}]):
        assert client.get("/jobs/j/rows", params={"open": json.dumps(wrong)}).status_code == 400, wrong


@pytest.mark.parametrize("road", ["fast", "generic"])
def test_many_siblings_take_linear_time(road):
    import time
    from kovra.reporter.server import intake
    from kovra.reporter.server.settings import Settings

    def seconds(tasks, sections):
        document = {"version": "3.2", "report": {"id": "r", "tasks": [
            {"id": "t%d" % t, "sections": [{"id": "s%d" % s} for s in range(sections)]} for t in range(tasks)]}}
        text = json.dumps(document, ensure_ascii=road == "fast").encode()
        if road == "generic":
            text = text.replace(b'"r"', '"r\u00e9"'.encode())  # raw UTF-8 takes the generic road
        started = time.perf_counter()
        assert len(intake.read_snapshot(text, {}, Settings()).nodes) == 1 + tasks + tasks * sections
        return time.perf_counter() - started

    side_by_side = min(seconds(1, 60_000) for _ in range(2))
    spread = min(seconds(300, 200) for _ in range(2))
    # Quadratic, the side-by-side case took a hundred times longer than the spread one.
    assert side_by_side < 4 * spread + 0.2, (side_by_side, spread)


@pytest.mark.parametrize("char", ["\u202e", "\u2066", "\u2069", "\u200f", "\u061c", "\x1b", "\u2028"])
def test_the_command_line_shows_controls_and_bidi_escaped(tmp_path, capsys, char):
    from kovra.reporter import cli
    document = big_document(1, 1)
    document["report"]["tasks"][0]["sections"][0]["id"] = "left%sright" % char
    (tmp_path / "results.json").write_text(json.dumps(document))
    assert cli.main(["show", str(tmp_path / "results.json"), "--color", "never"]) == 0
    out = capsys.readouterr().out
    assert char not in out and ("left\\u%04xright" % ord(char) in out or "left\\x%02xright" % ord(char) in out)


def test_a_full_disk_is_507_which_the_client_does_not_take_for_a_pause(client, monkeypatch):
    from kovra.reporter.client import ServerUnavailable, _failure
    storage = client.app.state.storage

    def full(*_args, **_kwargs):
        raise sqlalchemy.exc.OperationalError("INSERT", {}, Exception("database or disk is full"))

    monkeypatch.setattr(storage, "_writer", full)
    answer = put(client, "j", big_document(1, 1))
    assert answer.status_code == 507
    assert "disk is full" in answer.json()["error"] and "will not help until space is freed" in answer.json()["error"]
    error = _failure("server", "PUT", "/api/jobs/j", 507, answer.content)
    assert not isinstance(error, ServerUnavailable) and "507 the server's disk is full" in str(error)


@pytest.mark.parametrize("host", ["elsewhere.example", "127.0.0.1:9"])
def test_redirects_are_relative_whatever_the_host_header(client, host):
    answer = client.get("/api/jobs/", headers={"Host": host}, follow_redirects=False)
    assert answer.status_code in (307, 308) and answer.headers["location"] == "/api/jobs"
    assert "frame-ancestors 'none'" in answer.headers["content-security-policy"]


def chain(levels, id_length):
    node = {"id": "leaf"}
    for level in range(levels):
        node = {"id": "%d" % level + "x" * (id_length - 1), "sections": [node]}
    return {"version": "3.2", "report": {"id": "r", "tasks": [node]}}


@pytest.mark.parametrize("document, limit, status", [
    (chain(80, 10_000), "max_id_length", 413),
    (chain(5, 900), "max_path_length", 413),
    (chain(3, 997), None, 200),        # 999 characters of JSON text: within both
    (chain(3, 1000), "max_id_length", 413),
    (chain(1, 3995), "max_id_length", 413),
])
def test_ids_and_paths_have_named_length_limits(client, document, limit, status):
    answer = put(client, "j", document)
    assert answer.status_code == status, answer.text[:200]
    if limit:
        assert limit in answer.json()["error"]
        assert client.get("/api/jobs").json()["total"] == 0


@pytest.mark.parametrize("large", [True, False])
def test_the_wal_is_truncated_after_a_large_write(client, monkeypatch, large):
    from kovra.reporter.server import storage
    url = client.app.state.storage.url
    if not url.startswith("sqlite"):
        pytest.skip("SQLite's WAL")
    monkeypatch.setattr(storage, "WAL_TRUNCATE_BYTES", 100_000 if large else 10 ** 12)
    assert put(client, "j", big_document(5, 40, payload="x" * 1000)).status_code == 200
    wal = url.split("///", 1)[1] + "-wal"
    assert (os.path.getsize(wal) == 0) == large
    assert client.get("/api/jobs/j/section", params=[("id", "t4"), ("id", "s39")]).status_code == 200


def test_reads_never_wait_for_a_writer_on_sqlite(make_client):
    import sqlite3
    import time
    client = make_client(db_timeout=3.0)
    url = client.app.state.storage.url
    if not url.startswith("sqlite"):
        pytest.skip("SQLite's locking")
    assert put(client, "j", big_document(2, 2)).status_code == 200
    # Another process's writer, holding its transaction open.
    other = sqlite3.connect(url.split("///", 1)[1], isolation_level=None, timeout=0.1)
    try:
        other.execute("BEGIN IMMEDIATE")
        other.execute("UPDATE jobs SET name = 'renamed'")
        for url_read in ("/api/jobs/j", "/api/jobs/j/runset", "/api/jobs", "/api/jobs/j/report", "/jobs/j",
                         "/trends?name=big"):
            # On new connections too: opening one takes no lock either.
            client.app.state.storage.engine.dispose()
            started = time.monotonic()
            answer = client.get(url_read)
            assert answer.status_code == 200 and time.monotonic() - started < 1.0, url_read
        # What the writer has not committed is not seen.
        assert client.get("/api/jobs/j").json()["name"] == "big"
    finally:
        other.execute("ROLLBACK")
        other.close()


@pytest.mark.parametrize("where", ["part", "content-type"])
def test_many_multipart_parameters_are_refused_at_once(client, where):
    import time
    many = "; a=b" * 200_000
    report = json.dumps(big_document(1, 1)).encode()
    kind = "multipart/form-data; boundary=XyZ" + (many if where == "content-type" else "")
    body = (b'--XyZ\r\nContent-Disposition: form-data; name="report"; filename="results.json"' +
            (many.encode() if where == "part" else b"") + b"\r\n\r\n" + report + b"\r\n--XyZ--\r\n")
    started = time.monotonic()
    answer = client.put("/api/jobs/j", content=body, headers=dict(AUTH, **{"Content-Type": kind}))
    assert time.monotonic() - started < 2
    assert answer.status_code == 400 and "more than 32 parameters in a header" in answer.json()["error"]


def test_upload_bodies_wait_for_a_slot_before_they_are_read(start_server):
    import socket
    import time
    from conftest import TOKEN
    server = start_server()

    def rss():
        with open("/proc/%d/status" % server.process.pid) as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))

    size = 24 * 1024 * 1024
    head = ("PUT /api/jobs/held?state=finished HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n"
            "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n" % (TOKEN, size)).encode()
    body = b" " * (size - 1)
    before = rss()
    senders = []
    try:
        for _ in range(6):
            sender = socket.create_connection(("127.0.0.1", server.port))
            sender.setblocking(False)
            sender.sendall(head)
            senders.append([sender, memoryview(body)])
        # Every sender pushes what the server takes, all but its last byte, for a while.
        ends = time.monotonic() + 4
        while time.monotonic() < ends:
            for item in senders:
                if item[1]:
                    try:
                        item[1] = item[1][item[0].send(item[1][:1 << 20]):]
                    except BlockingIOError:
                        pass
            time.sleep(0.01)
        grown = rss() - before
        taken = sum(1 for _, left in senders if not left)
        # Two slots: two bodies read (and a copy each when joined); the others wait in their sockets.
        assert taken == 2 and grown < 3 * size, (taken, grown)
    finally:
        for sender, _ in senders:
            sender.close()


def test_stalled_connections_are_closed_and_bounded(start_server):
    import socket
    import time
    import urllib.request
    server = start_server(extra=["--header-timeout", "1", "--max-connections", "20"])
    stalled = []
    try:
        for _ in range(30):
            sock = socket.create_connection(("127.0.0.1", server.port))
            sock.sendall(b"GET /api/jobs HTTP/1.1\r\nHost: x\r\n")  # headers that never end
            sock.settimeout(6)
            stalled.append(sock)
        started = time.monotonic()
        answers = [sock.recv(1024) for sock in stalled]
        # All closed: the ones past the bound at once (503), the others at their deadline.
        assert time.monotonic() - started < 5
        # (The start-up probe's connection may still be counted: one more refused then.)
        refused = sum(a.startswith(b"HTTP/1.1 503") for a in answers)
        assert refused in (10, 11) and answers.count(b"") == 30 - refused
        with urllib.request.urlopen(server.url + "/api/jobs", timeout=5) as answer:
            assert answer.status == 200
    finally:
        for sock in stalled:
            sock.close()


def test_health_readiness_and_the_database_going_and_coming_back(client, monkeypatch, caplog):
    import logging
    storage = client.app.state.storage
    assert client.get("/healthz").json() == {"status": "ok"}
    assert client.get("/readyz").json() == {"status": "ready"}
    real = storage.engine.connect

    def away(*_args, **_kwargs):
        raise sqlalchemy.exc.OperationalError("SELECT 1", {}, Exception("connection refused"))

    caplog.set_level(logging.WARNING, logger="kovra.reporter.server")
    monkeypatch.setattr(storage.engine, "connect", away)
    for _ in range(3):
        assert client.get("/api/jobs").status_code == 503
    assert client.get("/healthz").status_code == 200
    ready = client.get("/readyz")
    assert ready.status_code == 503 and "connection refused" in ready.json()["error"]
    monkeypatch.setattr(storage.engine, "connect", real)
    for _ in range(2):
        assert client.get("/api/jobs").status_code == 200
    assert client.get("/readyz").status_code == 200
    said = [record.getMessage() for record in caplog.records if record.name == "kovra.reporter.server"]
    # Once each way, however many requests met it.
    assert said == ["the database is unavailable: connection refused", "the database is available again"]


def test_files_are_the_owners_and_a_readable_token_file_is_warned_of(start_server, tmp_path):
    import stat
    from kovra.reporter.server.settings import Settings
    from kovra.reporter.server.storage import Storage
    folder = tmp_path / "fresh" / "data"
    storage = Storage("sqlite:///%s" % (folder / "reporter.sqlite3"))
    try:
        assert put_job_via(storage) == 1
        modes = {name: stat.S_IMODE(os.stat(folder / name).st_mode) for name in os.listdir(folder)}
        assert stat.S_IMODE(os.stat(folder).st_mode) == 0o700
        assert modes == {"reporter.sqlite3": 0o600, "reporter.sqlite3-wal": 0o600, "reporter.sqlite3-shm": 0o600}
    finally:
        storage.close()
    server = start_server()
    os.chmod(server.token_file, 0o644)
    server.stop()
    server.start()
    assert "warning: the token file %s can be read by others (mode 0644): chmod 600 it" % server.token_file \
        in server.output()
    # The database's password from a file, never on the command line.
    (tmp_path / "pw").write_text("s3cr:et@x\n")
    settings = Settings(db="postgresql://kovra@db.example:5432/k", db_password_file=str(tmp_path / "pw"))
    from sqlalchemy.engine import make_url
    url = make_url(settings.database_url())
    assert (url.username, url.password, url.host, url.database) == ("kovra", "s3cr:et@x", "db.example", "k")


def put_job_via(storage):
    from kovra.reporter.server.intake import read_snapshot
    from kovra.reporter.server.settings import Settings
    snapshot = read_snapshot(json.dumps(big_document(1, 1)).encode(), {}, Settings(), None, storage.time_text)
    return storage.put_job("j", snapshot, "finished")[0]["snapshot"]


@pytest.mark.parametrize("url", ["/api/jobs/j/report", "/api/jobs", "/jobs/j", "/"])
def test_large_answers_are_gzipped_when_asked(client, url):
    for job in ("j", "k1", "k2", "k3", "k4", "k5"):
        assert put(client, job, big_document(5, 20, payload="text " * 20)).status_code == 200
    packed = client.get(url, headers={"Accept-Encoding": "gzip"})
    plain = client.get(url, headers={"Accept-Encoding": "identity"})
    assert packed.headers["content-encoding"] == "gzip" and "content-encoding" not in plain.headers
    assert packed.content == plain.content and int(packed.headers["content-length"]) < len(plain.content) / 2
    assert packed.headers["content-security-policy"] == plain.headers["content-security-policy"]


@pytest.mark.parametrize("form", ["text", "json"])
def test_the_access_log_has_a_line_per_request_and_never_a_token(start_server, form):
    import time
    import urllib.request
    from conftest import TOKEN
    server = start_server(extra=["--access-log", form])
    request = urllib.request.Request(server.url + "/api/jobs?q=a%20b", headers={"Authorization": "Bearer " + TOKEN})
    with urllib.request.urlopen(request, timeout=5) as answer:
        size = len(answer.read())
    odd = urllib.request.Request(server.url + "/api/jobs/none", headers={"Authorization": "Bearer guess"})
    with pytest.raises(urllib.error.HTTPError):
        urllib.request.urlopen(odd, timeout=5)
    time.sleep(0.3)
    lines = [line for line in server.output().splitlines() if "/api/jobs" in line]
    assert len(lines) == 2 and TOKEN not in server.output() and "guess" not in server.output()
    if form == "json":
        first, second = (json.loads(line) for line in lines)
        assert (first["method"], first["path"], first["status"], first["bytes"], first["token"]) == \
            ("GET", "/api/jobs?q=a%20b", 200, size, "write")
        assert (second["status"], second["token"]) == (404, "other") and first["seconds"] >= 0
    else:
        first, second = (line.split() for line in lines)
        assert first[1:5] == ["GET", "/api/jobs?q=a%20b", "200", str(size)] and first[-1] == "write"
        assert (second[3], second[-1]) == ("404", "other")


def test_metrics_count_requests_uploads_and_database_errors(client, monkeypatch):
    assert put(client, "j", big_document(2, 2)).status_code == 200
    assert put(client, "j", big_document(2, 2)).status_code == 200     # unchanged: not stored again
    for _ in range(3):
        client.get("/api/jobs/j/runset")
    client.get("/api/jobs/none")

    def away(*_args, **_kwargs):
        raise sqlalchemy.exc.OperationalError("SELECT 1", {}, Exception("connection refused"))

    monkeypatch.setattr(client.app.state.storage.engine, "connect", away)
    client.get("/api/jobs")
    answer = client.get("/metrics")
    assert answer.headers["content-type"].startswith("text/plain; version=0.0.4")
    values = {}
    for line in answer.text.splitlines():
        if not line.startswith("#"):
            name, _, value = line.rpartition(" ")
            values[name] = float(value)
    assert values['kovra_requests_total{handler="runset",method="GET",status="200"}'] == 3
    assert values['kovra_requests_total{handler="job",method="GET",status="404"}'] == 1
    assert values['kovra_requests_total{handler="put_job",method="PUT",status="200"}'] == 2
    assert values['kovra_requests_total{handler="list_jobs",method="GET",status="503"}'] == 1
    assert values['kovra_request_seconds_count{handler="runset"}'] == 3
    assert values['kovra_request_seconds_bucket{handler="runset",le="+Inf"}'] == 3
    assert values['kovra_request_seconds_bucket{handler="runset",le="0.005"}'] <= 3
    assert (values["kovra_uploads_total"], values["kovra_nodes_stored_total"]) == (1, 1 + 2 + 4)
    assert values["kovra_database_errors_total"] == 1
    assert (values["kovra_upload_slots_busy"], values["kovra_uploads_waiting"]) == (0, 0)


def test_the_rule_on_reading_is_the_databases_for_every_process(make_client, monkeypatch):
    from kovra.reporter.server import storage as storage_module
    monkeypatch.setattr(storage_module, "READ_RULE_AGE", 0.0)
    open_one = make_client()
    assert put(open_one, "j", big_document(1, 1)).status_code == 200
    assert open_one.get("/api/jobs/j").status_code == 200
    protecting = make_client(read_token_required=True)
    # The process started without the flag applies the rule the other one stored.
    for client in (open_one, protecting):
        for url in ("/api/jobs", "/api/jobs/j/runset", "/jobs/j/rows?parent=", "/metrics"):
            answer = client.get(url)
            assert answer.status_code == 401 and "reading needs a token" in answer.json()["error"], url
            if not url.startswith("/jobs/"):   # (the pages' own rows take no token yet)
                assert client.get(url, headers=AUTH).status_code == 200, url
        page = client.get("/jobs/j")
        assert page.status_code == 401 and page.headers["content-type"].startswith("text/html")
        assert client.get("/healthz").status_code == 200
    make_client(read_token_required=False)
    assert open_one.get("/api/jobs/j").status_code == 200 and open_one.get("/").status_code == 200


def test_postgresql_connections_run_statements_uncompiled(pg_url):
    # Compiling a big job's scan cost more than the scan; a connection taken from the pool again, after
    # its transactions were rolled back, must still have it off.
    from kovra.reporter.server.storage import Storage
    storage = Storage(pg_url)
    try:
        for _ in range(3):
            with storage.engine.connect() as connection:
                assert connection.exec_driver_sql("SHOW jit").scalar() == "off"
                connection.rollback()
    finally:
        storage.close()
