"""Hostile uploads: each is refused with a 4xx and a one-line reason, the job keeps its previous
snapshot, and the server goes on serving."""
import gzip
import json

import pytest

from conftest import AUTH
from reports import big_document
from test_api import put

from kovra.reporter.client import _multipart

GOOD = big_document(1, 2)


def report(**changes):
    document = json.loads(json.dumps(GOOD))
    document["report"].update(changes)
    return json.dumps(document).encode()


def nested(depth):
    return ('{"version":"3.2","report":{"id":"x","extra":' + "[" * depth + "]" * depth + "}}").encode()


ALIAS_BOMB = b"""version: '3.2'
report: &a0 {id: x, extra: [&a1 [*a0, *a0], &a2 [*a1, *a1], &a3 [*a2, *a2], &a4 [*a3, *a3]]}
"""

CASES = [
    ("huge", b'{"version":"3.2","report":{"id":"x","extra":"' + b"x" * 300_000 + b'"}}', 413, "larger than"),
    ("gzip bomb", gzip.compress(b'{"version":"3.2","report":{"id":"' + b"0" * 3_000_000 + b'"}}'), 413,
     "once unpacked"),
    ("damaged gzip", gzip.compress(report())[:-20], 400, "gzip"),
    ("deep", nested(90_000), 400, "nested deeper"),
    ("deep, within the parser's reach", nested(450), 400, "nested deeper"),
    ("bad UTF-8", b'{"version":"3.2","report":{"id":"\xff\xfe"}}', 400, "not UTF-8"),
    ("overlong UTF-8", b'{"version":"3.2","report":{"id":"\xc0\xbc"}}', 400, "not UTF-8"),
    ("not JSON", b"<html><script>alert(1)</script>", 400, "not JSON"),
    ("YAML alias bomb", ALIAS_BOMB, 400, "not JSON"),
    ("empty", b"", 400, "not JSON"),
    ("a list", b"[1, 2]", 400, "not a stored report"),
    ("report not a mapping", b'{"version":"3.2","report":[]}', 400, "not a stored report"),
    ("other version", report().replace(b'"3.2"', b'"3.1"'), 400, "format version '3.1'"),
    ("version as a number", report().replace(b'"3.2"', b"3.2"), 400, "format version 3.2"),
    ("tasks not a list", report(tasks={"a": 1}), 400, "'tasks' is not a list"),
    ("a child not a node", report(tasks=["t0"]), 400, "tasks[0] is not a report node"),
    ("a child without id", report(tasks=[{"type": "Task"}]), 400, "is not a report node with an id"),
    ("no id at the top", b'{"version":"3.2","report":{"type":"RunSet"}}', 400, "has no id"),
    ("too many nodes", json.dumps(big_document(3, 40)).encode(), 413, "more than 100 nodes"),
]


@pytest.fixture
def guarded(make_client):
    client = make_client(max_upload_bytes=200_000, max_report_bytes=1_000_000, max_nodes=100)
    assert put(client, "j", GOOD, state="running").status_code == 200
    yield client
    # The earlier snapshot is whole, and the server still serves.
    row = client.get("/api/jobs/j").json()
    assert (row["snapshot"], row["state"], row["nodes"]) == (1, "running", 4)
    assert client.get("/api/jobs/j/report").json() == GOOD
    assert client.get("/api/jobs").json()["total"] == 1


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_bad_reports_are_refused(guarded, case):
    _, body, status, reason = case
    for job in ("j", "other"):
        answer = guarded.put("/api/jobs/" + job, content=body, headers=AUTH)
        assert answer.status_code == status, answer.text
        error = answer.json()["error"]
        assert reason in error and "\n" not in error and len(error) < 400


def test_a_body_without_length_is_cut_off_at_the_limit(guarded):
    def chunks():
        for _ in range(100):
            yield b"x" * 10_000

    answer = guarded.put("/api/jobs/j", content=chunks(), headers=AUTH)
    assert answer.status_code == 413


MULTIPART = [
    ("no boundary", "multipart/form-data", b"--x\r\n", "no boundary"),
    ("truncated", "multipart/form-data; boundary=zz",
     b'--zz\r\nContent-Disposition: form-data; name="report"\r\n\r\n{}', "ends inside a part"),
    ("no report", "multipart/form-data; boundary=zz",
     b'--zz\r\nContent-Disposition: form-data; name="log"; filename="a.log"\r\n\r\nx\r\n--zz--\r\n', "no report part"),
    ("two reports", "multipart/form-data; boundary=zz",
     b'--zz\r\nContent-Disposition: form-data; name="report"\r\n\r\n{}\r\n'
     b'--zz\r\nContent-Disposition: form-data; name="report"\r\n\r\n{}\r\n--zz--\r\n', "more than one report"),
    ("other field", "multipart/form-data; boundary=zz",
     b'--zz\r\nContent-Disposition: form-data; name="<script>"\r\n\r\n{}\r\n--zz--\r\n', "unexpected part"),
]


@pytest.mark.parametrize("case", MULTIPART, ids=[c[0] for c in MULTIPART])
def test_bad_multipart_is_refused(guarded, case):
    _, kind, body, reason = case
    answer = guarded.put("/api/jobs/j", content=body, headers=dict(AUTH, **{"Content-Type": kind}))
    assert answer.status_code == 400 and reason in answer.json()["error"], answer.text


@pytest.mark.parametrize("name", ["../etc/passwd", "a/b.log", "..", "a\x00b", "a\nb", "x" * 300, "c:\\x"])
def test_log_names_never_reach_a_path(guarded, name):
    # Written as the client writes it (RFC 5987): a form encoder would quote the control characters away.
    body = _multipart("zz", [("report", "r.json", json.dumps(GOOD).encode()), ("log", name, b"data")])
    answer = guarded.put("/api/jobs/j", content=body,
                         headers=dict(AUTH, **{"Content-Type": "multipart/form-data; boundary=zz"}))
    assert answer.status_code == 400 and "not a log file name" in answer.json()["error"], answer.text


def test_markup_in_every_field_is_data_and_never_served_raw(client):
    evil = '<script>alert("x")</script><img src=x onerror=alert(1)>&amp;'

    def poison(value):
        if isinstance(value, dict):
            return {evil + key if key not in ("id", "tasks", "sections", "version", "report") else key: poison(item)
                    for key, item in value.items()}
        if isinstance(value, list):
            return [poison(item) for item in value]
        return evil if isinstance(value, str) and value not in ("3.2",) else value

    document = poison(big_document(2, 2))
    document["report"]["tasks"][1]["id"] = evil
    answer = put(client, "j", document, logs={evil.replace("/", "") + ".log": evil.encode()}, name=evil)
    assert answer.status_code == 200, answer.text
    for url in ("/api/jobs", "/api/jobs/j", "/api/jobs/j/runset", "/api/jobs/j/report",
                "/api/jobs/j/section?" + "id=" + evil.replace("&", "%26").replace("#", "%23")):
        served = client.get(url)
        assert served.status_code == 200 and served.headers["content-type"] == "application/json", url
        assert "<" not in served.text, url
    assert client.get("/api/jobs/j/report").json() == document
    assert client.get("/api/jobs/j").json()["name"] == evil


def test_the_nesting_limit_counts_every_level_of_the_document(make_client):
    client = make_client(max_depth=20)

    def chain(levels, leaf):
        """A run set with a task and sections `levels` deep below it, the last holding `leaf`."""
        node = {"id": "last", "extra": leaf}
        for level in range(levels - 1):
            node = {"id": "s%d" % level, "sections": [node]}
        return {"version": "3.2", "report": {"id": "run", "tasks": [node]}}

    def nested(levels):
        value = 1
        for _ in range(levels):
            value = [value]
        return value

    # The document, the run set, and two levels per node below it: the last node at level 2 + 2 * 9.
    assert put(client, "a", chain(9, 1)).status_code == 200
    assert put(client, "b", chain(8, nested(2))).status_code == 200        # a value at levels 19 and 20
    for document in (chain(9, []), chain(8, nested(3)), chain(10, 1)):
        answer = put(client, "c", document)
        assert answer.status_code == 400 and "nested deeper than 20 levels" in answer.json()["error"]
    # The same limit whatever the kind of container.
    assert put(client, "d", chain(8, {"k": {"k": 1}})).status_code == 200
    assert put(client, "e", chain(8, {"k": {"k": {}}})).status_code == 400
