"""A team's load on a real server process, and faults under it: kill -9 in the middle of a prune,
PostgreSQL restarted while senders, walkers, page readers and a prune go on. Each run is short and
bounded; the 60-second run and its figures are bench_server.py's team-load."""
import json
import os
import subprocess
import threading
import time
import urllib.error
import urllib.request

import pytest

from conftest import PG_URL, TOKEN, half_written
from reports import big_document

from kovra.reporter.client import ServerClient
from support.team_load import TeamLoad

PG_CTL = os.environ.get("KOVRA_TEST_PG_CTL")


def _status(url):
    try:
        with urllib.request.urlopen(url, timeout=30) as answer:
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code


def test_a_team_load_loses_nothing(start_server, db_url):
    server = start_server(db_url)
    load = TeamLoad(server.url, TOKEN, seconds=3, senders=2, walkers=2, readers=1, sections=20, keep_last=1,
                    prune_every=0.3).run()
    assert load.errors == {}
    assert {"send", "node", "page", "rows", "prune", "list"} <= set(load.requests)
    # The prune deleted jobs while the sends went on, and every acknowledged upload is whole or was pruned.
    assert load.pruned
    assert load.check() == []
    assert half_written(db_url) == []


class _Doc:
    def __init__(self, document):
        self.text = json.dumps(document)

    def dump_json(self):
        return self.text


JOBS = 8


def test_sigkill_in_the_middle_of_a_prune(start_server, db_url, tmp_path):
    data = tmp_path / "srv"
    server = start_server(db_url, data=data)
    log = os.urandom(256 << 10)
    documents = {}
    seen = []

    def fill(round_number):
        with ServerClient(server.url, None, token=TOKEN, timeout=120) as client:
            for index in range(JOBS):
                client.job = "r%d-%d" % (round_number, index)
                documents[client.job] = big_document(3, 200, payload=client.job)
                client.send(_Doc(documents[client.job]), name="nightly", logs={"big.log": log})
            return client.list_jobs()["total"]

    with ServerClient(server.url, None, token=TOKEN, timeout=120) as client:
        client.set_retention(keep_last=1)
        fill(0)
        started = time.monotonic()
        client.prune()
        whole = time.monotonic() - started
    for round_number, share in enumerate((0.25, 0.5, 0.75), 1):
        fill(round_number)

        def prune():
            try:
                with ServerClient(server.url, None, token=TOKEN, timeout=60) as client:
                    client.prune()
            except Exception:  # noqa: BLE001 - the kill cuts it short
                pass

        thread = threading.Thread(target=prune)
        thread.start()
        time.sleep(whole * share)
        server.kill()
        thread.join(60)
        assert half_written(db_url) == []
        server = start_server(db_url, data=data, port=server.port)
        with ServerClient(server.url, None, timeout=60) as reader:
            seen.append(reader.list_jobs()["total"])
            for job, document in documents.items():
                reader.job = job
                try:
                    stored = json.loads(reader.get_report())
                except KeyError:
                    continue                       # deleted whole
                assert stored == document, job
                assert reader.log("big.log") == log, job
    print("prune of %d jobs: %.2fs; jobs left after each kill: %s" % (JOBS - 1, whole, seen))
    assert half_written(db_url) == []


@pytest.mark.skipif(not PG_URL or not PG_CTL,
                    reason="needs KOVRA_TEST_PG_URL and KOVRA_TEST_PG_CTL (the tools/pg that runs that cluster)")
def test_postgresql_restarted_under_a_team_load(start_server, pg_url):
    server = start_server(pg_url)
    load = TeamLoad(server.url, TOKEN, seconds=7, senders=2, walkers=2, readers=1, sections=20, keep_last=1,
                    prune_every=0.3)
    running = threading.Thread(target=load.run)
    running.start()
    try:
        time.sleep(2)
        subprocess.run(["bash", PG_CTL, "stop"], check=True, timeout=120)
        try:
            assert [_status(server.url + path) for path in ("/api/jobs", "/readyz", "/")] == [503] * 3
            time.sleep(1)
        finally:
            subprocess.run(["bash", PG_CTL, "start"], check=True, timeout=120, capture_output=True)
    finally:
        running.join(120)
    # While it was down the server answered 503; nothing else failed.
    failures = [message for messages in load.errors.values() for message in messages]
    assert failures and all("503" in message for message in failures), failures[:5]
    assert _status(server.url + "/readyz") == 200 and _status(server.url + "/api/jobs") == 200
    assert load.check() == []
    assert half_written(pg_url) == []
