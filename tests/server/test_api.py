"""The HTTP API in-process: uploads, reads, the job list, logs, tokens and headers, on each database."""
import gzip
import json

import pytest

from conftest import AUTH, TOKEN
from reports import big_document

from kovra.reporter.server.app import CSP


def put(client, job, document, state="finished", logs=None, headers=AUTH, **params):
    text = json.dumps(document).encode() if not isinstance(document, bytes) else document
    if logs is None:
        return client.put("/api/jobs/%s" % job, params=dict(state=state, **params), content=text, headers=headers)
    files = [("report", ("results.json", text))] + [("log", (name, data)) for name, data in logs.items()]
    return client.put("/api/jobs/%s" % job, params=dict(state=state, **params), files=files, headers=headers)


def test_a_sent_report_reads_back_node_by_node(client):
    document = big_document(2, 3, steps=2, payload="<b>&amp;</b>")
    answer = put(client, "nightly-1", document, state="running")
    assert answer.status_code == 200, answer.text
    row = answer.json()
    assert (row["id"], row["name"], row["state"], row["snapshot"], row["nodes"]) == \
        ("nightly-1", "big", "running", 1, 1 + 2 + 6 + 12)
    assert row["counts"] == {"passed": 6, "total": 6} and row["result"] == "passed"
    runset = client.get("/api/jobs/nightly-1/runset").json()
    assert runset["tasks"] == ["t0", "t1"] and runset["summary"]["success_rate"] == 100.0
    section = client.get("/api/jobs/nightly-1/section", params=[("id", "t1"), ("id", "s2")])
    assert section.json() == dict(document["report"]["tasks"][1]["sections"][2], sections=["step0", "step1"])
    # Markup reaches JSON readers intact but never appears raw in the bytes served.
    assert "<" not in section.text and section.json()["description"] == "<b>&amp;</b>"
    by_path = client.get("/api/jobs/nightly-1/section", params={"path": '["t1","s2","step1"]'}).json()
    assert by_path["fullid"] == "t1.s2.step1" and "sections" not in by_path


def test_missing_things_are_404_with_a_reason(client):
    put(client, "j", big_document(1, 1))
    for url, reason in [("/api/jobs/nope", "no job 'nope'"), ("/api/jobs/nope/runset", "no job 'nope'"),
                        ("/api/jobs/j/section?id=t0&id=zz", 'no node at id path ["t0", "zz"]'),
                        ("/api/jobs/j/logs/none.log", "has no log 'none.log'"), ("/api/nothing", "no such")]:
        answer = client.get(url)
        assert answer.status_code == 404 and reason in answer.json()["error"], url
    assert client.get("/api/jobs/j/section").status_code == 400
    assert client.get("/api/jobs/j/section?path=notjson").status_code == 400


def test_resending_a_snapshot_changes_nothing_and_state_moves(client):
    document = big_document(1, 2)
    first = put(client, "j", document, state="running").json()
    again = put(client, "j", document, state="running").json()
    assert (again["snapshot"], again["changed"]) == (1, False)
    finished = put(client, "j", document, state="finished").json()
    assert (finished["snapshot"], finished["state"], finished["changed"]) == (1, "finished", True)
    document["report"]["tasks"][0]["sections"].pop()
    newer = put(client, "j", document, replace="true").json()
    assert newer["snapshot"] == 2 and newer["nodes"] == first["nodes"] - 1
    assert client.get("/api/jobs/j/section?id=t0&id=s1").status_code == 404
    assert client.get("/api/jobs/j").json()["snapshot"] == 2


def test_gzip_and_multipart_with_logs(client):
    log = bytes(range(256)) * 700 + b"tail"          # several chunks, not UTF-8
    document = big_document(1, 1)
    answer = put(client, "j", gzip.compress(json.dumps(document).encode()), logs={"t0.log": log, "b.log": b""})
    assert answer.status_code == 200, answer.text
    assert client.get("/api/jobs/j/logs").json() == {"logs": {"b.log": 0, "t0.log": len(log)}}
    for start, stop in [(0, 10), (65530, 65546), (65536, 131072), (len(log) - 3, None), (5, 5), (0, 10 ** 9)]:
        answer = client.get("/api/jobs/j/logs/t0.log", params={"start": start, "stop": stop} if stop is not None
                            else {"start": start})
        assert answer.content == log[start:stop], (start, stop)
    assert client.get("/api/jobs/j/logs/t0.log?start=-1").status_code == 400
    assert client.get("/api/jobs/j/logs/b.log").content == b""
    # The whole report comes back as the document that was sent; gzip alone as the body is read too.
    assert client.get("/api/jobs/j/report").json() == document
    answer = put(client, "k", gzip.compress(json.dumps(document).encode()), headers=dict(AUTH, **{
        "Content-Type": "application/gzip"}))
    assert answer.status_code == 200, answer.text
    assert client.get("/api/jobs/k/report").json() == document


def test_job_list_filters_and_pages(client):
    for index in range(7):
        document = big_document(1, 1)
        document["report"]["starttime"] = "2026-01-0%d 10:00:00.000001" % (index + 1)
        del document["report"]["result"]          # the job's result comes from its counts then
        if index % 3 == 0:
            document["report"]["summary"] = {"failed": 1, "total": 1, "success_rate": 0.0}
        elif index == 1:
            # Skipped weighs least, as in every other tool: this job passed.
            document["report"]["summary"] = {"passed": 1, "skipped": 1, "total": 2, "success_rate": 100.0}
        put(client, "job-%d" % index, document, state="running" if index == 6 else "finished",
            name="even" if index % 2 == 0 else "odd")
    listed = client.get("/api/jobs", params={"per_page": 3}).json()
    assert listed["total"] == 7 and [j["id"] for j in listed["jobs"]] == ["job-6", "job-5", "job-4"]
    assert [j["id"] for j in client.get("/api/jobs?per_page=3&page=3").json()["jobs"]] == ["job-0"]
    def ids(**query):
        return sorted(j["id"] for j in client.get("/api/jobs", params=query).json()["jobs"])
    assert ids(name="odd") == ["job-1", "job-3", "job-5"]
    assert ids(state="running") == ["job-6"]
    assert ids(result="failed") == ["job-0", "job-3", "job-6"]
    assert ids(result="skipped") == [] and "job-1" in ids(result="passed")
    assert ids(since="2026-01-03", until="2026-01-05") == ["job-2", "job-3"]
    assert ids(since="2026-01-06T10:00:00Z") == ["job-5", "job-6"]
    assert ids(q="b-4") == ["job-4"] and ids(q="%") == [] and ids(q="_") == []
    for bad in ({"page": 0}, {"per_page": "x"}, {"since": "yesterday"}, {"state": "gone"}):
        answer = client.get("/api/jobs", params=bad)
        assert answer.status_code == 400 and answer.json()["error"], bad


def test_tokens(make_client):
    client = make_client()
    document = big_document(1, 1)
    assert put(client, "j", document, headers={}).status_code == 401
    assert put(client, "j", document, headers={"Authorization": "Bearer wrong"}).status_code == 401
    assert put(client, "j", document, headers={"Authorization": TOKEN}).status_code == 401
    assert client.get("/api/jobs").json()["total"] == 0
    assert client.get("/api/jobs/j").status_code == 404
    closed = make_client(read_token_required=True)
    assert put(closed, "j", document).status_code == 200
    for url in ("/api/jobs", "/api/jobs/j", "/api/jobs/j/runset", "/api/jobs/j/section?id=t0",
                "/api/jobs/j/report", "/api/jobs/j/logs"):
        assert closed.get(url).status_code == 401, url
        assert closed.get(url, headers=AUTH).status_code == 200, url
    no_token = make_client(token=None)
    assert put(no_token, "k", document).status_code == 403


def test_every_answer_carries_the_policy(client):
    put(client, "j", big_document(1, 1))
    for answer in (client.get("/api/jobs"), client.get("/api/jobs/j/runset"), client.get("/api/jobs/x"),
                   client.get("/nothing"), client.post("/api/jobs"), put(client, "j", b"nope"),
                   put(client, "j", b"{}", headers={})):
        assert answer.headers["content-security-policy"] == CSP, answer.request.url
        assert answer.headers["x-content-type-options"] == "nosniff"
        assert answer.headers["content-type"].startswith(("application/json", "text/plain"))


@pytest.mark.parametrize("key", ["<script>", "a/b", "a b", "-x", "x" * 201, "é", "a\nb", "..", "a;b"])
def test_job_keys_are_plain(client, key):
    answer = put(client, key.replace("/", "%2F"), big_document(1, 1))
    assert answer.status_code in (400, 404, 405)
    assert client.get("/api/jobs").json()["total"] == 0
