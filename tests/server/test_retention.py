"""Protected jobs, deletion and the space it gives back, on each database."""
import json
import os

import pytest

from conftest import AUTH
from reports import big_document


def put(client, job, document, **params):
    params.setdefault("state", "finished")
    return client.put("/api/jobs/" + job, params=params, content=json.dumps(document).encode(), headers=AUTH)


FIRST, OTHER = big_document(2, 3), big_document(1, 1)
# (first send's state, second send: document, its parameters; the status, the snapshot after)
SENDS = [
    ("finished", FIRST, {}, 200, 1),                                # the same again: a retry
    ("finished", FIRST, {"state": "running"}, 200, 1),              # the same snapshot, as before
    ("finished", OTHER, {}, 409, 1),                                # a finished job is not replaced
    ("finished", OTHER, {"state": "running"}, 409, 1),
    ("finished", OTHER, {"replace": "true"}, 200, 2),
    ("running", OTHER, {"state": "running"}, 200, 2),               # a running job grows
    ("running", OTHER, {}, 200, 2),                                 # and finishes
    ("running", OTHER, {"name": "other"}, 409, 1),                  # not renamed
    ("running", FIRST, {"name": "other"}, 409, 1),
    ("running", OTHER, {"name": "other", "replace": "true"}, 200, 2),
    ("finished", OTHER, {"replace": "maybe"}, 400, 1),
]


@pytest.mark.parametrize("state, document, params, status, snapshot", SENDS)
def test_finished_jobs_and_names_are_protected(client, state, document, params, status, snapshot):
    assert put(client, "j", FIRST, state=state).status_code == 200
    answer = put(client, "j", document, **params)
    assert answer.status_code == status, answer.text
    if status == 409:
        assert "replace=true" in answer.json()["error"]
    row = client.get("/api/jobs/j").json()
    assert row["snapshot"] == snapshot
    assert row["nodes"] == (1 + 2 + 6 if snapshot == 1 else 1 + 1 + 1)


def test_a_deleted_job_is_gone_whole(client):
    logs = {"t0.log": b"x" * 100_000}
    files = [("report", ("results.json", json.dumps(FIRST).encode()))] + [("log", (n, d)) for n, d in logs.items()]
    assert client.put("/api/jobs/j", params={"state": "finished"}, files=files, headers=AUTH).status_code == 200
    assert put(client, "k", OTHER).status_code == 200
    assert client.delete("/api/jobs/j").status_code == 401
    assert client.delete("/api/jobs/j", headers={"Authorization": "Bearer wrong"}).status_code == 401
    assert client.delete("/api/jobs/j", headers=AUTH).json() == {"deleted": "j"}
    for url in ("/api/jobs/j", "/api/jobs/j/runset", "/api/jobs/j/report", "/api/jobs/j/logs",
                "/api/jobs/j/logs/t0.log", "/api/jobs/j/section?id=t0"):
        assert client.get(url).status_code == 404, url
    assert client.delete("/api/jobs/j", headers=AUTH).status_code == 404
    assert [row["id"] for row in client.get("/api/jobs").json()["jobs"]] == ["k"]
    storage = client.app.state.storage
    from sqlalchemy import func, select
    with storage.engine.connect() as connection:
        for table in (storage.tables.nodes, storage.tables.log_files, storage.tables.log_chunks):
            assert connection.execute(select(func.count()).select_from(table)
                                      .where(table.c.job == "j")).scalar_one() == 0
    # The key is free for a new job.
    assert put(client, "j", OTHER).json()["snapshot"] == 1


@pytest.mark.parametrize("how", ["delete", "prune"])
def test_deleting_half_the_jobs_shrinks_the_sqlite_file(client, how):
    url = client.app.state.storage.url
    if not url.startswith("sqlite"):
        pytest.skip("the SQLite file")
    path = url.split("///", 1)[1]
    document = big_document(4, 50, payload="p" * 2000)
    # The schema's own pages (a page or more for each table and index) stay whatever is deleted.
    client.app.state.storage.truncate_wal()
    empty = os.path.getsize(path)
    for index in range(8):
        assert put(client, "job-%d" % index, document).status_code == 200
    client.app.state.storage.truncate_wal()
    full = os.path.getsize(path)
    if how == "delete":
        for index in range(0, 8, 2):
            assert client.delete("/api/jobs/job-%d" % index, headers=AUTH).status_code == 200
    else:
        assert client.put("/api/retention", params={"keep_last": 4}, headers=AUTH).status_code == 200
        assert client.post("/api/prune", headers=AUTH).json()["jobs"] == ["job-%d" % i for i in range(4)]
    half = os.path.getsize(path) + os.path.getsize(path + "-wal")
    assert half - empty < 0.6 * (full - empty), (empty, full, half)
    assert client.app.state.storage.integrity_check() == "ok"
    assert client.get("/api/jobs").json()["total"] == 4


def fill(client):
    """Jobs of name a (a0 pinned, ar running) and of name b, oldest first."""
    for key, name, state in (("a0", "a", "finished"), ("ar", "a", "running"), ("a1", "a", "finished"),
                             ("a2", "a", "finished"), ("a3", "a", "finished"), ("b0", "b", "finished")):
        assert put(client, key, OTHER, name=name, state=state).status_code == 200
    assert client.put("/api/jobs/a0/pin", headers=AUTH).json()["pinned"] is True


# (keep_last, keep_days, days from now, the jobs that go, oldest first)
POLICIES = [
    (2, None, 0, ["a1"]),
    (1, None, 0, ["a1", "a2"]),
    (None, 5, 0, []),
    (None, 5, 10, ["a1", "a2", "a3", "b0"]),
    (2, 5, 10, ["a1"]),
    (2, 5, 0, []),
    (None, None, 10, []),
]


@pytest.mark.parametrize("keep_last, keep_days, later, going", POLICIES)
def test_the_retention_lets_go_what_every_bound_lets_go(client, keep_last, keep_days, later, going):
    import datetime
    fill(client)
    query = {key: value for key, value in (("keep_last", keep_last), ("keep_days", keep_days)) if value}
    assert client.put("/api/retention", params=query, headers=AUTH).json() == \
        {"keep_last": keep_last, "keep_days": keep_days}
    storage = client.app.state.storage
    now = datetime.datetime.utcnow() + datetime.timedelta(days=later)
    assert storage.prune(dry_run=True, now=now) == going
    assert client.get("/api/jobs").json()["total"] == 6
    assert storage.prune(now=now) == going
    left = sorted(row["id"] for row in client.get("/api/jobs").json()["jobs"])
    assert left == sorted({"a0", "ar", "a1", "a2", "a3", "b0"} - set(going))


def test_pruning_through_the_api_and_by_the_server_itself(make_client):
    import time
    from starlette.testclient import TestClient
    client = make_client()
    fill(client)
    for bad in ({"keep_last": "0"}, {"keep_days": "-1"}, {"keep_days": "nan"}, {"keep_last": "x"}):
        assert client.put("/api/retention", params=bad, headers=AUTH).status_code == 400, bad
    assert client.put("/api/retention", params={"keep_last": 2}).status_code == 401
    assert client.post("/api/prune").status_code == 401
    assert client.put("/api/jobs/nope/pin", headers=AUTH).status_code == 404
    assert client.put("/api/retention", params={"keep_last": 2}, headers=AUTH).status_code == 200
    assert client.post("/api/prune", params={"dry_run": "true"}, headers=AUTH).json() == \
        {"dry_run": True, "jobs": ["a1"]}
    assert client.get("/api/jobs/a1").status_code == 200
    assert client.put("/api/jobs/a0/pin", params={"pinned": "false"}, headers=AUTH).json()["pinned"] is False
    # The policy is the database's: a second process (here a second app) applies it on its own.
    with TestClient(make_client(prune_interval=0.2).app) as other:
        ends = time.monotonic() + 10
        while other.get("/api/jobs").json()["total"] > 4 and time.monotonic() < ends:
            time.sleep(0.1)
        assert sorted(row["id"] for row in other.get("/api/jobs").json()["jobs"]) == ["a2", "a3", "ar", "b0"]
